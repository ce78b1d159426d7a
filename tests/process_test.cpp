// The process runner: exit statuses, large outputs on both streams, the time limit that ends
// the whole run (processes that left its group included), and runs that stay out of the terminal
// and the session of their caller.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/host/process.h"
#include "support/plugin.h"

namespace {

TEST(Process, ReportsSuccessOnlyForExitStatusZero) {
  const struct {
    const char* command;
    bool success;
    const char* out;
    const char* err;
  } cases[] = {
      {"echo hello; echo oops >&2", true, "hello\n", "oops\n"},
      {"exit 1", false, "", ""},
      {"echo partial; exit 42", false, "partial\n", ""},
      {"kill -9 $$", false, "", "command terminated by signal 9\n"},
      {"/no/such/program", false, "", nullptr},           // the shell reports it
      {"read line; echo \"[$line]\"", true, "[]\n", ""},  // standard input is empty
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    std::string out, err;
    const int rc = NqProcess::run(c.command, &out, &err, 10000);
    EXPECT_EQ(rc == 0, c.success) << rc;
    EXPECT_EQ(out, c.out);
    if (c.err) {
      EXPECT_EQ(err, c.err);
    }
  }
}

TEST(Process, LargeOutputsOnBothStreamsNeitherDeadlockNorGrowWithoutBound) {
  std::string out, err;
  // 8 MiB on each stream, interleaved: a runner that reads one pipe at a time blocks here.
  const int rc = NqProcess::run(
      "i=0; while [ $i -lt 128 ]; do head -c 65536 /dev/zero | tr '\\0' o; "
      "head -c 65536 /dev/zero | tr '\\0' e >&2; i=$((i+1)); done",
      &out, &err, 60000);
  EXPECT_EQ(rc, 0);
  EXPECT_LE(out.size(), NqProcess::kMaxKeptBytes + 64);
  EXPECT_LE(err.size(), NqProcess::kMaxKeptBytes + 64);
  EXPECT_NE(out.find("[output truncated]"), std::string::npos);
  EXPECT_EQ(out.substr(0, 10), "oooooooooo");
}

TEST(Process, SystemUsesTheConfiguredTimeLimit) {
  ScopedEnv timeout("EBS_HOST_COMMAND_TIMEOUT", "1");
  std::string out, err;
  EXPECT_NE(NqProcess::system("sleep 30", &out, &err, 0, false), 0);
  EXPECT_NE(err.find("timed out after 1 s"), std::string::npos);
  // A shell that leaves a background child holding the pipes still finishes promptly.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NqProcess::system("(sleep 30 &) ; echo done", &out, &err, 0, false), 0);
  EXPECT_EQ(out, "done\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Execute runs exactly what it is given: arguments without a shell, the environment listed and
// nothing else, the working directory given as a descriptor, standard input from the text.
TEST(Process, ExecuteGivesExactlyTheArgumentsEnvironmentDirectoryAndInput) {
  TempDir dir;
  const int dirFd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirFd, 0);
  ScopedEnv host("EBS_TEST_HOST_ONLY", "leak");
  const struct {
    const char* what;
    NqCommand command;
    std::string out;
  } cases[] = {
      {"arguments arrive literally",
       {{"/bin/echo", "$HOME", "a b", "`id`"}, {}, -1, ""},
       "$HOME a b `id`\n"},
      {"the environment is the list",
       {{"/usr/bin/env"}, {"PATH=/usr/bin:/bin", "A=1"}, -1, ""},
       "PATH=/usr/bin:/bin\nA=1\n"},
      {"the working directory is the descriptor's",
       {{"/bin/pwd", "-P"}, {}, dirFd, ""},
       std::filesystem::canonical(dir.path()).string() + "\n"},
      {"no descriptor: /", {{"/bin/pwd", "-P"}, {}, -1, ""}, "/\n"},
      {"standard input is the text",
       {{"/bin/sh", "-s"}, {}, -1, "echo from-input\nexit 3\n"},
       "from-input\n"},
      {"larger input than a pipe holds",
       {{"/usr/bin/wc", "-c"}, {}, -1, std::string(1 << 20, 'x')},
       std::to_string(1 << 20) + "\n"},
      {"only 0, 1 and 2 are open in the program",
       {{"/bin/ls", "/proc/self/fd"}, {}, -1, ""},
       "0\n1\n2\n3\n"},  // 3: the directory ls reads
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out, err;
    NqCommand command = c.command;
    command.timeoutMillis = 10000;
    const int rc = NqProcess::Execute(command, &out, &err);
    EXPECT_EQ(out, c.out) << err;
    EXPECT_EQ(rc, c.command.input.rfind("echo", 0) == 0 ? 3 : 0) << err;
  }
  ::close(dirFd);
  std::string out, err;
  EXPECT_NE(NqProcess::Execute({{"relative/program"}, {}, -1, "", 1000}, &out, &err), 0);
  EXPECT_NE(NqProcess::Execute({{"/no/such/program"}, {}, -1, "", 1000}, &out, &err), 0);
}

// Every child starts with no signal blocked and every signal at its default action, whatever the
// calling thread blocks and the host ignores: a program that ignored SIGTERM or blocked SIGINT
// would outlive the time limit's terminate and an interrupted host.
TEST(Process, ChildrenStartWithNoBlockedOrIgnoredSignal) {
  sigset_t blocked, before;
  sigemptyset(&blocked);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&blocked, signal);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
  struct sigaction ignore {
  }, oldTerm{}, oldUsr2{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &oldTerm);
  sigaction(SIGUSR2, &ignore, &oldUsr2);
  const std::string status = "/bin/grep -E '^Sig(Blk|Ign):' /proc/self/status";
  std::string viaShell, direct, err;
  // The shell of system() execs grep, which so shows what the shell was started with.
  EXPECT_EQ(NqProcess::run("exec " + status, &viaShell, &err, 10000), 0) << err;
  const NqCommand grep{
      {"/bin/grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"}, {}, -1, "", 10000};
  EXPECT_EQ(NqProcess::Execute(grep, &direct, &err), 0) << err;
  sigaction(SIGTERM, &oldTerm, nullptr);
  sigaction(SIGUSR2, &oldUsr2, nullptr);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  // glibc's posix_spawn leaves its own two internal signals (32 and 33, below SIGRTMIN) ignored,
  // which no program can use; every signal a program can use is at its default.
  constexpr unsigned long long kGlibcInternal = 3ull << 31;
  for (const std::string& status : {viaShell, direct}) {
    unsigned long long blocked = ~0ull, ignored = ~0ull;
    ASSERT_EQ(std::sscanf(status.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2)
        << status;
    EXPECT_EQ(blocked, 0u) << status;
    EXPECT_EQ(ignored & ~kGlibcInternal, 0u) << status;
  }
}

// A caller in a terminal session, as root is in a login shell, sudo -i or su -: its run has no
// controlling terminal, so a process of the run can neither open /dev/tty nor push input into
// the terminal (TIOCSTI), nor join a process group of the caller's session. The terminal is a
// pseudo-terminal of the test.
TEST(Process, TheRunStaysOutOfTheCallersTerminalAndSession) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  TempDir dir;
  const std::string report = dir.file("report");
  const pid_t caller = ::fork();
  if (caller == 0) {
    // A session leader with the pseudo-terminal as its controlling terminal, like a shell.
    if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(2);
    std::string out, err;
    NqProcess::Execute(
        {{EBS_INTRUDER, "--tty", "id\n", "--join", std::to_string(::getpgrp())}, {}, -1, "", 10000},
        &out, &err);
    WriteFile(report, out + err + "caller session: " + std::to_string(::getsid(0)) + "\n");
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(caller, &status, 0), caller);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string out = ReadFile(report);
  EXPECT_NE(out.find("tty: No such device or address\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("inject:"), std::string::npos) << out;
  EXPECT_NE(out.find("join: Operation not permitted\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("session: " + std::to_string(caller) + " "), std::string::npos) << out;
  // Nothing waits in the terminal's input for the next program that reads it.
  ::fcntl(slave, F_SETFL, O_NONBLOCK);
  char pushed[16];
  EXPECT_LT(::read(slave, pushed, sizeof pushed), 0);
  ::close(master);
  ::close(slave);
}

// Whether `done` holds within about `tries` hundredths of a second.
bool Eventually(const std::function<bool()>& done, int tries = 800) {
  for (int i = 0; i < tries; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    if (done()) return true;
  return false;
}

// The pid in `file` (written by a process of a run); 0 when it is not there within a few seconds.
pid_t PidIn(const std::string& file) {
  Eventually([&] { return !ReadFile(file).empty(); }, 500);
  return static_cast<pid_t>(std::atoi(ReadFile(file).c_str()));
}

// Whether `pid` has ended within a few seconds (a zombie counts as ended).
bool EndsSoon(pid_t pid) {
  return Eventually([pid] {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t end = stat.rfind(')');
    return end == std::string::npos || stat.compare(end, 3, ") Z") == 0;
  });
}

// A process of the run that moved into a process group of its own and whose parent has exited
// is still in the run's session: each way a run ends (the program exits, the time limit, the
// death of the caller through the watcher) ends it too.
TEST(Process, EveryEndOfARunReachesTheProcessesThatLeftItsGroup) {
  TempDir dir;
  const std::string intruder = EBS_INTRUDER;
  const struct {
    const char* what;
    std::string script;  // run by /bin/sh -c; FILE is where the intruder's pid goes
    long timeoutMillis;
    bool killCaller;
  } cases[] = {
      {"the program exits", intruder + " --leave \"$1\"", 10000, false},
      {"the time limit", intruder + " --leave \"$1\"; exec /bin/sleep 300", 500, false},
      {"the caller is killed", intruder + " --leave \"$1\"; exec /bin/sleep 300", 600000, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = dir.file("left" + std::to_string(n++));
    const NqCommand command{{"/bin/sh", "-c", c.script, "sh", file}, {}, -1, "", c.timeoutMillis};
    std::string out, err;
    if (!c.killCaller) {
      const int rc = NqProcess::Execute(command, &out, &err);
      if (c.timeoutMillis == 500) {  // the time limit's own exit status and cause
        EXPECT_EQ(rc, 124);
        EXPECT_NE(err.find("timed out after 500 ms"), std::string::npos) << err;
      }
    } else {
      const pid_t caller = ::fork();
      if (caller == 0) {
        NqProcess::Execute(command, &out, &err);
        ::_exit(0);
      }
      PidIn(file);
      ::kill(caller, SIGKILL);
      ::waitpid(caller, nullptr, 0);
    }
    const pid_t left = PidIn(file);
    ASSERT_GT(left, 0) << err;
    const bool ended = EndsSoon(left);
    if (!ended) ::kill(left, SIGKILL);
    EXPECT_TRUE(ended);
  }
}

// When the process that called Execute dies, even by SIGKILL, its run's whole session ends
// within a few seconds, a member that ignores the terminate (the watcher kills it two seconds
// later) included, and so does the watcher.
TEST(Process, TheRunEndsWithItsCaller) {
  TempDir dir;
  const std::string pidFile = dir.file("sleep.pid");
  const pid_t caller = ::fork();
  if (caller == 0) {
    std::string out, err;
    const std::string script = "trap '' TERM; /bin/sleep 300 & echo $! > " + pidFile + "; wait";
    NqProcess::Execute({{"/bin/sh", "-c", script}, {}, -1, "", 600000}, &out, &err);
    ::_exit(0);
  }
  const pid_t sleeper = PidIn(pidFile);
  ASSERT_GT(sleeper, 0);
  const pid_t session = ::getsid(sleeper);  // led by the program
  ASSERT_GT(session, 0);
  // The caller's other child is the watcher.
  pid_t watcher = 0;
  std::istringstream children(ReadFile("/proc/" + std::to_string(caller) + "/task/" +
                                       std::to_string(caller) + "/children"));
  for (pid_t child; children >> child;)
    if (child != session) watcher = child;
  ASSERT_GT(watcher, 0);
  ::kill(caller, SIGKILL);
  ::waitpid(caller, nullptr, 0);
  EXPECT_TRUE(Eventually([&] { return SessionMembers(session).empty(); }, 500))
      << SessionMembers(session).size() << " processes left";
  EXPECT_TRUE(EndsSoon(watcher));
}

}  // namespace
