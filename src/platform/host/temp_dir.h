// NQPI_Base: the platform's temporary directory (EBS_HOST_TEMP_DIR, default
// /var/lib/ebs-host/tmp). Naming it creates nothing: a run that uses the directory makes a missing
// one with MakeTempDirectory first, once it knows it will use it (a request that fails before,
// or that needs no temporary directory, leaves no directory behind). The returned pointer lives
// as long as the NQPI_Base object. Thread-safe.
#pragma once

#include <string>

class NQPI_Base {
 public:
  NQPI_Base();
  const char* getTesselTempDirectory() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Creates the directory `path` and its missing parents, each mode 0711 and owned by the
// process's user: only root writes there, and the Oracle owner can pass through to the private
// run directory of a discovery. Creation never follows a symbolic link and never happens for a
// relative path or one with "." or ".." components; an existing directory is left as it is
// (discovery checks it).
void MakeTempDirectory(const std::string& path);
