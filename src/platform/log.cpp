#include "platform/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/file_io.h"
#include "platform/host_config.h"
#include "platform/redact.h"

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

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 && c != '\t') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void Emit(const char* level, LogLevel needed, const char* label, const char* format, va_list args) {
  const HostConfig config = LoadHostConfig();
  if (config.logLevel == LogLevel::Off) return;
  if (config.logLevel == LogLevel::Error && needed == LogLevel::Debug) return;

  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (size > 0) {
    text.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(size));
  }

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000);
  std::string line = std::string(stamp) + " " + level + " " + std::to_string(getpid()) + " [" +
                     Escape(label ? label : "") + "] " + Escape(RedactPasswords(text)) + "\n";

  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  if (sink.path != config.logPath) {
    if (sink.fd >= 0) ::close(sink.fd);
    sink.fd = -1;
    sink.path = config.logPath;
    if (!sink.path.empty())
      sink.fd =
          ::open(sink.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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
