// Configuration of the host-service stand-ins, read from the environment on every call so that a
// host (or a test) may change it between requests. Thread-safe as long as nobody modifies the
// environment concurrently.
//
//   EBS_HOST_LOG              log file; standard error when unset or empty
//   EBS_HOST_LOG_LEVEL        debug (default), error, or off
//   EBS_HOST_TEMP_DIR         the platform's temporary directory (default /var/lib/ebs-host/tmp)
//   EBS_HOST_STORE            SQLite file of the managing-server stand-in
//                             (default $XDG_STATE_HOME/ebs-host/store.db, or
//                             $HOME/.local/state/ebs-host/store.db without XDG_STATE_HOME)
//   EBS_HOST_COMMAND_TIMEOUT  time limit of a command run by the process runner, in seconds
//                             (default 300)
//   EBS_HOST_ORATAB           the Oracle instance table (default /etc/oratab)
#pragma once

#include <string>

enum class LogLevel { Debug, Error, Off };

struct HostConfig {
  std::string logPath;
  LogLevel logLevel = LogLevel::Debug;
  std::string tempDir;
  std::string storePath;
  int commandTimeoutSeconds = 300;
  std::string oratabPath;
};

HostConfig LoadHostConfig();
