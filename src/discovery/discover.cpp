// Discovery driver: export the instance's context files from the database, then hand each one
// to the reader of its tier.
#include <string>

#include "discovery/export_file.h"
#include "discovery/export_scripts.h"
#include "discovery/temp_files.h"
#include "platform/pstring.h"
#include "platform/text.h"
#include "worker/NqEBSInterface.h"

namespace {

// A large instance exports a few dozen context files of some hundred kilobytes each.
constexpr size_t kMaxExportBytes = 256u << 20;

std::string_view Before(std::string_view text, size_t comma) {
  return comma == std::string_view::npos ? text : text.substr(0, comma);
}

std::string_view After(std::string_view text, size_t comma) {
  return comma == std::string_view::npos ? text : text.substr(comma + 1);
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
  auto login = View(request)
                   .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                   .child(Hux::OraEBSConfig::appTier, Create::No)
                   .child(Hux::OraEBSAppTier::databaseLogin, Create::No);
  const bstring password = pstring(login.get(UserCredentials::password)).getPlainPassword();
  const std::string userName = login.get(UserCredentials::userName);
  const struct {
    const char* what;
    std::string_view value;
  } values[] = {
      {"Oracle home", dbHome},      {"SID", oracleSid},
      {"Oracle owner", oracleUser}, {"temporary directory", tempDir},
      {"database user", userName},  {"database password", password.str()},
  };
  for (const auto& v : values) {
    if (!IsScriptSafe(v.value)) {
      EvDebug::Debug(logContext, "FetchEBSContextFiles",
                     "The %s holds a line feed or NUL byte; it cannot be put into a script",
                     v.what);
      return false;
    }
  }
  return true;
}

bool NqEBSInterface::LockTempDir() {
  std::string error;
  if (tempDir.empty() || tempDir[0] != '/') {
    EvDebug::Debug(logContext, "FetchEBSContextFiles",
                   "The temporary directory [%s] is not an absolute path", tempDir.c_str());
    return false;
  }
  if (!CheckSharedDirectory(tempDir, &error) ||
      !discoveryLock.Acquire(tempDir + "/" + kDiscoveryLockName, &error)) {
    EvDebug::Debug(logContext, "FetchEBSContextFiles", "Temporary directory refused: %s",
                   error.c_str());
    return false;
  }
  return true;
}

int NqEBSInterface::FetchEBSContextFiles() {
  static const char* const kLabel = "FetchEBSContextFiles";
  if (FetchDBHome() != 0) {
    EvDebug::Debug(logContext, kLabel, "Fetch DB Home failed");
    return 1;
  }
  if (!CheckScriptValues() || !LockTempDir()) return 1;
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
  uid_t owner = 0;
  bool exported = FetchEBSContextFiles() == 0;
  if (exported && !ReadRegularFile(exportFilePath, kMaxExportBytes, &text, &owner, &error)) {
    EvDebug::Debug(logContext, kLabel, "Cannot read the export file: %s", error.c_str());
    exported = false;
  }
  if (exported && owner != oracleOwnerId) {
    EvDebug::Debug(logContext, kLabel, "The export file %s belongs to user id %d, not to %s",
                   exportFilePath.c_str(), static_cast<int>(owner), oracleUser.c_str());
    exported = false;
  }
  if (!exported) {
    discoveryLock.Release();
    EvDebug::Debug(logContext, kLabel, "Unable to fetch EBS Context Files");
    RecordFailure("Unable to fetch EBS Context Files");
    return 1;
  }

  EvDebug::Debug(logContext, kLabel, "Reading export file %s of %zu bytes", exportFilePath.c_str(),
                 text.size());
  const std::vector<ExportRecord> records = ParseExport(text);
  std::string firstInvalid;
  size_t invalid = 0;
  for (const ExportRecord& record : records) {
    const std::string name(record.name), type(record.type);
    EvDebug::Debug(logContext, kLabel, "nodeName [%s]", name.c_str());
    EvDebug::Debug(logContext, kLabel, "nodeType [%s]", type.c_str());
    // A context file that cannot be parsed is left out; the others are still read.
    errorHandler.setDocumentName(name);
    if (!initParser(std::string(record.context))) {
      EvDebug::Debug(logContext, kLabel, "Skipping the invalid context file [%s]", name.c_str());
      if (invalid++ == 0) firstInvalid = name;
      continue;
    }
    if (type == "D")
      ProcessDBTierTags();
    else
      ProcessAppTierTags();
  }
  EvDebug::Debug(logContext, kLabel, "Read %zu context records, %zu of them invalid",
                 records.size(), invalid);
  discoveryLock.Release();
  if (invalid) {
    RecordFailure("Invalid EBS context file [" + firstInvalid + "]");
    return 1;
  }
  return 0;
}
