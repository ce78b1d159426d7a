#include "base/file_at.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/file_io.h"

namespace {

// The owner may build directories in its run directory; removal goes this deep, no deeper.
constexpr int kMaxRemoveDepth = 32;

Status Failed(const std::string& what, const std::string& path) {
  return Status::Error(what + " " + path + ": " + std::strerror(errno));
}

// Removes `name` of `dirFd`. It descends only into directories of one account, the owner of
// the top one: root then unlinks only what that account could unlink itself, never the entries
// of another account's directory that the owner moved into its own.
Status RemoveTreeIn(int dirFd, const std::string& name, int depth, uid_t owner) {
  if (::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT) return Status::Ok();
  if (errno != EISDIR && errno != EPERM) return Failed("cannot remove", name);
  if (depth >= kMaxRemoveDepth) return Status::Error("directories nested too deep below " + name);
  UniqueFd sub(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (sub.get() < 0 || ::fstat(sub.get(), &st) != 0) return Failed("cannot open", name);
  if (depth == 0) owner = st.st_uid;
  if (st.st_uid != owner)
    return Status::Error(name + " belongs to user id " + std::to_string(st.st_uid) +
                         ", not to user id " + std::to_string(owner));
  std::vector<std::string> names;
  if (!ListNamesAt(sub.get(), &names)) return Failed("cannot list", name);
  Status result;
  for (const std::string& child : names) {
    Status s = RemoveTreeIn(sub.get(), child, depth + 1, owner);
    if (!s.ok) result = std::move(s);
  }
  if (result.ok && ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
    return Failed("cannot remove", name);
  return result;
}

}  // namespace

bool ListNamesAt(int dirFd, std::vector<std::string>* names) {
  const int listFd = ::dup(dirFd);
  DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
  if (!dir) {
    if (listFd >= 0) ::close(listFd);
    return false;
  }
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(dir);
  return true;
}

Status WriteNewFileAt(int dirFd, const char* name, const std::string& content, mode_t mode) {
  UniqueFd fd(
      ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0700));
  if (fd.get() < 0) return Failed("cannot create", name);
  if (!WriteAll(fd.get(), content)) return Failed("cannot write", name);
  if (::fchmod(fd.get(), mode) != 0) return Failed("cannot set the mode of", name);
  if (::close(fd.release()) != 0) return Failed("cannot write", name);
  return Status::Ok();
}

Status ReadRegularFileAt(int dirFd, const char* name, size_t maxBytes, FileRead* read,
                         const ReadOptions& options) {
  std::string* content = &read->content;
  content->clear();
  read->opened = false;
  const std::string shown = options.shownAs.empty() ? name : options.shownAs;
  const int noFollow = options.followLinks ? 0 : O_NOFOLLOW;
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | noFollow | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    if (noFollow && errno == ELOOP) {
      read->opened = true;  // refused, as a file of the wrong kind
      return Status::Error(shown + " is a symbolic link");
    }
    return Failed("cannot open", shown);
  }
  read->opened = true;
  if (::fstat(fd.get(), &read->st) != 0 || !S_ISREG(read->st.st_mode))
    return Status::Error(shown + " is not a regular file");
  // Too large already: refused before a byte is read (the reads below keep the bound for a file
  // that grows meanwhile).
  const std::string tooLarge = shown + " is larger than " + std::to_string(maxBytes) + " bytes";
  const uintmax_t size = static_cast<uintmax_t>(read->st.st_size);
  if (size > maxBytes && !options.keepPartial) return Status::Error(tooLarge);
  content->reserve(static_cast<size_t>(std::min<uintmax_t>(size, maxBytes)));
  const auto refuse = [&](Status why) {
    if (!options.keepPartial) content->clear();
    return why;
  };
  char buffer[65536];
  for (;;) {
    // One byte past the bound tells a larger file from one of exactly the bound.
    const size_t want = std::min(sizeof buffer, maxBytes - content->size() + 1);
    ssize_t n = ::read(fd.get(), buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse(Failed("cannot read", shown));
    if (n == 0) return Status::Ok();
    if (content->size() + static_cast<size_t>(n) > maxBytes) {
      if (options.keepPartial) content->append(buffer, maxBytes - content->size());
      return refuse(Status::Error(tooLarge));
    }
    content->append(buffer, static_cast<size_t>(n));
  }
}

Status RemoveTreeAt(int dirFd, const std::string& name) { return RemoveTreeIn(dirFd, name, 0, 0); }
