#include "interrupt.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/process.h"

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

int g_pipe[2] = {-1, -1};
std::atomic<bool> g_interrupted{false};  // set by the handler: lock-free, so signal-safe
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> g_inCall{false};
struct sigaction g_before[std::size(kSignals)];  // the actions a PluginCallScope replaced
bool g_handling = false;  // whether InstallInterruptHandling started the thread

void OnSignal(int signal) {
  const int saved = errno;
  g_interrupted = true;  // before the main thread can leave the plug-in call and print
  const unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

// The children of `pid`, over all its threads (the plug-in may start them from any thread).
std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> out;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (!dir) return out;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(tasks + "/" + entry->d_name + "/children");
    for (pid_t child; in >> child;) out.push_back(child);
  }
  ::closedir(dir);
  return out;
}

// The fields of /proc/<pid>/stat after the command name, which may hold anything and ends at
// the last ")"; empty when the process has gone.
std::string StatFields(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return "";
  const size_t end = stat.rfind(')');
  return end == std::string::npos ? "" : stat.substr(end + 1);
}

// Running, as opposed to gone or a zombie waiting for its parent.
bool Alive(pid_t pid) {
  std::istringstream fields(StatFields(pid));
  char state = 0;
  return fields >> state && state != 'Z';
}

pid_t ParentOf(pid_t pid) {
  std::istringstream fields(StatFields(pid));
  char state = 0;
  pid_t parent = 0;
  fields >> state >> parent;
  return parent;
}

// Sends `signal` (0: none) to the children of this process and to every process of the sessions
// they lead, and returns how many of these still run. Every child the process runner starts
// leads a session of its own, which holds its whole run; the runner reaps such a child only once
// its session is empty, so its pid names that session for as long as anything of the run is
// left. Nothing else is signalled: no process group, which a process of another account could
// have chosen, and no process that left the session.
size_t SignalRuns(int signal) {
  size_t running = 0;
  const pid_t self = ::getpid();
  for (pid_t child : ChildrenOf(self)) {
    // Still a child of this process, as opposed to a process that took its pid since.
    if (ParentOf(child) != self) continue;
    if (::getsid(child) == child) {
      running += NqProcess::SignalSession(child, signal);
    } else if (Alive(child)) {
      ++running;
      if (signal != 0) ::kill(child, signal);
    }
  }
  return running;
}

}  // namespace

// Only what is a child, or in a child's session, at the moment of each signal is signalled: a
// pid found earlier may have been reaped and given to an unrelated process since.
void EndDescendants() {
  SignalRuns(SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (SignalRuns(0) > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  SignalRuns(SIGKILL);
}

void InstallInterruptHandling(std::function<void(int)> farewell) {
  if (g_handling || ::pipe2(g_pipe, O_CLOEXEC) != 0) return;
  g_handling = true;
  std::thread([farewell = std::move(farewell)] {
    unsigned char byte = 0;
    ssize_t n;
    while ((n = ::read(g_pipe[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1) return;
    EndDescendants();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (g_inCall && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (farewell) farewell(byte);
    ::_exit(128 + byte);
  }).detach();
}

PluginCallScope::PluginCallScope() {
  g_inCall = true;
  if (!g_handling) return;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &g_before[i]);
}

PluginCallScope::~PluginCallScope() {
  // Once interrupted, the handling thread ends the process: a second signal changes nothing.
  if (g_handling && !g_interrupted)
    for (size_t i = 0; i < std::size(kSignals); ++i)
      ::sigaction(kSignals[i], &g_before[i], nullptr);
  g_inCall = false;
}

bool Interrupted() { return g_interrupted; }

void WaitIfInterrupted() {
  while (g_interrupted) ::pause();
}
