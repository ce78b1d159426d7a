// File descriptors and the files and directories that the process writes itself: ownership of a
// descriptor, writing a whole buffer to one, opening and making private files and directories.
// Nothing here follows a symbolic link at the last component, blocks on a FIFO or throws; every
// refusal comes with its reason. Thread-safe; a UniqueFd object is owned by one thread.
#pragma once

#include <string>

#include "base/status.h"

// Owns a file descriptor; closes it at the end.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  int get() const { return fd_; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_;
};

// Writes all of `content` to `fd`, across short writes and interrupted calls. Returns false on
// the first error (errno tells which).
bool WriteAll(int fd, const std::string& content);

// Opens `path` with `flags` (O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC are added; a file created is
// mode 0600) and keeps it only when it is a regular file owned by the effective user with one
// link, so another account cannot make the caller write into a file of its choice. Returns the
// descriptor (still non-blocking), or an error whose message is what follows the path in a
// message: "is a symbolic link", "cannot be opened: <reason>", "is not a regular file", "belongs
// to user id N, not to M", "has N hard links".
Result<UniqueFd> OpenOwnRegularFile(const std::string& path, int flags);

// The same for `name` in the directory `dirFd` (AT_FDCWD: the working directory).
Result<UniqueFd> OpenOwnRegularFileAt(int dirFd, const std::string& name, int flags);

// Creates `dir` and its missing parents, each new one mode 0700. An error, naming the path and
// the reason, unless `dir` is a directory afterwards.
Status MakePrivateDirectories(const std::string& dir);

// The name of an open descriptor that dlopen or exec reach the very file by: /proc/self/fd/N.
std::string DescriptorPath(int fd);

// The directory part of `path` ("/" for a name at the root, "." for a bare name).
std::string Directory(const std::string& path);
