#include "discovery/export_run.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string_view>

#include "base/text.h"
#include "discovery/export_scripts.h"
#include "platform/message/pstring.h"

ExportOutcome RunExport(HostServices& host, const ExportRun& run) {
  ExportOutcome outcome;
  NqCommand command;
  command.argv = {"/bin/sh", "-s"};
  command.env = ExportEnvironment();
  command.cwdFd = run.runDirFd;
  command.timeoutMillis = host.Config().commandTimeoutSeconds * 1000L;
  command.input = BuildShellScript({run.oracleUser, run.dbHome, run.oracleSid, run.sqlScriptPath},
                                   run.dbUser, run.dbPassword);
  const std::string shown = "sh -s (script on standard input, as " + run.oracleUser + ")";
  std::string output, errors;
  const int rc = host.Execute(command, &output, &errors);
  WipeString(command.input);
  outcome.sqlplusErrors = SqlplusErrorLines(output + "\n" + errors, run.dbPassword);
  output = MaskSecret(std::move(output), run.dbPassword);
  errors = MaskSecret(std::move(errors), run.dbPassword);
  // What a log line shows of a text: up to its first NUL byte.
  const auto c = [](const std::string& text) { return text.substr(0, text.find('\0')); };
  if (rc != 0) {
    outcome.detail = "Script execution failed, command [" + c(shown) + "] , Output [" + c(output) +
                     "], Error [" + c(errors) + "]";
    std::string last;
    for (std::string_view line : SplitView(errors, '\n'))
      if (!line.empty()) last = std::string(line.substr(0, CutPoint(line, kMaxShownLineBytes)));
    outcome.status = Status::Error("The export as " + c(run.oracleUser) +
                                   " through sqlplus failed with status " + std::to_string(rc) +
                                   (last.empty() ? "" : ": ") + c(last));
    return outcome;
  }
  // A failed login or a failing database leaves no export file behind.
  struct stat st {};
  if (::fstatat(run.runDirFd, kExportFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    outcome.detail = "The database wrote no export file " + c(run.exportFilePath) + ", command [" +
                     c(shown) + "] , Output [" + c(output) + "], Error [" + c(errors) + "]";
    outcome.status = Status::Error("The database wrote no export file " + c(run.exportFilePath));
  }
  return outcome;
}
