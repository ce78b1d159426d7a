#include "platform/host/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "base/trusted_dir.h"

namespace {

// The first line of a log is judged from this many bytes at most.
constexpr size_t kFirstLineBytes = 4096;

bool Digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// `path`'s directory and last component; a relative path is taken from the working directory.
bool Split(const std::string& path, std::string& dir, std::string& name) {
  std::string absolute = path;
  if (absolute.empty()) return false;
  if (absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return false;
    absolute = std::string(cwd) + "/" + absolute;
  }
  const size_t slash = absolute.rfind('/');
  name = absolute.substr(slash + 1);
  dir = slash == 0 ? "/" : absolute.substr(0, slash);
  return !name.empty() && name != "." && name != "..";
}

// Whether the open log `fd` is a log of ours (or empty), and if not why.
Status OwnContent(int fd) {
  char buffer[kFirstLineBytes];
  ssize_t got;
  do got = ::pread(fd, buffer, sizeof buffer, 0);
  while (got < 0 && errno == EINTR);
  if (got < 0) return Status::Error(std::string("cannot be read: ") + std::strerror(errno));
  if (got == 0) return Status::Ok();
  std::string_view head(buffer, static_cast<size_t>(got));
  head = head.substr(0, head.find('\n'));
  if (IsLogLine(head)) return Status::Ok();
  return Status::Error("is not a log of this program (its first line is no log line)");
}

// Opens the log's file in its directory; an error says what follows the path in a message.
Status OpenIn(LogFile& log) {
  Result<UniqueFd> file =
      OpenOwnRegularFileAt(log.dir.get(), log.name, O_RDWR | O_APPEND | O_CREAT);
  if (!file.ok()) return file.status();
  if (Status s = OwnContent(file->get()); !s.ok) return s;
  log.file = std::move(*file);
  return Status::Ok();
}

}  // namespace

bool IsLogLine(std::string_view line) {
  // 2026-12-06T10:00:00.123456Z
  static constexpr std::string_view kStamp = "dddd-dd-ddTdd:dd:dd.ddddddZ";
  if (line.size() < kStamp.size() + 1) return false;
  for (size_t i = 0; i < kStamp.size(); ++i)
    if (kStamp[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                         : line[i] != kStamp[i])
      return false;
  line.remove_prefix(kStamp.size());
  if (line.rfind(" DEBUG ", 0) != 0 && line.rfind(" ERROR ", 0) != 0) return false;
  line.remove_prefix(7);
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || !Digits(line.substr(0, space))) return false;
  line.remove_prefix(space + 1);
  return line.rfind('[', 0) == 0 && line.find("] ") != std::string_view::npos;
}

Status OpenLogFile(const std::string& path, bool makeDirectory, LogFile& log) {
  log = LogFile{};
  std::string dir, name;
  if (!Split(path, dir, name)) return Status::Error(path + " is not a file name");
  if (::geteuid() == 0) {
    // Root writes only where no other account can swap a directory on the way.
    TrustedDirOptions options;
    options.what = "the log's directory";
    options.create = makeDirectory;
    Result<UniqueFd> trusted = OpenTrustedDir(dir, options);
    if (!trusted.ok()) return Status::Error(path + ": " + trusted.status().message);
    log.dir = std::move(*trusted);
  } else {
    if (makeDirectory)
      if (Status made = MakePrivateDirectories(dir); !made.ok) return made;
    log.dir.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (log.dir.get() < 0) return Status::Error("cannot open " + dir + ": " + std::strerror(errno));
  }
  log.path = path;
  log.name = name;
  if (Status s = OpenIn(log); !s.ok) return Status::Error(path + " " + s.message);
  return Status::Ok();
}

Status RotateLogFile(LogFile& log, long long maxBytes, size_t incoming) {
  struct stat st {};
  if (maxBytes <= 0 || log.file.get() < 0 || ::fstat(log.file.get(), &st) != 0) return Status::Ok();
  if (st.st_size == 0 || static_cast<unsigned long long>(st.st_size) + incoming <=
                             static_cast<unsigned long long>(maxBytes))
    return Status::Ok();
  // Renamed only while the name still holds this file: another process may have rotated it.
  struct stat named {};
  const bool current =
      ::fstatat(log.dir.get(), log.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      named.st_dev == st.st_dev && named.st_ino == st.st_ino;
  const std::string older = log.name + ".1";
  if (current && ::renameat(log.dir.get(), log.name.c_str(), log.dir.get(), older.c_str()) != 0)
    return Status::Error("cannot rename " + log.path + " to " + log.path +
                         ".1: " + std::strerror(errno));
  // The old file stays in use when the new one cannot be opened.
  if (Status s = OpenIn(log); !s.ok) return Status::Error(log.path + " " + s.message);
  return Status::Ok();
}
