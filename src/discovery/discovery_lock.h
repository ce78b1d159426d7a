// The lock that serialises discoveries sharing a temporary directory (also threads of one
// process). A DiscoveryLock object is owned by one thread.
#pragma once

#include "base/file_io.h"
#include "base/status.h"

// An exclusive lock on the lock file `name` in the directory `dirFd`. The lock file is opened
// without following a symbolic link; anything at its name but a regular file of the effective
// user with one link is removed and never used. Released by Release() or the destructor.
class DiscoveryLock {
 public:
  DiscoveryLock() = default;
  DiscoveryLock(const DiscoveryLock&) = delete;
  DiscoveryLock& operator=(const DiscoveryLock&) = delete;

  // Waits for the lock.
  Status Acquire(int dirFd, const char* name);
  void Release() { fd_.reset(); }
  bool held() const { return fd_.get() >= 0; }

 private:
  UniqueFd fd_;
};
