// Configuration of the host-service stand-ins, read from the environment on every call so that a
// host (or a test) may change it between requests; while a HostConfigScope is alive, the calls of
// its thread answer the configuration read when the scope began (one request reads it once).
// Thread-safe as long as nobody modifies the environment concurrently.
//
//   EBS_HOST_LOG              log file; standard error when unset or empty
//   EBS_HOST_LOG_LEVEL        debug (default), info (every line, texts cut at kInfoLogTextBytes),
//                             error (error lines only), or off
//   EBS_HOST_LOG_MAX_SIZE     bytes a log file may reach before it is renamed to FILE.1 and a new
//                             one begun (default 8 MiB; 0: no bound)
//   EBS_HOST_TEMP_DIR         the platform's temporary directory (default /var/lib/ebs-host/tmp)
//   EBS_HOST_STORE            SQLite file of the managing-server stand-in
//                             (default StateDirectory()/store.db)
//   EBS_HOST_COMMAND_TIMEOUT  time limit of a command run by the process runner, in seconds
//                             (default 300)
//   EBS_HOST_ORATAB           the Oracle instance table (default /etc/oratab)
#pragma once

#include <sys/types.h>

#include <string>

enum class LogLevel { Debug, Info, Error, Off };

struct HostConfig {
  std::string logPath;
  LogLevel logLevel = LogLevel::Debug;
  long long logMaxBytes = 8ll << 20;
  std::string tempDir;
  std::string storePath;
  int commandTimeoutSeconds = 300;
  std::string oratabPath;
  // Distinct for every HostConfigScope the process makes; 0 when read outside one. What may be
  // kept for the length of one request (the log file's size, log.cpp) is kept per serial.
  unsigned long long scopeSerial = 0;
};

// The calling thread's configuration: the innermost live HostConfigScope's, else read from the
// environment now. The reference stays valid until the thread's next call of this function
// outside a scope, or until the scope ends: keep a copy of what must outlive that.
const HostConfig& CurrentHostConfig();

// Reads the configuration once and answers it to every CurrentHostConfig of the thread until the
// scope ends (scopes nest). The entry point holds one per request, so that a request's log lines
// and lookups do not read the environment again.
class HostConfigScope {
 public:
  HostConfigScope();
  ~HostConfigScope();
  HostConfigScope(const HostConfigScope&) = delete;
  HostConfigScope& operator=(const HostConfigScope&) = delete;

 private:
  HostConfig config_;
  const HostConfig* previous_;
};

// Where the host keeps its state: $XDG_STATE_HOME/ebs-host when XDG_STATE_HOME is an absolute
// path (a relative one is ignored, as the XDG base-directory rules say), else
// <home>/.local/state/ebs-host, the home being $HOME when absolute, else the account's home from
// the user database; "" when no home is known.
std::string StateDirectory();

// The home directory of the account `uid` from the user database (an entry of any size up to
// 1 MiB); "" when it has none or it is not an absolute path.
std::string AccountHome(uid_t uid);
