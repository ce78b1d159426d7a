// Discovery through the worker on a host whose sqlplus is a fake (support/discovery_host.h): the
// instance table, the Oracle home and owner, the values of the scripts, the temporary directory
// and the export file, with every failure's answer and ERROR line. No root, su or database.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/discovery_host.h"
#include "support/test_text.h"

namespace {

const char* const kFailed = "Unable to fetch EBS Context Files";

std::string OwnerName() { return LookupAccount(HomeOwner())->name; }

// Whether `check`, run in a child, holds; the child is ended after `seconds` (SIGALRM, its
// default action restored and unblocked, whatever the test runner left) if it blocks.
bool HoldsWithin(unsigned seconds, const std::function<bool()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGALRM, SIG_DFL);
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    ::sigprocmask(SIG_UNBLOCK, &alarm, nullptr);
    ::alarm(seconds);
    ::_exit(check() ? 0 : 1);
  }
  int status = -1;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// An export file of these records, as the database writes it.
std::string Export(const std::vector<std::string>& records) {
  std::string text;
  for (const std::string& r : records) text += r + "\n\n";
  return text;
}

// Every failure answers 520 with the request as given, logs its cause as one ERROR line that
// names the values involved, and leaves nothing in the temporary directory but the lock. Rows
// refused before the export never run sqlplus.
TEST(Discovery, EachFailureAnswers520AndLogsItsCause) {
  using Arrange = std::function<void(DiscoveryBox&)>;
  // What sqlplus does: {status, out, err, export text, act instead, echo its input}.
  const auto sqlplus = [](FakeSqlplus does) {
    return [does](DiscoveryBox& b) { b.host.sqlplus = does; };
  };
  const struct {
    const char* what;
    Arrange arrange;
    std::string cause;  // a part of an ERROR line, marks as ExpectFailure's
    bool runs;          // whether sqlplus was started
    std::string sid = "PROD", user = "apps", password = "apps";
    bool bounded = false;    // the call may block: it runs in a child ended after 5 s
    std::string debug = "";  // a DEBUG line of FetchDBHome, if any, marks as for `cause`
  } cases[] = {
      {"no instance table", [](auto& b) { ::unlink(b.oratabPath().c_str()); },
       "[FetchDBHome] cannot open the instance table $S/oratab: No such file", false},
      // The table is the host's setting: a link there is followed (or found leading nowhere).
      {"a link to no instance table",
       [](auto& b) {
         ::unlink(b.oratabPath().c_str());
         ::symlink(b.dir().file("nothing").c_str(), b.oratabPath().c_str());
       },
       "[FetchDBHome] cannot open the instance table $S/oratab: No such file", false, "PROD",
       "apps", "apps", false, "Failed to open file $S/oratab, continue with next file"},
      {"an instance table that is a directory: opened but not read",
       [](auto& b) {
         ::unlink(b.oratabPath().c_str());
         ::mkdir(b.oratabPath().c_str(), 0755);
       },
       "the instance table $S/oratab is not a regular file", false, "PROD", "apps", "apps", false,
       "Failed to read from file $S/oratab "},
      {"the instance table is a FIFO: no wait for a writer",
       [](auto& b) {
         ::unlink(b.oratabPath().c_str());
         ::mkfifo(b.oratabPath().c_str(), 0644);
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
      {"bin/oracle a link to a root-owned file (the owner replaced it)",
       [](auto& b) {
         ::unlink((b.home + "/bin/oracle").c_str());
         ::symlink("/bin/true", (b.home + "/bin/oracle").c_str());
       },
       "$H/bin/oracle is a symbolic link", false},
      {"bin/oracle a second name",
       [](auto& b) { ::link((b.home + "/bin/oracle").c_str(), (b.home + "/oracle-too").c_str()); },
       "$H/bin/oracle has 2 hard links; it must have one", false},
      {"a directory above the home that anybody may change",
       [](auto& b) { ::chmod(b.home.substr(0, b.home.rfind('/')).c_str(), 0777); },
       "$P above the Oracle home may be written by any user (mode 0777) and is not sticky", false},
      {"a bin directory anybody may change",
       [](auto& b) { ::chmod((b.home + "/bin").c_str(), 0777); },
       "$H/bin may be written by any user (mode 0777)", false},
      {"an empty password", nullptr, "The database password is empty", false, "PROD", "apps", ""},
      {"an empty user", nullptr, "The database user is empty", false, "PROD", "", "apps"},
      {"a double quote in the password", nullptr, "The database password holds a double quote",
       false, "PROD", "apps", "ap\"ps"},
      {"a line feed in the user name", nullptr, "The database user holds a line feed or NUL byte",
       false, "PROD", "ap\nps"},
      // su would ask for a password.
      {"not root", [](auto& b) { b.host.uid = 65534; },
       "[FetchEBSContextFiles] Discovery must run as root to switch to the Oracle owner $O; "
       "it runs as uid 65534",
       false},
      {"the owner cannot enter a directory above the temporary directory",
       [](auto& b) {
         ::mkdir(b.dir().file("closed").c_str(), 0600);
         b.host.tempDir = b.dir().file("closed/tmp");
       },
       "Temporary directory $S/closed/tmp refused: the Oracle owner $O (uid", false},
      // Its standard error is logged with the password masked (checked for every row).
      {"a failing sqlplus shows its input, the login",
       sqlplus({3, "", "sqlplus: failing as told\n", "", nullptr, true}),
       "The export as $O through sqlplus failed with status 3: sqlplus: failing as told", true,
       "PROD", "apps", "Echo-Secret-42"},
      {"the database writes no export and reports nothing",
       sqlplus({0, "Connected.\n", "", "", [](int) {}}),
       "[ExecShellScript] The database wrote no export file $S/tmp/NqEBSRun.", true},
      {"a wrong login",
       sqlplus({0, "ERROR:\nORA-01017: invalid username/password; logon denied\n", "", "",
                [](int) {}}),
       "sqlplus as $O for SID [PROD]: ORA-01017: invalid username/password; logon denied "
       "(wrong database user or password)",
       true},
      {"no context file", sqlplus({0, "", "", "", nullptr}),
       "/NqEBSContext.out is empty: fnd_oam_context_files of SID [PROD] gave no context file",
       true},
      {"a cut export: the write fails",
       sqlplus({1, "ERROR at line 1:\nORA-29285: file write error\n", "", "", nullptr}),
       "ORA-29285: file write error (the database could not write the export", true},
      {"an export that ends inside a record",
       sqlplus({0, "", "", "PROD_db,D,<oa_cont", nullptr}),
       "/NqEBSContext.out ends inside a record (18 bytes): the export was cut short", true},
      {"the export a link to a file of the owner",
       sqlplus({0, "", "", "", [](int fd) { ::symlinkat("/etc/passwd", fd, kExportFileName); }}),
       "/NqEBSContext.out: NqEBSContext.out is a symbolic link", true},
      // A name is written as it is, line feeds included: one row makes a line per record.
      {"an export of more lines than any instance has",
       sqlplus({0, "", "", Export({Repeat("x,A,<a/>\n", 20000) + ",A,<a/>"}), nullptr}),
       "/NqEBSContext.out has more than 20000 lines; no instance has that many context files",
       true},
      // A sparse file of 1 TiB costs nothing to make: refused by its size, before any read.
      {"an export larger than any instance's",
       sqlplus({0, "", "", "",
                [](int fd) { ::close(FakeDiscoveryHost::NewExport(fd, off_t{1} << 40)); }}),
       "/NqEBSContext.out: NqEBSContext.out is larger than 268435456 bytes", true},
      {"the export a second name of a file of the owner",
       [](auto& b) {
         const std::string file = b.dir().file("file");
         WriteFile(file, Export({"PROD_db,D,<oa_context/>"}));
         (void)!::chown(file.c_str(), HomeOwner(), static_cast<gid_t>(-1));
         b.host.sqlplus.act = [file](int fd) {
           ::linkat(AT_FDCWD, file.c_str(), fd, kExportFileName, 0);
         };
       },
       "/NqEBSContext.out belongs to user id $U with 2 links", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiscoveryBox box;
    if (c.arrange) c.arrange(box);
    DiscoveryBox::Answer answer{};
    if (c.bounded) {
      EXPECT_TRUE(HoldsWithin(5, [&] {
        const DiscoveryBox::Answer a = box.Discover(c.sid, c.user, c.password);
        return a.errorCode == 520 && a.errorMessage == kFailed && a.inner == a.request;
      }));
    } else {
      answer = box.Discover(c.sid, c.user, c.password);
    }
    ExpectFailure(box, c.bounded ? nullptr : &answer, c.cause, c.runs ? 1 : 0);
    if (!c.debug.empty()) {
      EXPECT_TRUE(Logged(box.log(), "FetchDBHome", Expand(c.debug, box)));
    }
    // No password shows in the log (a short one may be a word of the log).
    if (c.password.size() > 8) {
      EXPECT_EQ(box.log().find(c.password), std::string::npos);
    }
  }
}

// Home and owner come from the last entry of the SID whose home and owner are usable; the other
// lines are told in debug lines.
TEST(Discovery, HomeAndOwnerComeFromTheLastUsableEntry) {
  DiscoveryBox box;
  const std::string second = box.MakeHome("dbhome_2");
  // The table is the host's setting: a link there is followed.
  ::unlink(box.oratabPath().c_str());
  ASSERT_EQ(::symlink(box.dir().file("oratab.real").c_str(), box.oratabPath().c_str()), 0);
  box.SetOratab("just a line\n*:/u01/agent:N\nPROD:" + box.home + ":N\n  PROD:" + second +
                "\r\nPROD:/nonexistent/db:N\nPRODUCTION:/u01/other:N\n");
  EXPECT_EQ(box.Discover().errorCode, 0) << box.log();
  const std::string log = box.log();
  for (const std::string& line :
       {"Invalid entry in file : " + box.oratabPath() + " : just a line",
        std::string("Skipping this entry *:/u01/agent"),
        std::string("Failed to get owner id for  file /nonexistent/db/bin/oracle"),
        "Oracle user Name : " + OwnerName() + " , Oracle Home " + second})
    EXPECT_TRUE(Logged(log, "FetchDBHome", line)) << line << "\n" << log;
  EXPECT_EQ(log.find("/u01/other"), std::string::npos);
}

// The error line lists the first twenty distinct SIDs of the table in its order (the lookup
// stays linear in a huge table: bench/oratab_bench). A table over the bound (16 MiB) is read up
// to it: its whole lines count.
TEST(Discovery, TheSIDsAreListedAndATableOverTheBoundIsReadUpToIt) {
  DiscoveryBox box;
  std::string table, entries;
  for (int i = 0; i < 25; ++i) table += "S" + std::to_string(i) + ":/u01/db:N\nS0:/u01/db:N\n";
  for (int i = 0; i < 20; ++i) entries += "S" + std::to_string(i) + ", ";
  box.SetOratab(table);
  EXPECT_EQ(box.Discover().errorCode, 520);
  EXPECT_NE(box.log().find("SID [PROD] has no entry in " + box.oratabPath() +
                           " (entries: " + entries + "...)"),
            std::string::npos);

  constexpr size_t kBound = 16u << 20;
  const std::string entry = "PROD:" + box.home + ":N\n";
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
    box.SetOratab(c.table);
    const size_t before = box.log().size();
    EXPECT_EQ(box.Discover().errorCode, c.errorCode);
    const std::string log = box.log().substr(before);
    EXPECT_EQ(Logged(log, "FetchDBHome", "Failed to read from file " + box.oratabPath() + " "),
              c.inPart);
    if (c.errorCode != 0) {
      EXPECT_NE(log.find("SID [PROD] has no entry in " + box.oratabPath() +
                         " (entries: none); read in part: the instance table " + box.oratabPath() +
                         " is larger than 16777216 bytes"),
                std::string::npos)
          << log.substr(0, 4000);
    }
  }
}

// A context file that cannot be parsed is skipped; the others are still read, and the answer
// names the first one that could not. Only type "D" is the database tier. A record name is the
// database's text: an overlong one reaches the answer and the log cut short. The export holds at
// most 20000 lines: exactly that many are read.
TEST(Discovery, TheExportsRecordsAreReadOrNamed) {
  DiscoveryBox box;
  box.host.sqlplus.exportText =
      Export({"PROD_db,D,<oa_context/>", "PROD_broken,A,<oa_context><oa_host><host>x</oa_host>",
              "PROD_ebsdb01,D,<oa_context><global_db_name>PROD</global_db_name></oa_context>",
              "PROD_notxml,A,not XML at all",
              "PROD_ebsapp01,A,<oa_context><oa_host><host>ebsapp01</host></oa_host></oa_context>",
              "PROD_lower,d,<oa_context><oa_host><host>ebsapp02</host></oa_host></oa_context>"});
  DiscoveryBox::Answer answer = box.Discover();
  EXPECT_EQ(answer.errorCode, 520);
  EXPECT_EQ(answer.errorMessage, "Invalid EBS context file [PROD_broken]");
  Hux::OraEBSReqResp inner;
  ASSERT_TRUE(inner.unserialize(answer.inner));
  auto config = View(inner).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  EXPECT_EQ(config.child(Hux::OraEBSConfig::dbTier, Create::No).get(Hux::OraEBSDBTier::dbName),
            "PROD");
  auto nodes = config.child(Hux::OraEBSConfig::appTier, Create::No)
                   .list(Hux::OraEBSAppTier::appNodes, Create::No);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes.at(0).get(Hux::OraEBSAppNode::hostName), "ebsapp01");
  EXPECT_EQ(nodes.at(1).get(Hux::OraEBSAppNode::hostName), "ebsapp02");
  for (const char* line :
       {"nodeName [PROD_notxml]", "nodeType [A]", "Skipping the invalid context file [PROD_broken]",
        "Skipping the invalid context file [PROD_notxml]",
        "Read 6 context records, 2 of them invalid"})
    EXPECT_TRUE(Logged(box.log(), "Discover", line)) << line;

  box.host.sqlplus.exportText = Export({std::string(5000, 'N') + ",A,not XML at all"});
  answer = box.Discover();
  EXPECT_EQ(answer.errorMessage,
            "Invalid EBS context file [" + std::string(256, 'N') + "…[4744 bytes cut]]");
  EXPECT_EQ(box.log().find(std::string(257, 'N')), std::string::npos);

  // Two rows of two line feeds each, and the name's: 20000, then 20001.
  for (const size_t names : {19996u, 19997u}) {
    box.host.sqlplus.exportText =
        Export({"PROD_db,D,<oa_context/>", std::string(names, '\n') + "PROD_x,D,<oa_context/>"});
    EXPECT_EQ(box.Discover().errorCode, names == 19996 ? 0 : 520) << names;
  }
  EXPECT_EQ(Count(box.log(), "has more than 20000 lines"), 1u);
}

// A missing temporary directory is made for a run with its missing parents, mode 0711: nobody
// else can squat or change it, and the Oracle owner passes through. (A failure before the run
// makes none: see ExpectFailure.)
TEST(Discovery, AMissingTemporaryDirectoryIsMadeForARun) {
  DiscoveryBox made;
  const std::string base = made.dir().file("var");
  ScopedEnv temp("EBS_HOST_TEMP_DIR", base + "/lib/ebs-host/tmp/");
  EXPECT_EQ(made.Discover().errorCode, 0) << made.log();
  for (const std::string& dir :
       {base, base + "/lib", base + "/lib/ebs-host", base + "/lib/ebs-host/tmp"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(st.st_mode & 07777, 0711u) << dir;
    EXPECT_EQ(st.st_uid, ::geteuid()) << dir;
  }
  EXPECT_EQ(Entries(base + "/lib/ebs-host/tmp"), std::vector<std::string>{"NqEBSDiscover.lock"});
}

}  // namespace
