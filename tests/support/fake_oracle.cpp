#include "support/fake_oracle.h"

#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace {

const std::string kFakeOracleDir = std::string(EBS_SOURCE_DIR) + "/tests/fake-oracle";

bool AccountExists() { return ::getpwnam(kOracleAccount) != nullptr; }

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE)
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool FakeOracle::Usable(std::string* why) {
  if (::geteuid() != 0) {
    *why = "switching to the Oracle owner with su needs root";
    return false;
  }
  // Test programs may run in parallel: the second useradd fails while the first holds the
  // password database, and then finds the account.
  for (int attempt = 0; attempt < 20 && !AccountExists(); ++attempt) {
    RunProgram({"useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
                "/bin/sh", kOracleAccount});
    if (!AccountExists()) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!AccountExists()) {
    *why = std::string("cannot create the account ") + kOracleAccount;
    return false;
  }
  return true;
}

FakeOracle::FakeOracle(const std::string& homeName) {
  // The owner must reach the home through its parent.
  ::chmod(root_.path().c_str(), 0755);
  home_ = root_.file(homeName);
  if (RunProgram({kFakeOracleDir + "/setup-home.sh", home_, kOracleAccount}) != 0)
    throw std::runtime_error("setup-home.sh failed for " + home_);
}

void FakeOracle::AddContext(const std::string& name, const std::string& type,
                            const std::string& text) {
  sqlite3* db = nullptr;
  const std::string path = home_ + "/fake/context.db";
  Check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), db, path.c_str());
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(
      db, "INSERT INTO fnd_oam_context_files(NAME, CTX_TYPE, TEXT) VALUES (?, ?, ?)", -1, &stmt,
      nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, type.data(), static_cast<int>(type.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 3, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(stmt);
  }
  sqlite3_finalize(stmt);
  const std::string message = sqlite3_errmsg(db);
  sqlite3_close(db);
  if (rc != SQLITE_DONE) throw std::runtime_error("insert: " + message);
}

void FakeOracle::ClearContexts() {
  sqlite3* db = nullptr;
  const std::string path = home_ + "/fake/context.db";
  Check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), db, path.c_str());
  const int rc = sqlite3_exec(db, "DELETE FROM fnd_oam_context_files", nullptr, nullptr, nullptr);
  const std::string message = sqlite3_errmsg(db);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("delete: " + message);
}

void FakeOracle::LoadSql(const std::string& sqlFile) {
  const std::filesystem::path file(sqlFile);
  const std::string script = "cd \"$1\" && exec sqlite3 -batch -bail \"$2\" < \"$3\"";
  if (RunProgram({"sh", "-c", script, "sh", file.parent_path().string(), home_ + "/fake/context.db",
                  file.filename().string()}) != 0)
    throw std::runtime_error("cannot load " + sqlFile);
}

void FakeOracle::Control(const std::string& name, const std::string* content) {
  const std::string path = home_ + "/fake/" + name;
  if (!content) {
    ::unlink(path.c_str());
    return;
  }
  WriteFile(path, *content);
  ::chmod(path.c_str(), 0644);
}

void FakeOracle::SetLogin(const std::string& user, const std::string& password) {
  Control("db_user", &user);
  Control("db_password", &password);
}

void FakeOracle::SetHang(bool hang) {
  const std::string empty;
  Control("hang", hang ? &empty : nullptr);
}

void FakeOracle::SetFail(int status) {
  const std::string text = std::to_string(status);
  Control("fail", status ? &text : nullptr);
}

void FakeOracle::SetDelay(int seconds) {
  const std::string text = std::to_string(seconds);
  Control("delay", seconds ? &text : nullptr);
}

std::vector<FakeOracle::Call> FakeOracle::Calls() const {
  std::vector<std::string> dirs;
  for (const auto& entry : std::filesystem::directory_iterator(home_ + "/fake/calls"))
    dirs.push_back(entry.path().string());
  std::sort(dirs.begin(), dirs.end());
  std::vector<Call> calls;
  for (const std::string& dir : dirs) {
    Call c;
    c.argv = Split(ReadFile(dir + "/argv"), '\0');
    c.user = ReadFile(dir + "/user");
    if (!c.user.empty() && c.user.back() == '\n') c.user.pop_back();
    c.env = ReadFile(dir + "/env");
    c.loginUser = ReadFile(dir + "/login_user");
    c.loginPassword = ReadFile(dir + "/login_password");
    c.script = ReadFile(dir + "/script");
    c.directory = ReadFile(dir + "/directory");
    c.outcome = ReadFile(dir + "/outcome");
    c.started = ReadFile(dir + "/started");
    c.finished = ReadFile(dir + "/finished");
    calls.push_back(std::move(c));
  }
  return calls;
}

DiscoverySandbox::DiscoverySandbox() : oratab_("EBS_HOST_ORATAB", host_.dir().file("oratab")) {
  // The Oracle owner writes the export into the temporary directory below.
  ::chmod(host_.dir().path().c_str(), 0755);
}

void DiscoverySandbox::SetOratab(const std::string& text) { WriteFile(oratabPath(), text); }
