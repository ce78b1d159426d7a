// NQPI_Base: the platform's temporary directory (EBS_HOST_TEMP_DIR, default
// /var/lib/ebs-host/tmp). A missing directory is created on first use, with any missing parents,
// each mode 0711 and owned by the host's user: only root writes there, and the Oracle owner can
// pass through to the private run directory of a discovery. Creation never follows a symbolic
// link and never happens for a relative path; an existing directory is left as it is (discovery
// checks it). The returned pointer lives as long as the NQPI_Base object. Thread-safe.
#pragma once

#include <string>

class NQPI_Base {
 public:
  NQPI_Base();
  const char* getTesselTempDirectory() const { return path_.c_str(); }

 private:
  std::string path_;
};
