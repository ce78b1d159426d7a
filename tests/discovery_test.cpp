// Discovery end to end: the plug-in loaded as the host loads it, the instance table of the test,
// su to the owner of a fake Oracle installation and its sqlplus writing the export.
#include <gtest/gtest.h>

#include <pwd.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "platform/host/process.h"
#include "platform/server/store.h"
#include "support/fake_oracle.h"
#include "support/test_text.h"

namespace {

using namespace std::chrono_literals;
const char* const kFailed = "Unable to fetch EBS Context Files";

bool Logged(const std::string& log, const std::string& label, const std::string& text) {
  return log.find("[" + label + "] " + text + "\n") != std::string::npos;
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Command lines of the running processes that mention `text`.
std::vector<std::string> ProcessesMentioning(const std::string& text) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string cmdline = ReadFile(e.path().string() + "/cmdline");
    if (std::isdigit(e.path().filename().string()[0]) && cmdline.find(text) != std::string::npos)
      found.push_back(cmdline);
  }
  return found;
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

  std::string TempFile(const char* name) const { return sandbox.tempDir() + "/" + name; }

  DiscoverySandbox sandbox;
  std::unique_ptr<FakeOracle> oracle;
};

TEST_F(Discovery, HomeAndOwnerComeFromTheLastEntryWithAnOwner) {
  FakeOracle second("dbhome_2"), orphan("dbhome_orphan");
  ASSERT_EQ(::chown((orphan.home() + "/bin/oracle").c_str(), 54321, 54321), 0);
  second.AddContext("PROD_db", "D", "<oa_context/>");
  sandbox.SetOratab(
      "just a line\n*:/u01/agent:N\nPROD:" + oracle->home() + ":N\n  PROD:" + second.home() +
      "\r\nPROD:/nonexistent/db:N\nPROD:" + orphan.home() + ":Y\nPRODUCTION:/u01/other:N\n");
  EXPECT_EQ(Discover().errorCode, 0) << sandbox.log();
  EXPECT_TRUE(oracle->Calls().empty());
  ExpectOneExport(second, "PROD", "apps", "apps", sandbox.tempDir());
  const std::string log = sandbox.log();
  for (const std::string& line :
       {"Invalid entry in file : " + sandbox.oratabPath() + " : just a line",
        std::string("Skipping this entry *:/u01/agent"),
        std::string("Failed to get owner id for  file /nonexistent/db/bin/oracle"),
        std::string("Failed to get owner name for id 54321 "),
        "Oracle user Name : ebsora , Oracle Home " + second.home()})
    EXPECT_TRUE(Logged(log, "FetchDBHome", line)) << line << "\n" << log;
  EXPECT_EQ(log.find("/u01/other"), std::string::npos);
}

// The instance table is the host's setting, so a symbolic link there is followed; a table that
// cannot be opened and one that cannot be read are told apart in the debug lines.
TEST_F(Discovery, TheInstanceTableIsReadThroughALinkAndItsFailuresAreTold) {
  const std::string table = sandbox.dir().file("oratab.real");
  const struct {
    const char* what;
    std::function<void()> arrange;
    int errorCode;
    std::string debug;  // a DEBUG line of FetchDBHome; $T stands for the instance table
  } cases[] = {
      {"a link to the table is followed",
       [&] {
         ASSERT_EQ(::rename(sandbox.oratabPath().c_str(), table.c_str()), 0);
         ASSERT_EQ(::symlink(table.c_str(), sandbox.oratabPath().c_str()), 0);
       },
       0, "Oracle user Name : ebsora , Oracle Home " + oracle->home()},
      {"a link to nothing cannot be opened", [&] { ::unlink(table.c_str()); }, 520,
       "Failed to open file $T, continue with next file"},
      {"a directory is opened but not read", [&] { ASSERT_EQ(::mkdir(table.c_str(), 0755), 0); },
       520, "Failed to read from file $T "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    const size_t before = sandbox.log().size();
    EXPECT_EQ(Discover().errorCode, c.errorCode);
    std::string debug = c.debug;
    if (debug.find("$T") != std::string::npos)
      debug.replace(debug.find("$T"), 2, sandbox.oratabPath());
    const std::string log = sandbox.log().substr(before);
    EXPECT_TRUE(Logged(log, "FetchDBHome", debug)) << debug << "\n" << log;
  }
}

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

// A context file that cannot be parsed is skipped; the others are still read, and the answer
// names the first one that could not.
TEST_F(Discovery, AnInvalidContextFileIsSkippedAndNamed) {
  oracle->AddContext("PROD_broken", "A", "<oa_context><oa_host><host>x</oa_host>");
  oracle->AddContext("PROD_ebsdb01", "D",
                     "<oa_context><global_db_name>PROD</global_db_name></oa_context>");
  oracle->AddContext("PROD_notxml", "A", "not XML at all");
  oracle->AddContext("PROD_ebsapp01", "A",
                     "<oa_context><oa_host><host>ebsapp01</host></oa_host></oa_context>");
  // Only type "D" is the database tier: "d" is read as an application-tier file.
  oracle->AddContext("PROD_lower", "d",
                     "<oa_context><oa_host><host>ebsapp02</host></oa_host></oa_context>");
  PluginCall call = Discover();
  EXPECT_EQ(call.errorCode, 520);
  EXPECT_EQ(call.errorMessage, "Invalid EBS context file [PROD_broken]");
  Hux::OraEBSReqResp answer;
  ASSERT_TRUE(answer.unserialize(call.inner));
  auto config = View(answer).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  EXPECT_EQ(config.child(Hux::OraEBSConfig::dbTier, Create::No).get(Hux::OraEBSDBTier::dbName),
            "PROD");
  auto nodes = config.child(Hux::OraEBSConfig::appTier, Create::No)
                   .list(Hux::OraEBSAppTier::appNodes, Create::No);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes.at(0).get(Hux::OraEBSAppNode::hostName), "ebsapp01");
  EXPECT_EQ(nodes.at(1).get(Hux::OraEBSAppNode::hostName), "ebsapp02");
  const std::string log = sandbox.log();
  for (const char* line :
       {"nodeName [PROD_notxml]", "nodeType [A]", "Skipping the invalid context file [PROD_broken]",
        "Skipping the invalid context file [PROD_notxml]",
        "Read 6 context records, 2 of them invalid"})
    EXPECT_TRUE(Logged(log, "Discover", line)) << line << "\n" << log;
}

// A record name is the database's text: an overlong one reaches the answer and the log cut short.
TEST_F(Discovery, AnOverlongNameOfAnInvalidFileIsCut) {
  oracle->AddContext(std::string(5000, 'N'), "A", "not XML at all");
  PluginCall call = Discover();
  EXPECT_EQ(call.errorCode, 520);
  EXPECT_EQ(call.errorMessage,
            "Invalid EBS context file [" + std::string(256, 'N') + "…[4744 bytes cut]]");
  EXPECT_EQ(sandbox.log().find(std::string(257, 'N')), std::string::npos);
}

// Standard installations keep working: trees of the install group with mode 0775, owned by the
// Oracle owner or, above the Oracle base, by a grid account of the owner's primary group.
TEST_F(Discovery, StandardOracleLayoutsAreAccepted) {
  const struct passwd* owner = ::getpwnam(kOracleAccount);
  ASSERT_NE(owner, nullptr);
  const uid_t uid = owner->pw_uid, grid = GridAccount();
  const gid_t group = owner->pw_gid;
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
    FakeOracle home("dbhome_std");
    home.AddContext("PROD_db", "D", "<oa_context/>");
    const std::string parent = Parent(home.home());
    for (const std::string& dir : {parent, home.home(), home.home() + "/bin"}) {
      ASSERT_EQ(::chown(dir.c_str(), dir == parent ? c.parentOwner : uid, group), 0) << dir;
      ASSERT_EQ(::chmod(dir.c_str(), 0775), 0) << dir;
    }
    sandbox.SetOratab("PROD:" + home.home() + ":N\n");
    EXPECT_EQ(Discover().errorCode, 0) << sandbox.log();
    ExpectOneExport(home, "PROD", "apps", "apps", sandbox.tempDir());
  }
}

// The Oracle owner enters a directory by the search bit of its class: the group's when the
// directory's group is one of its groups, the others' otherwise.
TEST_F(Discovery, TheOwnersRightToEnterIsTheBitOfItsClass) {
  const gid_t group = ::getpwnam(kOracleAccount)->pw_gid;
  const struct {
    const char* what;
    mode_t mode;  // of the directory holding the temporary directory, group the owner's
    int errorCode;
  } cases[] = {
      {"the group may enter, others not", 0710, 0},
      {"others may enter, the group not", 0701, 520},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(::chown(sandbox.dir().path().c_str(), 0, group), 0);
    ASSERT_EQ(::chmod(sandbox.dir().path().c_str(), c.mode), 0);
    const size_t before = sandbox.log().size();
    EXPECT_EQ(Discover().errorCode, c.errorCode) << sandbox.log().substr(before);
    EXPECT_EQ(sandbox.log().find("cannot enter " + sandbox.dir().path(), before) ==
                  std::string::npos,
              c.errorCode == 0)
        << sandbox.log().substr(before);
  }
}

// The distinct SIDs of the error line are collected in linear time: the instance table may be
// written by the install group, and the bound lets it hold some 1.5 million. The lookup runs in
// a child ended after 60 s: it takes a second or two (more under sanitizers), where comparing
// each SID with all before it takes many minutes.
TEST_F(Discovery, AHugeInstanceTableIsReadInLinearTime) {
  std::string table;
  for (int i = 0; i < 600000; ++i) table += "S" + std::to_string(i) + ":/u01/db:N\n";
  sandbox.SetOratab(table);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(60);
    ::_exit(Discover().errorCode == 520 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  // The first twenty, in the order of the table.
  std::string entries;
  for (int i = 0; i < 20; ++i) entries += "S" + std::to_string(i) + ", ";
  EXPECT_NE(sandbox.log().find("SID [PROD] has no entry in " + sandbox.oratabPath() +
                               " (entries: " + entries + "...)"),
            std::string::npos);
}

// An instance table larger than the bound (16 MiB) is read up to it: its whole lines count, and
// the debug line says the table could not be read whole.
TEST_F(Discovery, AnInstanceTableOverTheBoundIsReadUpToIt) {
  constexpr size_t kBound = 16u << 20;
  const std::string entry = "PROD:" + oracle->home() + ":N\n";
  const auto filler = [](size_t bytes) { return "#" + std::string(bytes - 2, 'x') + "\n"; };
  const struct {
    const char* what;
    std::string table;
    int errorCode;
    bool inPart;  // "Failed to read from file" is logged
  } cases[] = {
      {"the entry first, the table far over the bound", entry + filler(kBound + 4096), 0, true},
      {"the entry's line ends at the bound", filler(kBound - entry.size()) + entry, 0, false},
      {"the bound cuts the entry's line: it does not count",
       filler(kBound - entry.size() + 1) + entry, 520, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sandbox.SetOratab(c.table);
    const size_t before = sandbox.log().size();
    EXPECT_EQ(Discover().errorCode, c.errorCode);
    const std::string log = sandbox.log().substr(before);
    EXPECT_EQ(Logged(log, "FetchDBHome", "Failed to read from file " + sandbox.oratabPath() + " "),
              c.inPart)
        << log.substr(0, 4000);
    if (c.errorCode != 0) {
      EXPECT_NE(log.find("SID [PROD] has no entry in " + sandbox.oratabPath() +
                         " (entries: none); read in part: the instance table " +
                         sandbox.oratabPath() + " is larger than 16777216 bytes"),
                std::string::npos)
          << log.substr(0, 4000);
    }
  }
}

// The export holds at most 20000 lines: exactly that many are read. A name is written as it is,
// its line feeds included, so one row makes all the lines.
TEST_F(Discovery, AnExportOfExactlyTheLineBoundIsRead) {
  // Two rows of two line feeds each, and the name's: 20000, then 20001.
  for (const size_t names : {19996u, 19997u}) {
    SCOPED_TRACE(names);
    FakeOracle home("dbhome_lines");
    home.AddContext("PROD_db", "D", "<oa_context/>");
    home.AddContext(std::string(names, '\n') + "PROD_x", "D", "<oa_context/>");
    sandbox.SetOratab("PROD:" + home.home() + ":N\n");
    EXPECT_EQ(Discover().errorCode, names == 19996 ? 0 : 520) << sandbox.log().substr(0, 4000);
  }
  EXPECT_EQ(Count(sandbox.log(), "has more than 20000 lines"), 1u);
}

// Every failure answers 520 with the configuration as given, logs its cause as one ERROR line
// that names the values involved, and leaves nothing in the temporary directory but the lock.
// Rows whose Oracle owner is refused never start sqlplus, so no code of the home ever runs as
// root; rows that run it show it ran as the owner.
TEST_F(Discovery, EachFailureAnswers520AndLogsItsCause) {
  using Arrange = std::function<void(DiscoverySandbox&, FakeOracle&)>;
  const auto chownTo = [](const std::string& path, uid_t uid) {
    ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0) << path;
  };
  const struct {
    const char* what;
    Arrange arrange;
    // A part of an ERROR line; $H stands for the Oracle home, $P the directory holding it, $S
    // the sandbox, $U the Oracle owner's uid.
    std::string cause;
    bool runs;  // whether sqlplus was started
    std::string sid = "PROD", user = "apps", password = "apps";
    bool bounded = false;  // the call may block: it runs in a child ended after 5 s
  } cases[] = {
      {"no instance table", [](auto& s, auto&) { ::unlink(s.oratabPath().c_str()); },
       "[FetchDBHome] cannot open the instance table $S/oratab: No such file", false},
      {"the instance table is a FIFO: no wait for a writer",
       [](auto& s, auto&) {
         ::unlink(s.oratabPath().c_str());
         ::mkfifo(s.oratabPath().c_str(), 0644);
       },
       "the instance table $S/oratab is not a regular file", false, "PROD", "apps", "apps", true},
      {"a SID without entry", nullptr, "SID [PRDO] has no entry in $S/oratab (entries: PROD)",
       false, "PRDO"},
      {"no SID in the request", nullptr,
       "The request names no SID (the database tier's dbSid is empty); entries in $S/oratab: PROD",
       false, ""},
      {"a SID differing in letter case", nullptr,
       "SID [prod] has no entry in $S/oratab; SIDs are case-sensitive and [PROD] differs only in "
       "letter case (entries: PROD)",
       false, "prod"},
      {"an owner without account",
       [=](auto&, auto& o) { chownTo(o.home() + "/bin/oracle", 54321); },
       "SID [PROD] has no usable Oracle home in $S/oratab: the owner uid 54321 of "
       "$H/bin/oracle has no account",
       false},
      {"bin/oracle a link to a root-owned file (the owner replaced it)",
       [](auto&, auto& o) {
         ::unlink((o.home() + "/bin/oracle").c_str());
         ::symlink("/bin/true", (o.home() + "/bin/oracle").c_str());
       },
       "$H/bin/oracle is a symbolic link", false},
      {"a root-owned bin/oracle", [=](auto&, auto& o) { chownTo(o.home() + "/bin/oracle", 0); },
       "$H/bin/oracle belongs to root; sqlplus never runs as root", false},
      {"bin/oracle a second name of another account's file",
       [](auto&, auto& o) {
         ::link((o.home() + "/bin/oracle").c_str(), (o.home() + "/oracle-too").c_str());
       },
       "$H/bin/oracle has 2 hard links; it must have one", false},
      {"sqlplus of another account",
       [=](auto&, auto& o) { chownTo(o.home() + "/bin/sqlplus", 54321); },
       "$H/bin/sqlplus belongs to uid 54321 (no account), not to ebsora (uid $U), the owner of "
       "$H/bin/oracle; the home, bin, bin/oracle and bin/sqlplus must belong to one account",
       false},
      // A member of the install group may write a group-writable bin: its own programs there
      // do not make it the Oracle owner.
      {"an oracle and a sqlplus of another account planted in bin",
       [=](auto&, auto& o) {
         chownTo(o.home() + "/bin/oracle", 65534);
         chownTo(o.home() + "/bin/sqlplus", 65534);
       },
       "$H belongs to uid $U (ebsora), not to nobody (uid 65534), the owner of $H/bin/oracle",
       false},
      {"a home of another account", [=](auto&, auto& o) { chownTo(o.home(), 54321); },
       "$H belongs to uid 54321 (no account), not to ebsora", false},
      {"a directory above the home of a uid without account",
       [=](auto&, auto& o) { chownTo(Parent(o.home()), 54321); },
       "$P above the Oracle home belongs to uid 54321 (no account), neither root, the Oracle "
       "owner ebsora nor an account of its primary group",
       false},
      {"a directory above the home of an account of another primary group",
       [=](auto&, auto& o) { chownTo(Parent(o.home()), 65534); },
       "$P above the Oracle home belongs to uid 65534 (nobody), neither root", false},
      {"a directory above the home that anybody may change",
       [](auto&, auto& o) { ::chmod(Parent(o.home()).c_str(), 0777); },
       "$P above the Oracle home may be written by any user (mode 0777) and is not sticky", false},
      {"a bin directory anybody may change",
       [](auto&, auto& o) { ::chmod((o.home() + "/bin").c_str(), 0777); },
       "$H/bin may be written by any user (mode 0777)", false},
      {"an empty password", nullptr, "The database password is empty", false, "PROD", "apps", ""},
      {"an empty user", nullptr, "The database user is empty", false, "PROD", "", "apps"},
      {"a double quote in the password", nullptr, "The database password holds a double quote",
       false, "PROD", "apps", "ap\"ps"},
      {"a line feed in the user name", nullptr, "The database user holds a line feed or NUL byte",
       false, "PROD", "ap\nps"},
      {"the owner cannot enter the sandbox",
       [](auto& s, auto&) { ::chmod(s.dir().path().c_str(), 0700); },
       "Temporary directory $S/tmp refused: the Oracle owner ebsora (uid", false},
      {"sqlplus fails", [](auto&, auto& o) { o.Set("fail", "3"); },
       "The export as ebsora through sqlplus failed with status 3: sqlplus: failing as told", true},
      // Its standard error is logged with the password masked (checked for every row).
      {"a failing sqlplus shows its input, the login",
       [](auto&, auto& o) {
         o.Set("fail", "1");
         o.Set("echo_input", "");
         o.Set("db_password", "Echo-Secret-42");
       },
       "The export as ebsora through sqlplus failed with status 1: sqlplus: failing as told", true,
       "PROD", "apps", "Echo-Secret-42"},
      {"the database writes no export and reports nothing",
       [](auto&, auto& o) { o.Set("no_export", ""); },
       "[ExecShellScript] The database wrote no export file $S/tmp/NqEBSRun.", true},
      {"a wrong login", nullptr,
       "sqlplus as ebsora for SID [PROD]: ORA-01017: invalid username/password; logon denied "
       "(wrong database user or password)",
       true, "PROD", "apps", "wrong"},
      {"no listener", [](auto&, auto& o) { o.Set("logon_error", "ORA-12541: TNS:no listener\n"); },
       "ORA-12541: TNS:no listener (no listener", true},
      {"the instance is down",
       [](auto&, auto& o) { o.Set("logon_error", "ORA-01034: ORACLE not available\n"); },
       "ORA-01034: ORACLE not available (the database instance is not running)", true},
      {"no context file", [](auto&, auto& o) { o.Set("db_password", "empty"); },
       "/NqEBSContext.out is empty: fnd_oam_context_files of SID [PROD] gave no context file", true,
       "PROD", "apps", "empty"},
      {"a cut export: the write fails",
       [](auto&, auto& o) {
         o.AddContext("PROD_app", "A", "<oa_context/>");
         o.Set("disk_full", "20");
       },
       "ORA-29285: file write error (the database could not write the export", true},
      {"the export a link to a file of the owner",
       [](auto& s, auto& o) {
         const std::string file = s.dir().file("owners-file");
         WriteFile(file, "PROD_db,D,<oa_context/>\n\n");
         ::chown(file.c_str(), ::getpwnam(kOracleAccount)->pw_uid, 0);
         o.Set("export_link", file);
       },
       "/NqEBSContext.out: NqEBSContext.out is a symbolic link", true},
      // A name is written as it is, line feeds included: one row makes a line per record.
      {"an export of more lines than any instance has",
       [](auto&, auto& o) { o.AddContext(Repeat("x,A,<a/>\n", 20000), "A", "<a/>"); },
       "/NqEBSContext.out has more than 20000 lines; no instance has that many context files",
       true},
      // A sparse file of 1 TiB costs nothing to make: refused by its size, before any read.
      {"an export larger than any instance's", [](auto&, auto& o) { o.Set("export_size", "1T"); },
       "/NqEBSContext.out: NqEBSContext.out is larger than 268435456 bytes", true},
      // An export of exactly the size bound is read (and found cut short: it is all zeros).
      {"an export of exactly the size bound",
       [](auto&, auto& o) { o.Set("export_size", "268435456"); },
       "/NqEBSContext.out ends inside a record (268435456 bytes)", true},
      {"the export a second name of a file of the owner",
       [](auto& s, auto& o) {
         const std::string file = s.dir().file("owners-file");
         WriteFile(file, "PROD_db,D,<oa_context/>\n\n");
         ::chown(file.c_str(), ::getpwnam(kOracleAccount)->pw_uid, 0);
         o.Set("export_hardlink", file);
       },
       "/NqEBSContext.out belongs to user id $U with 2 links, not to ebsora with one", true},
      {"the export another account's file moved in",
       [](auto& s, auto& o) {
         const std::string dir = s.dir().file("owners-dir"), file = dir + "/foreign";
         ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
         WriteFile(file, "PROD_db,D,<oa_context/>\n\n");
         ASSERT_EQ(::chown(file.c_str(), 54321, 54321), 0);
         ASSERT_EQ(::chown(dir.c_str(), ::getpwnam(kOracleAccount)->pw_uid, 0), 0);
         o.Set("export_move", file);
       },
       "/NqEBSContext.out belongs to user id 54321 with 1 links, not to ebsora with one", true},
      {"the export a second name of root's file",
       [](auto& s, auto& o) {
         const std::string file = s.dir().file("roots-file");
         WriteFile(file, "PROD_db,D,<oa_context/>\n\n");
         ::chmod(file.c_str(), 0666);
         o.Set("export_hardlink", file);
       },
       "/NqEBSContext.out belongs to user id 0 with 2 links, not to ebsora with one", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoverySandbox sandbox;
    FakeOracle oracle;
    sandbox.SetOratab("PROD:" + oracle.home() + ":N\n");
    if (c.password != "empty") oracle.AddContext("PROD_db", "D", "<oa_context/>");
    if (c.arrange) c.arrange(sandbox, oracle);
    const std::string request = DiscoverRequest(c.sid, c.user, c.password).serialized();
    if (c.bounded) {
      // The answer's checks are made in the child, which ends (SIGALRM) if the call blocks.
      const pid_t child = ::fork();
      if (child == 0) {
        ::alarm(5);
        const PluginCall call = CallPlugin(Envelope(1, request));
        ::_exit(call.result == 0 && call.errorCode == 520 && call.errorMessage == kFailed &&
                        call.inner == request
                    ? 0
                    : 1);
      }
      int status = -1;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    } else {
      PluginCall call = CallPlugin(Envelope(1, request));
      EXPECT_EQ(call.result, 0);
      EXPECT_EQ(call.errorCode, 520);
      EXPECT_EQ(call.errorMessage, kFailed);
      EXPECT_EQ(call.inner, request);
    }
    const std::string log = sandbox.log();
    std::string cause = c.cause;
    for (const auto& [mark, value] : {std::pair<std::string, std::string>{"$H", oracle.home()},
                                      {"$P", Parent(oracle.home())},
                                      {"$S", sandbox.dir().path()},
                                      {"$U", std::to_string(::getpwnam(kOracleAccount)->pw_uid)}})
      for (size_t at = cause.find(mark); at != std::string::npos; at = cause.find(mark))
        cause.replace(at, 2, value);
    // No password shows in the log (a short one may be a word of the log).
    if (c.password.size() > 8) {
      EXPECT_EQ(log.find(c.password), std::string::npos) << log;
    }
    EXPECT_NE(log.find(" ERROR "), std::string::npos) << log;
    bool found = false;
    for (const std::string& line : Split(log))
      found = found ||
              (line.find(" ERROR ") != std::string::npos && line.find(cause) != std::string::npos);
    EXPECT_TRUE(found) << cause << "\n" << log;
    EXPECT_TRUE(Logged(log, "Discover", kFailed)) << log;
    const std::vector<FakeOracle::Call> calls = oracle.Calls();
    ASSERT_EQ(calls.size(), c.runs ? 1u : 0u);
    if (c.runs) {
      EXPECT_EQ(calls[0].at("user"), std::string(kOracleAccount) + "\n");
    }
    // No export, script or run directory is left behind.
    EXPECT_EQ(Entries(sandbox.tempDir()), Entries(sandbox.tempDir()).empty()
                                              ? std::vector<std::string>{}
                                              : std::vector<std::string>{"NqEBSDiscover.lock"});
  }
}

// Discovery refuses to run unless it runs as root: su would ask for a password. The temporary
// directory it would have used is not made, even where the host's user could make it.
TEST_F(Discovery, ANonRootHostIsToldWhy) {
  WriteFile(sandbox.logPath(), "");
  ASSERT_EQ(::chown(sandbox.logPath().c_str(), 65534, 65534), 0);
  const std::string writable = sandbox.dir().file("nobodys");
  ASSERT_EQ(::mkdir(writable.c_str(), 0755), 0);
  ASSERT_EQ(::chown(writable.c_str(), 65534, 65534), 0);
  ScopedEnv temp("EBS_HOST_TEMP_DIR", writable + "/tmp");
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
    ::_exit(dropped && Discover().errorCode == 520 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_NE(sandbox.log().find("ERROR " + std::to_string(child) +
                               " [FetchEBSContextFiles] Discovery must run as root to switch to "
                               "the Oracle owner ebsora; it runs as uid 65534\n"),
            std::string::npos)
      << sandbox.log();
  EXPECT_TRUE(oracle->Calls().empty());
  EXPECT_EQ(Entries(writable), std::vector<std::string>{});
}

// A discovery that fails before it needs the temporary directory leaves none behind.
TEST_F(Discovery, TheTemporaryDirectoryIsMadeOnlyForARun) {
  const std::function<void()> failures[] = {
      [&] { ::unlink(sandbox.oratabPath().c_str()); },                      // no instance table
      [&] { sandbox.SetOratab("TEST:" + oracle->home() + ":N\n"); },       // no entry of PROD
      [&] { ::chmod((oracle->home() + "/bin").c_str(), 0777); },           // an unsafe home
  };
  for (const auto& fail : failures) {
    fail();
    EXPECT_EQ(Discover().errorCode, 520);
    EXPECT_FALSE(Exists(sandbox.tempDir())) << sandbox.log();
  }
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
// file. No command line or environment carries it either. The time limit ends a hanging sqlplus
// with all its processes. Neither a good nor a wrong password shows in the log.
TEST_F(Discovery, ThePasswordIsNeverInAFileAndAHangIsEnded) {
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
  {
    ScopedEnv timeout("EBS_HOST_COMMAND_TIMEOUT", "3");
    oracle->Set("hang", "");
    PluginCall hung;
    const auto start = std::chrono::steady_clock::now();
    std::thread discovery([&] { hung = Discover("PROD", "apps", password); });
    while (oracle->Calls().empty() && std::chrono::steady_clock::now() < start + 10s)
      std::this_thread::sleep_for(20ms);
    EXPECT_EQ(filesHolding(password), std::vector<std::string>{});
    EXPECT_EQ(ProcessesMentioning(password), std::vector<std::string>{});
    discovery.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(hung.errorCode, 520);
    EXPECT_EQ(oracle->Calls().at(0)["outcome"], "hanging");
    EXPECT_NE(sandbox.log().find("timed out after 3 s"), std::string::npos) << sandbox.log();
    // The killed processes of the group may take a moment to go.
    for (int i = 0; i < 100 && !ProcessesMentioning(oracle->home()).empty(); ++i)
      std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ProcessesMentioning(oracle->home()), std::vector<std::string>{});
    oracle->Unset("hang");
  }

  EXPECT_EQ(Discover("PROD", "apps", password).errorCode, 0) << sandbox.log();
  EXPECT_EQ(Discover("PROD", "apps", wrong).errorCode, 520);
  const std::vector<FakeOracle::Call> calls = oracle->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].at("login_password"), password);
  EXPECT_EQ(calls[2].at("outcome"), "ORA-01017");
  for (const std::string& secret : {password, wrong}) {
    for (const FakeOracle::Call& c : calls)
      EXPECT_EQ((c.at("argv") + c.at("env")).find(secret), std::string::npos);
    EXPECT_EQ(sandbox.log().find(secret), std::string::npos);
    EXPECT_EQ(filesHolding(secret), std::vector<std::string>{});
  }
  struct stat st {};
  ASSERT_EQ(::lstat(TempFile("NqEBSDiscover.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// The run's files live in a private directory of the Oracle owner (0700): another user can
// neither read the export nor plant a link at its name while the database writes it. The
// directory goes with the export after the run.
TEST_F(Discovery, TheRunDirectoryIsPrivateAndRemoved) {
  oracle->Set("delay", "2");
  PluginCall call;
  std::thread discovery([&] { call = Discover(); });
  std::string runDir;
  for (int i = 0; i < 200 && runDir.empty(); ++i) {
    for (const std::string& name : Entries(sandbox.tempDir()))
      if (name.rfind("NqEBSRun.", 0) == 0) runDir = TempFile(name.c_str());
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_FALSE(runDir.empty());
  struct stat st {};
  ASSERT_EQ(::lstat(runDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, ::getpwnam(kOracleAccount)->pw_uid);
  // Another account tries to plant a link at the export's name during the run.
  const std::string victim = sandbox.dir().file("victim");
  WriteFile(victim, "untouched");
  std::string out, err;
  const int planted = NqProcess::run("setpriv --reuid=54321 --regid=54321 --clear-groups ln -s " +
                                         victim + " " + runDir + "/NqEBSContext.out",
                                     &out, &err, 10000);
  EXPECT_NE(planted, 0) << out << err;
  discovery.join();
  EXPECT_EQ(call.errorCode, 0) << sandbox.log();
  EXPECT_EQ(ReadFile(victim), "untouched");
  EXPECT_EQ(Entries(sandbox.tempDir()), std::vector<std::string>{"NqEBSDiscover.lock"});
}

// A lock file planted by another user (when the directory was not yet safe), a link at the
// lock's name, and the run directory of a host that died are never used nor followed.
TEST_F(Discovery, PlantedLocksAndStaleRunDirectoriesAreNeverUsed) {
  ASSERT_EQ(Discover().errorCode, 0);  // makes the temporary directory
  const std::string lock = TempFile("NqEBSDiscover.lock");
  const std::string victim = sandbox.dir().file("victim");
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
    EXPECT_EQ(Discover().errorCode, 0) << sandbox.log();
    struct stat st {};
    ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(ReadFile(victim), "untouched");
  }
  // A stale run directory holding a link to a directory of root's is removed, the link's
  // target left alone.
  const std::string stale = TempFile("NqEBSRun.Stale1");
  const std::string keep = sandbox.dir().file("keep");
  ASSERT_EQ(::mkdir(keep.c_str(), 0700), 0);
  WriteFile(keep + "/file", "kept");
  ASSERT_EQ(::mkdir(stale.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((stale + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(keep.c_str(), (stale + "/sub/link").c_str()), 0);
  EXPECT_EQ(Discover().errorCode, 0);
  EXPECT_FALSE(Exists(stale));
  EXPECT_EQ(ReadFile(keep + "/file"), "kept");

  // A directory of another account that the Oracle owner moved into its run directory (one it
  // may write to but not empty, a sticky one) is not emptied by root; the owner's files go.
  const uid_t owner = ::getpwnam(kOracleAccount)->pw_uid;
  const std::string moved = TempFile("NqEBSRun.Stale2");
  ASSERT_EQ(::mkdir(moved.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((moved + "/own").c_str(), 0700), 0);
  WriteFile(moved + "/own/file", "");
  ASSERT_EQ(::mkdir((moved + "/foreign").c_str(), 01777), 0);
  WriteFile(moved + "/foreign/file", "kept");
  for (const char* path : {"", "/own", "/own/file"})
    ASSERT_EQ(::lchown((moved + path).c_str(), owner, owner), 0);
  ASSERT_EQ(::chown((moved + "/foreign").c_str(), 54321, 54321), 0);
  EXPECT_EQ(Discover().errorCode, 0);
  EXPECT_FALSE(Exists(moved + "/own"));
  EXPECT_EQ(ReadFile(moved + "/foreign/file"), "kept");
}

// The temporary directory and every directory above it may be changed by root only (a sticky
// directory like /tmp aside, when the entry below it is root's); otherwise its owner could swap
// the run's files. Each refusal says why; nothing is created for a relative path.
TEST_F(Discovery, AnUnsafeTemporaryDirectoryIsRefused) {
  const auto makeDir = [](const std::string& dir, mode_t mode, uid_t owner, gid_t group) {
    ::mkdir(dir.c_str(), 0);
    ::chown(dir.c_str(), owner, group);
    ::chmod(dir.c_str(), mode);
  };
  const struct {
    const char* what;
    std::function<void(const std::string& base)> arrange;  // makes base/tmp or what leads to it
    std::string dir, cause;  // relative to the sandbox; `cause` is part of the ERROR line
  } cases[] = {
      {"a symbolic link to a safe directory",
       [&](auto& b) {
         makeDir(b + "/real", 0711, 0, 0);
         ::symlink((b + "/real").c_str(), (b + "/tmp").c_str());
       },
       "tmp", "/tmp is a symbolic link"},
      {"writable by all", [&](auto& b) { makeDir(b + "/tmp", 0777, 0, 0); }, "tmp",
       "/tmp may be written by others (mode 0777)"},
      {"writable by all and sticky (the former default)",
       [&](auto& b) { makeDir(b + "/tmp", 01777, 0, 0); }, "tmp",
       "/tmp may be written by others (mode 1777); the temporary directory must be writable by "
       "root only"},
      {"writable by a group", [&](auto& b) { makeDir(b + "/tmp", 0771, 0, 54321); }, "tmp",
       "/tmp may be written by others (mode 0771)"},
      {"owned by another user", [&](auto& b) { makeDir(b + "/tmp", 0711, 54321, 0); }, "tmp",
       "/tmp belongs to user id 54321"},
      {"not a directory", [](auto& b) { WriteFile(b + "/tmp", "x"); }, "tmp",
       "/tmp is not a directory"},
      {"a parent owned by another user",
       [&](auto& b) {
         makeDir(b + "/a", 0755, 54321, 54321);
         makeDir(b + "/a/tmp", 0711, 0, 0);
       },
       "a/tmp", "/a belongs to user id 54321"},
      {"a parent writable by a group, not sticky",
       [&](auto& b) {
         makeDir(b + "/a", 0775, 0, 54321);
         makeDir(b + "/a/tmp", 0711, 0, 0);
       },
       "a/tmp", "/a may be written by others (mode 0775) and is not sticky"},
      {"a sticky parent whose entry belongs to another user",
       [&](auto& b) {
         makeDir(b + "/a", 01777, 0, 0);
         makeDir(b + "/a/u", 0755, 54321, 54321);
         makeDir(b + "/a/u/tmp", 0711, 0, 0);
       },
       "a/u/tmp", "/a may be written by others (mode 1777) and "},
      {"a \"..\" component", [&](auto& b) { makeDir(b + "/tmp", 0711, 0, 0); }, "tmp/../tmp",
       "holds a \".\" or \"..\" component"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoverySandbox box;
    box.SetOratab("PROD:" + oracle->home() + ":N\n");
    c.arrange(box.dir().path());
    ScopedEnv temp("EBS_HOST_TEMP_DIR", box.dir().file(c.dir));
    PluginCall call = Discover();
    EXPECT_EQ(call.errorCode, 520);
    EXPECT_EQ(call.errorMessage, kFailed);
    EXPECT_NE(box.log().find("ERROR " + std::to_string(::getpid()) +
                             " [FetchEBSContextFiles] Temporary directory " +
                             box.dir().file(c.dir) + " refused: "),
              std::string::npos)
        << box.log();
    EXPECT_NE(box.log().find(c.cause), std::string::npos) << c.cause << "\n" << box.log();
  }
  // A relative path is refused before anything is created.
  TempDir cwd;
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(cwd.path());
  {
    ScopedEnv temp("EBS_HOST_TEMP_DIR", "relative/tmp");
    EXPECT_EQ(Discover().errorCode, 520);
  }
  std::filesystem::current_path(here);
  EXPECT_EQ(Entries(cwd.path()), std::vector<std::string>{});
  EXPECT_NE(sandbox.log().find("the temporary directory [relative/tmp] is not an absolute path"),
            std::string::npos);
  EXPECT_TRUE(oracle->Calls().empty());
}

// A missing temporary directory is made with its missing parents, each root's with mode 0711:
// nobody else can squat or change it, and the Oracle owner passes through.
TEST_F(Discovery, AMissingTemporaryDirectoryIsMadeRootOnly) {
  const std::string base = sandbox.dir().file("var");
  ScopedEnv temp("EBS_HOST_TEMP_DIR", base + "/lib/ebs-host/tmp/");
  EXPECT_EQ(Discover().errorCode, 0) << sandbox.log();
  for (const std::string& dir :
       {base, base + "/lib", base + "/lib/ebs-host", base + "/lib/ebs-host/tmp"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0711u) << dir;
    EXPECT_EQ(st.st_uid, 0u) << dir;
  }
}

// The owner of a directory above the temporary directory swaps it for one of its own, over and
// over, while discoveries run: refused each time before any file is written or anything run.
TEST_F(Discovery, AParentsOwnerRacingToSwapDirectoriesGetsNothing) {
  const std::string base = sandbox.dir().file("oracles");
  const uid_t owner = ::getpwnam(kOracleAccount)->pw_uid;
  ASSERT_EQ(::mkdir(base.c_str(), 0755), 0);
  ASSERT_EQ(::chown(base.c_str(), owner, owner), 0);
  ASSERT_EQ(::mkdir((base + "/tmp").c_str(), 0711), 0);
  ASSERT_EQ(::mkdir((base + "/evil").c_str(), 0755), 0);
  const std::string canary = sandbox.dir().file("canary");
  WriteFile(base + "/evil/NqEBSScript.sh", "id > " + canary + "\n");
  WriteFile(base + "/evil/NqEBSFetchContext.sql", "id > " + canary + "\n");
  ASSERT_EQ(::chown((base + "/evil").c_str(), owner, owner), 0);
  std::thread racer([&] {
    std::string out, err;
    NqProcess::run("cd " + base + " && end=$(($(date +%s)+3)); while [ $(date +%s) -lt $end ]; " +
                       "do mv tmp real; mv evil tmp; mv tmp evil; mv real tmp; done 2>/dev/null",
                   &out, &err, 20000);
  });
  ScopedEnv temp("EBS_HOST_TEMP_DIR", base + "/tmp");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Discover().errorCode, 520);
  racer.join();
  EXPECT_FALSE(Exists(canary));
  EXPECT_TRUE(oracle->Calls().empty());
  EXPECT_NE(sandbox.log().find(base + " belongs to user id " + std::to_string(owner)),
            std::string::npos)
      << sandbox.log();
}

// The processes of the export get a fixed environment, nothing of the host's, and the run
// directory as working directory: no library is found through the host's settings, its working
// directory or, for the programs that run as root, the Oracle home.
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
  EXPECT_NE(("\n" + env).find("\nLD_LIBRARY_PATH=" + oracle->home() + "/lib\n"), std::string::npos)
      << env;
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
  std::vector<std::string> args = {self, "--gtest_filter=DiscoveryHost.DISABLED_DiscoversOnce",
                                   "--gtest_also_run_disabled_tests"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t host = -1;
  ASSERT_EQ(::posix_spawn(&host, self.c_str(), nullptr, nullptr, argv.data(), environ), 0);
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
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 5s);
  for (const auto& e : std::filesystem::recursive_directory_iterator(sandbox.dir().path()))
    if (e.is_regular_file()) {
      EXPECT_EQ(ReadFile(e.path()).find(password), std::string::npos) << e.path();
    }
  oracle->Unset("hang");
  EXPECT_EQ(Entries(sandbox.tempDir()).size(), 2u);  // the lock and the dead run's directory
  EXPECT_EQ(Discover("PROD", "apps", password).errorCode, 0) << sandbox.log();
  EXPECT_EQ(Entries(sandbox.tempDir()), std::vector<std::string>{"NqEBSDiscover.lock"});
}

// A full disk under the run directory cuts the export short: sqlplus ends with a failure and the
// discovery fails instead of answering with the records written so far.
TEST_F(Discovery, AFullDiskIsAFailureNotATopology) {
  const std::string disk = sandbox.dir().file("disk");
  ASSERT_EQ(::mkdir(disk.c_str(), 0755), 0);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{disk};
  for (int i = 0; i < 4; ++i)
    oracle->AddContext("PROD_app" + std::to_string(i), "A",
                       "<oa_context>" + std::string(40000, ' ') + "</oa_context>");
  ScopedEnv temp("EBS_HOST_TEMP_DIR", disk + "/tmp");
  const PluginCall call = Discover();
  EXPECT_EQ(call.errorCode, 520);
  EXPECT_EQ(call.errorMessage, kFailed);
  // Either the database reports the failed write, or the export ends inside a record.
  const std::string log = sandbox.log();
  EXPECT_TRUE(log.find("ERROR " + std::to_string(::getpid()) + " [ExecShellScript] sqlplus") !=
                  std::string::npos ||
              log.find("/NqEBSContext.out ends inside a record") != std::string::npos)
      << log;
  EXPECT_EQ(Entries(disk + "/tmp"), std::vector<std::string>{"NqEBSDiscover.lock"});
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

}  // namespace

// The host of TheRunEndsWhenTheHostIsKilled: one discovery of PROD in the environment it is
// given. Disabled: it runs only when that test starts it.
TEST(DiscoveryHost, DISABLED_DiscoversOnce) {
  CallPlugin(Envelope(
      1, DiscoverRequest("PROD", "apps", std::getenv("EBS_TEST_DB_PASSWORD")).serialized()));
}
