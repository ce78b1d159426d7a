// The run of the context export: the shell script (export_scripts.h) given to "sh -s" through the
// host's process runner, as root, in the run directory; it switches to the Oracle owner, whose
// sqlplus makes the database write the export file there. Thread-safe as the runner is.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"
#include "platform/services/host_services.h"

struct ExportRun {
  std::string oracleUser, dbHome, oracleSid;
  std::string sqlScriptPath;   // the PL/SQL script, written in the run directory
  std::string exportFilePath;  // where the database writes the export
  int runDirFd = -1;           // the run directory: the working directory, and where the export is
  std::string dbUser, dbPassword;
};

struct ExportOutcome {
  // The ORA- and SP2- lines of sqlplus's output (SqlplusErrorLines), the password masked.
  std::vector<std::string> sqlplusErrors;
  // On failure, the debug line that shows the command and its whole output, the password masked.
  std::string detail;
  // Whether the export ran and the database wrote the export file (which is not read here).
  Status status;
};

// Runs the export within the host's command time limit. The script, which holds the password,
// reaches sh on standard input from an anonymous file and is wiped afterwards.
ExportOutcome RunExport(HostServices& host, const ExportRun& run);
