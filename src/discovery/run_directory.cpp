#include "discovery/run_directory.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/file_at.h"
#include "base/trusted_dir.h"

namespace {

Status Failed(const std::string& what, const std::string& path) {
  return Status::Error(what + " " + path + ": " + std::strerror(errno));
}

bool CanSearch(const struct stat& st, const OracleAccount& account) {
  if (st.st_uid == account.uid) return (st.st_mode & S_IXUSR) != 0;
  const bool member =
      st.st_gid == account.gid ||
      std::find(account.groups.begin(), account.groups.end(), st.st_gid) != account.groups.end();
  return (st.st_mode & (member ? S_IXGRP : S_IXOTH)) != 0;
}

}  // namespace

Result<UniqueFd> OpenTempDirectory(const std::string& path, const OracleAccount* account) {
  TrustedDirOptions options;
  options.what = "the temporary directory";
  if (account)
    options.check = [account](const std::string& here, const struct stat& st) {
      if (CanSearch(st, *account)) return Status::Ok();
      return Status::Error("the Oracle owner " + account->name + " (uid " +
                           std::to_string(account->uid) + ") cannot enter " + here + " (mode " +
                           ModeText(st.st_mode) + ", owner uid " + std::to_string(st.st_uid) +
                           ", group " + std::to_string(st.st_gid) +
                           "), so its database cannot write the export below it");
    };
  return OpenTrustedDir(path, options);
}

void RemoveStaleRunDirectories(int tempFd) {
  std::vector<std::string> names;
  if (!ListNamesAt(tempFd, &names)) return;
  for (const std::string& name : names)
    if (name.rfind(kRunDirectoryPrefix, 0) == 0) (void)RemoveTreeAt(tempFd, name);
}

Status RunDirectory::Create(int tempFd, const std::string& tempPath, const OracleAccount& owner) {
  (void)Remove();
  UniqueFd temp(::fcntl(tempFd, F_DUPFD_CLOEXEC, 0));
  if (temp.get() < 0) return Failed("cannot hold", tempPath);
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 16; ++attempt) {
    unsigned char random[6];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
      return Failed("cannot make a name in", tempPath);
    std::string name = kRunDirectoryPrefix;
    for (unsigned char r : random) name += kLetters[r % (sizeof kLetters - 1)];
    if (::mkdirat(temp.get(), name.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return Failed("cannot create a run directory in", tempPath);
    }
    tempFd_ = std::move(temp);
    name_ = name;
    path_ = tempPath + (tempPath == "/" ? "" : "/") + name;
    fd_.reset(
        ::openat(tempFd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd_.get() < 0 || ::fstat(fd_.get(), &st) != 0 || st.st_uid != ::geteuid())
      return Failed("cannot open the run directory", path_);
    // Only the Oracle owner (and root) may enter it; its database writes the export there.
    if (::fchmod(fd_.get(), 0700) != 0 || ::fchown(fd_.get(), owner.uid, owner.gid) != 0)
      return Failed("cannot give the run directory to " + owner.name + ":", path_);
    return Status::Ok();
  }
  return Status::Error("cannot find a free run directory name in " + tempPath);
}

Status RunDirectory::Remove() {
  if (name_.empty()) return Status::Ok();
  fd_.reset();
  Status removed = RemoveTreeAt(tempFd_.get(), name_);
  if (!removed.ok) removed.message = path_ + ": " + removed.message;
  name_.clear();
  tempFd_.reset();
  return removed;
}
