#include "platform/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host_config.h"
#include "platform/text.h"

namespace {

// Walks down from "/" through real directories only, creating what is missing.
void CreateDirectories(const std::string& path) {
  if (path.empty() || path[0] != '/') return;
  int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::string_view part : SplitView(path, '/')) {
    if (fd < 0) return;
    if (part.empty() || part == ".") continue;
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

}  // namespace

NQPI_Base::NQPI_Base() : path_(LoadHostConfig().tempDir) { CreateDirectories(path_); }
