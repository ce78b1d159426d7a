// The host configuration (its defaults, what a request reads once), and the escaping of a log
// line's text, which stays within the line cap where an escape meets it.
#include <gtest/gtest.h>

#include "platform/host/host_config.h"
#include "platform/host/log.h"
#include "support/worker_access.h"

namespace {

TEST(HostConfig, AScopeHoldsTheConfigurationItRead) {
  ScopedEnv store("EBS_HOST_STORE", "/srv/one.db");
  {
    const HostConfigScope request;
    ScopedEnv changed("EBS_HOST_STORE", "/srv/two.db");
    EXPECT_EQ(CurrentHostConfig().storePath, "/srv/one.db");
    EXPECT_EQ(CurrentHostConfig().storePath, "/srv/one.db");
    {
      const HostConfigScope nested;
      EXPECT_EQ(CurrentHostConfig().storePath, "/srv/two.db");
    }
    EXPECT_EQ(CurrentHostConfig().storePath, "/srv/one.db");
  }
  // Without a scope every call reads the environment.
  EXPECT_EQ(CurrentHostConfig().storePath, "/srv/one.db");
  ScopedEnv changed("EBS_HOST_STORE", "/srv/three.db");
  EXPECT_EQ(CurrentHostConfig().storePath, "/srv/three.db");
  EXPECT_EQ(CurrentHostConfig().storePath, "/srv/three.db");
}

TEST(HostConfig, TheStoreDefaultsToTheUserStateDirectory) {
  struct Case {
    const char *store, *state, *path;  // EBS_HOST_STORE, XDG_STATE_HOME ("" = unset), the store
  } cases[] = {
      {"", "", "/home/u/.local/state/ebs-host/store.db"},
      {"", "/srv/state", "/srv/state/ebs-host/store.db"},
      // A relative XDG_STATE_HOME is not a state directory.
      {"", "state", "/home/u/.local/state/ebs-host/store.db"},
      {"/data/store.db", "/srv/state", "/data/store.db"},
  };
  ScopedEnv home("HOME", "/home/u");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.store) + "," + c.state);
    ScopedEnv store("EBS_HOST_STORE", c.store), state("XDG_STATE_HOME", c.state);
    EXPECT_EQ(CurrentHostConfig().storePath, c.path);
  }
}

// A request reads the log level once: a change while it runs does not apply to its lines.
TEST(HostConfig, TheLogLevelOfARequestIsTheOneItBeganWith) {
  HostSandbox sandbox;
  EvEvent log;
  {
    const HostConfigScope request;
    ScopedEnv off("EBS_HOST_LOG_LEVEL", "off");
    EvDebug::Debug(log, "Scope", "kept");
  }
  ScopedEnv off("EBS_HOST_LOG_LEVEL", "off");
  EvDebug::Debug(log, "Scope", "dropped");
  EXPECT_EQ(LogLines(sandbox.log(), "Scope"), std::vector<std::string>{"kept"});
}

TEST(Logging, ControlCharactersAreEscapedWithinTheCap) {
  HostSandbox sandbox;
  const std::string full(kMaxLogTextBytes, 'a');
  const std::string cut = "\xE2\x80\xA6[1 bytes cut]";
  struct Case {
    std::string text, logged;
  } cases[] = {
      // Runs of plain bytes between escapes; a tab stays as it is.
      {"a\nb\rc\x01\td\x7f", "a\\nb\\rc\\x01\td\x7f"},
      {"\n\n", "\\n\\n"},
      // An escape that fits exactly at the cap.
      {full.substr(2) + "\n", full.substr(2) + "\\n"},
      // One that would cross it is cut whole, and counted as cut.
      {full.substr(1) + "\n", full.substr(1) + cut},
      {full.substr(3) + "\x02", full.substr(3) + cut},
  };
  EvEvent log;
  for (const Case& c : cases) {
    const size_t before = sandbox.log().size();
    EvDebug::Debug(log, "Escape", "%s", c.text.c_str());
    const std::vector<std::string> lines = LogLines(sandbox.log().substr(before), "Escape");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], c.logged) << c.text.size();
  }
}

}  // namespace
