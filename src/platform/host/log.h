// Logging of the host: EvEvent is a log context held by an operation; EvDebug::Debug and
// EvDebug::Error write one line per call,
//   <UTC stamp> <DEBUG|ERROR> <pid> [<label>] <text>
// with the printf-style text (format strings are checked at compile time). Every text passes
// through RedactPasswords (messages/redact.h), so no password of a logged message reaches the
// log; control characters are escaped so that one call stays one line; a text longer than
// kMaxLogTextBytes is cut there and ends with "…[N bytes cut]", so the work and the size of a
// line are bounded whatever the arguments.
//
// Lines go to EBS_HOST_LOG, or standard error. The log file is used only by the rules of
// log_file.h (a regular file of the effective user with a single link, not through a link, in a
// trusted directory when root, empty or already a log); otherwise one ERROR line on standard
// error says why and the lines go to standard error. A log that a line would take past
// EBS_HOST_LOG_MAX_SIZE is rotated to FILE.1 first (within a request, HostConfigScope, the size is
// read at its first line and counted on). Thread-safe: lines of concurrent callers never
// interleave.
#pragma once

#include <cstddef>
#include <string>

// Bytes of a line's text at most, before "…[N bytes cut]"; at the level info (host_config.h),
// kInfoLogTextBytes, which keeps every fixed line whole and cuts the message texts.
constexpr size_t kMaxLogTextBytes = 64u << 10;
constexpr size_t kInfoLogTextBytes = 1024;

class EvEvent {
 public:
  EvEvent() = default;
};

class EvDebug {
 public:
  static void Debug(EvEvent& context, const char* label, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void Error(EvEvent& context, const char* label, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};
