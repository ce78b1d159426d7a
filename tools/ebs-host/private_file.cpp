#include "private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/file_io.h"

Result<UniqueFd> OpenPrivateFile(const std::string& path, FileMode mode) {
  Result<UniqueFd> file =
      OpenOwnRegularFile(path, O_CREAT | (mode == FileMode::Append ? O_RDWR | O_APPEND : O_WRONLY));
  if (!file.ok())
    return Status::Error(path + " " + file.status().message + "; refusing to write to it");
  const int fd = file->get();
  // A file of ours that others may read (made before, or by hand) is closed to them now.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
  if (mode == FileMode::Truncate && ::ftruncate(fd, 0) != 0)
    return Status::Error("cannot truncate " + path + ": " + std::strerror(errno));
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return file;
}
