// Test support for discovery: an Oracle home of the fake (simulated) installation of
// tests/fake-oracle, owned by a local account, and a host sandbox whose instance table points at
// it. Discovery switches to the owner with su, so these need root; FakeOracle::Usable says why
// not otherwise, and tests skip then. Not thread-safe; one object per test.
#pragma once

#include "messages/requests.h"

#include <string>
#include <vector>

#include "support/plugin.h"

// The account that owns the fake installations; created (useradd -r) when missing.
inline constexpr const char* kOracleAccount = "ebsora";

// Runs a program with its arguments (no shell); returns its exit status, or -1.
int RunProgram(const std::vector<std::string>& argv);

class FakeOracle {
 public:
  // False, with the reason, when tests cannot switch to the owner account here.
  static bool Usable(std::string* why);

  // A home named `homeName` (any bytes but "/", NUL and line feed) inside a fresh directory.
  explicit FakeOracle(const std::string& homeName = "dbhome_1");
  const std::string& home() const { return home_; }

  // Rows of fnd_oam_context_files, in the order the database returns them.
  void AddContext(const std::string& name, const std::string& type, const std::string& text);
  void ClearContexts();
  // Runs a SQL file on the database from its directory (see tests/fake-oracle/sandbox).
  void LoadSql(const std::string& sqlFile);

  void SetLogin(const std::string& user, const std::string& password);
  void SetHang(bool hang);
  void SetFail(int status);  // 0: do not fail
  void SetDelay(int seconds);

  // What sqlplus received, one per call, oldest first.
  struct Call {
    std::vector<std::string> argv;
    std::string user, env, loginUser, loginPassword, script, directory, outcome;
    std::string started, finished;  // nanoseconds since the epoch, as text of equal width
  };
  std::vector<Call> Calls() const;

 private:
  void Control(const std::string& name, const std::string* content);
  TempDir root_;
  std::string home_;
};

// A host sandbox (temp dir, store, log) whose instance table is a file of the test's own,
// reachable by the Oracle owner.
class DiscoverySandbox {
 public:
  DiscoverySandbox();
  HostSandbox& host() { return host_; }
  std::string tempDir() const { return host_.tempDir(); }
  std::string log() const { return host_.log(); }
  void SetOratab(const std::string& text);
  std::string oratabPath() const { return host_.dir().file("oratab"); }

 private:
  HostSandbox host_;
  ScopedEnv oratab_;
};
