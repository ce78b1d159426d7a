#include "platform/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/file_io.h"
#include "platform/host_config.h"
#include "platform/redact.h"
#include "platform/text.h"

namespace {

struct Sink {
  std::mutex mutex;
  std::string path;
  int fd = -1;
  ~Sink() {
    if (fd >= 0) ::close(fd);
  }
};

Sink& TheSink() {
  static Sink sink;  // closed when the library is unloaded
  return sink;
}

std::string Stamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000);
  return stamp;
}

std::string Line(const char* level, const std::string& label, const std::string& text) {
  return Stamp() + " " + level + " " + std::to_string(getpid()) + " [" + label + "] " + text + "\n";
}

// Appends the escaped form of `text` to `out` while `out` stays within `budget` bytes; returns
// how many bytes of `text` went in.
size_t AppendEscaped(std::string& out, const std::string& text, size_t budget) {
  size_t used = 0;
  for (unsigned char c : text) {
    char buf[8];
    if (c == '\n') {
      std::memcpy(buf, "\\n", 3);
    } else if (c == '\r') {
      std::memcpy(buf, "\\r", 3);
    } else if (c < 0x20 && c != '\t') {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
    } else {
      buf[0] = static_cast<char>(c);
      buf[1] = '\0';
    }
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
std::string LineText(const std::string& text, size_t fullSize) {
  size_t cut = fullSize - text.size();
  std::string out;
  const std::string redacted = RedactPasswords(text);
  const size_t used = AppendEscaped(out, redacted, kMaxLogTextBytes);
  cut += redacted.size() - used;
  if (cut > 0) out += CutMark(cut);
  return out;
}

void Emit(const char* level, LogLevel needed, const char* label, const char* format, va_list args) {
  const HostConfig config = LoadHostConfig();
  if (config.logLevel == LogLevel::Off) return;
  if (config.logLevel == LogLevel::Error && needed == LogLevel::Debug) return;

  // Only the first bytes of the formatted text are kept; vsnprintf still tells the full size. A
  // short line is formatted on the stack; a longer one again, into no more than it keeps and the
  // first byte after (which tells where a cut may fall).
  va_list again;
  va_copy(again, args);
  char small[1024];
  const int size = std::vsnprintf(small, sizeof small, format, args);
  const size_t fullSize = size > 0 ? static_cast<size_t>(size) : 0;
  std::string text;
  if (fullSize < sizeof small) {
    text.assign(small, fullSize);
  } else {
    // One byte more than a line holds: it tells whether the cut splits a character.
    text.resize(std::min(fullSize, kMaxLogTextBytes + 1));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  text.resize(CutPoint(text, kMaxLogTextBytes));

  std::string labelText;
  AppendEscaped(labelText, label ? label : "", 256);
  const std::string line = Line(level, labelText, LineText(text, fullSize));

  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  if (sink.path != config.logPath) {
    if (sink.fd >= 0) ::close(sink.fd);
    sink.fd = -1;
    sink.path = config.logPath;
    std::string why;
    if (!sink.path.empty() &&
        (sink.fd = OpenOwnRegularFile(sink.path, O_WRONLY | O_APPEND | O_CREAT, &why)) < 0) {
      std::string escapedPath;
      AppendEscaped(escapedPath, sink.path, 4096);
      WriteAll(STDERR_FILENO, Line("ERROR", "Log",
                                   "The log file " + escapedPath + " " + why +
                                       "; logging to standard error instead"));
    }
  }
  WriteAll(sink.fd >= 0 ? sink.fd : STDERR_FILENO, line);
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
