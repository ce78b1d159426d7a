#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

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
