#include "private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/file_io.h"

int OpenPrivateFile(const std::string& path, FileMode mode, std::string& error) {
  std::string why;
  const int fd = OpenOwnRegularFile(
      path, O_CREAT | (mode == FileMode::Append ? O_RDWR | O_APPEND : O_WRONLY), &why);
  if (fd < 0) {
    error = path + " " + why + "; refusing to write to it";
    return -1;
  }
  // A file of ours that others may read (made before, or by hand) is closed to them now.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
  if (mode == FileMode::Truncate && ::ftruncate(fd, 0) != 0) {
    error = "cannot truncate " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}
