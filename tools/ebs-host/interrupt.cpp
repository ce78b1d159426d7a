#include "interrupt.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

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

std::set<pid_t> Descendants() {
  std::set<pid_t> all;
  std::vector<pid_t> pending = ChildrenOf(::getpid());
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    if (!all.insert(pid).second) continue;
    for (pid_t child : ChildrenOf(pid)) pending.push_back(child);
  }
  return all;
}

// Running, as opposed to gone or a zombie waiting for its parent.
bool Alive(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  const size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

// Sends `signal` to the process groups of `pids` (but this process's own) and to `pids`.
void SignalAll(const std::set<pid_t>& pids, int signal) {
  const pid_t own = ::getpgrp();
  std::set<pid_t> groups;
  for (pid_t pid : pids) {
    const pid_t group = ::getpgid(pid);
    if (group > 0 && group != own) groups.insert(group);
  }
  for (pid_t group : groups) ::kill(-group, signal);
  for (pid_t pid : pids) ::kill(pid, signal);
}

}  // namespace

// Only what is a descendant at the moment of each signal is signalled: a pid found earlier may
// have been reaped and given to an unrelated process since.
void EndDescendants() {
  SignalAll(Descendants(), SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    bool any = false;
    for (pid_t pid : Descendants()) any = any || Alive(pid);
    if (!any || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  SignalAll(Descendants(), SIGKILL);
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
