#include "trusted_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <vector>

namespace {

// Links followed at most, as the kernel's own bound on a path.
constexpr int kMaxLinks = 40;

bool TrustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

void Prepend(std::deque<std::string>& todo, const std::string& path) {
  std::deque<std::string> parts;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

std::string Joined(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) path += "/" + name;
  return path.empty() ? "/" : path;
}

TrustedFile Refused(std::string why, bool refused = true) {
  TrustedFile out;
  out.refused = refused;
  out.why = std::move(why);
  return out;
}

}  // namespace

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::string Directory(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

TrustedFile OpenTrustedFile(const std::string& path) {
  if (path.empty()) return Refused("an empty path names no file", false);
  std::deque<std::string> todo;
  Prepend(todo, path);
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
      return Refused(std::string("the working directory is unknown: ") + std::strerror(errno),
                     false);
    Prepend(todo, cwd);
  }
  // done[i] is the name of the directory held by dirs[i + 1]; dirs[0] is "/".
  std::vector<std::string> done;
  std::vector<UniqueFd> dirs;
  dirs.emplace_back(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (dirs.back().get() < 0 || ::fstat(dirs.back().get(), &st) != 0)
    return Refused(std::string("/ cannot be examined: ") + std::strerror(errno), false);
  if (!TrustedOwner(st.st_uid)) return Refused("/ belongs to user id " + std::to_string(st.st_uid));
  if (WritableByOthers(st) && !(st.st_mode & S_ISVTX))
    return Refused("/ is writable by other accounts");
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
      return Refused(here + " cannot be opened: " + std::strerror(errno), false);
    if (!TrustedOwner(st.st_uid))
      return Refused(here + " belongs to user id " + std::to_string(st.st_uid));
    if (S_ISLNK(st.st_mode)) {  // the link is the path's now: followed from where it stands
      if (++links > kMaxLinks) return Refused(path + " has too many symbolic links", false);
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(fd.get(), "", target, sizeof target);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof target)
        return Refused(here + " cannot be read as a link", false);
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
        return Refused(here + " is writable by other accounts");
      dirs.push_back(std::move(fd));
      continue;
    }
    if (!todo.empty()) return Refused(here + " is not a directory", false);
    if (!S_ISREG(st.st_mode)) return Refused(here + " is not a regular file");
    if (WritableByOthers(st)) return Refused(here + " is writable by other accounts");
    // Opened for reading from the directory judged; the same file, or nothing.
    TrustedFile out;
    out.fd.reset(
        ::openat(dirs.back().get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (out.fd.get() < 0 || ::fstat(out.fd.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
        opened.st_ino != st.st_ino)
      return Refused(here + " changed while it was examined");
    out.resolved = here;
    return out;
  }
  return Refused(path + " is a directory", false);
}
