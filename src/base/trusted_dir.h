// The trusted-path rules: which paths root may write in, load or run, judged by one walk that
// opens every component relative to the one above (openat with O_NOFOLLOW), so that what was
// judged is what the returned descriptor holds. Free functions; thread-safe.
//
// A directory root writes in (OpenTrustedDir): an absolute path without "." or ".." components
// whose every component is a real directory (no symbolic link) owned by root or the effective
// user and writable by nobody else, except that a sticky directory writable by others (like
// /tmp) is fine when the component below it belongs to root (or the effective user). The last
// component itself must be writable by its owner only.
//
// A file root loads or runs (OpenTrustedFile): the path, relative to the working directory when
// not absolute, is resolved once from "/": every directory on the way, every symbolic link met on
// the way (read with readlinkat and followed from where it stands) and the file itself must
// belong to root or the effective user and be writable by nobody else (a directory above may be
// a sticky one such as /tmp, since its other users cannot rename or remove what is not theirs).
// The file is then held open, and what is loaded or run is that descriptor, never the path again.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "base/file_io.h"
#include "base/status.h"

struct TrustedDirOptions {
  // The words naming the path in messages, e.g. "the temporary directory".
  std::string what = "the directory";
  // Missing components are made, mode 0700, owned by the effective user.
  bool create = false;
  // Called for every component after the ownership check: an error refuses it, with its message.
  std::function<Status(const std::string& here, const struct stat& st)> check;
};

// The directory (O_RDONLY | O_DIRECTORY, close-on-exec), or an error naming the offending
// component and why.
Result<UniqueFd> OpenTrustedDir(const std::string& path, const TrustedDirOptions& options);

struct TrustedFile {
  UniqueFd fd;           // the file, open for reading (non-blocking, close-on-exec)
  std::string resolved;  // the path it resolved to, without links, "." or ".."
};

// The file, or an error naming the offending path and the reason. `refused`, when given, tells
// the two kinds of error apart: true when the file is there but another account could change it
// (or what leads to it), false when it is not there or cannot be opened.
Result<TrustedFile> OpenTrustedFile(const std::string& path, bool* refused = nullptr);

// The octal mode as people read it, e.g. "0755".
std::string ModeText(mode_t mode);
