// Logging of the host: EvEvent is a log context held by an operation; EvDebug::Debug and
// EvDebug::Error write one line per call,
//   <UTC stamp> <DEBUG|ERROR> <pid> [<label>] <text>
// with the printf-style text (format strings are checked at compile time). Every text passes
// through RedactPasswords (platform/redact.h), so no password of a logged message reaches the
// log; control characters are escaped so that one call stays one line; a text longer than
// kMaxLogTextBytes is cut there and ends with "…[N bytes cut]", so the work and the size of a
// line are bounded whatever the arguments.
//
// Lines go to EBS_HOST_LOG, or standard error. The log file is opened without following a
// symbolic link and without blocking, and is used only when it is a regular file of the
// process's effective user with a single link; otherwise one ERROR line on standard error says
// why and the lines go to standard error. Thread-safe: lines of concurrent callers never
// interleave.
#pragma once

#include <cstddef>
#include <string>

// Bytes of a line's text at most, before "…[N bytes cut]".
constexpr size_t kMaxLogTextBytes = 64u << 10;

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
