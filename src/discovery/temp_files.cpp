#include "discovery/temp_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_io.h"

namespace {

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace

bool CheckSharedDirectory(const std::string& dir, std::string* error) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    *error = Reason("cannot examine", dir);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
    *error = dir + " belongs to user id " + std::to_string(st.st_uid);
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
    *error = dir + " may be written by others but is not sticky";
    return false;
  }
  return true;
}

bool RemoveEntry(const std::string& path, std::string* error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *error = Reason("cannot remove", path);
  return false;
}

bool WriteNewFile(const std::string& path, const std::string& content, mode_t mode,
                  std::string* error) {
  if (!RemoveEntry(path, error)) return false;
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0700));
  if (fd.get() < 0) {
    *error = Reason("cannot create", path);
    return false;
  }
  if (!WriteAll(fd.get(), content)) {
    *error = Reason("cannot write", path);
    return false;
  }
  if (::fchmod(fd.get(), mode) != 0) {
    *error = Reason("cannot set the mode of", path);
    return false;
  }
  if (::close(fd.release()) != 0) {
    *error = Reason("cannot write", path);
    return false;
  }
  return true;
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string* content, uid_t* owner,
                     std::string* error) {
  content->clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    *error = Reason("cannot open", path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = path + " is not a regular file";
    return false;
  }
  *owner = st.st_uid;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Reason("cannot read", path);
      return false;
    }
    if (n == 0) return true;
    if (content->size() + static_cast<size_t>(n) > maxBytes) {
      *error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
      return false;
    }
    content->append(buffer, static_cast<size_t>(n));
  }
}

DiscoveryLock::~DiscoveryLock() { Release(); }

bool DiscoveryLock::Acquire(const std::string& path, std::string* error) {
  Release();
  // Whatever else stands at the name (a symbolic link, a file of another user) is replaced. A
  // lock counts only while the name still leads to the locked file, so that two discoveries
  // that replace the name at the same time never both believe they hold the lock.
  for (int attempt = 0; attempt < 8; ++attempt) {
    Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    const bool ours = fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                      st.st_uid == ::geteuid();
    if (!ours) {
      const int openErrno = errno;
      struct stat entry {};
      if (::lstat(path.c_str(), &entry) != 0) {
        if (errno == ENOENT) continue;
        *error = Reason("cannot examine the lock file", path);
        return false;
      }
      if (fd.get() < 0 && S_ISREG(entry.st_mode) && entry.st_uid == ::geteuid()) {
        errno = openErrno;
        *error = Reason("cannot open the lock file", path);
        return false;
      }
      if (!RemoveEntry(path, error)) return false;
      continue;
    }
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        *error = Reason("cannot lock", path);
        return false;
      }
    }
    struct stat now {};
    if (::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
      fd_ = fd.release();
      return true;
    }
  }
  *error = "the lock file " + path + " keeps being replaced";
  return false;
}

void DiscoveryLock::Release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}
