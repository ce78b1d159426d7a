#include "platform/temp_dir.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/host_config.h"

NQPI_Base::NQPI_Base() : path_(LoadHostConfig().tempDir) {
  if (::mkdir(path_.c_str(), 0700) == 0) ::chmod(path_.c_str(), 01777);
}
