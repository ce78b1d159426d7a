#include "support/plugin.h"

#include "base/text.h"
#include "messages/requests.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using Entry = int (*)(std::string&);

Entry LoadEntry() {
  static Entry entry = [] {
    void* handle = dlopen(EBS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    auto* f = reinterpret_cast<Entry>(dlsym(handle, "OnMsgEnterpriseApps"));
    if (!f) throw std::runtime_error("OnMsgEnterpriseApps is not exported");
    return f;
  }();
  return entry;
}

}  // namespace

PluginCall CallPlugin(const std::string& requestText) {
  PluginCall call;
  call.text = requestText;
  call.result = LoadEntry()(call.text);
  AnswerParts parts = ReadAnswer(call.text, call.envelope);
  call.errorCode = parts.errorCode;
  call.errorMessage = std::move(parts.errorMessage);
  call.inner = std::move(parts.inner);
  return call;
}

std::string Envelope(int64_t appType, const std::string& inner) {
  return EnvelopeText(appType, inner);
}

std::string InnerText(const Hux::OraEBSReqResp& request) { return request.serialized(); }

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (old) old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/ebs-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  for (const std::string_view part : SplitView(text, separator)) parts.emplace_back(part);
  return parts;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

namespace {

// The live processes whose process group (`session` false) or session is `id`.
std::vector<GroupMember> Members(pid_t id, bool session) {
  std::vector<GroupMember> members;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string stat = ReadFile(e.path().string() + "/stat");
    const size_t end = stat.rfind(')');
    char state = 0;
    int parent = 0, group = 0, sid = 0;
    if (end != std::string::npos &&
        std::sscanf(stat.c_str() + end + 1, " %c %d %d %d", &state, &parent, &group, &sid) == 4 &&
        state != 'Z' && (session ? sid : group) == id)
      members.push_back({static_cast<pid_t>(std::stoi(e.path().filename().string())), parent});
  }
  return members;
}

}  // namespace

std::vector<GroupMember> GroupMembers(pid_t pgid) { return Members(pgid, false); }

std::vector<GroupMember> SessionMembers(pid_t sid) { return Members(sid, true); }

bool ReapWithin(pid_t pid, int& status, int seconds, pid_t victim) {
  for (int waited = 0; waited < seconds * 50; ++waited) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return true;
    ::usleep(20000);
  }
  ::kill(victim ? victim : pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return false;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

HostSandbox::HostSandbox()
    : temp_("EBS_HOST_TEMP_DIR", dir_.file("tmp")),
      store_("EBS_HOST_STORE", dir_.file("store.db")),
      log_("EBS_HOST_LOG", dir_.file("host.log")),
      level_("EBS_HOST_LOG_LEVEL", "debug"),
      oratab_("EBS_HOST_ORATAB", dir_.file("oratab")) {}
