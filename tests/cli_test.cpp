// The plug-in as a shared library (its exported symbols) and the host CLI's contract: JSON
// output, passwords off its output, and an instance saved, shown and deleted. Exit
// statuses: cli_output_test.cpp.
#include <gtest/gtest.h>

#include <sstream>

#include "cli_host.h"
#include "support/plugin.h"

namespace {

TEST(Plugin, ExportsOnlyTheEntryPoint) {
  std::string out, err;
  ASSERT_EQ(NqProcess::run("nm -D --defined-only " + ShellWord(EBS_PLUGIN_PATH), &out, &err, 30000),
            0)
      << err;
  std::istringstream lines(out);
  std::vector<std::string> symbols;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    if (type == "T" || type == "D" || type == "B" || type == "W" || type == "V" || type == "R")
      symbols.push_back(name);
  }
  EXPECT_EQ(symbols, std::vector<std::string>{"OnMsgEnterpriseApps"}) << out;
}

TEST(HostCli, JsonNamesFieldsAndMasksPasswords) {
  HostSandbox sandbox;
  HostRun r = Host("--json discover --sid PROD --db-user apps --db-password-env EBS_TEST_PW",
                   "EBS_TEST_PW='s3cr3t-value'");
  EXPECT_EQ(r.out.find("s3cr3t-value"), std::string::npos);
  EXPECT_NE(r.out.find("\"dbSid\": \"PROD\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"password\": \"***\""), std::string::npos) << r.out;
  EXPECT_EQ(sandbox.log().find("s3cr3t-value"), std::string::npos);
}

// A refused request's inner text comes back as it was sent; its passwords are masked in every
// output form, also where the message reader does not accept the text or a string (single or in
// a list) carries them.
TEST(HostCli, PasswordsOfAnEchoedInnerTextStayHidden) {
  HostSandbox sandbox;
  TempDir dir;
  const struct {
    const char* what;
    bool whole;  // a message the reader takes
    std::string inner;
  } cases[] = {
      {"a message cut short", false,
       "<m g=\"22\" n=\"505\"><o x=\"2\"><m g=\"7\" n=\"1\"><pw x=\"2\">hunter2</pw></m></o>"},
      {"a message text in a string field", true,
       "<m g=\"22\" n=\"505\"><s x=\"9\">&lt;m g=\"7\" n=\"1\"&gt;&lt;pw "
       "x=\"2\"&gt;hunter2&lt;/pw&gt;&lt;/m&gt;</s></m>"},
      {"a message text in a list of strings", true,
       "<m g=\"22\" n=\"505\"><ls x=\"9\"><v>/u02/data</v><v>&lt;m g=\"7\" n=\"1\"&gt;&lt;pw "
       "x=\"2\"&gt;hunter2&lt;/pw&gt;&lt;/m&gt;</v></ls></m>"},
  };
  for (const auto& c : cases) {
    // A PeopleSoft request: refused, its text unchanged.
    WriteFile(dir.file("request.xml"), Envelope(2, c.inner));
    for (const char* form : {"--json", "--xml", ""}) {
      SCOPED_TRACE(std::string(c.what) + " " + form);
      HostRun r = Host(std::string(form) + " request " + dir.file("request.xml"));
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_EQ(r.out.find("hunter2"), std::string::npos) << r.out;
      // A text that is no message is no answer under --json: nothing of it is shown.
      if (c.whole || std::string(form) != "--json") {
        EXPECT_NE(r.out.find("***"), std::string::npos) << r.out;
      }
    }
    // Asked for by name, it is shown.
    EXPECT_NE(Host("--xml --show-secrets request " + dir.file("request.xml")).out.find("hunter2"),
              std::string::npos)
        << c.what;
  }
}

TEST(HostCli, SaveShowAndDeleteAnInstance) {
  HostSandbox sandbox;
  ASSERT_EQ(Host("clients add --name dbclient --host db01.example.com").status, 0);
  ASSERT_EQ(Host("clients add --name appclient --host app01.example.com").status, 0);
  TempDir dir;
  WriteFile(dir.file("discovered.xml"), Discovered("dbclient", "app01", "appclient"));

  HostRun save = Host("save --config " + dir.file("discovered.xml") + " --name PROD");
  ASSERT_EQ(save.status, 0) << save.out << save.err;
  EXPECT_NE(save.out.find("client dbclient: Huxwire/nCollectClientConfig = 1"), std::string::npos)
      << save.out;
  EXPECT_NE(save.out.find("client appclient: Huxwire/nCollectClientConfig = 1"), std::string::npos);

  HostRun list = Host("--json apps list");
  ASSERT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("\"name\": \"PROD\""), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("\"type\": 64"), std::string::npos);
  HostRun show = Host("--json apps show 1");
  EXPECT_EQ(show.status, 0);
  EXPECT_NE(show.out.find("\"appsVersion\": \"12.2.10\""), std::string::npos) << show.out;
  EXPECT_EQ(show.out.find("login-secret"), std::string::npos);
  EXPECT_EQ(ReadFile(sandbox.storePath()).find("login-secret"), std::string::npos);

  // A file that holds no configuration is a usage error; nothing is sent.
  WriteFile(dir.file("empty.xml"), "<m g=\"22\" n=\"505\"/>");
  EXPECT_EQ(Host("save --config " + dir.file("empty.xml") + " --name X").status, 2);

  EXPECT_EQ(Host("delete 1").status, 0);
  EXPECT_EQ(Host("delete --app-id 1").status, 1);  // the server knows it no more
  EXPECT_NE(Host("apps list").out.find("No virtual apps."), std::string::npos);
}

}  // namespace
