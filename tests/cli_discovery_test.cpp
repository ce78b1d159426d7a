// ebs-host discovering the simulated instance PROD (tests/fake-oracle): the password stays out
// of every output and of the Oracle owner's environment, discover --save registers in one run,
// nodes without a client say how to register them, and an interrupted discovery leaves no
// process and no password behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "cli_host.h"
#include "support/fake_oracle.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "Cli-Pa55-7q";

class HostDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!FakeOracle::Usable(&why)) GTEST_SKIP() << why;
    oracle = std::make_unique<FakeOracle>("dbhome_cli",
                                          EBS_SOURCE_DIR "/tests/fake-oracle/sandbox/load.sql");
    oracle->Set("db_password", kPassword);
    sandbox.SetOratab("PROD:" + oracle->home() + ":N\n");
  }

  // The discover command line, the password in the environment variable EBS_TEST_PW.
  static std::string Discover(const std::string& options = "") {
    return options + " discover --sid PROD --db-user apps --db-password-env EBS_TEST_PW";
  }
  static std::string Env() { return std::string("EBS_TEST_PW=") + kPassword; }

  DiscoverySandbox sandbox;
  std::unique_ptr<FakeOracle> oracle;
};

// Every file below `dir` (recursively) that holds `secret`.
std::vector<std::string> FilesHolding(const std::string& dir, const std::string& secret) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->is_regular_file() && ReadFile(it->path()).find(secret) != std::string::npos)
      found.push_back(it->path());
  return found;
}

TEST_F(HostDiscovery, PasswordStaysOutOfEveryOutput) {
  ASSERT_EQ(Host("clients add --name ebsdb01 --host ebsdb01.example.com").status, 0);
  TempDir dir;
  const std::string file = dir.file("prod.xml");
  const struct {
    const char* what;
    std::string options;
  } cases[] = {
      {"summary", ""},    {"xml", "--xml"},
      {"json", "--json"}, {"xml into a file", "--xml --output " + file},
      {"verbose", "-v"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HostRun r = Host(Discover(c.options), Env());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find(kPassword), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find(kPassword), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFile(file).find(kPassword), std::string::npos);
  EXPECT_NE(ReadFile(file).find("ebsdb01"), std::string::npos);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
  // Only when asked for by name.
  EXPECT_NE(Host(Discover("--xml --show-secrets"), Env()).out.find(kPassword), std::string::npos);

  // The variable that held it is gone before anything is started.
  for (FakeOracle::Call& call : oracle->Calls())
    EXPECT_EQ(call["env"].find("EBS_TEST_PW"), std::string::npos) << call["env"];
  EXPECT_TRUE(FilesHolding(sandbox.tempDir(), kPassword).empty());
}

// --db-password-file: the first line of the file (or of standard input for "-") is the password,
// whatever ends it; a missing file is a usage error.
TEST_F(HostDiscovery, PasswordFileGivesItsFirstLine) {
  TempDir dir;
  const std::string file = dir.file("pw");
  const std::string longPassword = std::string(700, 'p') + "-Long";
  const struct {
    const char* what;
    std::string content, password, source;
  } cases[] = {
      {"more lines follow", std::string(kPassword) + "\nnot this\n", kPassword, file},
      {"CRLF", std::string(kPassword) + "\r\n", kPassword, file},
      {"no line end", kPassword, kPassword, file},
      {"longer than a read", longPassword + "\nrest", longPassword, file},
      {"standard input", std::string(kPassword) + "\n", kPassword, "- < " + file},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    oracle->Set("db_password", c.password);
    WriteFile(file, c.content);
    ::chmod(file.c_str(), 0600);  // a password file must be private (others: cli_root_files_test)
    HostRun r = Host("discover --sid PROD --db-user apps --db-password-file " + c.source);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(oracle->Calls().empty());
    EXPECT_EQ(oracle->Calls().back()["login_password"], c.password);
  }
  HostRun missing =
      Host("discover --sid PROD --db-user apps --db-password-file " + dir.file("none"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find(dir.file("none")), std::string::npos) << missing.err;
}

TEST_F(HostDiscovery, NodesWithoutClientSayHowToRegisterThem) {
  ASSERT_EQ(Host("clients add --name ebsdb01 --host ebsdb01.example.com").status, 0);
  HostRun r = Host(Discover(), Env());
  ASSERT_EQ(r.status, 0) << r.err;
  // Each application host once, with the name the lookup used.
  for (const char* host : {"ebsapp01", "ebsapp02"}) {
    const std::string fix =
        std::string("ebs-host clients add --name ") + host + " --host " + host + ".example.com";
    EXPECT_NE(r.err.find(fix), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(fix), r.err.rfind(fix)) << r.err;
  }
  EXPECT_EQ(r.err.find("node ebsdb01 has no client"), std::string::npos);
  // Services once per node, though the answer repeats them per context file.
  EXPECT_NE(r.out.find("services     web applications, batch\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("DEBUG"), std::string::npos);

  // Saving the discovered file later names them too, from the discovery's log lines.
  TempDir dir;
  ASSERT_EQ(Host(Discover("--xml --output " + dir.file("prod.xml")), Env()).status, 0);
  HostRun save = Host("save --name PROD --config " + dir.file("prod.xml"));
  EXPECT_EQ(save.status, 0) << save.err;
  EXPECT_NE(save.err.find("ebs-host clients add --name ebsapp02 --host ebsapp02.example.com"),
            std::string::npos)
      << save.err;
}

TEST_F(HostDiscovery, DiscoverAndSaveInOneRun) {
  HostRun r = Host(Discover("--json") + " --save PROD-EBS", Env());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const nlohmann::json doc = OneDocument(r.out);
  ASSERT_TRUE(doc.is_object()) << r.out;
  const int64_t id = doc["save"]["appId"];
  EXPECT_GT(id, 0);
  EXPECT_EQ(doc["discover"]["errorCode"], 0);
  EXPECT_EQ(doc["save"]["missingClients"].size(), 3u) << r.out;
  const nlohmann::json shown = OneDocument(Host("--json apps show " + std::to_string(id)).out);
  EXPECT_EQ(shown["name"], "PROD-EBS");
  EXPECT_EQ(ReadFile(sandbox.storePath()).find(kPassword), std::string::npos);
  EXPECT_EQ(r.out.find(kPassword), std::string::npos);
}

// On a terminal a discovery shows its stage, the elapsed seconds and the time limit on one
// line redrawn in place; off a terminal there is no status line and no escape sequence.
TEST_F(HostDiscovery, StatusLineOnlyOnATerminal) {
  oracle->Set("delay", "1");
  HostRun plain = Host(Discover(), Env() + " EBS_HOST_COMMAND_TIMEOUT=77");
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ((plain.out + plain.err).find('\033'), std::string::npos);
  EXPECT_EQ(plain.err.find("limit"), std::string::npos);

  HostRun tty = HostOnTerminal(Discover() + " >/dev/null", Env() + " EBS_HOST_COMMAND_TIMEOUT=77");
  ASSERT_EQ(tty.status, 0) << tty.out << tty.err;
  const std::string& out = tty.out;
  EXPECT_NE(out.find("\r\033[Kexporting context files as " + std::string(kOracleAccount) +
                     " via sqlplus\u2026 0 s (limit 77 s)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\u2026 1 s (limit 77 s)"), std::string::npos) << out;
}

// The descendants of `pid`, through every thread's children.
std::set<pid_t> DescendantsOf(pid_t pid) {
  std::set<pid_t> all;
  std::vector<pid_t> pending{pid};
  while (!pending.empty()) {
    const pid_t p = pending.back();
    pending.pop_back();
    const std::string tasks = "/proc/" + std::to_string(p) + "/task";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(tasks, ec)) {
      std::ifstream in(task.path() / "children");
      for (pid_t child; in >> child;)
        if (all.insert(child).second) pending.push_back(child);
    }
  }
  return all;
}

template <class F>
bool WaitFor(F done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A signal to ebs-host while sqlplus hangs: the discovery's processes end within seconds, no
// file under the temporary directory holds the password, the exit status tells the signal, and
// the next discovery is not blocked by the lock.
TEST_F(HostDiscovery, InterruptEndsTheDiscoverysProcesses) {
  const struct {
    int signal;
    int status;
  } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
  ScopedEnv password("EBS_TEST_PW", kPassword);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    oracle->Set("hang", "");
    const size_t callsBefore = oracle->Calls().size();
    const pid_t host = ::fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execl(EBS_HOST_TOOL, "ebs-host", "discover", "--sid", "PROD", "--db-user", "apps",
              "--db-password-env", "EBS_TEST_PW", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const bool hanging = WaitFor(
        [&] {
          const auto calls = oracle->Calls();
          return calls.size() > callsBefore && calls.back().count("outcome") &&
                 calls.back().at("outcome") == "hanging";
        },
        std::chrono::seconds(30));
    int status = 0;
    if (!hanging) ReapWithin(host, status, 0);
    ASSERT_TRUE(hanging);
    // The process group of the run that sqlplus is part of.
    const std::string group = oracle->Calls().back().at("pgid");
    EXPECT_FALSE(GroupMembers(std::stoi(group)).empty());
    // Meanwhile the password is in no process's environment or command line, the host's own
    // included.
    std::set<pid_t> all = DescendantsOf(host);
    all.insert(host);
    for (pid_t pid : all)
      for (const char* part : {"environ", "cmdline"})
        EXPECT_EQ(ReadFile("/proc/" + std::to_string(pid) + "/" + part).find(kPassword),
                  std::string::npos)
            << pid << " " << part;
    ::kill(host, c.signal);
    ASSERT_TRUE(ReapWithin(host, status, 15));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status;
    EXPECT_TRUE(
        WaitFor([&] { return GroupMembers(std::stoi(group)).empty(); }, std::chrono::seconds(5)))
        << group;
    EXPECT_EQ(FilesHolding(sandbox.tempDir(), kPassword), std::vector<std::string>{});

    oracle->Unset("hang");
    HostRun next = Host(Discover());
    EXPECT_EQ(next.status, 0) << next.err;
  }
}

// root runs a discovery from a terminal (a login shell, sudo -i, su -), here a pseudo-terminal
// of the test with a background job of root in a process group of its own. A process of the
// Oracle owner, started by sqlplus, tries to push a command into root's terminal (TIOCSTI
// through /dev/tty) and to move into the process group of root's job, then root interrupts the
// discovery: the owner's process has no terminal to open and no way into root's session, the
// interrupt ends it but not root's job, and nothing waits in the terminal's input.
TEST_F(HostDiscovery, TheOwnersProcessesCannotReachRootsTerminalOrSession) {
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const std::string intruder = oracle->home() + "/bin/intruder";
  fs::copy_file(EBS_INTRUDER, intruder);
  fs::permissions(intruder, fs::perms(0755));
  ScopedEnv password("EBS_TEST_PW", kPassword);
  int go[2], pids[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(pids), 0);
  // root's login shell: it leads a session whose controlling terminal is the pseudo-terminal,
  // starts a background job, and once told runs ebs-host as its foreground job.
  const pid_t shell = ::fork();
  ASSERT_GE(shell, 0);
  if (shell == 0) {
    if (::setsid() < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) ::_exit(126);
    const pid_t job = ::fork();
    if (job == 0) {
      ::setpgid(0, 0);
      ::execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // The job's process group is told before sqlplus starts.
    char byte;
    if (job < 0 || ::write(pids[1], &job, sizeof job) != sizeof job || ::read(go[0], &byte, 1) != 1)
      ::_exit(126);
    const pid_t host = ::fork();
    if (host == 0) {
      ::setpgid(0, 0);
      for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(slave, fd);
      ::execl(EBS_HOST_TOOL, "ebs-host", "discover", "--sid", "PROD", "--db-user", "apps",
              "--db-password-env", "EBS_TEST_PW", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::setpgid(host, host);
    ::tcsetpgrp(slave, host);
    if (::write(pids[1], &host, sizeof host) != sizeof host) ::_exit(126);
    int status = 0;
    ::waitpid(host, &status, 0);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
  }
  ::close(go[0]);
  ::close(pids[1]);
  // What ebs-host writes to the terminal is read, so that it never blocks.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char buffer[4096];
    while (!done) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0 && ::read(master, buffer, sizeof buffer) <= 0) break;
    }
  });
  pid_t job = 0, host = 0;
  ASSERT_EQ(::read(pids[0], &job, sizeof job), static_cast<ssize_t>(sizeof job));
  oracle->Set("hang", "");
  oracle->Set("child", intruder + " --tty 'id > /tmp/ebs-canary\n' --join " + std::to_string(job) +
                           " --wait >\"$CALL/intruder\"");
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[1]);
  ASSERT_EQ(::read(pids[0], &host, sizeof host), static_cast<ssize_t>(sizeof host));
  ::close(pids[0]);
  std::string report;
  const bool attempted = WaitFor(
      [&] {
        const auto calls = oracle->Calls();
        report =
            calls.empty() || !calls.back().count("intruder") ? "" : calls.back().at("intruder");
        return report.find("join: ") != std::string::npos;
      },
      std::chrono::seconds(30));
  ::kill(host, SIGINT);
  int status = 0;
  // The shell ends with ebs-host's exit status.
  const bool ended = ReapWithin(shell, status, 15, host);
  done = true;
  reader.join();
  oracle->Unset("child");
  oracle->Unset("hang");
  // root's job is still there: the interrupt signalled no process group of root's session.
  const std::string stat = ReadFile("/proc/" + std::to_string(job) + "/stat");
  const bool jobRuns = !stat.empty() && stat.find(") Z") == std::string::npos;
  ::kill(job, SIGKILL);
  ASSERT_TRUE(attempted) << report;
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_NE(report.find("tty: No such device or address\n"), std::string::npos) << report;
  EXPECT_EQ(report.find("inject:"), std::string::npos) << report;
  EXPECT_NE(report.find("join: Operation not permitted\n"), std::string::npos) << report;
  EXPECT_TRUE(jobRuns);
  // The owner's process was in the discovery's session, which the interrupt ended.
  int session = 0;
  ASSERT_EQ(std::sscanf(report.c_str(), "session: %d", &session), 1) << report;
  EXPECT_NE(session, shell);  // not root's
  EXPECT_TRUE(WaitFor([&] { return SessionMembers(session).empty(); }, std::chrono::seconds(5)));
  // Nothing waits in the terminal's input for root's shell to read.
  ::fcntl(slave, F_SETFL, O_NONBLOCK);
  char pushed[64];
  EXPECT_LT(::read(slave, pushed, sizeof pushed), 0);
  ::close(master);
  ::close(slave);
}

// Why a discovery failed, in one line under the error, for the failures a person meets first.
TEST_F(HostDiscovery, FailuresSayWhy) {
  const std::string unable = "Unable to fetch EBS Context Files";
  const struct {
    const char* what;
    std::function<void()> arrange;  // undone after the run: the password and logon reset
    std::string args, env, message, cause, more;  // `cause` and `more` in the cause
  } cases[] = {
      {"SID missing from the oratab", nullptr,
       "discover --sid PRDO --db-user apps --db-password-env EBS_TEST_PW", "", unable,
       "SID [PRDO] has no entry", "(entries: PROD)"},
      {"wrong password", [&] { oracle->Set("db_password", "other"); }, Discover(), "", unable,
       "ORA-01017", "wrong database user or password"},
      {"listener down", [&] { oracle->Set("logon_error", "ORA-12541: TNS:no listener"); },
       Discover(), "", unable, "ORA-12541", "is the database listener running?"},
      {"instance down", [&] { oracle->Set("logon_error", "ORA-01034: ORACLE not available"); },
       Discover(), "", unable, "ORA-01034", "the database instance is not running"},
      {"relative temporary directory", nullptr, Discover(), "EBS_HOST_TEMP_DIR=relative/tmp",
       unable, "Temporary directory relative/tmp refused", ""},
      {"a context file that is not XML",
       [&] { oracle->AddContext("PROD_broken", "A", "<oa_context><host>"); }, Discover(), "",
       "Invalid EBS context file [PROD_broken]", "PROD_broken", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.arrange) c.arrange();
    HostRun r = Host(c.args, Env() + " " + c.env);
    oracle->Set("db_password", kPassword);
    oracle->Unset("logon_error");
    EXPECT_EQ(r.status, 1);
    const size_t cause = r.err.find("ebs-host: error 520: " + c.message + "\n  cause: ");
    ASSERT_NE(cause, std::string::npos) << r.err;
    for (const std::string& text : {c.cause, c.more})
      EXPECT_NE(r.err.find(text, cause), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kPassword), std::string::npos);
  }
}

}  // namespace
