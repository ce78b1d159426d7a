#include "base/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool WriteAll(int fd, const std::string& content) {
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

// Why `fd` must not be written to; empty when it may.
std::string RefusalOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::string("cannot be examined: ") + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if (st.st_uid != ::geteuid())
    return "belongs to user id " + std::to_string(st.st_uid) + ", not to " +
           std::to_string(::geteuid());
  if (st.st_nlink > 1) return "has " + std::to_string(st.st_nlink) + " hard links";
  return std::string();
}

}  // namespace

int OpenOwnRegularFile(const std::string& path, int flags, std::string* why) {
  return OpenOwnRegularFileAt(AT_FDCWD, path, flags, why);
}

int OpenOwnRegularFileAt(int dirFd, const std::string& name, int flags, std::string* why) {
  const int fd = ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = errno == ELOOP ? "is a symbolic link"
                          : std::string("cannot be opened: ") + std::strerror(errno);
    return -1;
  }
  *why = RefusalOf(fd);
  if (why->empty()) return fd;
  ::close(fd);
  return -1;
}

bool MakePrivateDirectories(const std::string& dir, std::string* error) {
  if (dir.empty()) return true;
  for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
    const std::string part = dir.substr(0, end);
    if (!part.empty() && part.back() != '/' && ::mkdir(part.c_str(), 0700) != 0 &&
        errno != EEXIST) {
      *error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
    if (end == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir + " is not a directory";
    return false;
  }
  return true;
}
