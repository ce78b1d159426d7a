// NqProcess: the host's process runner. Thread-safe; installs no signal handler.
//
// Every command runs in a session of its own (POSIX_SPAWN_SETSID): it has no controlling
// terminal, so neither it nor anything it starts (another account's processes after su
// included) can open /dev/tty, push input into the terminal the host was started from, or join
// a process group of the host's session. The run is the set of processes of that session, whose
// id is the pid of the command; the runner reaps the command only once the session is empty, so
// for the whole run that id names this session and no other one.
//
// system() runs a command line through /bin/sh, with standard input from /dev/null, and collects
// standard output and error together (no deadlock on large outputs; at most kMaxKeptBytes of
// each are kept). After EBS_HOST_COMMAND_TIMEOUT seconds every process of the session is
// terminated, then killed, and the error output says so. Returns 0 only when the command exited
// with status 0.
//
// Execute() runs a program with exactly the arguments, environment and working directory given
// (no shell of its own, nothing inherited from the host but what is listed) and feeds `input` to
// its standard input from an anonymous in-memory file, so the text is never in a named file.
// Both are started with posix_spawn: no code of the host runs in a child, and every child starts
// with an empty signal mask and every signal at its default action. A watcher (/bin/sh, in a
// session of its own) is told the run's session through a pipe whose other end only the calling
// process holds: when the caller dies (any signal, SIGKILL included) the watcher terminates
// every process of that session, then kills them two seconds later. When the program has ended,
// whatever is left of its session is killed.
//
// Limits: a process of the run that calls setsid() itself leaves the run's session and is not
// ended with it (it has no terminal either). The watcher, a shell, signals the processes it
// finds by their pid; the runner signals them through their /proc directories, so a process
// that ended meanwhile is never mistaken for one that took its pid.
#pragma once

#include <sys/types.h>

#include <cstddef>
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

  // Sends `signal` (0: none, only counting) to every running process of the session `sid` but
  // the calling process, and returns how many it found; zombies are not counted.
  static size_t SignalSession(pid_t sid, int signal);
  // SIGKILL to the session `sid` until none of its processes runs, for at most two seconds.
  static void KillSession(pid_t sid);
};
