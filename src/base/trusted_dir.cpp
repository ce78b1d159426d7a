#include "base/trusted_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/file_io.h"
#include "base/text.h"

namespace {

std::string Reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

bool TrustedOwner(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

}  // namespace

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

int OpenTrustedDir(const std::string& path, const TrustedDirOptions& options, std::string* error) {
  if (path.empty() || path[0] != '/') {
    *error = options.what + " [" + path + "] is not an absolute path";
    return -1;
  }
  UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (current.get() < 0 || ::fstat(current.get(), &st) != 0) {
    *error = Reason("cannot examine", "/");
    return -1;
  }
  std::string here = "/";
  std::vector<std::string_view> parts;
  for (std::string_view part : SplitView(path, '/'))
    if (!part.empty()) parts.push_back(part);
  for (size_t i = 0;; ++i) {
    const bool last = i == parts.size();
    if (!TrustedOwner(st.st_uid)) {
      *error = here + " belongs to user id " + std::to_string(st.st_uid) + "; every directory of " +
               options.what + "'s path must belong to root";
      return -1;
    }
    if (options.each && !options.each(here, st, error)) return -1;
    if (last) {
      if (WritableByOthers(st)) {
        *error = here + " may be written by others (mode " + ModeText(st.st_mode) + "); " +
                 options.what + " must be writable by root only, for example mode 0711";
        return -1;
      }
      return current.release();
    }
    const std::string part(parts[i]);
    if (part == "." || part == "..") {
      *error = options.what + " [" + path + "] holds a \".\" or \"..\" component";
      return -1;
    }
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
      *error = link || errno == ELOOP ? next + " is a symbolic link"
               : errno == ENOTDIR     ? next + " is not a directory"
                                      : Reason("cannot open", next);
      return -1;
    }
    if (::fstat(child.get(), &childSt) != 0) {
      *error = Reason("cannot examine", next);
      return -1;
    }
    // A directory that others may write to is safe only as a sticky one (like /tmp) whose
    // entry on the way belongs to root: nobody else can then rename or remove it.
    if (WritableByOthers(st) && !((st.st_mode & S_ISVTX) && TrustedOwner(childSt.st_uid))) {
      *error = here + " may be written by others (mode " + ModeText(st.st_mode) + ")" +
               ((st.st_mode & S_ISVTX) ? " and " + next + " does not belong to root"
                                       : " and is not sticky");
      return -1;
    }
    current = std::move(child);
    st = childSt;
    here = next;
  }
}
