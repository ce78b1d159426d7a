// NQPI_Base: the platform's temporary directory (EBS_HOST_TEMP_DIR, default /var/tmp/ebs-host).
// The directory is created on first use, mode 1777 like /tmp, so that the database of another
// operating-system account can write its export there; files in it must be created without
// following symbolic links. The returned pointer lives as long as the NQPI_Base object.
#pragma once

#include <string>

class NQPI_Base {
 public:
  NQPI_Base();
  const char* getTesselTempDirectory() const { return path_.c_str(); }

 private:
  std::string path_;
};
