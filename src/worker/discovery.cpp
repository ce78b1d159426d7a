// Discovery: the NqEBSInterface operations that find the Oracle home of the requested SID, export
// the instance's context files from its database and hand each one to the reader of its tier.
// The work is done by the free functions of src/discovery; here it is logged and answered.
#include <fcntl.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/file_at.h"
#include "base/text.h"
#include "discovery/export_file.h"
#include "discovery/export_run.h"
#include "discovery/export_scripts.h"
#include "platform/host/temp_dir.h"
#include "platform/message/pstring.h"
#include "worker/NqEBSInterface.h"

namespace {

// The instance table is a few lines; anything beyond this is not read.
constexpr size_t kMaxOratabBytes = 16u << 20;

// A record without commas is all name: the name that reaches the log and the answer is cut to a
// readable length, never inside a UTF-8 character.
std::string Shortened(std::string_view text) {
  constexpr size_t kMaxNameBytes = 256;
  return CutText(text, kMaxNameBytes);
}

struct Login {
  std::string userName;
  bstring password;
};

Login DatabaseLogin(Hux::OraEBSReqResp& request) {
  auto login = View(request)
                   .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                   .child(Hux::OraEBSConfig::appTier, Create::No)
                   .child(Hux::OraEBSAppTier::databaseLogin, Create::No);
  return {login.get(UserCredentials::userName),
          pstring(login.get(UserCredentials::password)).getPlainPassword()};
}

}  // namespace

int NqEBSInterface::FetchDBHome() {
  static const char* const kLabel = "FetchDBHome";
  oracleSid = View(request)
                  .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                  .child(Hux::OraEBSConfig::dbTier, Create::No)
                  .get(Hux::OraEBSDBTier::dbSid);
  const std::string path = host.Config().oratabPath;
  EvDebug::Debug(logContext, kLabel, "Reading Oracle instance entries from file %s", path.c_str());

  // A regular file (a FIFO or device would block or never end), up to the bound. The path is
  // the host's setting: a symbolic link there is the administrator's. A table that cannot be
  // read whole (larger than the bound, a failed read) is used as far as it was read.
  FileRead read;
  std::string readInPart;
  const Status status = ReadRegularFileAt(AT_FDCWD, path.c_str(), kMaxOratabBytes, &read,
                                          {true, "the instance table " + path, true});
  std::string& text = read.content;
  if (!status.ok && !read.opened) {
    EvDebug::Debug(logContext, kLabel, "Failed to open file %s, continue with next file",
                   path.c_str());
    EvDebug::Error(logContext, kLabel, "%s", status.message.c_str());
    return 1;
  }
  if (!status.ok) {
    EvDebug::Debug(logContext, kLabel, "Failed to read from file %s ", path.c_str());
    // Only whole lines count: a line cut by the bound or the failure could name another home.
    const size_t lineEnd = text.rfind('\n');
    text.resize(lineEnd == std::string::npos ? 0 : lineEnd + 1);
    readInPart = status.message;
    EvDebug::Debug(logContext, kLabel, "%s; continuing with the %zu bytes of whole lines read",
                   status.message.c_str(), text.size());
  }

  // Home and owner always come from one entry: the last one whose home and owner are usable.
  const OracleHomeLookup found = FindOracleHome(text, path, oracleSid, readInPart);
  for (const std::string& note : found.notes)
    EvDebug::Debug(logContext, kLabel, "%s", note.c_str());
  dbHome = found.home;
  oracleAccount = found.owner;
  oracleUser = found.owner.name;
  if (!found.status.ok) {
    EvDebug::Error(logContext, kLabel, "%s", found.status.message.c_str());
    return 1;
  }
  return 0;
}

// Checked again right before the export: the home was checked when its entry was read.
bool NqEBSInterface::CheckOracleProgram() {
  if (const Status s = CheckOracleHome(dbHome, oracleAccount); !s.ok) {
    EvDebug::Error(logContext, "FetchEBSContextFiles",
                   "sqlplus is not run as %s from an Oracle home others can change: %s",
                   oracleUser.c_str(), s.message.c_str());
    return false;
  }
  return true;
}

bool NqEBSInterface::CheckScriptValues() {
  const Login login = DatabaseLogin(request);
  const Status s = ::CheckScriptValues(
      {dbHome, oracleSid, oracleUser, tempDir, login.userName, login.password.str()});
  if (!s.ok) EvDebug::Error(logContext, "FetchEBSContextFiles", "%s", s.message.c_str());
  return s.ok;
}

bool NqEBSInterface::LockTempDir() {
  static const char* const kLabel = "FetchEBSContextFiles";
  // Made only now: every check that could refuse the run without it has passed.
  MakeTempDirectory(tempDir);
  Result<UniqueFd> temp = OpenTempDirectory(tempDir, &oracleAccount);
  Status s = temp.ok() ? Status::Ok() : temp.status();
  if (s.ok) {
    tempDirFd = std::move(*temp);
    s = discoveryLock.Acquire(tempDirFd.get(), kDiscoveryLockName);
  }
  if (!s.ok) {
    EvDebug::Error(logContext, kLabel, "Temporary directory %s refused: %s", tempDir.c_str(),
                   s.message.c_str());
    return false;
  }
  // No other discovery runs now: whatever run directory is there was left by a host that died.
  RemoveStaleRunDirectories(tempDirFd.get());
  if (s = runDirectory.Create(tempDirFd.get(), tempDir, oracleAccount); !s.ok) {
    EvDebug::Error(logContext, kLabel, "%s", s.message.c_str());
    return false;
  }
  return true;
}

void NqEBSInterface::EndRun() {
  if (const Status s = runDirectory.Remove(); !s.ok)
    EvDebug::Error(logContext, "Discover", "Cannot remove the run directory %s", s.message.c_str());
  discoveryLock.Release();
  tempDirFd.reset();
}

int NqEBSInterface::PrepareSQLScript() {
  const std::string runDir = runDirectory.path();
  sqlScriptPath = runDir + "/" + kSqlScriptName;
  exportFilePath = runDir + "/" + kExportFileName;
  // Read by sqlplus as the Oracle owner; it holds no secret.
  const Status s = WriteNewFileAt(runDirectory.fd(), kSqlScriptName, BuildSqlScript(runDir), 0644);
  if (!s.ok) {
    EvDebug::Error(logContext, "PrepareSQLScript", "Cannot write the PL/SQL script in %s: %s",
                   runDir.c_str(), s.message.c_str());
    return 1;
  }
  return 0;
}

void NqEBSInterface::ReportSqlplusErrors(const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    EvDebug::Error(logContext, "ExecShellScript", "sqlplus as %s for SID [%s]: %s",
                   oracleUser.c_str(), oracleSid.c_str(), line.c_str());
}

int NqEBSInterface::ExecShellScript() {
  static const char* const kLabel = "ExecShellScript";
  const Login login = DatabaseLogin(request);
  const ExportOutcome outcome =
      RunExport(host, {oracleUser, dbHome, oracleSid, sqlScriptPath, exportFilePath,
                       runDirectory.fd(), login.userName, login.password.str()});
  ReportSqlplusErrors(outcome.sqlplusErrors);
  if (!outcome.status.ok) {
    EvDebug::Debug(logContext, kLabel, "%s", outcome.detail.c_str());
    EvDebug::Error(logContext, kLabel, "%s", outcome.status.message.c_str());
    return 1;
  }
  return 0;
}

int NqEBSInterface::FetchEBSContextFiles() {
  static const char* const kLabel = "FetchEBSContextFiles";
  if (FetchDBHome() != 0) {
    EvDebug::Debug(logContext, kLabel, "Fetch DB Home failed");
    return 1;
  }
  if (!CheckScriptValues()) return 1;
  if (const uid_t uid = host.EffectiveUid(); uid != 0) {
    EvDebug::Error(logContext, kLabel,
                   "Discovery must run as root to switch to the Oracle owner %s; it runs as uid %d",
                   oracleUser.c_str(), static_cast<int>(uid));
    return 1;
  }
  if (!CheckOracleProgram() || !LockTempDir()) return 1;
  if (PrepareSQLScript() != 0) {
    EvDebug::Debug(logContext, kLabel, "Prepare PL/SQL script failed");
    return 1;
  }
  if (ExecShellScript() != 0) {
    EvDebug::Debug(logContext, kLabel, "ExecShellScript failed");
    return 1;
  }
  return 0;
}

int NqEBSInterface::Discover() {
  static const char* const kLabel = "Discover";
  Result<std::string> exported = Status::Error("not exported");
  if (FetchEBSContextFiles() == 0) {
    exported = ReadExportFile(runDirectory.fd(), kExportFileName, exportFilePath, oracleAccount.uid,
                              oracleUser, oracleSid);
    if (!exported.ok()) EvDebug::Error(logContext, kLabel, "%s", exported.status().message.c_str());
  }
  // The text is in memory: the run directory and the export go now.
  EndRun();
  if (!exported.ok()) {
    EvDebug::Debug(logContext, kLabel, "Unable to fetch EBS Context Files");
    RecordFailure("Unable to fetch EBS Context Files");
    return 1;
  }
  const std::string& text = *exported;

  EvDebug::Debug(logContext, kLabel, "Reading export file %s of %zu bytes", exportFilePath.c_str(),
                 text.size());
  const std::vector<ExportRecord> records = ParseExport(text);
  std::string firstInvalid;
  size_t invalid = 0;
  for (const ExportRecord& record : records) {
    const std::string name = Shortened(record.name), type = Shortened(record.type);
    EvDebug::Debug(logContext, kLabel, "nodeName [%s]", name.c_str());
    EvDebug::Debug(logContext, kLabel, "nodeType [%s]", type.c_str());
    // A context file that cannot be parsed is left out; the others are still read.
    context.errors().setDocumentName(record.name);
    if (!initParser(std::string(record.context))) {
      EvDebug::Debug(logContext, kLabel, "Skipping the invalid context file [%s]", name.c_str());
      EvDebug::Error(logContext, kLabel, "Invalid EBS context file [%s] (%zu bytes) skipped",
                     name.c_str(), record.context.size());
      if (invalid++ == 0) firstInvalid = name;
      continue;
    }
    // A file with a value over the bound is refused as one that does not parse.
    if ((type == "D" ? ProcessDBTierTags() : ProcessAppTierTags()) != 0) {
      EvDebug::Error(logContext, kLabel, "Invalid EBS context file [%s] (%zu bytes) skipped",
                     name.c_str(), record.context.size());
      if (invalid++ == 0) firstInvalid = name;
    }
  }
  EvDebug::Debug(logContext, kLabel, "Read %zu context records, %zu of them invalid",
                 records.size(), invalid);
  if (invalid) {
    RecordFailure("Invalid EBS context file [" + firstInvalid + "]");
    return 1;
  }
  return 0;
}
