// The log file that the host's stand-ins append to (log.h) and ebs-host reads back: where it may
// be, what may be appended to, and its rotation. A log is used only when
//   - its directory, when the process runs as root, is a trusted path (trusted_dir.h): no other
//     account can swap the directory or a directory above it;
//   - it is a regular file of the effective user with one link, not reached through a symbolic
//     link (file_io.h's OpenOwnRegularFile), created mode 0600 when missing; and
//   - it is empty or already a log of this form: its first line is a log line (IsLogLine). Any
//     other file (a system file named by mistake, say) is refused untouched.
// Rotation renames a full log to NAME.1 in the same directory (replacing the older one, never
// following a link) and begins a new one. Free functions; a LogFile is owned by one thread at a
// time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/file_io.h"
#include "base/status.h"

struct LogFile {
  UniqueFd dir{-1};   // the directory holding it
  UniqueFd file{-1};  // open for reading and appending; non-blocking, close-on-exec
  std::string path, name;
};

// Opens (creating) the log at `path` into `log`; with `makeDirectory` its missing directories are
// made first, mode 0700. An error (naming the path and the reason) when it may not be used; then
// nothing was written.
Status OpenLogFile(const std::string& path, bool makeDirectory, LogFile& log);

// Called before `incoming` bytes are appended: when they would take a non-empty log past
// `maxBytes` (0: no bound), the log is renamed to NAME.1 and a new one is opened in its place.
// When another process has rotated it already, the new one is opened. An error when the log
// cannot be rotated (it is still usable then).
Status RotateLogFile(LogFile& log, long long maxBytes, size_t incoming);

// Whether `line` (without its line feed) has the form of a log line:
// "<YYYY-MM-DDTHH:MM:SS.ffffffZ> <DEBUG|ERROR> <pid> [<label>] <text>".
bool IsLogLine(std::string_view line);
