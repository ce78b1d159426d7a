// File descriptors: their ownership, and writing a whole buffer to one. Thread-safe; a UniqueFd
// object is owned by one thread.
#pragma once

#include <string>

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
