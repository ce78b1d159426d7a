#include "call_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "base/file_io.h"
#include "platform/host/host_config.h"

bool ParseLogLine(std::string_view line, long pid, LogLine& out) {
  // <stamp> <LEVEL> <pid> [<label>] <text>
  const size_t levelAt = line.find(' ');
  if (levelAt == std::string_view::npos) return false;
  const size_t pidAt = line.find(' ', levelAt + 1);
  if (pidAt == std::string_view::npos) return false;
  const size_t labelAt = line.find(' ', pidAt + 1);
  if (labelAt == std::string_view::npos ||
      (pid != 0 && line.substr(pidAt + 1, labelAt - pidAt - 1) != std::to_string(pid)))
    return false;
  if (labelAt + 1 >= line.size() || line[labelAt + 1] != '[') return false;
  const size_t labelEnd = line.find("] ", labelAt + 1);
  if (labelEnd == std::string_view::npos) return false;
  out.level = std::string(line.substr(levelAt + 1, pidAt - levelAt - 1));
  out.label = std::string(line.substr(labelAt + 2, labelEnd - labelAt - 2));
  out.text = std::string(line.substr(labelEnd + 2));
  out.raw = std::string(line);
  return true;
}

std::string LogPathFor(const std::string& explicitPath) {
  if (!explicitPath.empty()) return explicitPath;
  const char* configured = std::getenv("EBS_HOST_LOG");
  if (configured && *configured) return configured;
  const std::string state = StateDirectory();
  return state.empty() ? "" : state + "/ebs-host.log";
}

Status CallLog::Open(const std::string& explicitPath) {
  path_ = LogPathFor(explicitPath);
  if (path_.empty()) {
    return Status::Error(
        "no log file: set HOME, XDG_STATE_HOME or EBS_HOST_LOG, or give --log FILE");
  }
  // The state directory is made when the log is in it; a named file's directory must exist.
  const std::string state = StateDirectory();
  const bool inState = !state.empty() && path_ == state + "/ebs-host.log";
  // One descriptor checks, creates and reads the file: what is read is what was checked.
  if (Status s = OpenLogFile(path_, inState, log_); !s.ok) {
    return Status::Error(s.message + "; refusing to write to it" +
                         (inState && ::geteuid() == 0
                              ? " (run with sudo -H, or set EBS_HOST_LOG and EBS_HOST_STORE to "
                                "root's own files)"
                              : ""));
  }
  // A file of ours that others may read (made before, or by hand) is closed to them now.
  struct stat st {};
  if (::fstat(log_.file.get(), &st) == 0 && (st.st_mode & 077) != 0)
    ::fchmod(log_.file.get(), st.st_mode & 0700);
  // A full log is rotated before the call, so that the call's lines are in one file.
  if (Status s = RotateLogFile(log_, CurrentHostConfig().logMaxBytes, 1); !s.ok) return s;
  offset_ = ::lseek(log_.file.get(), 0, SEEK_END);
  if (offset_ < 0) offset_ = 0;
  ::setenv("EBS_HOST_LOG", path_.c_str(), 1);
  return Status::Ok();
}

std::vector<LogLine> CallLog::Poll() {
  std::vector<LogLine> lines;
  if (log_.file.get() < 0) return lines;
  const long pid = static_cast<long>(::getpid());
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::pread(log_.file.get(), buffer, sizeof buffer, offset_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Read to its end: when the log was rotated meanwhile, the rest is in the new file.
      struct stat held {
      }, named{};
      if (::fstat(log_.file.get(), &held) != 0 ||
          ::fstatat(log_.dir.get(), log_.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
          (held.st_dev == named.st_dev && held.st_ino == named.st_ino))
        break;
      Result<UniqueFd> next = OpenOwnRegularFileAt(log_.dir.get(), log_.name, O_RDONLY);
      if (!next.ok()) break;
      log_.file = std::move(*next);
      offset_ = 0;
      continue;
    }
    offset_ += n;
    partial_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
      LogLine line;
      if (ParseLogLine(std::string_view(partial_).substr(start, end - start), pid, line))
        lines.push_back(std::move(line));
    }
    partial_.erase(0, start);
  }
  return lines;
}

std::vector<LogLine> RecentLogLines(const std::string& explicitPath, size_t maxBytes) {
  const std::string path = LogPathFor(explicitPath);
  std::vector<LogLine> lines;
  if (path.empty()) return lines;
  // A log that is not ours holds no lines of ours.
  const Result<UniqueFd> file = OpenOwnRegularFile(path, O_RDONLY);
  if (!file.ok()) return lines;
  const int fd = file->get();
  const off_t end = ::lseek(fd, 0, SEEK_END);
  const off_t start = end > static_cast<off_t>(maxBytes) ? end - static_cast<off_t>(maxBytes) : 0;
  std::string text(static_cast<size_t>(end > start ? end - start : 0), '\0');
  ssize_t got = 0;
  while (static_cast<size_t>(got) < text.size()) {
    const ssize_t n = ::pread(fd, text.data() + got, text.size() - got, start + got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  text.resize(static_cast<size_t>(got));
  size_t from = 0;
  if (start > 0) {  // the first line is cut
    const size_t first = text.find('\n');
    if (first == std::string::npos) return lines;
    from = first + 1;
  }
  for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
    LogLine line;
    if (ParseLogLine(std::string_view(text).substr(from, nl - from), 0, line))
      lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> Causes(const std::vector<LogLine>& lines) {
  std::vector<std::string> causes;
  for (const LogLine& line : lines)
    if (line.level == "ERROR" && std::find(causes.begin(), causes.end(), line.text) == causes.end())
      causes.push_back(line.text);
  return causes;
}
