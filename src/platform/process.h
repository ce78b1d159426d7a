// NqProcess: the host's process runner. system() runs a command line through /bin/sh in a new
// process group, with standard input from /dev/null, and collects standard output and error
// together (no deadlock on large outputs; at most kMaxKeptBytes of each are kept). After
// EBS_HOST_COMMAND_TIMEOUT seconds the whole process group is terminated, then killed, and the
// error output says so. Returns 0 only when the command exited with status 0. Thread-safe.
#pragma once

#include <string>

class NqProcess {
 public:
  static constexpr size_t kMaxKeptBytes = 4u << 20;

  // `out` and `err` may be null. The last two arguments are kept for the historic interface.
  static int system(const std::string& command, std::string* out, std::string* err, int = 0,
                    bool = false);
  // The same with an explicit time limit in milliseconds.
  static int run(const std::string& command, std::string* out, std::string* err,
                 long timeoutMillis);
};
