// Discovery as root. End to end: the plug-in loaded as the host loads it, the instance table of
// the test, su to the owner of a fake Oracle installation and its sqlplus writing the export.
// Then root's refusals of what other accounts own, through the worker on a host whose sqlplus is
// a fake (support/discovery_host.h). What needs neither root nor another account is in
// discovery_unit_test.cpp.
#include <gtest/gtest.h>

#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <tuple>
#include <memory>
#include <thread>

#include "base/file_io.h"
#include "platform/host/process.h"
#include "platform/server/store.h"
#include "support/discovery_host.h"
#include "support/fake_oracle.h"
#include "support/test_text.h"

namespace {

using namespace std::chrono_literals;
const char* const kFailed = "Unable to fetch EBS Context Files";

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool Exists(const std::string& path) {
  return std::filesystem::is_symlink(path) || std::filesystem::exists(path);
}

// Sets pairs of a field and its value.
template <class M>
void Set(M) {}
template <class M, class F, class V, class... Rest>
void Set(M m, const F& field, const V& value, const Rest&... rest) {
  m.set(field, value);
  Set(m, rest...);
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!FakeOracle::Usable(&why)) GTEST_SKIP() << why;
    oracle = std::make_unique<FakeOracle>();
    sandbox.SetOratab("# instances of this host\nPROD:" + oracle->home() + ":N\n");
    oracle->AddContext("PROD_db", "D", "<oa_context/>");
  }

  static PluginCall Discover(const std::string& sid = "PROD", const std::string& user = "apps",
                             const std::string& password = "apps") {
    return CallPlugin(Envelope(1, DiscoverRequest(sid, user, password).serialized()));
  }

  DiscoverySandbox sandbox;
  std::unique_ptr<FakeOracle> oracle;
};

// The sandbox instance: one database node and two application nodes of two context files each.
TEST_F(Discovery, TheSandboxInstanceGivesItsExactTopology) {
  FakeOracle prod("dbhome_prod", EBS_SOURCE_DIR "/tests/fake-oracle/sandbox/load.sql");
  sandbox.SetOratab("PROD:" + prod.home() + ":N\n");
  int64_t ids[3] = {};
  {
    std::unique_ptr<ServerStore> store;
    ASSERT_TRUE(ServerStore::Open(sandbox.storePath(), store).ok);
    ASSERT_TRUE(store->AddClient("ebsdb01", {"ebsdb01.example.com"}, 3, 0, &ids[0]).ok);
    ASSERT_TRUE(store->AddClient("ebsapp01", {"ebsapp01.example.com"}, 3, 0, &ids[1]).ok);
    ASSERT_TRUE(store->AddClient("ebsapp02", {"ebsapp02.example.com"}, 4, 0, &ids[2]).ok);
  }
  // Fields that discovery does not write come back as the request gave them.
  Hux::OraEBSReqResp want = DiscoverRequest("PROD", "apps", "apps");
  auto config = View(want).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  Set(config.child(Hux::OraEBSConfig::virtualApp, Create::Yes), NqEntities::AppEntity::appId, 4711,
      NqEntities::AppEntity::appName, "PROD on ebsdb01");
  PluginCall call = CallPlugin(Envelope(1, want.serialized()));
  ASSERT_EQ(call.errorCode, 0) << sandbox.log();

  using Tier = Hux::OraEBSDBTier;
  using DB = Hux::OraEBSDBNode;
  using Apps = Hux::OraEBSAppTier;
  using App = Hux::OraEBSAppNode;
  using Ctx = Hux::OraEBSContext;
  using Client = NqEntities::ClientEntity;
  config.set(Hux::OraEBSConfig::appsVersion, "12.2.10");
  auto dbTier = config.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  Set(dbTier, Tier::dbName, "PROD", Tier::dbSid, "PROD,ebs_PROD", Tier::dbPort, "1521");
  Set(dbTier, Tier::osGroup, "oinstall");
  dbTier.child(Tier::osUser, Create::Yes).set(UserCredentials::userName, "oracle");
  auto db = dbTier.list(Tier::dbNodes, Create::Yes).append();
  Set(db, DB::dbName, "PROD", DB::hostName, "ebsdb01", DB::appsVersion, "12.2.10");
  Set(db, DB::platform, "LINUX_X86-64", DB::baseDirectory, "/u01/PROD", DB::osGroup, "oinstall");
  Set(db, DB::oracleHome, "/u01/PROD/19.0.0", DB::dbPort, "1521", DB::tempDirectory, "/usr/tmp");
  Set(db, DB::contextName, "PROD_ebsdb01");
  Set(db, DB::contextFilePath, "/u01/PROD/19.0.0/appsutil/PROD_ebsdb01.xml");
  db.list(DB::dataDirectories, Create::Yes).push_back("/u01/PROD/data");
  db.child(DB::osUser, Create::Yes).set(UserCredentials::userName, "oracle");
  auto dbClient = db.child(DB::client, Create::Yes);
  Set(dbClient, Client::clientId, ids[0], Client::clientName, "ebsdb01", Client::hiveId, 3);

  auto appTier = config.child(Hux::OraEBSConfig::appTier, Create::Yes);
  Set(appTier, Apps::hostName, "ebsapp01", Apps::osGroup, "oinstall");
  appTier.child(Apps::osUser, Create::Yes).set(UserCredentials::userName, "applmgr");
  const struct {
    const char* host;
    int64_t clientId, hiveId;
    std::vector<int64_t> kinds;  // per file, in the order of the service groups
  } hosts[] = {
      {"ebsapp01",
       ids[1],
       3,
       {Hux::Root, Hux::WebAdmin, Hux::WebEntry, Hux::WebApplications, Hux::Batch}},
      {"ebsapp02", ids[2], 4, {Hux::WebApplications, Hux::Batch}},
  };
  for (const auto& h : hosts) {
    const std::string host = h.host, context = "PROD_" + host;
    auto node = appTier.list(Apps::appNodes, Create::Yes).append();
    Set(node, App::appsBase, "/u01/PROD", App::hostName, host, App::appsVersion, "12.2.10");
    Set(node, App::platform, "LINUX_X86-64", App::osGroup, "oinstall");
    // Scalar values of the later file, fs2.
    Set(node, App::configHome, "/u01/PROD/fs2/inst/apps/" + context);
    Set(node, App::applTmp, "/u01/PROD/tmp/fs2");
    node.child(App::osUser, Create::Yes).set(UserCredentials::userName, "applmgr");
    for (const std::string edition : {"fs1", "fs2"}) {
      const std::string base = "/u01/PROD/" + edition, inst = base + "/inst/apps/" + context;
      auto c = node.list(App::contexts, Create::Yes).append();
      Set(c, Ctx::fileEditionName, edition == "fs1" ? "FS1" : "FS2", Ctx::hostName, host);
      Set(c, Ctx::applTop, base + "/EBSapps/appl", Ctx::oadTop, base + "/EBSapps/appl/ad/12.0.0");
      Set(c, Ctx::webOracleHome, base + "/FMW_Home/webtier");
      Set(c, Ctx::toolsOracleHome, base + "/EBSapps/10.1.2");
      Set(c, Ctx::contextName, context, Ctx::configHome, inst);
      Set(c, Ctx::contextFilePath, inst + "/appl/admin/" + context + ".xml");
      auto& kinds = node.list(App::nodeTypes, Create::Yes);
      kinds.insert(kinds.end(), h.kinds.begin(), h.kinds.end());
    }
    auto client = node.child(App::client, Create::Yes);
    Set(client, Client::clientId, h.clientId, Client::clientName, host, Client::hiveId, h.hiveId);
  }
  EXPECT_EQ(call.inner, want.serialized());
  // Five context records in the order of the table, TEMPLATE and METADATA left out.
  const std::string log = sandbox.log();
  EXPECT_EQ(Count(log, "[Discover] nodeName ["), 5u);
  EXPECT_TRUE(Logged(log, "Discover", "Read 5 context records, 0 of them invalid"));
}

// Values that mean something to a shell or to sqlplus reach the owner's sqlplus as they are.
TEST_F(Discovery, HostileValuesArriveLiterally) {
  const std::string hostile = "$HOME `id` $(touch pwned) 'q' \"d\" \\ ; & | # @ \xc3\xa9 * ~";
  FakeOracle oracle("home " + hostile);
  const std::string sid = "S$(touch pwned)'\"`id`;&|#@\xc3\xa9";
  // A double quote is refused in the login (sqlplus cannot take it there).
  std::string plain = hostile;
  plain.erase(std::remove(plain.begin(), plain.end(), '"'), plain.end());
  const std::string user = "us'er " + plain, password = "pa/ss " + plain;
  const std::string tempDir = sandbox.dir().file("tmp " + hostile);
  ScopedEnv temp("EBS_HOST_TEMP_DIR", tempDir);
  sandbox.SetOratab(sid + ":" + oracle.home() + ":N\n");
  oracle.Set("db_user", user);
  oracle.Set("db_password", password);
  oracle.AddContext("PROD_db", "D", "<oa_context/>");

  EXPECT_EQ(Discover(sid, user, password).errorCode, 0) << sandbox.log();
  ExpectOneExport(oracle, sid, user, password, tempDir);
  EXPECT_EQ(oracle.Calls().at(0)["user"], std::string(kOracleAccount) + "\n");
  for (const std::string& dir :
       {std::filesystem::current_path().string(), tempDir, oracle.home(), std::string("/")})
    EXPECT_FALSE(Exists(dir + "/pwned")) << dir;
}

// No file ever holds the password: the script reaches sh on standard input from an anonymous
// file. No command line or environment of sqlplus carries it either (of any process of the
// run while it lasts: HostDiscovery.InterruptEndsTheDiscoverysProcesses). Neither a good nor a wrong password shows in the log.
TEST_F(Discovery, ThePasswordIsNeverInAFileOrTheLog) {
  const std::string password = "Pw-9f3c1e-secret", wrong = "Wr0ng-Secret";
  oracle->Set("db_password", password);
  const auto filesHolding = [&](const std::string& secret) {
    std::vector<std::string> found;
    for (const std::string& dir : {sandbox.dir().path(), oracle->home()})
      for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        // (The fake database's own control files and records aside.)
        if (e.is_regular_file() && ReadFile(e.path()).find(secret) != std::string::npos &&
            e.path().string().find(oracle->home() + "/fake/") != 0)
          found.push_back(e.path());
    return found;
  };
  EXPECT_EQ(Discover("PROD", "apps", password).errorCode, 0) << sandbox.log();
  EXPECT_EQ(Discover("PROD", "apps", wrong).errorCode, 520);
  const std::vector<FakeOracle::Call> calls = oracle->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].at("login_password"), password);
  EXPECT_EQ(calls[1].at("outcome"), "ORA-01017");
  for (const std::string& secret : {password, wrong}) {
    for (const FakeOracle::Call& c : calls)
      EXPECT_EQ((c.at("argv") + c.at("env")).find(secret), std::string::npos);
    EXPECT_EQ(sandbox.log().find(secret), std::string::npos);
    EXPECT_EQ(filesHolding(secret), std::vector<std::string>{});
  }
  struct stat st {};
  ASSERT_EQ(::lstat((sandbox.tempDir() + "/NqEBSDiscover.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// The processes of the export get a fixed environment, nothing of the host's, and the run
// directory as working directory: no library is found through the host's settings, its working
// directory or, for the programs that run as root, the Oracle home (ExpectOneExport checks the
// Oracle library path sqlplus gets).
TEST_F(Discovery, ChildProcessesGetACleanEnvironment) {
  ScopedEnv canary("EBS_TEST_CANARY", "leak-canary");
  ScopedEnv libraries("LD_LIBRARY_PATH", ":/canary-lib");  // with an empty entry: "."
  ScopedEnv path("PATH", "/canary-bin:" + std::string(std::getenv("PATH")));
  ScopedEnv secret("EBS_TEST_DB_PASSWORD", "apps");
  // A world-writable working directory where someone put a C library: a program that searched
  // the working directory for libraries would not even start.
  TempDir cwd;
  ::chmod(cwd.path().c_str(), 01777);
  WriteFile(cwd.file("libc.so.6"), "not a library");
  // The Oracle owner's library for su in the Oracle libraries: root's su would load it (and here
  // fail to start) if the Oracle environment were set before the switch to the owner.
  const std::string pam = oracle->home() + "/lib/libpam.so.0";
  WriteFile(pam, "not a library");
  const struct passwd* owner = ::getpwnam(kOracleAccount);
  ASSERT_NE(owner, nullptr);
  ASSERT_EQ(::chown(pam.c_str(), owner->pw_uid, owner->pw_gid), 0);
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(cwd.path());
  const PluginCall call = Discover();
  std::filesystem::current_path(here);
  ASSERT_EQ(call.errorCode, 0) << sandbox.log();
  ExpectOneExport(*oracle, "PROD", "apps", "apps", sandbox.tempDir());
  const std::string env = oracle->Calls().at(0).at("env");
  for (const char* leak : {"canary", "EBS_", "SSH_", "TERM="})
    EXPECT_EQ(env.find(leak), std::string::npos) << leak << " in\n" << env;
  EXPECT_NE(("\n" + env).find("\nLANG=C\n"), std::string::npos) << env;
}

// kill -9 of the host while sqlplus hangs: sh, su and sqlplus end at the watcher's terminate (su
// may take its own two seconds to let go), no file holds the password, and the next discovery
// removes the run directory left behind. That the watcher itself, and a member that ignores the
// terminate, end as well is proven by Process.TheRunEndsWithItsCallerAndItsTimeLimit. The host
// is this test program again, running only DiscoveryHost below.
TEST_F(Discovery, TheRunEndsWhenTheHostIsKilled) {
  const std::string password = "Kill-9-secret-7d1";
  oracle->Set("db_password", password);
  oracle->Set("hang", "");
  ScopedEnv given("EBS_TEST_DB_PASSWORD", password);
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  char filter[] = "--gtest_filter=DiscoveryHost.DISABLED_DiscoversOnce";
  char disabled[] = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter, disabled, nullptr};
  pid_t host = -1;
  ASSERT_EQ(::posix_spawn(&host, self.c_str(), nullptr, nullptr, argv, environ), 0);
  const auto start = std::chrono::steady_clock::now();
  const auto hanging = [&] {
    const std::vector<FakeOracle::Call> calls = oracle->Calls();
    return !calls.empty() && calls[0].count("outcome") && calls[0].at("outcome") == "hanging";
  };
  while (!hanging() && std::chrono::steady_clock::now() < start + 20s)
    std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(hanging());
  ::kill(host, SIGKILL);
  int status = 0;
  ::waitpid(host, &status, 0);
  const auto killed = std::chrono::steady_clock::now();
  // The run's session, led by sh -s.
  const pid_t session = std::stoi("0" + oracle->Calls().at(0).at("sid"));
  ASSERT_GT(session, 0);
  while (!SessionMembers(session).empty() && std::chrono::steady_clock::now() < killed + 10s)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(SessionMembers(session).size(), 0u);
  for (const auto& e : std::filesystem::recursive_directory_iterator(sandbox.dir().path()))
    if (e.is_regular_file()) {
      EXPECT_EQ(ReadFile(e.path()).find(password), std::string::npos) << e.path();
    }
  oracle->Unset("hang");
  EXPECT_EQ(Entries(sandbox.tempDir()).size(), 2u);  // the lock and the dead run's directory
  EXPECT_EQ(Discover("PROD", "apps", password).errorCode, 0) << sandbox.log();
  EXPECT_EQ(Entries(sandbox.tempDir()), std::vector<std::string>{"NqEBSDiscover.lock"});
}

TEST_F(Discovery, DiscoveriesSharingATemporaryDirectoryTakeTurns) {
  oracle->AddContext("PROD_app", "A", "<oa_context/>");
  oracle->Set("delay", "1");
  PluginCall first, second;
  std::thread a([&] { first = Discover(); });
  std::thread b([&] { second = Discover(); });
  a.join();
  b.join();
  EXPECT_EQ(first.errorCode, 0);
  EXPECT_EQ(second.errorCode, 0);
  std::vector<FakeOracle::Call> calls = oracle->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["outcome"] + calls[1]["outcome"], "exportedexported");
  // The second export starts only after the first has ended, and each reading of the export
  // comes between the exports, never during the other one.
  EXPECT_GE(calls[1]["started"], calls[0]["finished"]);
  EXPECT_EQ(Count(sandbox.log(), "[Discover] Read 2 context records, 0 of them invalid\n"), 2u);
}

uid_t OracleUid() { return ::getpwnam(kOracleAccount)->pw_uid; }

// The Oracle home of `box` belongs to the fake installation's owner; files and directories of
// other accounts are put into it and around it.
class OwnedDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!FakeOracle::Usable(&why)) GTEST_SKIP() << why;
    box = std::make_unique<DiscoveryBox>(OracleUid());
  }
  std::string TempFile(const char* name) const { return box->tempDir() + "/" + name; }

  std::unique_ptr<DiscoveryBox> box;
};

// Every refusal of a file or directory of another account answers 520 and logs its cause as one
// ERROR line; refusals of the home never start sqlplus, so no code of the home ever runs as root.
TEST_F(OwnedDiscovery, EachRefusalOfAnotherAccountsFileLogsItsCause) {
  const auto chownTo = [](const std::string& path, uid_t uid) {
    ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0) << path;
  };
  const struct {
    const char* what;
    std::function<void(DiscoveryBox&)> arrange;
    std::string cause;       // a part of an ERROR line, marks as ExpectFailure's
    bool runs = false;       // whether sqlplus was started
    std::string debug = "";  // a DEBUG line of FetchDBHome, if any
  } cases[] = {
      {"an owner without account", [=](auto& b) { chownTo(b.home + "/bin/oracle", 54321); },
       "SID [PROD] has no usable Oracle home in $S/oratab: the owner uid 54321 of $H/bin/oracle "
       "has no account",
       false, "Failed to get owner name for id 54321 "},
      {"a root-owned bin/oracle", [=](auto& b) { chownTo(b.home + "/bin/oracle", 0); },
       "$H/bin/oracle belongs to root; sqlplus never runs as root"},
      {"sqlplus of another account", [=](auto& b) { chownTo(b.home + "/bin/sqlplus", 54321); },
       "$H/bin/sqlplus belongs to uid 54321 (no account), not to ebsora (uid $U), the owner of "
       "$H/bin/oracle; the home, bin, bin/oracle and bin/sqlplus must belong to one account"},
      // A member of the install group may write a group-writable bin: its own programs there
      // do not make it the Oracle owner.
      {"an oracle and a sqlplus of another account planted in bin",
       [=](auto& b) {
         chownTo(b.home + "/bin/oracle", 65534);
         chownTo(b.home + "/bin/sqlplus", 65534);
       },
       "$H belongs to uid $U (ebsora), not to nobody (uid 65534), the owner of $H/bin/oracle"},
      {"a home of another account", [=](auto& b) { chownTo(b.home, 54321); },
       "$H belongs to uid 54321 (no account), not to ebsora"},
      {"a directory above the home of a uid without account",
       [=](auto& b) { chownTo(Parent(b.home), 54321); },
       "$P above the Oracle home belongs to uid 54321 (no account), neither root, the Oracle "
       "owner ebsora nor an account of its primary group"},
      {"a directory above the home of an account of another primary group",
       [=](auto& b) { chownTo(Parent(b.home), 65534); },
       "$P above the Oracle home belongs to uid 65534 (nobody), neither root"},
      {"the export another account's file",
       [](auto& b) {
         b.host.sqlplus.act = [](int fd) {
           ::close(::openat(fd, kExportFileName, O_WRONLY | O_CREAT, 0644));
           ASSERT_EQ(::fchownat(fd, kExportFileName, 54321, 54321, 0), 0);
         };
       },
       "/NqEBSContext.out belongs to user id 54321 with 1 links, not to ebsora with one", true},
      {"the export a second name of root's file",
       [](auto& b) {
         const std::string file = b.dir().file("roots-file");
         WriteFile(file, "PROD_db,D,<oa_context/>\n\n");
         b.host.sqlplus.act = [file](int fd) {
           ASSERT_EQ(::linkat(AT_FDCWD, file.c_str(), fd, kExportFileName, 0), 0);
         };
       },
       "/NqEBSContext.out belongs to user id 0 with 2 links, not to ebsora with one", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoveryBox row(OracleUid());
    c.arrange(row);
    const DiscoveryBox::Answer answer = row.Discover();
    ExpectFailure(row, &answer, c.cause, c.runs ? 1 : 0);
    if (!c.debug.empty()) {
      EXPECT_TRUE(Logged(row.log(), "FetchDBHome", c.debug));
    }
  }
}

// Standard installations keep working: trees of the install group with mode 0775, owned by the
// Oracle owner or, above the Oracle base, by a grid account of the owner's primary group.
TEST_F(OwnedDiscovery, StandardOracleLayoutsAreAccepted) {
  const uid_t uid = OracleUid(), grid = GridAccount();
  const gid_t group = ::getpwnam(kOracleAccount)->pw_gid;
  ASSERT_NE(grid, static_cast<uid_t>(-1));
  const struct {
    const char* what;
    uid_t parentOwner;  // of the directory holding the home
  } cases[] = {
      {"home, bin and the directory above 0775 oracle:oinstall", uid},
      {"the directory above grid:oinstall", grid},
      {"the directory above root's", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoveryBox row(uid);
    const std::string parent = Parent(row.home);
    for (const std::string& dir : {parent, row.home, row.home + "/bin"}) {
      ASSERT_EQ(::chown(dir.c_str(), dir == parent ? c.parentOwner : uid, group), 0) << dir;
      ASSERT_EQ(::chmod(dir.c_str(), 0775), 0) << dir;
    }
    EXPECT_EQ(row.Discover().errorCode, 0) << row.log();
    EXPECT_EQ(row.host.commands.size(), 1u);
  }
}

// The Oracle owner enters a directory by the search bit of its class: the group's when the
// directory's group is one of its groups, the others' otherwise.
TEST_F(OwnedDiscovery, TheOwnersRightToEnterIsTheBitOfItsClass) {
  const gid_t group = ::getpwnam(kOracleAccount)->pw_gid;
  // The mode of the directory holding the temporary directory (of the owner's group): the group
  // may enter and others not, then the reverse.
  for (const auto& [mode, errorCode] : {std::pair<mode_t, int>{0710, 0}, {0701, 520}}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chown(box->dir().path().c_str(), 0, group), 0);
    ASSERT_EQ(::chmod(box->dir().path().c_str(), mode), 0);
    const size_t before = box->log().size();
    EXPECT_EQ(box->Discover().errorCode, errorCode) << box->log().substr(before);
    EXPECT_EQ(box->log().find("cannot enter " + box->dir().path(), before) == std::string::npos,
              errorCode == 0)
        << box->log().substr(before);
  }
}

// The run's files live in a private directory of the Oracle owner (0700): another user can
// neither read the export nor plant a link at its name while the database writes it. The
// directory goes with the export after the run.
TEST_F(OwnedDiscovery, TheRunDirectoryIsPrivateAndRemoved) {
  const std::string victim = box->dir().file("victim");
  WriteFile(victim, "untouched");
  box->host.sqlplus.act = [&](int fd) {
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, OracleUid());
    // Another account tries to plant a link at the export's name during the run.
    const std::string runDir = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
    std::string out, err;
    EXPECT_NE(NqProcess::run("setpriv --reuid=54321 --regid=54321 --clear-groups ln -s " + victim +
                                 " " + runDir + "/NqEBSContext.out",
                             &out, &err, 10000),
              0)
        << out << err;
    const int f = FakeDiscoveryHost::NewExport(fd);
    WriteAll(f, "PROD_db,D,<oa_context/>\n\n");
    ::close(f);
  };
  EXPECT_EQ(box->Discover().errorCode, 0) << box->log();
  EXPECT_EQ(ReadFile(victim), "untouched");
  EXPECT_EQ(Entries(box->tempDir()), std::vector<std::string>{"NqEBSDiscover.lock"});
}

// A lock file planted by another user (when the directory was not yet safe), a link at the
// lock's name, and the run directory of a host that died are never used nor followed.
TEST_F(OwnedDiscovery, PlantedLocksAndStaleRunDirectoriesAreNeverUsed) {
  ASSERT_EQ(box->Discover().errorCode, 0);  // makes the temporary directory
  const std::string lock = TempFile("NqEBSDiscover.lock");
  const std::string victim = box->dir().file("victim");
  WriteFile(victim, "untouched");
  const std::function<void()> plants[] = {
      [&] {  // another user's lock file
        WriteFile(lock, "");
        ::chown(lock.c_str(), 54321, 54321);
        ::chmod(lock.c_str(), 0666);
      },
      [&] { ::symlink(victim.c_str(), lock.c_str()); },  // a link to a file of root
      [&] { ::link(victim.c_str(), lock.c_str()); },     // a second name of it
  };
  for (size_t i = 0; i < std::size(plants); ++i) {
    SCOPED_TRACE(i);
    ::unlink(lock.c_str());
    plants[i]();
    EXPECT_EQ(box->Discover().errorCode, 0) << box->log();
    struct stat st {};
    ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(ReadFile(victim), "untouched");
  }
  // A stale run directory holding a link to a directory of root's is removed, the link's
  // target left alone.
  // A directory of another account that the Oracle owner moved into its run directory (one it
  // may write to but not empty, a sticky one) is not emptied by root; the owner's files go.
  const std::string stale = TempFile("NqEBSRun.Stale1"), keep = box->dir().file("keep"),
                    moved = TempFile("NqEBSRun.Stale2");
  const uid_t owner = OracleUid();
  for (const auto& [dir, mode, uid] :
       {std::tuple<std::string, mode_t, uid_t>{keep, 0700, 0}, {stale, 0700, 0},
        {stale + "/sub", 0700, 0}, {moved, 0700, owner}, {moved + "/own", 0700, owner},
        {moved + "/foreign", 01777, 54321}})
    ASSERT_EQ(::mkdir(dir.c_str(), mode) + ::chmod(dir.c_str(), mode) +
                  ::chown(dir.c_str(), uid, uid), 0) << dir;
  WriteFile(keep + "/file", "kept");
  ASSERT_EQ(::symlink(keep.c_str(), (stale + "/sub/link").c_str()), 0);
  WriteFile(moved + "/own/file", "");
  ASSERT_EQ(::chown((moved + "/own/file").c_str(), owner, owner), 0);
  WriteFile(moved + "/foreign/file", "kept");
  EXPECT_EQ(box->Discover().errorCode, 0);
  EXPECT_FALSE(Exists(stale));
  EXPECT_EQ(ReadFile(keep + "/file"), "kept");
  EXPECT_FALSE(Exists(moved + "/own"));
  EXPECT_EQ(ReadFile(moved + "/foreign/file"), "kept");
}

// The temporary directory and every directory above it may be changed by root only (a sticky
// directory like /tmp aside, when the entry below it is root's); otherwise its owner could swap
// the run's files. Each refusal says why; nothing is created for a relative path.
TEST_F(OwnedDiscovery, AnUnsafeTemporaryDirectoryIsRefused) {
  struct Dir {
    const char* name;  // below the sandbox
    mode_t mode;
    uid_t owner;
    gid_t group;
  };
  const struct {
    const char* what;
    std::vector<Dir> dirs;   // made in this order
    std::string dir, cause;  // relative to the sandbox; `cause` is part of the ERROR line
  } cases[] = {
      // clang-format off
      {"a symbolic link to a safe directory", {{"real", 0711, 0, 0}}, "link",
       "/link is a symbolic link"},
      {"writable by all", {{"tmp", 0777, 0, 0}}, "tmp",
       "/tmp may be written by others (mode 0777)"},
      {"writable by all and sticky (the former default)", {{"tmp", 01777, 0, 0}}, "tmp",
       "/tmp may be written by others (mode 1777); the temporary directory must be writable by "
       "root only"},
      {"writable by a group", {{"tmp", 0771, 0, 54321}}, "tmp",
       "/tmp may be written by others (mode 0771)"},
      {"owned by another user", {{"tmp", 0711, 54321, 0}}, "tmp", "/tmp belongs to user id 54321"},
      {"not a directory", {}, "file", "/file is not a directory"},
      {"a parent owned by another user", {{"a", 0755, 54321, 54321}, {"a/tmp", 0711, 0, 0}},
       "a/tmp", "/a belongs to user id 54321"},
      {"a parent writable by a group, not sticky", {{"a", 0775, 0, 54321}, {"a/tmp", 0711, 0, 0}},
       "a/tmp", "/a may be written by others (mode 0775) and is not sticky"},
      {"a sticky parent whose entry belongs to another user",
       {{"a", 01777, 0, 0}, {"a/u", 0755, 54321, 54321}, {"a/u/tmp", 0711, 0, 0}}, "a/u/tmp",
       "/a may be written by others (mode 1777) and "},
      {"a \"..\" component", {{"tmp", 0711, 0, 0}}, "tmp/../tmp",
       "holds a \".\" or \"..\" component"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoveryBox row(OracleUid());
    for (const Dir& d : c.dirs) {
      const std::string dir = row.dir().file(d.name);
      ASSERT_EQ(::mkdir(dir.c_str(), 0) + ::chown(dir.c_str(), d.owner, d.group) +
                    ::chmod(dir.c_str(), d.mode),
                0);
    }
    ::symlink(row.dir().file("real").c_str(), row.dir().file("link").c_str());
    WriteFile(row.dir().file("file"), "x");
    row.host.tempDir = row.dir().file(c.dir);
    const DiscoveryBox::Answer call = row.Discover();
    EXPECT_EQ(call.errorCode, 520);
    EXPECT_EQ(call.errorMessage, kFailed);
    EXPECT_NE(row.log().find("ERROR " + std::to_string(::getpid()) +
                             " [FetchEBSContextFiles] Temporary directory " +
                             row.dir().file(c.dir) + " refused: "),
              std::string::npos)
        << row.log();
    EXPECT_NE(row.log().find(c.cause), std::string::npos) << c.cause << "\n" << row.log();
  }
  // A relative path is refused before anything is created.
  TempDir cwd;
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(cwd.path());
  box->host.tempDir = "relative/tmp";
  EXPECT_EQ(box->Discover().errorCode, 520);
  std::filesystem::current_path(here);
  EXPECT_EQ(Entries(cwd.path()), std::vector<std::string>{});
  EXPECT_NE(box->log().find("the temporary directory [relative/tmp] is not an absolute path"),
            std::string::npos);
  EXPECT_TRUE(box->host.commands.empty());
}

}  // namespace

// The host of TheRunEndsWhenTheHostIsKilled: one discovery of PROD in the environment it is
// given. Disabled: it runs only when that test starts it.
TEST(DiscoveryHost, DISABLED_DiscoversOnce) {
  CallPlugin(Envelope(
      1, DiscoverRequest("PROD", "apps", std::getenv("EBS_TEST_DB_PASSWORD")).serialized()));
}
