#include "platform/host_config.h"

#include <charconv>
#include <cstdlib>

namespace {

std::string Env(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

// The user's state directory: $XDG_STATE_HOME when it is an absolute path (a relative one is
// ignored, as the XDG base-directory rules say), otherwise $HOME/.local/state.
std::string StateHome(const std::string& home) {
  const std::string state = Env("XDG_STATE_HOME", "");
  return !state.empty() && state[0] == '/' ? state : home + "/.local/state";
}

}  // namespace

HostConfig LoadHostConfig() {
  HostConfig config;
  config.logPath = Env("EBS_HOST_LOG", "");
  const std::string level = Env("EBS_HOST_LOG_LEVEL", "debug");
  config.logLevel = level == "off"     ? LogLevel::Off
                    : level == "error" ? LogLevel::Error
                                       : LogLevel::Debug;
  config.tempDir = Env("EBS_HOST_TEMP_DIR", "/var/lib/ebs-host/tmp");
  while (config.tempDir.size() > 1 && config.tempDir.back() == '/') config.tempDir.pop_back();
  const std::string home = Env("HOME", "/root");
  config.storePath = Env("EBS_HOST_STORE", StateHome(home) + "/ebs-host/store.db");
  const std::string timeout = Env("EBS_HOST_COMMAND_TIMEOUT", "300");
  int seconds = 0;
  auto [end, ec] = std::from_chars(timeout.data(), timeout.data() + timeout.size(), seconds);
  if (ec == std::errc() && end == timeout.data() + timeout.size() && seconds > 0)
    config.commandTimeoutSeconds = seconds;
  config.oratabPath = Env("EBS_HOST_ORATAB", "/etc/oratab");
  return config;
}
