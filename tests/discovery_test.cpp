// Discovery end to end: the plug-in loaded as the host loads it, the instance table of the test,
// su to the owner of a fake Oracle installation and its sqlplus writing the export.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "platform/store.h"
#include "support/fake_oracle.h"

namespace {

const char* const kFailed = "Unable to fetch EBS Context Files";

bool Logged(const std::string& log, const std::string& label, const std::string& text) {
  return log.find("[" + label + "] " + text + "\n") != std::string::npos;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Every file below `dir`, with its content.
std::vector<std::pair<std::string, std::string>> FilesBelow(const std::string& dir) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files.emplace_back(e.path().string(), ReadFile(e.path().string()));
  return files;
}

// Command lines of the running processes that mention `text`.
std::vector<std::string> ProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string cmdline = ReadFile(e.path().string() + "/cmdline");
    if (cmdline.find(text) != std::string::npos) found.push_back(name + ": " + cmdline);
  }
  return found;
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!FakeOracle::Usable(&why)) GTEST_SKIP() << why;
    oracle = std::make_unique<FakeOracle>();
    sandbox.SetOratab("# instances of this host\nPROD:" + oracle->home() + ":N\n");
  }

  PluginCall Discover(const std::string& sid = "PROD", const std::string& user = "apps",
                      const std::string& password = "apps") {
    request = DiscoverRequest(sid, user, password);
    return CallPlugin(Envelope(1, request.serialized()));
  }

  std::string TempFile(const char* name) const { return sandbox.tempDir() + "/" + name; }

  DiscoverySandbox sandbox;
  std::unique_ptr<FakeOracle> oracle;
  Hux::OraEBSReqResp request;
};

TEST_F(Discovery, ExportsAndReadsEveryContextRecordInOrder) {
  // 3001 characters of a two-byte character: more than one piece of the PL/SQL loop.
  std::string wide;
  for (int i = 0; i < 3001; ++i) wide += "\xc3\xa9";
  oracle->AddContext("PROD_ebsdb01", "D", "<oa_context>\n <a>1</a>\r\n</oa_context>\n");
  oracle->AddContext("TEMPLATE", "D", "<template/>");
  oracle->AddContext("PROD_ebsapp01", "A", "<oa_context x='a,b'>\n</oa_context>");
  oracle->AddContext("METADATA", "A", "<metadata/>");
  oracle->AddContext("PROD_ebsapp02", "d", "<oa_context>" + wide + "</oa_context>");

  PluginCall call = Discover();
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.errorCode, 0) << sandbox.log();
  EXPECT_EQ(call.errorMessage, "");

  // The export as the database writes it: line feeds of TEXT become blanks, carriage returns
  // stay, each record is followed by two line feeds, TEMPLATE and METADATA are left out.
  EXPECT_EQ(ReadFile(TempFile("NqEBSContext.out")),
            "PROD_ebsdb01,D,<oa_context>  <a>1</a>\r </oa_context> \n\n"
            "PROD_ebsapp01,A,<oa_context x='a,b'> </oa_context>\n\n"
            "PROD_ebsapp02,d,<oa_context>" +
                wide + "</oa_context>\n\n");
  const std::string log = sandbox.log();
  const size_t db = log.find("[Discover] nodeName [PROD_ebsdb01]\n");
  const size_t app1 = log.find("[Discover] nodeName [PROD_ebsapp01]\n");
  const size_t app2 = log.find("[Discover] nodeName [PROD_ebsapp02]\n");
  ASSERT_NE(db, std::string::npos) << log;
  EXPECT_TRUE(db < app1 && app1 < app2 && app2 != std::string::npos) << log;
  EXPECT_TRUE(Logged(log, "Discover", "nodeType [D]"));
  EXPECT_TRUE(Logged(log, "Discover", "nodeType [d]"));
  EXPECT_EQ(log.find("TEMPLATE"), std::string::npos);
  EXPECT_TRUE(
      Logged(log, "FetchDBHome", "Oracle user Name : ebsora , Oracle Home " + oracle->home()));

  // sqlplus ran once, as the owner, with the Oracle environment and the login inside its input.
  const std::vector<FakeOracle::Call> calls = oracle->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].user, kOracleAccount);
  EXPECT_EQ(calls[0].argv, std::vector<std::string>{"/nolog"});
  EXPECT_EQ(calls[0].loginUser, "apps");
  EXPECT_EQ(calls[0].script, TempFile("NqEBSFetchContext.sql"));
  EXPECT_EQ(calls[0].directory, sandbox.tempDir());
  EXPECT_NE(calls[0].env.find("\nORACLE_HOME=" + oracle->home() + "\n"), std::string::npos);
  EXPECT_NE(calls[0].env.find("\nORACLE_SID=PROD\n"), std::string::npos);
  EXPECT_NE(calls[0].env.find(":" + oracle->home() + "/lib\n"), std::string::npos);

  // The PL/SQL script stays for the record; the shell script is gone.
  const std::vector<std::string> sql = Split(ReadFile(TempFile("NqEBSFetchContext.sql")));
  ASSERT_EQ(sql.size(), 43u);
  EXPECT_EQ(sql[0],
            "CREATE OR REPLACE DIRECTORY CONTEXT_OUPUT_DIR AS '" + sandbox.tempDir() + "';");
  EXPECT_EQ(sql[15], "");
  EXPECT_FALSE(Exists(TempFile("NqEBSScript.sh")));
}

TEST_F(Discovery, HomeAndOwnerComeFromTheLastEntryWithAnOwner) {
  FakeOracle second("dbhome_2"), orphan("dbhome_orphan");
  ASSERT_EQ(::chown((orphan.home() + "/bin/oracle").c_str(), 54321, 54321), 0);
  second.AddContext("PROD_db", "D", "<oa_context/>");
  sandbox.SetOratab(
      "just a line\n"
      "*:/u01/agent:N\n"
      "PROD:" +
      oracle->home() +
      ":N\n"
      "  PROD:" +
      second.home() +
      "\r\n"
      "PROD:/nonexistent/db:N\n"
      "PROD:" +
      orphan.home() +
      ":Y\n"
      "PRODUCTION:/u01/other:N\n");
  PluginCall call = Discover();
  EXPECT_EQ(call.errorCode, 0) << sandbox.log();
  EXPECT_TRUE(oracle->Calls().empty());
  ASSERT_EQ(second.Calls().size(), 1u);
  EXPECT_NE(second.Calls()[0].env.find("\nORACLE_HOME=" + second.home() + "\n"), std::string::npos);
  const std::string log = sandbox.log();
  EXPECT_TRUE(Logged(log, "FetchDBHome",
                     "Invalid entry in file : " + sandbox.oratabPath() + " : just a line"));
  EXPECT_TRUE(Logged(log, "FetchDBHome", "Skipping this entry *:/u01/agent"));
  EXPECT_TRUE(
      Logged(log, "FetchDBHome", "Failed to get owner id for  file /nonexistent/db/bin/oracle"));
  EXPECT_TRUE(Logged(log, "FetchDBHome", "Failed to get owner name for id 54321 "));
  EXPECT_TRUE(
      Logged(log, "FetchDBHome", "Oracle user Name : ebsora , Oracle Home " + second.home()));
  EXPECT_EQ(log.find("/u01/other"), std::string::npos);
}

// The sandbox instance: one database node and two application nodes of two context files each.
TEST_F(Discovery, TheSandboxInstanceGivesItsExactTopology) {
  oracle->LoadSql(std::string(EBS_SOURCE_DIR) + "/tests/fake-oracle/sandbox/load.sql");
  int64_t dbClient = 0, app1Client = 0, app2Client = 0;
  {
    std::unique_ptr<ServerStore> store;
    ASSERT_TRUE(ServerStore::Open(sandbox.host().storePath(), store).ok);
    ASSERT_TRUE(store->AddClient("ebsdb01", {"ebsdb01.example.com"}, 3, 0, &dbClient).ok);
    ASSERT_TRUE(store->AddClient("ebsapp01", {"ebsapp01.example.com"}, 3, 0, &app1Client).ok);
    ASSERT_TRUE(store->AddClient("ebsapp02", {"ebsapp02.example.com"}, 4, 0, &app2Client).ok);
  }
  // Fields that discovery does not write come back as the request gave them.
  Hux::OraEBSReqResp given = DiscoverRequest("PROD", "apps", "apps");
  auto givenConfig = View(given).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  auto app = givenConfig.child(Hux::OraEBSConfig::virtualApp, Create::Yes);
  app.set(NqEntities::AppEntity::appId, 4711);
  app.set(NqEntities::AppEntity::appName, "PROD on ebsdb01");

  PluginCall call = CallPlugin(Envelope(1, given.serialized()));
  ASSERT_EQ(call.errorCode, 0) << sandbox.log();

  Hux::OraEBSReqResp want(given);
  auto config = View(want).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  config.set(Hux::OraEBSConfig::appsVersion, "12.2.10");
  auto dbTier = config.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  dbTier.set(Hux::OraEBSDBTier::dbName, "PROD");
  dbTier.set(Hux::OraEBSDBTier::dbSid, "PROD,ebs_PROD");
  dbTier.set(Hux::OraEBSDBTier::dbPort, "1521");
  dbTier.child(Hux::OraEBSDBTier::osUser, Create::Yes).set(UserCredentials::userName, "oracle");
  dbTier.set(Hux::OraEBSDBTier::osGroup, "oinstall");
  auto db = dbTier.list(Hux::OraEBSDBTier::dbNodes, Create::Yes).append();
  db.set(Hux::OraEBSDBNode::dbName, "PROD");
  db.set(Hux::OraEBSDBNode::hostName, "ebsdb01");
  db.set(Hux::OraEBSDBNode::appsVersion, "12.2.10");
  db.set(Hux::OraEBSDBNode::platform, "LINUX_X86-64");
  db.set(Hux::OraEBSDBNode::baseDirectory, "/u01/PROD");
  db.child(Hux::OraEBSDBNode::osUser, Create::Yes).set(UserCredentials::userName, "oracle");
  db.set(Hux::OraEBSDBNode::osGroup, "oinstall");
  db.set(Hux::OraEBSDBNode::oracleHome, "/u01/PROD/19.0.0");
  db.set(Hux::OraEBSDBNode::dbPort, "1521");
  db.set(Hux::OraEBSDBNode::tempDirectory, "/usr/tmp");
  auto dbClientEntity = db.child(Hux::OraEBSDBNode::client, Create::Yes);
  dbClientEntity.set(NqEntities::ClientEntity::clientId, dbClient);
  dbClientEntity.set(NqEntities::ClientEntity::clientName, "ebsdb01");
  dbClientEntity.set(NqEntities::ClientEntity::hiveId, 3);
  db.set(Hux::OraEBSDBNode::contextName, "PROD_ebsdb01");
  db.set(Hux::OraEBSDBNode::contextFilePath, "/u01/PROD/19.0.0/appsutil/PROD_ebsdb01.xml");
  db.list(Hux::OraEBSDBNode::dataDirectories, Create::Yes).push_back("/u01/PROD/data");

  auto appTier = config.child(Hux::OraEBSConfig::appTier, Create::Yes);
  appTier.set(Hux::OraEBSAppTier::hostName, "ebsapp01");
  appTier.child(Hux::OraEBSAppTier::osUser, Create::Yes).set(UserCredentials::userName, "applmgr");
  appTier.set(Hux::OraEBSAppTier::osGroup, "oinstall");
  auto nodes = appTier.list(Hux::OraEBSAppTier::appNodes, Create::Yes);
  struct Node {
    const char* host;
    int64_t clientId, hiveId;
    std::vector<int64_t> kinds;  // per file, in the order of the service groups
  } const hosts[] = {
      {"ebsapp01",
       app1Client,
       3,
       {Hux::Root, Hux::WebAdmin, Hux::WebEntry, Hux::WebApplications, Hux::Batch}},
      {"ebsapp02", app2Client, 4, {Hux::WebApplications, Hux::Batch}},
  };
  for (const Node& h : hosts) {
    const std::string host = h.host, context = "PROD_" + host;
    auto node = nodes.append();
    node.set(Hux::OraEBSAppNode::appsBase, "/u01/PROD");
    node.set(Hux::OraEBSAppNode::hostName, host);
    node.set(Hux::OraEBSAppNode::appsVersion, "12.2.10");
    // Scalar values of the later file, fs2.
    node.set(Hux::OraEBSAppNode::configHome, "/u01/PROD/fs2/inst/apps/" + context);
    node.set(Hux::OraEBSAppNode::platform, "LINUX_X86-64");
    node.child(Hux::OraEBSAppNode::osUser, Create::Yes).set(UserCredentials::userName, "applmgr");
    node.set(Hux::OraEBSAppNode::osGroup, "oinstall");
    node.set(Hux::OraEBSAppNode::applTmp, "/u01/PROD/tmp/fs2");
    for (const std::string edition : {"fs1", "fs2"}) {
      const std::string base = "/u01/PROD/" + edition;
      auto c = node.list(Hux::OraEBSAppNode::contexts, Create::Yes).append();
      c.set(Hux::OraEBSContext::fileEditionName, edition == "fs1" ? "FS1" : "FS2");
      c.set(Hux::OraEBSContext::hostName, host);
      c.set(Hux::OraEBSContext::applTop, base + "/EBSapps/appl");
      c.set(Hux::OraEBSContext::oadTop, base + "/EBSapps/appl/ad/12.0.0");
      c.set(Hux::OraEBSContext::webOracleHome, base + "/FMW_Home/webtier");
      c.set(Hux::OraEBSContext::toolsOracleHome, base + "/EBSapps/10.1.2");
      c.set(Hux::OraEBSContext::contextName, context);
      c.set(Hux::OraEBSContext::contextFilePath,
            base + "/inst/apps/" + context + "/appl/admin/" + context + ".xml");
      c.set(Hux::OraEBSContext::configHome, base + "/inst/apps/" + context);
      auto& kinds = node.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes);
      kinds.insert(kinds.end(), h.kinds.begin(), h.kinds.end());
    }
    auto client = node.child(Hux::OraEBSAppNode::client, Create::Yes);
    client.set(NqEntities::ClientEntity::clientId, h.clientId);
    client.set(NqEntities::ClientEntity::clientName, host);
    client.set(NqEntities::ClientEntity::hiveId, h.hiveId);
  }
  EXPECT_EQ(call.inner, want.serialized());
  // Five context records in the order of the table, TEMPLATE and METADATA left out.
  const std::string log = sandbox.log();
  EXPECT_EQ(Count(log, "[Discover] nodeName ["), 5u);
  EXPECT_TRUE(Logged(log, "Discover", "Read 5 context records, 0 of them invalid"));
}

// A context file that cannot be parsed is skipped; the others are still read, and the answer
// names the first one that could not.
TEST_F(Discovery, AnInvalidContextFileIsSkippedAndNamed) {
  oracle->AddContext("PROD_broken", "A", "<oa_context><oa_host><host>x</oa_host>");
  oracle->AddContext("PROD_ebsdb01", "D",
                     "<oa_context><global_db_name>PROD</global_db_name></oa_context>");
  oracle->AddContext("PROD_notxml", "A", "not XML at all");
  oracle->AddContext("PROD_ebsapp01", "A",
                     "<oa_context><oa_host><host>ebsapp01</host></oa_host></oa_context>");
  PluginCall call = Discover();
  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.errorCode, 520);
  EXPECT_EQ(call.errorMessage, "Invalid EBS context file [PROD_broken]");
  Hux::OraEBSReqResp answer;
  ASSERT_TRUE(answer.unserialize(call.inner));
  auto config = View(answer).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  EXPECT_EQ(config.child(Hux::OraEBSConfig::dbTier, Create::No).get(Hux::OraEBSDBTier::dbName),
            "PROD");
  auto nodes = config.child(Hux::OraEBSConfig::appTier, Create::No)
                   .list(Hux::OraEBSAppTier::appNodes, Create::No);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes.at(0).get(Hux::OraEBSAppNode::hostName), "ebsapp01");
  const std::string log = sandbox.log();
  EXPECT_TRUE(Logged(log, "Discover", "Skipping the invalid context file [PROD_broken]"));
  EXPECT_TRUE(Logged(log, "Discover", "Skipping the invalid context file [PROD_notxml]"));
  EXPECT_TRUE(Logged(log, "Discover", "Read 4 context records, 2 of them invalid"));
}

TEST_F(Discovery, FailuresAnswer520AndLeaveTheConfigurationAsGiven) {
  struct Case {
    const char* what;
    std::function<void(DiscoverySandbox&, FakeOracle&)> arrange;
    std::string sid, user, password;
    std::string logged;  // a line of FetchEBSContextFiles
    bool runs;           // whether sqlplus was started
  } cases[] = {
      {"no instance table",
       [](DiscoverySandbox& s, FakeOracle&) { ::unlink(s.oratabPath().c_str()); }, "PROD", "apps",
       "apps", "Fetch DB Home failed", false},
      {"a SID the table does not hold", nullptr, "TEST", "apps", "apps", "Fetch DB Home failed",
       false},
      {"a SID differing in letter case", nullptr, "prod", "apps", "apps", "Fetch DB Home failed",
       false},
      {"a home without an oracle executable",
       [](DiscoverySandbox& s, FakeOracle&) { s.SetOratab("PROD:/nonexistent/db:N\n"); }, "PROD",
       "apps", "apps", "Fetch DB Home failed", false},
      {"an owner without an account",
       [](DiscoverySandbox&, FakeOracle& o) {
         ASSERT_EQ(::chown((o.home() + "/bin/oracle").c_str(), 54321, 54321), 0);
       },
       "PROD", "apps", "apps", "Fetch DB Home failed", false},
      {"sqlplus fails", [](DiscoverySandbox&, FakeOracle& o) { o.SetFail(3); }, "PROD", "apps",
       "apps", "ExecShellScript failed", true},
      {"a wrong password: ORA-01017 and exit status 0", nullptr, "PROD", "apps", "wrong",
       "ExecShellScript failed", true},
      {"no database login", nullptr, "PROD", "", "", "ExecShellScript failed", true},
      {"a line feed in the password", nullptr, "PROD", "apps", "ap\nps",
       "The database password holds a line feed or NUL byte; it cannot be put into a script",
       false},
      {"a line feed in the user name", nullptr, "PROD", "ap\nps", "apps",
       "The database user holds a line feed or NUL byte; it cannot be put into a script", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoverySandbox sandbox;
    FakeOracle oracle;
    sandbox.SetOratab("PROD:" + oracle.home() + ":N\n");
    oracle.AddContext("PROD_db", "D", "<oa_context/>");
    if (c.arrange) c.arrange(sandbox, oracle);
    const Hux::OraEBSReqResp request = DiscoverRequest(c.sid, c.user, c.password);
    PluginCall call = CallPlugin(Envelope(1, request.serialized()));
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.errorCode, 520);
    EXPECT_EQ(call.errorMessage, kFailed);
    EXPECT_EQ(call.inner, request.serialized());
    const std::string log = sandbox.log();
    EXPECT_TRUE(Logged(log, "FetchEBSContextFiles", c.logged)) << log;
    EXPECT_TRUE(Logged(log, "Discover", kFailed)) << log;
    EXPECT_EQ(oracle.Calls().size(), c.runs ? 1u : 0u);
    // Nothing is written when nothing can be run; no export is ever left behind.
    EXPECT_EQ(Exists(sandbox.tempDir() + "/NqEBSFetchContext.sql"), c.runs);
    EXPECT_FALSE(Exists(sandbox.tempDir() + "/NqEBSContext.out"));
    EXPECT_FALSE(Exists(sandbox.tempDir() + "/NqEBSScript.sh"));
  }
}

TEST_F(Discovery, WrongPasswordIsSeenInTheLogWithoutThePassword) {
  oracle->AddContext("PROD_db", "D", "<oa_context/>");
  PluginCall call = Discover("PROD", "apps", "Wr0ng-Secret");
  EXPECT_EQ(call.errorCode, 520);
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("ORA-01017"), std::string::npos) << log;
  EXPECT_EQ(log.find("Wr0ng-Secret"), std::string::npos);
  ASSERT_EQ(oracle->Calls().size(), 1u);
  EXPECT_EQ(oracle->Calls()[0].outcome, "ORA-01017");
}

TEST_F(Discovery, AHangingSqlplusIsEndedByTheTimeLimit) {
  ScopedEnv timeout("EBS_HOST_COMMAND_TIMEOUT", "1");
  oracle->SetHang(true);
  const auto start = std::chrono::steady_clock::now();
  PluginCall call = Discover();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(call.errorCode, 520);
  EXPECT_EQ(call.errorMessage, kFailed);
  EXPECT_LT(took, std::chrono::seconds(15));
  const std::string log = sandbox.log();
  EXPECT_NE(log.find("timed out after 1 s"), std::string::npos) << log;
  EXPECT_TRUE(Logged(log, "FetchEBSContextFiles", "ExecShellScript failed"));
  EXPECT_EQ(oracle->Calls().at(0).outcome, "hanging");
  EXPECT_EQ(ProcessesMentioning(oracle->home()), std::vector<std::string>{});
  EXPECT_FALSE(Exists(TempFile("NqEBSScript.sh")));
}

// Values that mean something to a shell or to sqlplus reach the owner's sqlplus as they are.
TEST_F(Discovery, HostileValuesArriveLiterally) {
  const std::string hostile = "$HOME `id` $(touch pwned) 'q' \"d\" \\ ; & | # @ \xc3\xa9 * ~";
  FakeOracle oracle("home " + hostile);
  const std::string sid = "S$(touch pwned)'\"`id`;&|#@\xc3\xa9";
  const std::string user = "us\"er " + hostile;
  const std::string password = "pa/ss " + hostile;
  const std::string tempDir = sandbox.host().dir().file("tmp " + hostile);
  ScopedEnv temp("EBS_HOST_TEMP_DIR", tempDir);
  sandbox.SetOratab(sid + ":" + oracle.home() + ":N\n");
  oracle.SetLogin(user, password);
  oracle.AddContext("PROD_db", "D", "<oa_context/>");

  PluginCall call = Discover(sid, user, password);
  EXPECT_EQ(call.errorCode, 0) << sandbox.log();
  const std::vector<FakeOracle::Call> calls = oracle.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].user, kOracleAccount);
  EXPECT_EQ(calls[0].loginUser, user);
  EXPECT_EQ(calls[0].loginPassword, password);
  EXPECT_EQ(calls[0].script, tempDir + "/NqEBSFetchContext.sql");
  EXPECT_EQ(calls[0].directory, tempDir);
  EXPECT_NE(calls[0].env.find("\nORACLE_HOME=" + oracle.home() + "\n"), std::string::npos);
  EXPECT_NE(calls[0].env.find("\nORACLE_SID=" + sid + "\n"), std::string::npos);
  EXPECT_NE(calls[0].env.find(":" + oracle.home() + "/lib\n"), std::string::npos);
  EXPECT_TRUE(Logged(sandbox.log(), "Discover", "nodeName [PROD_db]"));
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  for (const std::string& dir : {std::string(cwd), tempDir, oracle.home(), std::string("/")})
    EXPECT_FALSE(Exists(dir + "/pwned")) << dir;
}

TEST_F(Discovery, ThePasswordIsNeverExposed) {
  const std::string password = "Pw-9f3c1e-secret";
  oracle->SetLogin("apps", password);
  oracle->AddContext("PROD_db", "D", "<oa_context/>");

  // While sqlplus runs: the shell script is the only place of the password, readable by its
  // owner only, and no command line carries it.
  {
    ScopedEnv timeout("EBS_HOST_COMMAND_TIMEOUT", "3");
    oracle->SetHang(true);
    std::thread discovery([&] { Discover("PROD", "apps", password); });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (oracle->Calls().empty() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    struct stat st {};
    EXPECT_EQ(::lstat(TempFile("NqEBSScript.sh").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(ProcessesMentioning(password), std::vector<std::string>{});
    discovery.join();
    oracle->SetHang(false);
  }
  EXPECT_FALSE(Exists(TempFile("NqEBSScript.sh")));

  PluginCall call = Discover("PROD", "apps", password);
  EXPECT_EQ(call.errorCode, 0) << sandbox.log();
  for (const FakeOracle::Call& c : oracle->Calls()) {
    for (const std::string& arg : c.argv) EXPECT_EQ(arg.find(password), std::string::npos);
    EXPECT_EQ(c.env.find(password), std::string::npos);
  }
  EXPECT_EQ(oracle->Calls().back().loginPassword, password);
  EXPECT_EQ(sandbox.log().find(password), std::string::npos);
  for (const auto& [path, content] : FilesBelow(sandbox.tempDir()))
    EXPECT_EQ(content.find(password), std::string::npos) << path;
  EXPECT_FALSE(Exists(TempFile("NqEBSScript.sh")));
  struct stat st {};
  ASSERT_EQ(::lstat(TempFile("NqEBSFetchContext.sql").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_EQ(::lstat(TempFile("NqEBSDiscover.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Discovery, SymbolicLinksAtTheFixedNamesAreNeverFollowed) {
  oracle->AddContext("PROD_db", "D", "<oa_context/>");
  const std::string victim = sandbox.host().dir().file("victim");
  const std::string missing = sandbox.host().dir().file("created-through-a-link");
  for (const char* name :
       {"NqEBSFetchContext.sql", "NqEBSScript.sh", "NqEBSContext.out", "NqEBSDiscover.lock"}) {
    for (const std::string& target : {victim, missing}) {
      SCOPED_TRACE(std::string(name) + " -> " + target);
      WriteFile(victim, "untouched");
      Discover();  // makes the temporary directory
      ::unlink(TempFile(name).c_str());
      ASSERT_EQ(::symlink(target.c_str(), TempFile(name).c_str()), 0);
      PluginCall call = Discover();
      EXPECT_EQ(call.errorCode, 0) << sandbox.log();
      EXPECT_EQ(ReadFile(victim), "untouched");
      EXPECT_FALSE(Exists(missing));
      EXPECT_TRUE(Logged(sandbox.log(), "Discover", "nodeName [PROD_db]"));
    }
  }
  // A named pipe where the export goes neither blocks nor is read.
  ::unlink(TempFile("NqEBSContext.out").c_str());
  ASSERT_EQ(::mkfifo(TempFile("NqEBSContext.out").c_str(), 0666), 0);
  EXPECT_EQ(Discover().errorCode, 0);
}

TEST_F(Discovery, AnUnsafeTemporaryDirectoryIsRefused) {
  const std::string real = sandbox.host().dir().file("real");
  struct Case {
    const char* what;
    std::function<void(const std::string& dir)> arrange;
  } cases[] = {
      {"a symbolic link to a directory",
       [&](const std::string& dir) {
         ::mkdir(real.c_str(), 01777);
         ::chmod(real.c_str(), 01777);
         ::symlink(real.c_str(), dir.c_str());
       }},
      {"writable by all but not sticky",
       [](const std::string& dir) {
         ::mkdir(dir.c_str(), 0777);
         ::chmod(dir.c_str(), 0777);
       }},
      {"owned by another user",
       [](const std::string& dir) {
         ::mkdir(dir.c_str(), 01777);
         ::chown(dir.c_str(), 54321, 54321);
       }},
      {"not a directory", [](const std::string& dir) { WriteFile(dir, "x"); }},
  };
  oracle->AddContext("PROD_db", "D", "<oa_context/>");
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = sandbox.host().dir().file("t" + std::to_string(n++));
    c.arrange(dir);
    ScopedEnv temp("EBS_HOST_TEMP_DIR", dir);
    PluginCall call = Discover();
    EXPECT_EQ(call.errorCode, 520);
    EXPECT_EQ(call.errorMessage, kFailed);
    EXPECT_NE(sandbox.log().find("[FetchEBSContextFiles] Temporary directory refused: "),
              std::string::npos);
  }
  EXPECT_TRUE(oracle->Calls().empty());
}

TEST_F(Discovery, DiscoveriesSharingATemporaryDirectoryTakeTurns) {
  oracle->AddContext("PROD_db", "D", "<oa_context/>");
  oracle->AddContext("PROD_app", "A", "<oa_context/>");
  oracle->SetDelay(1);
  PluginCall first, second;
  std::thread a([&] { first = Discover(); });
  std::thread b([&] {
    second = CallPlugin(Envelope(1, DiscoverRequest("PROD", "apps", "apps").serialized()));
  });
  a.join();
  b.join();
  EXPECT_EQ(first.errorCode, 0);
  EXPECT_EQ(second.errorCode, 0);
  const std::vector<FakeOracle::Call> calls = oracle->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].outcome, "exported");
  EXPECT_EQ(calls[1].outcome, "exported");
  // The second export starts only after the first has ended.
  EXPECT_GE(calls[1].started, calls[0].finished);
  const std::string log = sandbox.log();
  EXPECT_EQ(Count(log, "[Discover] nodeName [PROD_db]\n"), 2u);
  EXPECT_EQ(Count(log, "[Discover] nodeName [PROD_app]\n"), 2u);
  // Each reading of the export comes between the exports, never during the other one.
  EXPECT_EQ(Count(log, "[Discover] Read 2 context records, 0 of them invalid\n"), 2u);
}

TEST_F(Discovery, ASecondRunRewritesEveryFile) {
  oracle->AddContext("FIRST_db", "D", "<oa_context>first</oa_context>");
  oracle->AddContext("FIRST_app", "A",
                     "<oa_context>first, and longer than the second</oa_context>");
  ASSERT_EQ(Discover().errorCode, 0);
  const std::string sql = ReadFile(TempFile("NqEBSFetchContext.sql"));
  // Leftovers that the second run must not keep.
  WriteFile(TempFile("NqEBSFetchContext.sql"), sql + "stale\n");
  WriteFile(TempFile("NqEBSScript.sh"), "stale\n");

  oracle->ClearContexts();
  oracle->AddContext("SECOND_db", "D", "<oa_context>second</oa_context>");
  ASSERT_EQ(Discover().errorCode, 0);
  EXPECT_EQ(ReadFile(TempFile("NqEBSContext.out")),
            "SECOND_db,D,<oa_context>second</oa_context>\n\n");
  EXPECT_EQ(ReadFile(TempFile("NqEBSFetchContext.sql")), sql);
  EXPECT_FALSE(Exists(TempFile("NqEBSScript.sh")));

  // A failed login after a good run is never answered with the earlier export.
  PluginCall failed = Discover("PROD", "apps", "wrong");
  EXPECT_EQ(failed.errorCode, 520);
  EXPECT_FALSE(Exists(TempFile("NqEBSContext.out")));
}

}  // namespace
