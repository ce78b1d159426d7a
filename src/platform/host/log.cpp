#include "platform/host/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "base/file_io.h"
#include "base/text.h"
#include "messages/redact.h"
#include "platform/host/host_config.h"
#include "platform/host/log_file.h"

namespace {

struct Sink {
  std::mutex mutex;
  std::string path;
  LogFile log;
  // The log's size as read at the first line of the request `sizeSerial` (HostConfig's
  // scopeSerial; 0: read it at the next line), and counted on with every line written since.
  unsigned long long sizeSerial = 0;
  long long size = 0;
};

Sink& TheSink() {
  static Sink sink;  // closed when the library is unloaded
  return sink;
}

std::string Stamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // The date and time to the second are written once per second of the thread.
  static thread_local time_t second = -1;
  static thread_local char head[48];
  if (now.tv_sec != second) {
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    second = now.tv_sec;
  }
  char micros[] = ".000000Z";
  for (long us = now.tv_nsec / 1000, i = 6; i > 0; --i, us /= 10)
    micros[i] = static_cast<char>('0' + us % 10);
  return std::string(head) + micros;
}

// The process's id, asked of the kernel once: a child made by fork asks again.
pid_t ProcessId() {
  static std::atomic<pid_t> cached{0};
  static const bool forgetInChild =
      pthread_atfork(nullptr, nullptr, [] { cached.store(0, std::memory_order_relaxed); }) == 0;
  (void)forgetInChild;
  pid_t pid = cached.load(std::memory_order_relaxed);
  if (pid == 0) cached.store(pid = ::getpid(), std::memory_order_relaxed);
  return pid;
}

std::string Line(const char* level, const std::string& label, const std::string& text) {
  const std::string stamp = Stamp();
  const std::string pid = std::to_string(ProcessId());
  std::string line;
  line.reserve(stamp.size() + std::strlen(level) + pid.size() + label.size() + text.size() + 7);
  line.append(stamp).append(" ").append(level).append(" ").append(pid).append(" [");
  line.append(label).append("] ").append(text).append("\n");
  return line;
}

// Appends `text` to `out` with its control characters (other than tab) escaped, "\n", "\r" or
// "\xNN", so that one call stays one line, while `out` stays within `budget` bytes; returns how
// many bytes of `text` went in. Runs of bytes that need no escape are appended at once.
size_t AppendControlsEscaped(std::string& out, const std::string& text, size_t budget) {
  auto plain = [](unsigned char c) { return c >= 0x20 || c == '\t'; };
  size_t used = 0;
  while (used < text.size() && out.size() < budget) {
    size_t run = used;
    while (run < text.size() && plain(static_cast<unsigned char>(text[run]))) ++run;
    // A run cut by the budget ends before the character that would be split.
    const size_t fits =
        CutPoint(std::string_view(text).substr(used, run - used), budget - out.size());
    out.append(text, used, fits);
    used += fits;
    if (used < run || used == text.size()) break;
    const unsigned char c = static_cast<unsigned char>(text[used]);
    char buf[8];
    if (c == '\n')
      std::memcpy(buf, "\\n", 3);
    else if (c == '\r')
      std::memcpy(buf, "\\r", 3);
    else
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
    const size_t length = std::strlen(buf);
    if (out.size() + length > budget) break;
    out.append(buf, length);
    ++used;
  }
  return used;
}

// The text of a line: at most kMaxLogTextBytes, redacted, control characters escaped, and
// "…[N bytes cut]" when the text was longer. Only the kept part is redacted, so the work is
// bounded whatever the size of the text; a password element cut off at the end is masked to
// the end by the redaction.
std::string LineText(const std::string& text, size_t fullSize, size_t maxBytes) {
  size_t cut = fullSize - text.size();
  std::string out;
  const std::string redacted = RedactPasswords(text);
  const size_t used = AppendControlsEscaped(out, redacted, maxBytes);
  cut += redacted.size() - used;
  if (cut > 0) out += CutMark(cut);
  return out;
}

void Emit(const char* level, LogLevel needed, const char* label, const char* format, va_list args) {
  const HostConfig& config = CurrentHostConfig();
  if (config.logLevel == LogLevel::Off) return;
  if (config.logLevel == LogLevel::Error && needed == LogLevel::Debug) return;

  // The text is formatted once, into a buffer of the thread that keeps what a line holds and the
  // first byte after (which tells whether the cut splits a character); vsnprintf still tells the
  // full size.
  static thread_local std::vector<char> buffer(kMaxLogTextBytes + 2);
  const int size = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  const size_t fullSize = size > 0 ? static_cast<size_t>(size) : 0;
  std::string text(buffer.data(), std::min(fullSize, kMaxLogTextBytes + 1));
  const size_t maxBytes = config.logLevel == LogLevel::Info ? kInfoLogTextBytes : kMaxLogTextBytes;
  text.resize(CutPoint(text, maxBytes));

  std::string labelText;
  AppendControlsEscaped(labelText, label ? label : "", 256);
  const std::string line = Line(level, labelText, LineText(text, fullSize, maxBytes));

  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  const auto warn = [](const std::string& what) {
    std::string escaped;
    AppendControlsEscaped(escaped, what, 8192);
    WriteAll(STDERR_FILENO, Line("ERROR", "Log", escaped));
  };
  if (sink.path != config.logPath) {
    sink.log = LogFile{};
    sink.path = config.logPath;
    sink.sizeSerial = 0;
    if (!sink.path.empty())
      if (Status s = OpenLogFile(sink.path, false, sink.log); !s.ok)
        warn("The log file " + s.message + "; logging to standard error instead");
  }
  // The size is read once per request (at every line outside one): rotation is judged on it and
  // on the lines written since. Another process's lines in between count from its next request.
  int fd = sink.log.file.get();
  if (fd >= 0 && config.logMaxBytes > 0) {
    if (config.scopeSerial == 0 || sink.sizeSerial != config.scopeSerial) {
      // The end of the file is its size (the file is appended to, so the offset moves nothing);
      // cheaper than a stat, which goes through a lookup of an empty path.
      const off_t end = ::lseek(fd, 0, SEEK_END);
      sink.size = end > 0 ? static_cast<long long>(end) : 0;
      sink.sizeSerial = config.scopeSerial;
    }
    if (sink.size > 0 &&
        static_cast<unsigned long long>(sink.size) + line.size() >
            static_cast<unsigned long long>(config.logMaxBytes)) {
      if (Status s = RotateLogFile(sink.log, config.logMaxBytes, line.size()); !s.ok)
        warn("The log file cannot be rotated: " + s.message);
      fd = sink.log.file.get();
      sink.sizeSerial = 0;
      sink.size = 0;
    }
  }
  WriteAll(fd >= 0 ? fd : STDERR_FILENO, line);
  sink.size += static_cast<long long>(line.size());
}

}  // namespace

void EvDebug::Debug(EvEvent&, const char* label, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit("DEBUG", LogLevel::Debug, label, format, args);
  va_end(args);
}

void EvDebug::Error(EvEvent&, const char* label, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit("ERROR", LogLevel::Error, label, format, args);
  va_end(args);
}
