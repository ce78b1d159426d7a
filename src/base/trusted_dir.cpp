#include "base/trusted_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_io.h"
#include "base/text.h"

namespace {

Status Reason(const std::string& what, const std::string& path) {
  return Status::Error(what + " " + path + ": " + std::strerror(errno));
}

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

bool TrustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

// Links followed at most by OpenTrustedFile, as the kernel's own bound on a path.
constexpr int kMaxLinks = 40;

// Puts the components of `path` before those still to walk.
void Prepend(std::deque<std::string>& todo, const std::string& path) {
  std::vector<std::string> parts;
  for (std::string_view part : SplitView(path, '/'))
    if (!part.empty()) parts.emplace_back(part);
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

std::string Joined(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) path += "/" + name;
  return path.empty() ? "/" : path;
}

}  // namespace

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

Result<UniqueFd> OpenTrustedDir(const std::string& path, const TrustedDirOptions& options) {
  if (path.empty() || path[0] != '/')
    return Status::Error(options.what + " [" + path + "] is not an absolute path");
  UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (current.get() < 0 || ::fstat(current.get(), &st) != 0) return Reason("cannot examine", "/");
  std::string here = "/";
  std::vector<std::string_view> parts;
  for (std::string_view part : SplitView(path, '/'))
    if (!part.empty()) parts.push_back(part);
  for (size_t i = 0;; ++i) {
    const bool last = i == parts.size();
    if (!TrustedOwner(st.st_uid))
      return Status::Error(here + " belongs to user id " + std::to_string(st.st_uid) +
                           "; every directory of " + options.what + "'s path must belong to root");
    if (options.check)
      if (Status s = options.check(here, st); !s.ok) return s;
    if (last) {
      if (WritableByOthers(st))
        return Status::Error(here + " may be written by others (mode " + ModeText(st.st_mode) +
                             "); " + options.what +
                             " must be writable by root only, for example mode 0711");
      return Result<UniqueFd>(std::move(current));
    }
    const std::string part(parts[i]);
    if (part == "." || part == "..")
      return Status::Error(options.what + " [" + path + "] holds a \".\" or \"..\" component");
    const std::string next = here + (here == "/" ? "" : "/") + part;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd child(::openat(current.get(), part.c_str(), flags));
    if (child.get() < 0 && errno == ENOENT && options.create &&
        (::mkdirat(current.get(), part.c_str(), 0700) == 0 || errno == EEXIST))
      child.reset(::openat(current.get(), part.c_str(), flags));
    struct stat childSt {};
    if (child.get() < 0) {
      const int openErrno = errno;
      struct stat entry {};
      const bool link = ::fstatat(current.get(), part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(entry.st_mode);
      errno = openErrno;
      if (link || errno == ELOOP) return Status::Error(next + " is a symbolic link");
      if (errno == ENOTDIR) return Status::Error(next + " is not a directory");
      return Reason("cannot open", next);
    }
    if (::fstat(child.get(), &childSt) != 0) return Reason("cannot examine", next);
    // A directory that others may write to is safe only as a sticky one (like /tmp) whose
    // entry on the way belongs to root: nobody else can then rename or remove it.
    if (WritableByOthers(st) && !((st.st_mode & S_ISVTX) && TrustedOwner(childSt.st_uid)))
      return Status::Error(here + " may be written by others (mode " + ModeText(st.st_mode) + ")" +
                           ((st.st_mode & S_ISVTX) ? " and " + next + " does not belong to root"
                                                   : " and is not sticky"));
    current = std::move(child);
    st = childSt;
    here = next;
  }
}

Result<TrustedFile> OpenTrustedFile(const std::string& path, bool* refused) {
  bool ignored = false;
  bool& untrusted = refused ? *refused : ignored;
  untrusted = false;
  auto refuse = [&untrusted](std::string why) {
    untrusted = true;
    return Status::Error(std::move(why));
  };
  if (path.empty()) return Status::Error("an empty path names no file");
  std::deque<std::string> todo;
  Prepend(todo, path);
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
      return Status::Error(std::string("the working directory is unknown: ") +
                           std::strerror(errno));
    Prepend(todo, cwd);
  }
  // done[i] is the name of the directory held by dirs[i + 1]; dirs[0] is "/".
  std::vector<std::string> done;
  std::vector<UniqueFd> dirs;
  dirs.emplace_back(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (dirs.back().get() < 0 || ::fstat(dirs.back().get(), &st) != 0)
    return Status::Error(std::string("/ cannot be examined: ") + std::strerror(errno));
  if (!TrustedOwner(st.st_uid)) return refuse("/ belongs to user id " + std::to_string(st.st_uid));
  if (WritableByOthers(st) && !(st.st_mode & S_ISVTX))
    return refuse("/ is writable by other accounts");
  for (int links = 0; !todo.empty();) {
    const std::string name = todo.front();
    todo.pop_front();
    if (name == ".") continue;
    if (name == "..") {  // the parent of a directory judged on the way: judged already
      if (!done.empty()) {
        done.pop_back();
        dirs.pop_back();
      }
      continue;
    }
    done.push_back(name);
    const std::string here = Joined(done);
    UniqueFd fd(::openat(dirs.back().get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
      return Status::Error(here + " cannot be opened: " + std::strerror(errno));
    if (!TrustedOwner(st.st_uid))
      return refuse(here + " belongs to user id " + std::to_string(st.st_uid));
    if (S_ISLNK(st.st_mode)) {  // the link is the path's now: followed from where it stands
      if (++links > kMaxLinks) return Status::Error(path + " has too many symbolic links");
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(fd.get(), "", target, sizeof target);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof target)
        return Status::Error(here + " cannot be read as a link");
      done.pop_back();
      if (target[0] == '/') {
        done.clear();
        dirs.erase(dirs.begin() + 1, dirs.end());
      }
      Prepend(todo, std::string(target, static_cast<size_t>(n)));
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      if (WritableByOthers(st) && (!(st.st_mode & S_ISVTX) || todo.empty()))
        return refuse(here + " is writable by other accounts");
      dirs.push_back(std::move(fd));
      continue;
    }
    if (!todo.empty()) return Status::Error(here + " is not a directory");
    if (!S_ISREG(st.st_mode)) return refuse(here + " is not a regular file");
    if (WritableByOthers(st)) return refuse(here + " is writable by other accounts");
    // Opened for reading from the directory judged; the same file, or nothing.
    TrustedFile out;
    out.fd.reset(
        ::openat(dirs.back().get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (out.fd.get() < 0 || ::fstat(out.fd.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
        opened.st_ino != st.st_ino)
      return refuse(here + " changed while it was examined");
    out.resolved = here;
    return Result<TrustedFile>(std::move(out));
  }
  return Status::Error(path + " is a directory");
}
