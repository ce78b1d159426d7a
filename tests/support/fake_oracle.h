// Test support for discovery: an Oracle home of the fake (simulated) installation of
// tests/fake-oracle, owned by a local account, and a host sandbox whose instance table points at
// it. Discovery switches to the owner with su, so end-to-end tests need root; FakeOracle::Usable
// says why not otherwise, and tests skip then. Not thread-safe; one object per test.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "messages/requests.h"
#include "support/plugin.h"

// The account that owns the fake installations; created (useradd -r) when missing.
inline constexpr const char* kOracleAccount = "ebsora";

// An account whose primary group is the Oracle owner's, as a grid account of a standard layout
// shares oinstall with it; created (useradd -r) when missing. Its uid, or -1 when it cannot be.
inline constexpr const char* kGridAccount = "ebsgrid";
uid_t GridAccount();

class FakeOracle {
 public:
  // False, with the reason, when tests cannot switch to the owner account here.
  static bool Usable(std::string* why);

  // A home named `homeName` (any bytes but "/", NUL and line feed) in a fresh directory, its
  // database loaded from the SQL file `sql` if given.
  explicit FakeOracle(const std::string& homeName = "dbhome_1", const std::string& sql = "");
  const std::string& home() const { return home_; }

  // A row of fnd_oam_context_files, returned after the rows added before it.
  void AddContext(const std::string& name, const std::string& type, const std::string& text);
  // Writes or removes a control file of the fake sqlplus (db_user, db_password, hang, logon_error,
  // delay; see tests/fake-oracle/bin/sqlplus).
  void Set(const std::string& control, const std::string& content);
  void Unset(const std::string& control);

  // What sqlplus recorded (file name to content), one per call, oldest first.
  using Call = std::map<std::string, std::string>;
  std::vector<Call> Calls() const;

 private:
  TempDir root_;
  std::string home_;
};

// Expects exactly one call of `oracle`'s sqlplus: "sqlplus /nolog" in the Oracle environment of
// `sid`, logged in as `user` with `password`, exporting into `tempDir` by the PL/SQL script there.
void ExpectOneExport(const FakeOracle& oracle, const std::string& sid, const std::string& user,
                     const std::string& password, const std::string& tempDir);

// A host sandbox whose instance table is the test's own file, and whose directory the Oracle
// owner can pass through (the export is written below it).
struct DiscoverySandbox : HostSandbox {
  DiscoverySandbox() { ::chmod(dir().path().c_str(), 0755); }
  std::string oratabPath() const { return dir().file("oratab"); }
  void SetOratab(const std::string& text) const { WriteFile(oratabPath(), text); }
};
