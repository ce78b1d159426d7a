// The process runner: exit statuses, large outputs on both streams, and the time limit that
// ends the whole process group.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
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

}  // namespace
