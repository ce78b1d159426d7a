// ebs-host's log as the operator gets it, run by any account: a file that is not a log is never
// written, the log is quiet by default and bounded, and the older log is replaced, not followed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cli_host.h"
#include "support/plugin.h"

namespace {

// --log and EBS_HOST_LOG naming a file that is not a log (a system file, by mistake): refused,
// untouched. An empty file, or a log already, is appended to.
TEST(HostLogFile, OnlyALogIsAppendedTo) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string request = UnknownTypeRequest(dir);
  const std::string passwd = "root:x:0:0:root:/root:/bin/bash\n";
  const std::string file = dir.file("file");
  for (const std::string& how : {"--log " + file + " request " + request, "request " + request}) {
    SCOPED_TRACE(how);
    WriteFile(file, passwd);
    ::chmod(file.c_str(), 0600);
    HostRun r = Host(how, "EBS_HOST_LOG=" + file);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(file + " is not a log of this program"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), passwd);
    WriteFile(file, "");
    EXPECT_EQ(Host(how, "EBS_HOST_LOG=" + file).status, 1);
    EXPECT_EQ(Host(how, "EBS_HOST_LOG=" + file).status, 1) << "a log of ours is used again";
    EXPECT_EQ(Count(ReadFile(file), "Unknown Enterprise Application type ["), 2u);
  }
}

// The log by default: every line, message texts cut at 1 KiB; -v (or EBS_HOST_LOG_LEVEL) debug,
// whole. It is renamed to FILE.1 when full, replacing the older one without following a link.
TEST(HostLogFile, TheLogIsQuietAndBounded) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string request = UnknownTypeRequest(dir, 4000);
  const std::string env = "env -u EBS_HOST_LOG_LEVEL";
  EXPECT_EQ(Host("request " + request, env).status, 1);
  EXPECT_GE(Count(sandbox.log(), " bytes cut]"), 1u) << sandbox.log();
  const size_t quiet = sandbox.log().size();
  EXPECT_LT(quiet, 3000u);
  EXPECT_EQ(Host("-v request " + request, env).status, 1);
  EXPECT_GT(sandbox.log().size() - quiet, 4000u) << "debug keeps the message texts whole";

  const std::string older = sandbox.logPath() + ".1", victim = dir.file("victim");
  WriteFile(victim, "");
  ASSERT_EQ(::symlink(victim.c_str(), older.c_str()), 0);
  const std::string bounded = env + " EBS_HOST_LOG_MAX_SIZE=3000";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Host("request " + request, bounded).status, 1);
  struct stat st {};
  ASSERT_EQ(::lstat(older.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link is replaced, not followed";
  EXPECT_EQ(ReadFile(victim), "");
  EXPECT_LE(sandbox.log().size(), 3000u);
  EXPECT_NE(sandbox.log().find("Unknown Enterprise Application type"), std::string::npos);
}

}  // namespace
