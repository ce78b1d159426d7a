// Files of a discovery in the shared temporary directory. The directory is shared with the
// Oracle owner's database, which writes the export into it, so it is usually world-writable and
// sticky like /tmp. Nothing here follows a symbolic link at a fixed name: files are created
// exclusively after removing whatever stood at the name, and read only when they are regular
// files. Functions return false with a short reason in `error`; nothing throws. Thread-safe;
// DiscoveryLock objects are owned by one thread each.
#pragma once

#include <sys/types.h>

#include <string>

// A directory that may hold discovery files: a real directory (not a symbolic link), owned by
// root or by the effective user, and sticky when users other than its owner may write to it.
bool CheckSharedDirectory(const std::string& dir, std::string* error);

// Removes the directory entry at `path` (a symbolic link itself, never its target). A missing
// entry is fine; a directory is refused.
bool RemoveEntry(const std::string& path, std::string* error);

// Removes the entry at `path`, creates a new file there exclusively (O_EXCL|O_NOFOLLOW), writes
// `content`, gives it exactly `mode` and closes it.
bool WriteNewFile(const std::string& path, const std::string& content, mode_t mode,
                  std::string* error);

// Reads the regular file at `path` without following a symbolic link, up to `maxBytes` (a
// longer file is an error). `owner` receives the file's owner.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string* content, uid_t* owner,
                     std::string* error);

// An exclusive lock on a lock file in the shared directory, serialising discoveries that share
// it (also threads of one process). The lock file is opened without following a symbolic link;
// anything at its name but a regular file of the effective user is replaced. Released by
// Release() or the destructor.
class DiscoveryLock {
 public:
  DiscoveryLock() = default;
  ~DiscoveryLock();
  DiscoveryLock(const DiscoveryLock&) = delete;
  DiscoveryLock& operator=(const DiscoveryLock&) = delete;

  // Waits for the lock.
  bool Acquire(const std::string& path, std::string* error);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};
