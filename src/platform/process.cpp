#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/file_io.h"
#include "platform/host_config.h"

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

// Reads both pipes until the process `pid` (a member of the process group `group`) has exited
// and its descendants have let go of them, enforcing the time limit on the whole group.
int Collect(pid_t pid, pid_t group, Pipe& outPipe, Pipe& errPipe, std::string* out,
            std::string* err, long timeoutMillis) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMillis);
  bool timedOut = false, outTruncated = false, errTruncated = false;
  bool exited = false;
  int status = 0;
  char buffer[65536];
  // Once the shell has exited, descendants that still hold the pipes get a short drain, then go.
  Clock::time_point drainEnd = Clock::time_point::max();
  while (outPipe.fd[0] >= 0 || errPipe.fd[0] >= 0) {
    if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
      drainEnd = Clock::now() + std::chrono::milliseconds(500);
    }
    if (exited && Clock::now() >= drainEnd) {
      ::kill(-group, SIGKILL);
      break;
    }
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

  if (timedOut) {
    ::kill(-group, SIGTERM);
    const auto grace = Clock::now() + std::chrono::milliseconds(kGraceMillis);
    while (!exited && Clock::now() < grace) {
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid)
        exited = true;
      else
        ::usleep(10000);
    }
    ::kill(-group, SIGKILL);
  }
  while (!exited) {
    pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid || (r < 0 && errno != EINTR)) exited = true;
  }

  if (outTruncated && out) out->append("\n[output truncated]\n");
  if (errTruncated && err) err->append("\n[error output truncated]\n");
  if (timedOut) {
    if (err) {
      const std::string limit = timeoutMillis % 1000 == 0
                                    ? std::to_string(timeoutMillis / 1000) + " s"
                                    : std::to_string(timeoutMillis) + " ms";
      err->append("command timed out after " + limit + "; its process group was killed\n");
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
// closed, and signals are at their defaults. It joins the process group `group`, or leads a new
// one for 0. `cwdFd` >= 0 is its working directory; -1 keeps the host's. Returns 0 or the error
// number of posix_spawn.
int Spawn(const char* path, char* const* argv, char* const* envp, int inputFd, int outFd, int errFd,
          int lifelineFd, int cwdFd, pid_t group, pid_t* pid) {
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
  posix_spawnattr_setpgroup(&attr, group);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
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

// The watcher of an Execute run: /bin/sh leading the run's process group, with the lifeline on
// descriptor 3 and nothing else. The lifeline closes only when the host is gone (Execute keeps
// it open until the run is over); the watcher then terminates the whole group, ignoring that
// terminate itself, and kills the group two seconds later. Until then a terminate sent to the
// group (the time limit, an interrupted host) ends the watcher with the rest. It has no
// environment, hence no PATH: the one program it runs is named by its path.
constexpr const char* kWatcher =
    "read -r _ <&3; trap '' TERM; kill -TERM 0; /bin/sleep 2; kill -KILL 0";

}  // namespace

int NqProcess::system(const std::string& command, std::string* out, std::string* err, int, bool) {
  return run(command, out, err, LoadHostConfig().commandTimeoutSeconds * 1000L);
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
      Spawn("/bin/sh", argv.data(), environ, -1, outPipe.fd[1], errPipe.fd[1], -1, -1, 0, &pid);
  outPipe.closeEnd(1);
  errPipe.closeEnd(1);
  if (spawned != 0) {
    if (err) *err = std::string("cannot start /bin/sh: ") + std::strerror(spawned);
    return kExitCannotRun;
  }
  return Collect(pid, pid, outPipe, errPipe, out, err, timeoutMillis);
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
  Pipe outPipe, errPipe, lifeline;
  if (::pipe2(outPipe.fd, O_CLOEXEC) != 0 || ::pipe2(errPipe.fd, O_CLOEXEC) != 0 ||
      ::pipe2(lifeline.fd, O_CLOEXEC) != 0)
    return fail("cannot create pipes");
  UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  UniqueFd rootFd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (devNull.get() < 0 || rootFd.get() < 0) return fail("cannot open /dev/null or /");

  // The watcher first: it leads the group that the program then joins, so the group exists
  // for as long as the run may need ending.
  pid_t watcher = -1, pid = -1;
  int spawned = Spawn("/bin/sh", watcherArgv.data(), noEnv.data(), -1, devNull.get(), devNull.get(),
                      lifeline.fd[0], rootFd.get(), 0, &watcher);
  if (spawned == 0)
    spawned =
        Spawn(byFd ? "/proc/self/fd/3" : argvStrings[0].c_str(), argv.data(), envp.data(),
              input.get(), outPipe.fd[1], errPipe.fd[1], byFd ? command.programFd : -1,
              command.cwdFd >= 0 ? command.cwdFd : rootFd.get(), watcher, &pid);
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
    rc = Collect(pid, watcher, outPipe, errPipe, out, err, command.timeoutMillis);
  }
  // The run is over: the watcher, and whatever the program left behind, go with the group.
  if (watcher > 0) {
    ::kill(-watcher, SIGKILL);
    while (::waitpid(watcher, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  return rc;
}
