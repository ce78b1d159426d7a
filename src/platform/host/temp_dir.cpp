#include "platform/host/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/host_config.h"
#include "base/text.h"

// Walks down from "/" through real directories only, creating what is missing.
void MakeTempDirectory(const std::string& path) {
  if (path.empty() || path[0] != '/') return;
  // A path with "." or ".." is refused by discovery: nothing is made for it.
  for (std::string_view part : SplitView(path, '/'))
    if (part == "." || part == "..") return;
  int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::string_view part : SplitView(path, '/')) {
    if (fd < 0) return;
    if (part.empty()) continue;
    const std::string name(part);
    int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && ::mkdirat(fd, name.c_str(), 0700) == 0) {
      next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next >= 0) ::fchmod(next, 0711);
    }
    ::close(fd);
    fd = next;
  }
  if (fd >= 0) ::close(fd);
}

NQPI_Base::NQPI_Base() : path_(CurrentHostConfig().tempDir) {}
