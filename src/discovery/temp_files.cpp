#include "discovery/temp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/file_io.h"
#include "base/text.h"
#include "base/trusted_dir.h"

namespace {

// The owner may build directories in its run directory; removal goes this deep, no deeper.
constexpr int kMaxRemoveDepth = 32;

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool CanSearch(const struct stat& st, const OracleAccount& account) {
  if (st.st_uid == account.uid) return (st.st_mode & S_IXUSR) != 0;
  const bool member =
      st.st_gid == account.gid ||
      std::find(account.groups.begin(), account.groups.end(), st.st_gid) != account.groups.end();
  return (st.st_mode & (member ? S_IXGRP : S_IXOTH)) != 0;
}

// The names in the directory `dirFd` but "." and ".."; false when it cannot be listed.
bool ListNames(int dirFd, std::vector<std::string>* names) {
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

// Removes `name` of `dirFd`. It descends only into directories of one account, the owner of
// the top one: root then unlinks only what that account could unlink itself, never the entries
// of another account's directory that the owner moved into its own.
bool RemoveTreeIn(int dirFd, const std::string& name, int depth, uid_t owner, std::string* error) {
  if (::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) {
    *error = Reason("cannot remove", name);
    return false;
  }
  if (depth >= kMaxRemoveDepth) {
    *error = "directories nested too deep below " + name;
    return false;
  }
  UniqueFd sub(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (sub.get() < 0 || ::fstat(sub.get(), &st) != 0) {
    *error = Reason("cannot open", name);
    return false;
  }
  if (depth == 0) owner = st.st_uid;
  if (st.st_uid != owner) {
    *error = name + " belongs to user id " + std::to_string(st.st_uid) + ", not to user id " +
             std::to_string(owner);
    return false;
  }
  std::vector<std::string> names;
  if (!ListNames(sub.get(), &names)) {
    *error = Reason("cannot list", name);
    return false;
  }
  bool ok = true;
  for (const std::string& child : names)
    ok = RemoveTreeIn(sub.get(), child, depth + 1, owner, error) && ok;
  if (ok && ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
    *error = Reason("cannot remove", name);
    return false;
  }
  return ok;
}

}  // namespace

int OpenTrustedDirectory(const std::string& path, const OracleAccount* account,
                         std::string* error) {
  TrustedDirOptions options;
  options.what = "the temporary directory";
  if (account)
    options.each = [account](const std::string& here, const struct stat& st, std::string* why) {
      if (CanSearch(st, *account)) return true;
      *why = "the Oracle owner " + account->name + " (uid " + std::to_string(account->uid) +
             ") cannot enter " + here + " (mode " + ModeText(st.st_mode) + ", owner uid " +
             std::to_string(st.st_uid) + ", group " + std::to_string(st.st_gid) +
             "), so its database cannot write the export below it";
      return false;
    };
  return OpenTrustedDir(path, options, error);
}

bool WriteNewFileAt(int dirFd, const char* name, const std::string& content, mode_t mode,
                    std::string* error) {
  UniqueFd fd(
      ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0700));
  if (fd.get() < 0) {
    *error = Reason("cannot create", name);
    return false;
  }
  if (!WriteAll(fd.get(), content)) {
    *error = Reason("cannot write", name);
    return false;
  }
  if (::fchmod(fd.get(), mode) != 0) {
    *error = Reason("cannot set the mode of", name);
    return false;
  }
  if (::close(fd.release()) != 0) {
    *error = Reason("cannot write", name);
    return false;
  }
  return true;
}

ReadResult ReadRegularFileAt(int dirFd, const char* name, size_t maxBytes, std::string* content,
                             struct stat* st, std::string* error, const ReadOptions& options) {
  content->clear();
  const std::string shown = options.shownAs.empty() ? name : options.shownAs;
  const int noFollow = options.followLinks ? 0 : O_NOFOLLOW;
  UniqueFd fd(::openat(dirFd, name, O_RDONLY | noFollow | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    if (noFollow && errno == ELOOP) {
      *error = shown + " is a symbolic link";
      return ReadResult::kRefused;
    }
    *error = Reason("cannot open", shown);
    return ReadResult::kCannotOpen;
  }
  if (::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode)) {
    *error = shown + " is not a regular file";
    return ReadResult::kRefused;
  }
  // Too large already: refused before a byte is read (the reads below keep the bound for a file
  // that grows meanwhile).
  const std::string tooLarge = shown + " is larger than " + std::to_string(maxBytes) + " bytes";
  const uintmax_t size = static_cast<uintmax_t>(st->st_size);
  if (size > maxBytes && !options.keepPartial) {
    *error = tooLarge;
    return ReadResult::kRefused;
  }
  content->reserve(static_cast<size_t>(std::min<uintmax_t>(size, maxBytes)));
  const auto refuse = [&](const std::string& why) {
    *error = why;
    if (!options.keepPartial) content->clear();
    return ReadResult::kRefused;
  };
  char buffer[65536];
  for (;;) {
    // One byte past the bound tells a larger file from one of exactly the bound.
    const size_t want = std::min(sizeof buffer, maxBytes - content->size() + 1);
    ssize_t n = ::read(fd.get(), buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse(Reason("cannot read", shown));
    if (n == 0) return ReadResult::kRead;
    if (content->size() + static_cast<size_t>(n) > maxBytes) {
      if (options.keepPartial) content->append(buffer, maxBytes - content->size());
      return refuse(tooLarge);
    }
    content->append(buffer, static_cast<size_t>(n));
  }
}

bool RemoveTreeAt(int dirFd, const std::string& name, std::string* error) {
  return RemoveTreeIn(dirFd, name, 0, 0, error);
}

void RemoveStaleRunDirectories(int tempFd) {
  std::vector<std::string> names;
  if (!ListNames(tempFd, &names)) return;
  std::string ignored;
  for (const std::string& name : names)
    if (name.rfind(kRunDirectoryPrefix, 0) == 0) RemoveTreeAt(tempFd, name, &ignored);
}

bool RunDirectory::Create(int tempFd, const std::string& tempPath, const OracleAccount& owner,
                          std::string* error) {
  Remove();
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char random[6];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
      *error = Reason("cannot make a name in", tempPath);
      return false;
    }
    std::string name = kRunDirectoryPrefix;
    for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
    if (::mkdirat(tempFd, name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      *error = Reason("cannot create a run directory in", tempPath);
      return false;
    }
    tempFd_ = tempFd;
    name_ = name;
    path_ = tempPath + (tempPath == "/" ? "" : "/") + name;
    fd_.reset(::openat(tempFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd_.get() < 0 || ::fstat(fd_.get(), &st) != 0 || st.st_uid != ::geteuid()) {
      *error = Reason("cannot open the run directory", path_);
      return false;
    }
    // Only the Oracle owner (and root) may enter it; its database writes the export there.
    if (::fchmod(fd_.get(), 0700) != 0 || ::fchown(fd_.get(), owner.uid, owner.gid) != 0) {
      *error = Reason("cannot give the run directory to " + owner.name + ":", path_);
      return false;
    }
    return true;
  }
  *error = "cannot find a free run directory name in " + tempPath;
  return false;
}

bool RunDirectory::Remove(std::string* error) {
  if (name_.empty()) return true;
  fd_.reset();
  std::string reason;
  const bool removed = RemoveTreeAt(tempFd_, name_, &reason);
  if (!removed && error) *error = path_ + ": " + reason;
  name_.clear();
  tempFd_ = -1;
  return removed;
}

bool DiscoveryLock::Acquire(int dirFd, const char* name, std::string* error) {
  Release();
  // Whatever else stands at the name (a symbolic link, a file of another user, a hard link to
  // a file elsewhere) is removed and never locked. A lock counts only while the name still
  // leads to the locked file, so that two discoveries that replace the name at the same time
  // never both believe they hold the lock.
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd fd(
        ::openat(dirFd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    const bool ours = fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
                      st.st_uid == ::geteuid() && st.st_nlink == 1;
    if (!ours) {
      const int openErrno = errno;
      struct stat entry {};
      if (::fstatat(dirFd, name, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        *error = Reason("cannot examine the lock file", name);
        return false;
      }
      if (fd.get() < 0 && S_ISREG(entry.st_mode) && entry.st_uid == ::geteuid() &&
          entry.st_nlink == 1) {
        errno = openErrno;
        *error = Reason("cannot open the lock file", name);
        return false;
      }
      if (!RemoveTreeAt(dirFd, name, error)) return false;
      continue;
    }
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) {
        *error = Reason("cannot lock", name);
        return false;
      }
    }
    struct stat now {};
    if (::fstatat(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino) {
      fd_ = std::move(fd);
      return true;
    }
  }
  *error = std::string("the lock file ") + name + " keeps being replaced";
  return false;
}
