#include "base/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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

// Whether `fd` may be written to, and if not why.
Status MayWrite(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return Status::Error(std::string("cannot be examined: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Status::Error("is not a regular file");
  if (st.st_uid != ::geteuid())
    return Status::Error("belongs to user id " + std::to_string(st.st_uid) + ", not to " +
                         std::to_string(::geteuid()));
  if (st.st_nlink > 1) return Status::Error("has " + std::to_string(st.st_nlink) + " hard links");
  return Status::Ok();
}

}  // namespace

Result<UniqueFd> OpenOwnRegularFile(const std::string& path, int flags) {
  return OpenOwnRegularFileAt(AT_FDCWD, path, flags);
}

Result<UniqueFd> OpenOwnRegularFileAt(int dirFd, const std::string& name, int flags) {
  UniqueFd fd(::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (fd.get() < 0)
    return Status::Error(errno == ELOOP ? "is a symbolic link"
                                        : std::string("cannot be opened: ") + std::strerror(errno));
  if (Status s = MayWrite(fd.get()); !s.ok) return s;
  return Result<UniqueFd>(std::move(fd));
}

Status MakePrivateDirectories(const std::string& dir) {
  if (dir.empty()) return Status::Ok();
  for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
    const std::string part = dir.substr(0, end);
    if (!part.empty() && part.back() != '/' && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      return Status::Error("cannot create " + part + ": " + std::strerror(errno));
    if (end == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Status::Error(dir + " is not a directory");
  return Status::Ok();
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::string Directory(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}
