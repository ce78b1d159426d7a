// Files of a discovery. The platform's temporary directory must be a trusted path (see
// OpenTrustedDirectory): only root may change it or any directory above it. Each discovery works
// in a private run directory made inside it by root and owned by the Oracle owner, whose
// database writes the export there; everything below the temporary directory is reached through
// directory descriptors (openat with O_NOFOLLOW), never again by a path another account could
// swap. Functions return false with a short reason in `error`; nothing throws. Thread-safe;
// RunDirectory and DiscoveryLock objects are owned by one thread each.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "base/file_io.h"

// The operating-system account that discovery runs sqlplus as.
struct OracleAccount {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::vector<gid_t> groups;  // its primary and supplementary groups
};

// Opens the directory `path` when it is a trusted path, and returns its descriptor (or -1):
// an absolute path without "." or ".." components whose every component is a real directory
// (no symbolic link) owned by root or the effective user, and writable by nobody else. One
// exception for directories like /tmp: a sticky directory writable by others is fine when the
// component below it belongs to root (or the effective user). The last component itself must
// be writable by its owner only. When `account` is given, it must be able to enter every
// component, since the database resolves the run directory by its path.
int OpenTrustedDirectory(const std::string& path, const OracleAccount* account, std::string* error);

// Creates `name` in `dirFd` exclusively (O_EXCL|O_NOFOLLOW), writes `content` and gives it
// exactly `mode`.
bool WriteNewFileAt(int dirFd, const char* name, const std::string& content, mode_t mode,
                    std::string* error);

// How ReadRegularFileAt opens a file and names it in its errors.
struct ReadOptions {
  // Follow a symbolic link at the name: only for a path no other account can change (the
  // instance table, say), never below the temporary directory.
  bool followLinks = false;
  std::string shownAs;  // the words naming the file in errors; the name itself when empty
  // Keep what could be read: a larger file is read up to the bound (not refused by its size
  // first), and `content` keeps its first maxBytes bytes, or the bytes before a failed read.
  bool keepPartial = false;
};

enum class ReadResult {
  kRead,
  kCannotOpen,  // no such file, no permission, ...
  kRefused,     // a symbolic link not followed, not a regular file, unreadable or too large
};

// Reads the regular file `name` in `dirFd` (AT_FDCWD for a path) without blocking on a FIFO, up
// to `maxBytes` (a longer file is an error). `st` receives its status. Unless the options keep
// what was read, a file whose size is over the bound is refused before a byte is read, and
// `content` is empty after every refusal.
ReadResult ReadRegularFileAt(int dirFd, const char* name, size_t maxBytes, std::string* content,
                             struct stat* st, std::string* error, const ReadOptions& options = {});

// Removes the entry `name` of `dirFd` and, for a directory, everything below it, never following
// a symbolic link. Directories nested deeper than a bound, and directories below it that belong
// to another account than it does, are left with what holds them (and reported).
bool RemoveTreeAt(int dirFd, const std::string& name, std::string* error);

inline constexpr const char* kRunDirectoryPrefix = "NqEBSRun.";

// Removes every run directory left in the temporary directory `tempFd` by a host that died
// during a discovery. Call it only while holding the discovery lock.
void RemoveStaleRunDirectories(int tempFd);

// The private directory of one discovery: "NqEBSRun.XXXXXX" in the temporary directory, made by
// root, then given to the Oracle owner with mode 0700 (no access for others). Removed with
// everything in it by Remove() or the destructor.
class RunDirectory {
 public:
  RunDirectory() = default;
  ~RunDirectory() { Remove(); }
  RunDirectory(const RunDirectory&) = delete;
  RunDirectory& operator=(const RunDirectory&) = delete;

  bool Create(int tempFd, const std::string& tempPath, const OracleAccount& owner,
              std::string* error);
  bool Remove(std::string* error = nullptr);
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  int tempFd_ = -1;
  UniqueFd fd_;
  std::string name_, path_;
};

// An exclusive lock on the lock file `name` in the directory `dirFd`, serialising discoveries
// that share it (also threads of one process). The lock file is opened without following a
// symbolic link; anything at its name but a regular file of the effective user with one link
// is removed and never used. Released by Release() or the destructor.
class DiscoveryLock {
 public:
  DiscoveryLock() = default;
  DiscoveryLock(const DiscoveryLock&) = delete;
  DiscoveryLock& operator=(const DiscoveryLock&) = delete;

  // Waits for the lock.
  bool Acquire(int dirFd, const char* name, std::string* error);
  void Release() { fd_.reset(); }
  bool held() const { return fd_.get() >= 0; }

 private:
  UniqueFd fd_;
};
