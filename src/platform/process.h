// NqProcess: the host's process runner. Thread-safe; installs no signal handler.
//
// system() runs a command line through /bin/sh in a new process group, with standard input from
// /dev/null, and collects standard output and error together (no deadlock on large outputs; at
// most kMaxKeptBytes of each are kept). After EBS_HOST_COMMAND_TIMEOUT seconds the whole process
// group is terminated, then killed, and the error output says so. Returns 0 only when the
// command exited with status 0.
//
// Execute() runs a program with exactly the arguments, environment and working directory given
// (no shell of its own, nothing inherited from the host but what is listed) and feeds `input` to
// its standard input from an anonymous in-memory file, so the text is never in a named file.
// Both are started with posix_spawn: no code of the host runs in a child. The program joins a
// process group led by a watcher (/bin/sh) that waits on a pipe from the calling process: when
// the caller dies (any signal, SIGKILL included) the watcher terminates the group, then kills
// it two seconds later. When the program has ended, whatever is left of its group is killed.
// Results, output and time limit as for system().
#pragma once

#include <string>
#include <vector>

struct NqCommand {
  std::vector<std::string> argv;  // argv[0] is the program's absolute path
  std::vector<std::string> env;   // "NAME=value" entries: the whole environment of the program
  int cwdFd = -1;                 // working directory as an open directory; -1 for "/"
  std::string input;              // standard input
  long timeoutMillis = 300000;
  // When >= 0: the program run is this open file (exec through /proc/self/fd, so a path that
  // changed since it was opened makes no difference), and argv[0] is only the name it is given.
  // The program keeps it as descriptor 3 (its own file, which it may read anyway).
  int programFd = -1;
};

class NqProcess {
 public:
  static constexpr size_t kMaxKeptBytes = 4u << 20;

  // `out` and `err` may be null. The last two arguments are kept for the historic interface.
  static int system(const std::string& command, std::string* out, std::string* err, int = 0,
                    bool = false);
  // The same with an explicit time limit in milliseconds.
  static int run(const std::string& command, std::string* out, std::string* err,
                 long timeoutMillis);
  // See above; `out` and `err` may be null.
  static int Execute(const NqCommand& command, std::string* out, std::string* err);
};
