#include "platform/host/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "base/file_io.h"
#include "platform/host/host_config.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitTimeout = 124;
constexpr int kExitCannotRun = 127;
constexpr long kGraceMillis = 2000;

struct Pipe {
  int fd[2] = {-1, -1};
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void closeEnd(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
};

void Keep(std::string* sink, const char* data, size_t n, bool& truncated) {
  if (!sink) return;
  size_t room =
      NqProcess::kMaxKeptBytes > sink->size() ? NqProcess::kMaxKeptBytes - sink->size() : 0;
  if (n > room) truncated = true;
  sink->append(data, n < room ? n : room);
}

long MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<long>(left.count()) : 0;
}

// Whether `pid`, a child of this process, has ended; it stays unreaped (a zombie), so that its
// pid, the id of its session, cannot be given to another process meanwhile.
bool Ended(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Reads both pipes until the process `pid`, which leads the run's session, has ended and the
// other processes of the session have let go of them, enforcing the time limit on the whole
// session. Every process of the session is killed before `pid` is reaped.
int Collect(pid_t pid, Pipe& outPipe, Pipe& errPipe, std::string* out, std::string* err,
            long timeoutMillis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMillis);
  bool timedOut = false, outTruncated = false, errTruncated = false;
  bool exited = false;
  char buffer[65536];
  // Once the leader has exited, processes that still hold the pipes get a short drain, then go.
  Clock::time_point drainEnd = Clock::time_point::max();
  while (outPipe.fd[0] >= 0 || errPipe.fd[0] >= 0) {
    if (!exited && Ended(pid)) {
      exited = true;
      drainEnd = Clock::now() + std::chrono::milliseconds(500);
    }
    if (exited && Clock::now() >= drainEnd) break;
    long left = MillisLeft(deadline);
    if (left == 0) {
      timedOut = !exited;
      break;
    }
    if (exited) left = std::min(left, MillisLeft(drainEnd) + 1);
    pollfd fds[2];
    int count = 0;
    for (Pipe* p : {&outPipe, &errPipe})
      if (p->fd[0] >= 0) fds[count++] = pollfd{p->fd[0], POLLIN, 0};
    int ready = ::poll(fds, count, static_cast<int>(left < 100 ? left : 100));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < count && ready > 0; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Pipe& p = fds[i].fd == outPipe.fd[0] ? outPipe : errPipe;
      ssize_t n = ::read(p.fd[0], buffer, sizeof buffer);
      if (n > 0) {
        if (&p == &outPipe)
          Keep(out, buffer, static_cast<size_t>(n), outTruncated);
        else
          Keep(err, buffer, static_cast<size_t>(n), errTruncated);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        p.closeEnd(0);
      }
    }
  }

  // Both pipes closed while the leader runs on: it still has its time limit.
  while (!exited && !timedOut) {
    exited = Ended(pid);
    timedOut = !exited && MillisLeft(deadline) == 0;
    if (!exited && !timedOut) ::usleep(10000);
  }
  if (timedOut) {
    NqProcess::SignalSession(pid, SIGTERM);
    const auto grace = Clock::now() + std::chrono::milliseconds(kGraceMillis);
    while (!Ended(pid) && Clock::now() < grace) ::usleep(10000);
  }
  // The run is over: nothing of its session outlives it.
  NqProcess::KillSession(pid);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  if (outTruncated && out) out->append("\n[output truncated]\n");
  if (errTruncated && err) err->append("\n[error output truncated]\n");
  if (timedOut) {
    if (err) {
      const std::string limit = timeoutMillis % 1000 == 0
                                    ? std::to_string(timeoutMillis / 1000) + " s"
                                    : std::to_string(timeoutMillis) + " ms";
      err->append("command timed out after " + limit + "; its processes were killed\n");
    }
    return kExitTimeout;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    if (err) err->append("command terminated by signal " + std::to_string(WTERMSIG(status)) + "\n");
    return 128 + WTERMSIG(status);
  }
  return kExitCannotRun;
}

// Starts `path` with `argv` and `envp` through posix_spawn, so nothing of the host runs in the
// child: every descriptor it has is listed here (standard input from `inputFd` or /dev/null,
// output and error to `outFd` and `errFd`, and `lifelineFd` at 3 when given), all others are
// closed, its signal mask is empty and every signal has its default action. It leads a new
// session, without a controlling terminal. `cwdFd` >= 0 is its working directory; -1 keeps the
// host's. Returns 0 or the error number of posix_spawn.
int Spawn(const char* path, char* const* argv, char* const* envp, int inputFd, int outFd, int errFd,
          int lifelineFd, int cwdFd, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // The working directory first: its descriptor may have a number the others are moved to.
  if (cwdFd >= 0) posix_spawn_file_actions_addfchdir_np(&actions, cwdFd);
  if (inputFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, inputFd, STDIN_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  if (lifelineFd >= 0) posix_spawn_file_actions_adddup2(&actions, lifelineFd, 3);
  posix_spawn_file_actions_addclosefrom_np(&actions, lifelineFd >= 0 ? 4 : 3);
  sigset_t defaults;
  sigfillset(&defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int spawned = posix_spawn(pid, path, &actions, &attr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return spawned;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The watcher of an Execute run: /bin/sh in a session of its own, with the lifeline on
// descriptor 3 and nothing else. It reads the run's session id from the lifeline, then waits for
// the lifeline to close, which happens only when the host is gone (Execute keeps it open until
// the run is over, then kills the watcher). It then terminates every process of the run's
// session (found by the session field of /proc/<pid>/stat, read after the last ")" that ends
// the command name), ignoring that terminate itself, and kills them two seconds later, as many
// rounds as it takes. It has no environment, hence no PATH and the default IFS: the one program
// it runs is named by its path.
constexpr const char* kWatcher = R"sh(read -r run <&3 || exit 0
read -r _ <&3
trap '' TERM
end() {
  found=
  for d in /proc/[0-9]*; do
    read -r s <"$d/stat" || continue
    set -- ${s##*)}
    [ "$4" = "$run" ] && [ "$1" != Z ] && kill -s "$sig" "${d#/proc/}" && found=1
  done
}
sig=TERM; end
/bin/sleep 2
sig=KILL; n=0
while end; [ -n "$found" ] && [ "$n" -lt 20 ]; do n=$((n + 1)); /bin/sleep 0.1; done
)sh";

// The state and session of the process whose /proc directory is `dir`; false when it has gone.
bool ReadStat(int dir, char* state, pid_t* session) {
  UniqueFd stat(::openat(dir, "stat", O_RDONLY | O_CLOEXEC));
  char text[4096];
  const ssize_t n = stat.get() < 0 ? -1 : ::read(stat.get(), text, sizeof text - 1);
  if (n <= 0) return false;
  text[n] = '\0';
  // The command name, in parentheses, may hold anything: the fields follow its last ")".
  const char* end = std::strrchr(text, ')');
  int parent = 0, group = 0, sid = 0;
  if (!end || std::sscanf(end + 1, " %c %d %d %d", state, &parent, &group, &sid) != 4) return false;
  *session = sid;
  return true;
}

}  // namespace

size_t NqProcess::SignalSession(pid_t sid, int signal) {
  size_t found = 0;
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    // The directory stands for this one process: once it has ended, reading through it fails,
    // and the signal sent through it reaches no process that took its pid since.
    UniqueFd dir(::openat(::dirfd(proc), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    char state = 0;
    pid_t session = 0;
    if (dir.get() < 0 || !ReadStat(dir.get(), &state, &session) || session != sid || state == 'Z' ||
        state == 'X')
      continue;
    ++found;
    if (signal != 0) ::syscall(SYS_pidfd_send_signal, dir.get(), signal, nullptr, 0);
  }
  ::closedir(proc);
  return found;
}

void NqProcess::KillSession(pid_t sid) {
  // A process that forks while the signals go out may leave a child: rounds until none runs.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kGraceMillis);
  while (SignalSession(sid, SIGKILL) > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

int NqProcess::system(const std::string& command, std::string* out, std::string* err, int, bool) {
  return run(command, out, err, CurrentHostConfig().commandTimeoutSeconds * 1000L);
}

int NqProcess::run(const std::string& command, std::string* out, std::string* err,
                   long timeoutMillis) {
  if (out) out->clear();
  if (err) err->clear();
  Pipe outPipe, errPipe;
  if (::pipe2(outPipe.fd, O_CLOEXEC) != 0 || ::pipe2(errPipe.fd, O_CLOEXEC) != 0) {
    if (err) *err = std::string("cannot create pipes: ") + std::strerror(errno);
    return kExitCannotRun;
  }
  std::vector<std::string> argvStrings = {"/bin/sh", "-c", command};
  std::vector<char*> argv = Pointers(argvStrings);
  pid_t pid = -1;
  const int spawned =
      Spawn("/bin/sh", argv.data(), environ, -1, outPipe.fd[1], errPipe.fd[1], -1, -1, &pid);
  outPipe.closeEnd(1);
  errPipe.closeEnd(1);
  if (spawned != 0) {
    if (err) *err = std::string("cannot start /bin/sh: ") + std::strerror(spawned);
    return kExitCannotRun;
  }
  return Collect(pid, outPipe, errPipe, out, err, timeoutMillis);
}

int NqProcess::Execute(const NqCommand& command, std::string* out, std::string* err) {
  if (out) out->clear();
  if (err) err->clear();
  const auto fail = [&](const std::string& what) {
    if (err) *err = what + ": " + std::strerror(errno);
    return kExitCannotRun;
  };
  const bool byFd = command.programFd >= 0;
  if (command.argv.empty() || command.argv[0].empty() || (!byFd && command.argv[0][0] != '/')) {
    if (err) *err = "the program must be given by its absolute path";
    return kExitCannotRun;
  }
  // Everything posix_spawn needs is made here; the program gets exactly these.
  std::vector<std::string> argvStrings = command.argv, envStrings = command.env;
  std::vector<std::string> watcherStrings = {"/bin/sh", "-c", kWatcher, "ebs-watcher"};
  std::vector<char*> argv = Pointers(argvStrings), envp = Pointers(envStrings);
  std::vector<char*> watcherArgv = Pointers(watcherStrings), noEnv = {nullptr};

  UniqueFd input(::memfd_create("input", MFD_CLOEXEC));
  if (input.get() < 0) return fail("cannot create the input file");
  if (!WriteAll(input.get(), command.input) || ::lseek(input.get(), 0, SEEK_SET) != 0)
    return fail("cannot write the input file");
  // The lifeline is a socket pair: telling a watcher that died the session ends in an error,
  // never in a SIGPIPE to the host.
  Pipe outPipe, errPipe, lifeline;
  if (::pipe2(outPipe.fd, O_CLOEXEC) != 0 || ::pipe2(errPipe.fd, O_CLOEXEC) != 0 ||
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, lifeline.fd) != 0)
    return fail("cannot create pipes");
  UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  UniqueFd rootFd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (devNull.get() < 0 || rootFd.get() < 0) return fail("cannot open /dev/null or /");

  // The watcher first, so that no moment of the run goes unwatched: it learns the session right
  // after the program has started.
  pid_t watcher = -1, pid = -1;
  int spawned = Spawn("/bin/sh", watcherArgv.data(), noEnv.data(), -1, devNull.get(), devNull.get(),
                      lifeline.fd[0], rootFd.get(), &watcher);
  if (spawned == 0)
    spawned = Spawn(byFd ? "/proc/self/fd/3" : argvStrings[0].c_str(), argv.data(), envp.data(),
                    input.get(), outPipe.fd[1], errPipe.fd[1], byFd ? command.programFd : -1,
                    command.cwdFd >= 0 ? command.cwdFd : rootFd.get(), &pid);
  else
    watcher = -1;
  devNull.reset();
  rootFd.reset();
  input.reset();
  outPipe.closeEnd(1);
  errPipe.closeEnd(1);
  lifeline.closeEnd(0);
  int rc = kExitCannotRun;
  if (spawned != 0) {
    if (err) *err = "cannot start " + argvStrings[0] + ": " + std::strerror(spawned);
  } else {
    // lifeline.fd[1] stays open in this process until the run is over: its closing by the
    // death of the process is what the watcher waits for.
    const std::string session = std::to_string(pid) + "\n";
    [[maybe_unused]] const ssize_t sent =
        ::send(lifeline.fd[1], session.data(), session.size(), MSG_NOSIGNAL);
    rc = Collect(pid, outPipe, errPipe, out, err, command.timeoutMillis);
  }
  // The run is over: the watcher goes, with its session.
  if (watcher > 0) {
    KillSession(watcher);
    while (::waitpid(watcher, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  return rc;
}
