// Oracle home lookup: the home of the requested SID from the instance table and the account
// that owns its oracle executable.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <vector>

#include "discovery/oratab.h"
#include "platform/host_config.h"
#include "platform/text.h"
#include "worker/NqEBSInterface.h"

namespace {

// The instance table is a few lines; anything beyond this is not read.
constexpr size_t kMaxOratabBytes = 16u << 20;
constexpr size_t kMaxPasswdBuffer = 1u << 20;

// Splits at runs of ':' like strtok: no empty fields.
std::vector<std::string_view> Fields(std::string_view line, size_t wanted) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (fields.size() < wanted) {
    pos = line.find_first_not_of(':', pos);
    if (pos == std::string_view::npos) break;
    size_t end = line.find(':', pos);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

// The login name of `uid`, or false when the password database has no entry for it.
bool OwnerName(uid_t uid, std::string* name) {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxPasswdBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || !found || !found->pw_name) return false;
    *name = found->pw_name;
    return true;
  }
}

}  // namespace

std::vector<OratabLine> ParseOratab(std::string_view text) {
  std::vector<OratabLine> lines;
  for (std::string_view line : SplitView(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    line.remove_prefix(first);

    OratabLine record;
    const std::vector<std::string_view> fields = Fields(line, 2);
    if (fields.size() < 2) {
      record.kind = OratabLine::Kind::Invalid;
      record.text = std::string(line.substr(0, line.find(':')));
    } else {
      record.kind = fields[0][0] == '*' ? OratabLine::Kind::Starred : OratabLine::Kind::Entry;
      record.sid = std::string(fields[0]);
      record.home = std::string(fields[1]);
    }
    lines.push_back(std::move(record));
  }
  return lines;
}

int NqEBSInterface::FetchDBHome() {
  static const char* const kLabel = "FetchDBHome";
  oracleSid = View(request)
                  .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                  .child(Hux::OraEBSConfig::dbTier, Create::No)
                  .get(Hux::OraEBSDBTier::dbSid);
  const std::string path = LoadHostConfig().oratabPath;
  EvDebug::Debug(logContext, kLabel, "Reading Oracle instance entries from file %s", path.c_str());

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    EvDebug::Debug(logContext, kLabel, "Failed to open file %s, continue with next file",
                   path.c_str());
    return 1;
  }
  std::string text;
  char chunk[65536];
  do {
    in.read(chunk, sizeof chunk);
    text.append(chunk, static_cast<size_t>(in.gcount()));
  } while (in && text.size() <= kMaxOratabBytes);
  if (in.bad() || text.size() > kMaxOratabBytes) {
    EvDebug::Debug(logContext, kLabel, "Failed to read from file %s ", path.c_str());
    // Only whole lines of what could be read are used.
    const size_t lastEnd = text.rfind('\n');
    text.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
  }

  // Home and owner always come from one entry: the last one whose owner could be resolved.
  dbHome.clear();
  oracleUser.clear();
  for (const OratabLine& line : ParseOratab(text)) {
    if (line.kind == OratabLine::Kind::Invalid) {
      EvDebug::Debug(logContext, kLabel, "Invalid entry in file : %s : %s", path.c_str(),
                     line.text.c_str());
      continue;
    }
    if (line.kind == OratabLine::Kind::Starred) {
      EvDebug::Debug(logContext, kLabel, "Skipping this entry %s:%s", line.sid.c_str(),
                     line.home.c_str());
      continue;
    }
    if (line.sid != oracleSid) continue;
    EvDebug::Debug(logContext, kLabel, "Oracle Home Path : %s ", line.home.c_str());

    const std::string executable = line.home + "/bin/oracle";
    struct stat st {};
    if (executable.find('\0') != std::string::npos || ::stat(executable.c_str(), &st) != 0) {
      EvDebug::Debug(logContext, kLabel, "Failed to get owner id for  file %s", executable.c_str());
      continue;
    }
    std::string owner;
    if (!OwnerName(st.st_uid, &owner) || owner.empty()) {
      EvDebug::Debug(logContext, kLabel, "Failed to get owner name for id %d ",
                     static_cast<int>(st.st_uid));
      continue;
    }
    dbHome = line.home;
    oracleUser = owner;
    oracleOwnerId = st.st_uid;
    EvDebug::Debug(logContext, kLabel, "Oracle user Name : %s , Oracle Home %s", oracleUser.c_str(),
                   dbHome.c_str());
  }

  if (oracleUser.empty()) {
    EvDebug::Debug(logContext, kLabel, "No Oracle home with a known owner for SID [%s] in %s",
                   oracleSid.c_str(), path.c_str());
    return 1;
  }
  return 0;
}
