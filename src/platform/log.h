// Logging of the host: EvEvent is a log context held by an operation; EvDebug::Debug and
// EvDebug::Error write one line per call with UTC timestamp, level, process id, label and the
// printf-style text (format strings are checked at compile time). Lines go to EBS_HOST_LOG or
// standard error. Every line passes through RedactPasswords, so a password field of a serialised
// message never reaches the log; control characters are escaped so that one call stays one
// line. Thread-safe: lines of concurrent callers never interleave.
#pragma once

#include <string>

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
