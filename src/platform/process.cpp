#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
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

// Reads both pipes until the process `pid` (leader of its own group) has exited and its
// descendants have let go of them, enforcing the time limit on the whole group.
int Collect(pid_t pid, Pipe& outPipe, Pipe& errPipe, std::string* out, std::string* err,
            long timeoutMillis) {
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
      ::kill(-pid, SIGKILL);
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
    ::kill(-pid, SIGTERM);
    const auto grace = Clock::now() + std::chrono::milliseconds(kGraceMillis);
    while (!exited && Clock::now() < grace) {
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid)
        exited = true;
      else
        ::usleep(10000);
    }
    ::kill(-pid, SIGKILL);
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

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe.fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe.fd[1], STDERR_FILENO);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGCHLD);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::string shell = "/bin/sh", dashC = "-c", line = command;
  char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  outPipe.closeEnd(1);
  errPipe.closeEnd(1);
  if (spawned != 0) {
    if (err) *err = std::string("cannot start /bin/sh: ") + std::strerror(spawned);
    return kExitCannotRun;
  }

  return Collect(pid, outPipe, errPipe, out, err, timeoutMillis);
}

namespace {

constexpr int kLifelineFd = 3;
constexpr long kSupervisorGraceMillis = 2000;

void SleepMillis(long millis) {
  timespec ts{millis / 1000, (millis % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// In a child after fork: only async-signal-safe calls from here on.
void ResetSignals() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2})
    ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

constexpr int kCwdFd = 4;

// Places `fds` (input, output, error, lifeline, working directory or -1) at 0..4 and closes
// every other descriptor, so that neither the lifelines of concurrent runs nor any other
// descriptor of the host stays open in the run's processes.
bool ArrangeDescriptors(const int (&fds)[5]) {
  int high[5];
  for (int i = 0; i < 5; ++i)
    if ((high[i] = fds[i] < 0 ? -1 : ::fcntl(fds[i], F_DUPFD, 10)) < 0 && fds[i] >= 0) return false;
  for (int i = 0; i < 5; ++i)
    if (high[i] >= 0 && ::dup2(high[i], i) != i) return false;
  if (::close_range(high[4] >= 0 ? 5 : 4, ~0U, 0) != 0)
    for (int fd = high[4] >= 0 ? 5 : 4; fd < 65536; ++fd) ::close(fd);
  return true;
}

// The supervisor: leader of the run's process group. Starts the program, then waits for it
// while watching the lifeline; exits with the program's status.
[[noreturn]] void Supervise(const int (&fds)[5], char* const* argv, char* const* envp) {
  ::setpgid(0, 0);
  ResetSignals();
  const bool hasCwd = fds[4] >= 0;
  if (!ArrangeDescriptors(fds)) ::_exit(kExitCannotRun);
  const pid_t worker = ::fork();
  if (worker < 0) ::_exit(kExitCannotRun);
  if (worker == 0) {
    ::close(kLifelineFd);
    if (hasCwd ? ::fchdir(kCwdFd) != 0 : ::chdir("/") != 0) ::_exit(kExitCannotRun);
    if (hasCwd) ::close(kCwdFd);
    ::execve(argv[0], argv, envp);
    ::_exit(kExitCannotRun);
  }
  // The supervisor itself keeps only the lifeline; a group-wide terminate is not for it.
  for (int fd : {0, 1, 2, kCwdFd}) ::close(fd);
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  ::sigaction(SIGTERM, &ign, nullptr);
  ::sigaction(SIGHUP, &ign, nullptr);
  ::sigaction(SIGINT, &ign, nullptr);
  int status = 0;
  // The program's end wakes the poll through a process descriptor where the kernel has them.
  const int workerFd = static_cast<int>(::syscall(SYS_pidfd_open, worker, 0));
  for (;;) {
    const pid_t r = ::waitpid(worker, &status, WNOHANG);
    if (r == worker) break;
    pollfd fds[2] = {{kLifelineFd, POLLIN, 0}, {workerFd, POLLIN, 0}};
    pollfd& lifeline = fds[0];
    if (::poll(fds, workerFd >= 0 ? 2 : 1, 200) > 0 &&
        (lifeline.revents & (POLLIN | POLLHUP | POLLERR))) {
      char byte;
      if (::read(kLifelineFd, &byte, 1) <= 0) {
        // The caller is gone: end the run.
        ::kill(0, SIGTERM);
        for (long waited = 0; waited < kSupervisorGraceMillis; waited += 50) {
          if (::waitpid(worker, &status, WNOHANG) == worker) break;
          SleepMillis(50);
        }
        ::kill(0, SIGKILL);
        ::_exit(kExitCannotRun);
      }
    }
  }
  if (WIFSIGNALED(status)) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(WTERMSIG(status), &dfl, nullptr);
    ::kill(::getpid(), WTERMSIG(status));
    ::_exit(128 + WTERMSIG(status));
  }
  ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : kExitCannotRun);
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

int NqProcess::Execute(const NqCommand& command, std::string* out, std::string* err) {
  if (out) out->clear();
  if (err) err->clear();
  const auto fail = [&](const std::string& what) {
    if (err) *err = what + ": " + std::strerror(errno);
    return kExitCannotRun;
  };
  if (command.argv.empty() || command.argv[0].empty() || command.argv[0][0] != '/') {
    if (err) *err = "the program must be given by its absolute path";
    return kExitCannotRun;
  }
  // Everything the children need is made before fork: they only make system calls.
  std::vector<std::string> argvStrings = command.argv, envStrings = command.env;
  std::vector<char*> argv = Pointers(argvStrings), envp = Pointers(envStrings);

  Pipe input, outPipe, errPipe, lifeline;
  input.fd[0] = ::memfd_create("input", MFD_CLOEXEC);
  if (input.fd[0] < 0) return fail("cannot create the input file");
  if (!WriteAll(input.fd[0], command.input) || ::lseek(input.fd[0], 0, SEEK_SET) != 0)
    return fail("cannot write the input file");
  if (::pipe2(outPipe.fd, O_CLOEXEC) != 0 || ::pipe2(errPipe.fd, O_CLOEXEC) != 0 ||
      ::pipe2(lifeline.fd, O_CLOEXEC) != 0)
    return fail("cannot create pipes");

  const int fds[5] = {input.fd[0], outPipe.fd[1], errPipe.fd[1], lifeline.fd[0], command.cwdFd};
  const pid_t pid = ::fork();
  if (pid < 0) return fail("cannot start a process");
  if (pid == 0) Supervise(fds, argv.data(), envp.data());
  ::setpgid(pid, pid);  // also here, so that the group exists before any kill of it
  input.closeEnd(0);
  outPipe.closeEnd(1);
  errPipe.closeEnd(1);
  lifeline.closeEnd(0);
  // lifeline.fd[1] stays open in this process until the run is over: its closing, by the end of
  // this call or by the death of the process, is what the supervisor watches for.
  return Collect(pid, outPipe, errPipe, out, err, command.timeoutMillis);
}
