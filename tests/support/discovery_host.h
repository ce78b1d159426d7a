// A host for discovery tests that need neither su nor a database: the worker runs on a
// HostServices whose Execute answers as the Oracle owner's sqlplus would (it writes the export
// file into the run directory, prints ORA- lines, fails...), in a host sandbox whose instance
// table names an Oracle home of the test. The home belongs to the test's own account, or to
// nobody (65534) when the test runs as root, since sqlplus never runs as root. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/account.h"
#include "discovery/export_scripts.h"
#include "messages/requests.h"
#include "platform/services/host_services.h"
#include "support/fake_oracle.h"
#include "support/plugin.h"
#include "support/test_text.h"
#include "worker/NqEBSInterface.h"

// What the fake sqlplus does in one run.
struct FakeSqlplus {
  int status = 0;
  std::string out, err;  // its standard output and error
  // Written to the export file, owned by the run directory's owner, unless `act` is set.
  std::string exportText = "PROD_db,D,<oa_context/>\n\n";
  std::function<void(int runFd)> act;  // does instead what the database does
  bool echoInput = false;              // copies the script, login included, to standard error
};

class FakeDiscoveryHost : public HostServices {
 public:
  FakeSqlplus sqlplus;
  uid_t uid = 0;                    // what EffectiveUid answers
  std::vector<NqCommand> commands;  // every command run, its input kept

  int Execute(const NqCommand& command, std::string* out, std::string* err) override {
    commands.push_back(command);
    *out = sqlplus.out;
    *err = (sqlplus.echoInput ? command.input : "") + sqlplus.err;
    if (sqlplus.act) {
      sqlplus.act(command.cwdFd);
    } else if (sqlplus.status == 0) {
      const int fd = NewExport(command.cwdFd);
      (void)!::write(fd, sqlplus.exportText.data(), sqlplus.exportText.size());
      ::close(fd);
    }
    return sqlplus.status;
  }
  // The export file, made in the run directory `runFd` as its owner's database makes it, of
  // `size` zero bytes (a sparse file).
  static int NewExport(int runFd, off_t size = 0) {
    struct stat dir {};
    const int fd = ::openat(runFd, kExportFileName,
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 && ::fstat(runFd, &dir) == 0) (void)!::fchown(fd, dir.st_uid, dir.st_gid);
    if (fd >= 0 && size > 0) (void)!::ftruncate(fd, size);
    return fd;
  }
  uid_t EffectiveUid() override { return uid; }
  std::string tempDir;  // what TempDirectory answers, when set
  std::string TempDirectory() override {
    return tempDir.empty() ? HostServices::TempDirectory() : tempDir;
  }
};

// The account an Oracle home of the test belongs to.
inline uid_t HomeOwner() { return ::geteuid() == 0 ? 65534 : ::geteuid(); }

// A sandbox with an Oracle home "dbhome_1" (bin/oracle and bin/sqlplus) of `owner` named by the
// instance table for PROD, and `host` to discover through.
class DiscoveryBox : public DiscoverySandbox {
 public:
  explicit DiscoveryBox(uid_t owner = HomeOwner()) : owner(owner) {
    ::chmod(homes_.path().c_str(), 0755);
    home = MakeHome("dbhome_1", owner);
    SetOratab("PROD:" + home + ":N\n");
  }
  // Another Oracle home `name` of `owner` beside the first.
  std::string MakeHome(const std::string& name, uid_t owner = HomeOwner()) const {
    const std::string path = homes_.file(name);
    for (const std::string& d : {path, path + "/bin"}) ::mkdir(d.c_str(), 0755);
    for (const char* f : {"/bin/oracle", "/bin/sqlplus"}) WriteFile(path + f, "");
    for (const char* p : {"", "/bin", "/bin/oracle", "/bin/sqlplus"})
      (void)!::lchown((path + p).c_str(), owner, static_cast<gid_t>(-1));
    return path;
  }
  struct Answer {
    int errorCode;
    std::string errorMessage, inner, request;
  };
  Answer Discover(const std::string& sid = "PROD", const std::string& user = "apps",
                  const std::string& password = "apps") {
    NqEBSInterface worker(host);
    std::string xml = DiscoverRequest(sid, user, password).serialized();
    const std::string request = xml;
    worker.ProcessXMLReq(xml);
    return {worker.GetErrorCode(), worker.GetErrorMessage(), xml, request};
  }

  FakeDiscoveryHost host;
  const uid_t owner;
  std::string home;

 private:
  TempDir homes_;
};

inline bool Logged(const std::string& log, const std::string& label, const std::string& text) {
  return log.find("[" + label + "] " + text + "\n") != std::string::npos;
}

// `text` with $H standing for the Oracle home, $P the directory holding it, $S the sandbox, $O
// the owner's name and $U its uid.
inline std::string Expand(std::string text, const DiscoveryBox& box) {
  const std::pair<const char*, std::string> marks[] = {
      {"$H", box.home},
      {"$P", box.home.substr(0, box.home.rfind('/'))},
      {"$S", box.dir().path()},
      {"$O", LookupAccount(box.owner)->name},
      {"$U", std::to_string(box.owner)}};
  for (const auto& [mark, value] : marks)
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark))
      text.replace(at, 2, value);
  return text;
}

// Expects what every failed discovery shows: the answer 520 with the request as given (unless
// `answer` is null), an ERROR line that holds `cause`, the failure logged, sqlplus run `runs`
// times, and nothing left in the temporary directory but the lock; a failure before the run
// leaves no temporary directory at all. `cause` is expanded (Expand).
inline void ExpectFailure(const DiscoveryBox& box, const DiscoveryBox::Answer* answer,
                          std::string cause, size_t runs) {
  if (answer) {
    EXPECT_EQ(answer->errorCode, 520);
    EXPECT_EQ(answer->errorMessage, "Unable to fetch EBS Context Files");
    EXPECT_EQ(answer->inner, answer->request);
  }
  cause = Expand(cause, box);
  const std::string log = box.log();
  bool found = false;
  for (const std::string& line : Split(log))
    found = found ||
            (line.find(" ERROR ") != std::string::npos && line.find(cause) != std::string::npos);
  EXPECT_TRUE(found) << cause << "\n" << log.substr(0, 8000);
  EXPECT_TRUE(Logged(log, "Discover", "Unable to fetch EBS Context Files"));
  EXPECT_EQ(box.host.commands.size(), runs);
  // No export, script or run directory is left behind.
  const std::vector<std::string> left = Entries(box.tempDir());
  EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"NqEBSDiscover.lock"});
  if (runs == 0) {
    struct stat st {};
    EXPECT_NE(::lstat(box.tempDir().c_str(), &st), 0);
  }
}
