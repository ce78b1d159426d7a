#include "trusted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string Directory(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string SwappableBy(const std::string& path) {
  const std::string real = RealPath(path);
  if (real.empty()) return path + " cannot be resolved: " + std::strerror(errno);
  const uid_t self = ::geteuid();
  for (std::string at = real;; at = Directory(at)) {
    struct stat st {};
    if (::stat(at.c_str(), &st) != 0) return at + " cannot be examined: " + std::strerror(errno);
    if (st.st_uid != 0 && st.st_uid != self)
      return at + " belongs to user id " + std::to_string(st.st_uid);
    const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && at != real;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !sticky) return at + " is writable by other accounts";
    if (at == "/") return "";
  }
}
