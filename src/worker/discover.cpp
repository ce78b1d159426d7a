// Discovery driver: export the instance's context files from the database, then hand each one
// to the reader of its tier.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "discovery/export_file.h"
#include "discovery/export_scripts.h"
#include "discovery/temp_files.h"
#include "platform/message/pstring.h"
#include "platform/host/temp_dir.h"
#include "base/text.h"
#include "worker/NqEBSInterface.h"

namespace {

// A large instance exports a few dozen context files of some hundred kilobytes each, each one
// line followed by an empty one. Far more lines would cost a record, a parse and log lines each.
constexpr size_t kMaxExportBytes = 256u << 20;
constexpr size_t kMaxExportLines = 20000;

std::string_view Before(std::string_view text, size_t comma) {
  return comma == std::string_view::npos ? text : text.substr(0, comma);
}

std::string_view After(std::string_view text, size_t comma) {
  return comma == std::string_view::npos ? text : text.substr(comma + 1);
}

// A record without commas is all name: the name that reaches the log and the answer is cut to a
// readable length, never inside a UTF-8 character.
std::string Shortened(std::string_view text) {
  constexpr size_t kMaxNameBytes = 256;
  return CutText(text, kMaxNameBytes);
}

}  // namespace

std::vector<ExportRecord> ParseExport(std::string_view text) {
  std::vector<ExportRecord> records;
  for (const std::string_view line : SplitView(text, '\n')) {
    if (line.size() < 2) continue;
    ExportRecord record;
    size_t comma = line.find(',');
    record.name = Before(line, comma);
    const std::string_view rest = After(line, comma);
    comma = rest.find(',');
    record.type = Before(rest, comma);
    record.context = After(rest, comma);
    records.push_back(record);
  }
  return records;
}

bool NqEBSInterface::CheckScriptValues() {
  static const char* const kLabel = "FetchEBSContextFiles";
  auto login = View(request)
                   .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                   .child(Hux::OraEBSConfig::appTier, Create::No)
                   .child(Hux::OraEBSAppTier::databaseLogin, Create::No);
  const bstring password = pstring(login.get(UserCredentials::password)).getPlainPassword();
  const std::string userName = login.get(UserCredentials::userName);
  struct Value {
    const char* what;
    std::string_view value;
  };
  const Value user{"database user", userName}, pass{"database password", password.str()};
  const Value values[] = {{"Oracle home", dbHome},
                          {"SID", oracleSid},
                          {"Oracle owner", oracleUser},
                          {"temporary directory", tempDir},
                          user,
                          pass};
  for (const Value& v : values) {
    if (!IsScriptSafe(v.value)) {
      EvDebug::Error(logContext, kLabel,
                     "The %s holds a line feed or NUL byte; it cannot be put into a script",
                     v.what);
      return false;
    }
  }
  // An empty login is operating-system authentication to sqlplus, and a double quote cannot be
  // quoted for it.
  for (const Value& v : {user, pass}) {
    if (v.value.empty()) {
      EvDebug::Error(logContext, kLabel, "The %s is empty; the export needs a database login",
                     v.what);
      return false;
    }
    if (v.value.find('"') != std::string_view::npos) {
      EvDebug::Error(logContext, kLabel,
                     "The %s holds a double quote, which sqlplus cannot take in a login", v.what);
      return false;
    }
  }
  return true;
}

bool NqEBSInterface::LockTempDir() {
  static const char* const kLabel = "FetchEBSContextFiles";
  std::string error;
  // Made only now: every check that could refuse the run without it has passed.
  MakeTempDirectory(tempDir);
  tempDirFd.reset(OpenTrustedDirectory(tempDir, &oracleAccount, &error));
  if (tempDirFd.get() < 0 || !discoveryLock.Acquire(tempDirFd.get(), kDiscoveryLockName, &error)) {
    EvDebug::Error(logContext, kLabel, "Temporary directory %s refused: %s", tempDir.c_str(),
                   error.c_str());
    return false;
  }
  // No other discovery runs now: whatever run directory is there was left by a host that died.
  RemoveStaleRunDirectories(tempDirFd.get());
  if (!runDirectory.Create(tempDirFd.get(), tempDir, oracleAccount, &error)) {
    EvDebug::Error(logContext, kLabel, "%s", error.c_str());
    return false;
  }
  return true;
}

void NqEBSInterface::EndRun() {
  std::string error;
  if (!runDirectory.Remove(&error))
    EvDebug::Error(logContext, "Discover", "Cannot remove the run directory %s", error.c_str());
  discoveryLock.Release();
  tempDirFd.reset();
}

int NqEBSInterface::FetchEBSContextFiles() {
  static const char* const kLabel = "FetchEBSContextFiles";
  if (FetchDBHome() != 0) {
    EvDebug::Debug(logContext, kLabel, "Fetch DB Home failed");
    return 1;
  }
  if (!CheckScriptValues()) return 1;
  if (::geteuid() != 0) {
    EvDebug::Error(logContext, kLabel,
                   "Discovery must run as root to switch to the Oracle owner %s; it runs as uid %d",
                   oracleUser.c_str(), static_cast<int>(::geteuid()));
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
  std::string text, error;
  struct stat st {};
  bool exported = FetchEBSContextFiles() == 0;
  if (exported && ReadRegularFileAt(runDirectory.fd(), kExportFileName, kMaxExportBytes, &text, &st,
                                    &error) != ReadResult::kRead) {
    EvDebug::Error(logContext, kLabel, "Cannot read the export file %s: %s", exportFilePath.c_str(),
                   error.c_str());
    exported = false;
  }
  if (exported && (st.st_uid != oracleAccount.uid || st.st_nlink != 1)) {
    EvDebug::Error(logContext, kLabel,
                   "The export file %s belongs to user id %d with %d links, not to %s with one",
                   exportFilePath.c_str(), static_cast<int>(st.st_uid),
                   static_cast<int>(st.st_nlink), oracleUser.c_str());
    exported = false;
  }
  // Every record ends with two line feeds: anything else was cut short.
  if (exported && text.empty()) {
    EvDebug::Error(logContext, kLabel,
                   "The export file %s is empty: fnd_oam_context_files of SID [%s] gave no "
                   "context file",
                   exportFilePath.c_str(), oracleSid.c_str());
    exported = false;
  } else if (exported && (text.size() < 2 || text.compare(text.size() - 2, 2, "\n\n") != 0)) {
    EvDebug::Error(logContext, kLabel,
                   "The export file %s ends inside a record (%zu bytes): the export was cut short",
                   exportFilePath.c_str(), text.size());
    exported = false;
  } else if (exported &&
             static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) > kMaxExportLines) {
    EvDebug::Error(logContext, kLabel,
                   "The export file %s has more than %zu lines; no instance has that many "
                   "context files",
                   exportFilePath.c_str(), kMaxExportLines);
    exported = false;
  }
  if (!exported) {
    EndRun();
    EvDebug::Debug(logContext, kLabel, "Unable to fetch EBS Context Files");
    RecordFailure("Unable to fetch EBS Context Files");
    return 1;
  }
  // The text is in memory: the run directory and the export go now.
  EndRun();

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
    errorHandler.setDocumentName(record.name);
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
