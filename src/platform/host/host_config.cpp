#include "platform/host/host_config.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <vector>

namespace {

std::string Env(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

// The home directory: $HOME when it is an absolute path, else the account's from the user
// database; "" when neither is known.
std::string HomeDirectory() {
  const std::string home = Env("HOME", "");
  if (!home.empty() && home[0] == '/') return home;
  return AccountHome(::geteuid());
}

}  // namespace

std::string AccountHome(uid_t uid) {
  // An entry larger than the buffer (ERANGE) is read again with a larger one, up to a bound.
  constexpr size_t kMaxEntryBytes = size_t{1} << 20;
  for (size_t size = 16384; size <= kMaxEntryBytes; size *= 4) {
    std::vector<char> buffer(size);
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) continue;
    if (rc == 0 && found && found->pw_dir && found->pw_dir[0] == '/') return found->pw_dir;
    return "";
  }
  return "";
}

std::string StateDirectory() {
  const std::string state = Env("XDG_STATE_HOME", "");
  if (!state.empty() && state[0] == '/') return state + "/ebs-host";
  const std::string home = HomeDirectory();
  return home.empty() ? "" : home + "/.local/state/ebs-host";
}

namespace {

// The configuration of the innermost live scope of the thread, or null.
thread_local const HostConfig* scoped = nullptr;

HostConfig ReadHostConfig() {
  HostConfig config;
  config.logPath = Env("EBS_HOST_LOG", "");
  const std::string level = Env("EBS_HOST_LOG_LEVEL", "debug");
  config.logLevel = level == "off"     ? LogLevel::Off
                    : level == "error" ? LogLevel::Error
                    : level == "info"  ? LogLevel::Info
                                       : LogLevel::Debug;
  const std::string maxSize = Env("EBS_HOST_LOG_MAX_SIZE", "");
  long long bytes = 0;
  auto [sizeEnd, sizeEc] = std::from_chars(maxSize.data(), maxSize.data() + maxSize.size(), bytes);
  if (sizeEc == std::errc() && sizeEnd == maxSize.data() + maxSize.size() && bytes >= 0)
    config.logMaxBytes = bytes;
  config.tempDir = Env("EBS_HOST_TEMP_DIR", "/var/lib/ebs-host/tmp");
  while (config.tempDir.size() > 1 && config.tempDir.back() == '/') config.tempDir.pop_back();
  config.storePath = Env("EBS_HOST_STORE", "");
  if (config.storePath.empty()) {
    const std::string state = StateDirectory();
    if (!state.empty()) config.storePath = state + "/store.db";
  }
  const std::string timeout = Env("EBS_HOST_COMMAND_TIMEOUT", "300");
  int seconds = 0;
  auto [end, ec] = std::from_chars(timeout.data(), timeout.data() + timeout.size(), seconds);
  if (ec == std::errc() && end == timeout.data() + timeout.size() && seconds > 0)
    config.commandTimeoutSeconds = seconds;
  config.oratabPath = Env("EBS_HOST_ORATAB", "/etc/oratab");
  return config;
}

}  // namespace

const HostConfig& CurrentHostConfig() {
  if (scoped) return *scoped;
  static thread_local HostConfig read;
  read = ReadHostConfig();
  return read;
}

HostConfigScope::HostConfigScope() : config_(ReadHostConfig()), previous_(scoped) {
  static std::atomic<unsigned long long> serials{0};
  config_.scopeSerial = ++serials;
  scoped = &config_;
}

HostConfigScope::~HostConfigScope() { scoped = previous_; }
