// Files that ebs-host writes itself (--output; its log follows platform/host/log_file.h): created
// mode 0600 and never through a symbolic link. An existing file is used only when it is a regular
// file owned by this process's user with one link, by the same rule as the plug-in's log
// (base/file_io.h); anything else (a link, a FIFO, a directory, another user's file, a file with a
// second name) is refused with the reason. The returned descriptor is close-on-exec, blocking and
// owned by the caller. Thread-safe.
#pragma once

#include <string>

#include "base/file_io.h"
#include "base/status.h"

// Append: written at the end, and readable too (ebs-host reads its log back through the same
// descriptor).
enum class FileMode { Truncate, Append };

// The descriptor, or an error naming the path and why.
Result<UniqueFd> OpenPrivateFile(const std::string& path, FileMode mode);

// The older form, for the callers not yet moved: the descriptor (the caller's to close), or -1
// with `error` set.
inline int OpenPrivateFile(const std::string& path, FileMode mode, std::string& error) {
  Result<UniqueFd> fd = OpenPrivateFile(path, mode);
  if (fd.ok()) return fd->release();
  error = fd.status().message;
  return -1;
}
