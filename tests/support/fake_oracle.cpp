#include "support/fake_oracle.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "platform/host/process.h"

namespace fs = std::filesystem;

namespace {

// Runs a program (its absolute path) with its arguments, no shell; returns its exit status.
int RunProgram(std::vector<std::string> argv) {
  NqCommand command;
  command.argv = std::move(argv);
  command.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  return NqProcess::Execute(command, nullptr, nullptr);
}

// The system account `name`, made with `options` when missing. Test programs may run in parallel:
// a useradd fails while another one holds the password database, and the account is there a
// moment later.
const struct passwd* Account(const char* name, std::vector<std::string> options) {
  options.insert(options.begin(),
                 {"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent"});
  options.push_back(name);
  for (int attempt = 0; attempt < 20 && !::getpwnam(name); ++attempt)
    if (RunProgram(options) != 0) ::usleep(200000);
  return ::getpwnam(name);
}

}  // namespace

bool FakeOracle::Usable(std::string* why) {
  *why = "switching to the Oracle owner with su needs root";
  if (::geteuid() != 0) return false;
  *why = std::string("cannot create the account ") + kOracleAccount;
  return Account(kOracleAccount, {"--shell", "/bin/sh"}) != nullptr;
}

uid_t GridAccount() {
  const struct passwd* owner = ::getpwnam(kOracleAccount);
  if (!owner) return static_cast<uid_t>(-1);
  const struct passwd* grid = Account(
      kGridAccount, {"--shell", "/usr/sbin/nologin", "--gid", std::to_string(owner->pw_gid)});
  return grid ? grid->pw_uid : static_cast<uid_t>(-1);
}

FakeOracle::FakeOracle(const std::string& homeName, const std::string& sql) {
  ::chmod(root_.path().c_str(), 0755);  // the owner reaches the home through it
  home_ = root_.file(homeName);
  std::vector<std::string> argv = {EBS_SOURCE_DIR "/tests/fake-oracle/setup-home.sh", home_,
                                   kOracleAccount};
  if (!sql.empty()) argv.push_back(sql);
  if (RunProgram(argv) != 0) throw std::runtime_error("setup-home.sh failed for " + home_);
}

void FakeOracle::AddContext(const std::string& name, const std::string& type,
                            const std::string& text) {
  // The values go through files, so that any byte arrives as it is.
  TempDir dir;
  std::string sql = "INSERT INTO fnd_oam_context_files(NAME, CTX_TYPE, TEXT) VALUES (";
  for (const auto& [file, value] : {std::pair{"name", name}, {"type", type}, {"text", text}}) {
    WriteFile(dir.file(file), value);
    sql += "CAST(readfile('" + dir.file(file) + "') AS TEXT),";
  }
  sql.back() = ')';
  if (RunProgram({"/usr/bin/sqlite3", home_ + "/fake/context.db", sql}) != 0)
    throw std::runtime_error("cannot add the context " + name);
}

void FakeOracle::Set(const std::string& control, const std::string& content) {
  // Whole or not at all: the fake sqlplus never reads a control file half written.
  const std::string path = home_ + "/fake/" + control, part = path + ".part";
  WriteFile(part, content);
  if (ReadFile(part) != content || ::chmod(part.c_str(), 0644) != 0 ||
      ::rename(part.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot put the control file " + path + " in place");
}

void FakeOracle::Unset(const std::string& control) {
  ::unlink((home_ + "/fake/" + control).c_str());
}

std::vector<FakeOracle::Call> FakeOracle::Calls() const {
  std::vector<fs::path> dirs;
  for (const auto& entry : fs::directory_iterator(home_ + "/fake/calls")) dirs.push_back(entry);
  std::sort(dirs.begin(), dirs.end());
  std::vector<Call> calls(dirs.size());
  for (size_t i = 0; i < dirs.size(); ++i)
    for (const auto& file : fs::directory_iterator(dirs[i]))
      calls[i][file.path().filename()] = ReadFile(file.path());
  return calls;
}

void ExpectOneExport(const FakeOracle& oracle, const std::string& sid, const std::string& user,
                     const std::string& password, const std::string& tempDir) {
  std::vector<FakeOracle::Call> calls = oracle.Calls();
  ASSERT_EQ(calls.size(), 1u);
  FakeOracle::Call& call = calls[0];
  EXPECT_EQ(call["argv"], std::string("/nolog\0", 7));
  EXPECT_EQ(call["login_user"], user);
  EXPECT_EQ(call["login_password"], password);
  // The run's private directory in the temporary directory, also sqlplus's working directory.
  const std::string runDir = call["directory"];
  EXPECT_EQ(runDir.substr(0, tempDir.size() + 10), tempDir + "/NqEBSRun.") << runDir;
  EXPECT_EQ(runDir.size(), tempDir.size() + 16) << runDir;
  EXPECT_EQ(call["cwd"], runDir + "\n");
  EXPECT_EQ(call["script"], runDir + "/NqEBSFetchContext.sql");
  EXPECT_EQ(call["outcome"], "exported");
  for (const std::string& line :
       {"\nORACLE_HOME=" + oracle.home() + "\n", "\nORACLE_SID=" + sid + "\n",
        "\nLD_LIBRARY_PATH=" + oracle.home() + "/lib\n"})
    EXPECT_NE(("\n" + call["env"]).find(line), std::string::npos) << line << " in " << call["env"];
}
