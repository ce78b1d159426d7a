// The process runner: exit statuses, large outputs on both streams, and the time limit that
// ends the whole process group.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/process.h"
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

TEST(Process, TimeLimitKillsTheWholeProcessGroup) {
  TempDir dir;
  const std::string pidFile = dir.file("grandchild.pid");
  std::string out, err;
  const auto start = std::chrono::steady_clock::now();
  const int rc = NqProcess::run("sleep 300 & echo $! > " + pidFile + "; wait", &out, &err, 500);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_NE(rc, 0);
  EXPECT_NE(err.find("timed out after 500 ms"), std::string::npos) << err;
  EXPECT_LT(took, std::chrono::seconds(10));
  const pid_t grandchild = std::stoi(ReadFile(pidFile));
  // The background sleep went with its group (allow the kernel a moment to reap it).
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = kill(grandchild, 0) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(gone);
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

// How many processes of the process group `group` still run (or only `pid` of them, when
// given).
size_t RunningInGroup(pid_t group, pid_t pid = 0) {
  size_t n = 0;
  for (const GroupMember& m : GroupMembers(group)) n += !pid || m.pid == pid;
  return n;
}

// When the process that called Execute dies, even by SIGKILL, its run's whole process group
// ends within a few seconds, its watcher and a member that ignores the terminate (the watcher
// kills it two seconds later) included; the time limit ends it as well.
TEST(Process, TheRunEndsWithItsCallerAndItsTimeLimit) {
  TempDir dir;
  const std::string pidFile = dir.file("sleep.pid");
  const pid_t caller = ::fork();
  if (caller == 0) {
    std::string out, err;
    NqProcess::Execute(
        {{"/bin/sh", "-c", "trap '' TERM; /bin/sleep 300 & echo $! > " + pidFile + "; wait"},
         {},
         -1,
         "",
         600000},
        &out, &err);
    ::_exit(0);
  }
  for (int i = 0; i < 500 && ReadFile(pidFile).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const pid_t sleeper = std::stoi("0" + ReadFile(pidFile));
  ASSERT_GT(sleeper, 0);
  const pid_t group = ::getpgid(sleeper);  // led by the watcher
  ASSERT_GT(group, 0);
  ::kill(caller, SIGKILL);
  ::waitpid(caller, nullptr, 0);
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    gone = RunningInGroup(group) == 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << RunningInGroup(group) << " processes left, the watcher "
                    << (RunningInGroup(group, group) ? "among them" : "not among them");

  std::string out, err;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NqProcess::Execute({{"/bin/sleep", "30"}, {}, -1, "", 500}, &out, &err), 124);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(err.find("timed out after 500 ms"), std::string::npos) << err;
}

}  // namespace
