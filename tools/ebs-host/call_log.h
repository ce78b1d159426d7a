// The log of ebs-host's plug-in calls. ebs-host points EBS_HOST_LOG at one file (--log, else
// EBS_HOST_LOG, else $XDG_STATE_HOME/ebs-host/ebs-host.log or ~/.local/state/ebs-host/...), used
// by the rules of platform/host/log_file.h (mode 0600, never through a link, as root only in a
// trusted directory, never a file that is not already a log), and reads back the lines that its
// own process appends during a call: their ERROR texts are the call's causes, and the progress of
// a discovery shows in them. Lines are "<UTC stamp> <LEVEL> <pid> [<label>] <text>". One object
// per call, used by one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "platform/host/log_file.h"

struct LogLine {
  std::string level, label, text;
  std::string raw;  // the whole line, without its line feed
};

// The parts of one log line; false when it is not a log line of process `pid` (of any process
// when `pid` is 0).
bool ParseLogLine(std::string_view line, long pid, LogLine& out);

// The log ebs-host uses: `explicitPath` (--log), else EBS_HOST_LOG, else
// StateDirectory()/ebs-host.log (host_config.h); "" when none is known.
std::string LogPathFor(const std::string& explicitPath);

class CallLog {
 public:
  CallLog() = default;
  CallLog(const CallLog&) = delete;
  CallLog& operator=(const CallLog&) = delete;

  // Makes the log file (and, for the default path, its directories), rotates it when full
  // (EBS_HOST_LOG_MAX_SIZE) and points EBS_HOST_LOG at it; reading starts at its current end,
  // and follows the log into a new file when a rotation happens during the call. An error when
  // it cannot be used.
  Status Open(const std::string& explicitPath);
  const std::string& path() const { return path_; }

  // The complete lines of this process appended since the last call.
  std::vector<LogLine> Poll();

 private:
  std::string path_;
  LogFile log_;
  long long offset_ = 0;
  std::string partial_;
};

// The log lines of every process among the last `maxBytes` of LogPathFor(explicitPath); none when
// there is no such file, or it is not one that Open would use (base/file_io.h's
// OpenOwnRegularFile). Opens nothing for writing and follows no link.
std::vector<LogLine> RecentLogLines(const std::string& explicitPath, size_t maxBytes);

// The texts of the ERROR lines among `lines`, each text once.
std::vector<std::string> Causes(const std::vector<LogLine>& lines);
