// Where a discovery works. The platform's temporary directory must be a trusted path (see
// base/trusted_dir.h) that the Oracle owner can enter. Each discovery works in a private run
// directory made inside it by root and owned by the Oracle owner, whose database writes the
// export there; everything below the temporary directory is reached through directory
// descriptors (openat with O_NOFOLLOW), never again by a path another account could swap.
// Nothing throws. Thread-safe; a RunDirectory object is owned by one thread.
#pragma once

#include <string>

#include "base/file_io.h"
#include "base/status.h"
#include "discovery/oracle_home.h"

// The temporary directory `path` when it is a trusted path (base/trusted_dir.h) and, with
// `account` given, one that account can enter at every component: its database resolves the
// run directory by its path.
Result<UniqueFd> OpenTempDirectory(const std::string& path, const OracleAccount* account);

inline constexpr const char* kRunDirectoryPrefix = "NqEBSRun.";

// Removes every run directory left in the temporary directory `tempFd` by a host that died
// during a discovery. Call it only while holding the discovery lock.
void RemoveStaleRunDirectories(int tempFd);

// The private directory of one discovery: "NqEBSRun.XXXXXX" in the temporary directory, made by
// root, then given to the Oracle owner with mode 0700 (no access for others). Removed with
// everything in it by Remove() or the destructor. It keeps its own descriptor of the temporary
// directory, so it outlives the one it was made with.
class RunDirectory {
 public:
  RunDirectory() = default;
  ~RunDirectory() { (void)Remove(); }
  RunDirectory(const RunDirectory&) = delete;
  RunDirectory& operator=(const RunDirectory&) = delete;

  Status Create(int tempFd, const std::string& tempPath, const OracleAccount& owner);
  // The error names the directory and what of it could not be removed.
  Status Remove();
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  UniqueFd tempFd_, fd_;
  std::string name_, path_;
};
