#include "discovery/discovery_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/file_at.h"

namespace {

Status Failed(const std::string& what, const std::string& path) {
  return Status::Error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

Status DiscoveryLock::Acquire(int dirFd, const char* name) {
  Release();
  // Whatever else stands at the name (a symbolic link, a file of another user, a hard link to
  // a file elsewhere) is removed and never locked. A lock counts only while the name still
  // leads to the locked file, so that two discoveries that replace the name at the same time
  // never both believe they hold the lock.
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd fd(
        ::openat(dirFd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    const bool ours = fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                      st.st_uid == ::geteuid() && st.st_nlink == 1;
    if (!ours) {
      const int openErrno = errno;
      struct stat entry {};
      if (::fstatat(dirFd, name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        return Failed("cannot examine the lock file", name);
      }
      if (fd.get() < 0 && S_ISREG(entry.st_mode) && entry.st_uid == ::geteuid() &&
          entry.st_nlink == 1) {
        errno = openErrno;
        return Failed("cannot open the lock file", name);
      }
      if (Status s = RemoveTreeAt(dirFd, name); !s.ok) return s;
      continue;
    }
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        return Failed("cannot lock", name);
      }
    }
    struct stat now {};
    if (::fstatat(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino) {
      fd_ = std::move(fd);
      return Status::Ok();
    }
  }
  return Status::Error(std::string("the lock file ") + name + " keeps being replaced");
}
