// The trusted-path rule for directories that root writes in: an absolute path without "." or ".."
// components whose every component is a real directory (no symbolic link) owned by root or the
// effective user and writable by nobody else, except that a sticky directory writable by others
// (like /tmp) is fine when the component below it belongs to root (or the effective user). The
// last component itself must be writable by its owner only. The walk opens each component
// relative to the one above (openat with O_NOFOLLOW), so what it judged is what the returned
// descriptor holds. Free functions; thread-safe.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

struct TrustedDirOptions {
  // The words naming the path in messages, e.g. "the temporary directory".
  std::string what = "the directory";
  // Missing components are made, mode 0700, owned by the effective user.
  bool create = false;
  // Called for every component after the ownership check: false, with `error` set, refuses it.
  std::function<bool(const std::string& here, const struct stat& st, std::string* error)> each;
};

// The directory's descriptor (O_RDONLY | O_DIRECTORY, close-on-exec; the caller's to close), or
// -1 with `error` naming the offending component and why.
int OpenTrustedDir(const std::string& path, const TrustedDirOptions& options, std::string* error);

// The octal mode as people read it, e.g. "0755".
std::string ModeText(mode_t mode);
