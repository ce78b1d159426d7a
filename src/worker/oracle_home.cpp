// Oracle home lookup: the home of the requested SID from the instance table, the account that
// owns its oracle executable, and the checks that the home's sqlplus is safe to run as it.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "discovery/oratab.h"
#include "discovery/temp_files.h"
#include "platform/host/host_config.h"
#include "base/text.h"
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

// The account of `uid` with its groups, or false when the password database has no entry for it.
bool OwnerAccount(uid_t uid, OracleAccount* account) {
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
    if (rc != 0 || !found || !found->pw_name || !*found->pw_name) return false;
    account->uid = uid;
    account->gid = found->pw_gid;
    account->name = found->pw_name;
    int count = 64;
    account->groups.assign(static_cast<size_t>(count), 0);
    if (::getgrouplist(found->pw_name, found->pw_gid, account->groups.data(), &count) < 0 &&
        count > 64) {
      account->groups.assign(static_cast<size_t>(count), 0);
      ::getgrouplist(found->pw_name, found->pw_gid, account->groups.data(), &count);
    }
    account->groups.resize(static_cast<size_t>(std::max(count, 0)));
    return true;
  }
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// Examines `path` without following a symbolic link; false, with why, when it cannot.
bool Examine(const std::string& path, struct stat* st, std::string* refused) {
  if (path.find('\0') != std::string::npos) errno = EINVAL;
  if (path.find('\0') == std::string::npos && ::lstat(path.c_str(), st) == 0) return true;
  *refused = path + " cannot be examined: " + std::strerror(errno);
  return false;
}

// Why `path`, of status `st`, is not a real file or directory as asked for, or "" when it is.
std::string KindRefusal(const std::string& path, const struct stat& st, bool directory) {
  // A link could lend the home another account's file, root's included.
  if (S_ISLNK(st.st_mode)) return path + " is a symbolic link";
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
    return path + (directory ? " is not a directory" : " is not a regular file");
  return "";
}

// What keeps the owner of an oracle executable from running the export.
enum class OwnerProblem {
  kNone,
  kCannotExamine,  // the file cannot be examined
  kNoAccount,      // its owner has no account
  kUnsafe,         // a link, a second name, root's file
};

// Why the owner of the executable `path` may not run the export, or "" when `account` (its
// account) may (the rest of the home is HomeRefusal's); `uid` receives the owner when the file could be examined, `problem` the kind
// of refusal.
std::string OwnerRefusal(const std::string& path, OracleAccount* account, uid_t* uid,
                         OwnerProblem* problem) {
  struct stat st {};
  std::string refused;
  *problem = OwnerProblem::kCannotExamine;
  if (!Examine(path, &st, &refused)) return refused;
  *uid = st.st_uid;
  *problem = OwnerProblem::kUnsafe;
  if (!(refused = KindRefusal(path, st, false)).empty()) return refused;
  // A second name could lend the home another account's file as well.
  if (st.st_nlink != 1)
    return path + " has " + std::to_string(st.st_nlink) + " hard links; it must have one";
  if (st.st_uid == 0) return path + " belongs to root; sqlplus never runs as root";
  if (!OwnerAccount(st.st_uid, account)) {
    *problem = OwnerProblem::kNoAccount;
    return "the owner uid " + std::to_string(st.st_uid) + " of " + path + " has no account";
  }
  *problem = OwnerProblem::kNone;
  return "";
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// "uid N (name)", or "uid N (no account)".
std::string Who(uid_t uid) {
  OracleAccount account;
  return "uid " + std::to_string(uid) +
         (OwnerAccount(uid, &account) ? " (" + account.name + ")" : " (no account)");
}

// Why the resolved Oracle home `home` must not be used to run sqlplus as `owner`, the owner of
// its bin/oracle, or "" when it may. The home, bin and bin/sqlplus are real (no symbolic link)
// and belong to the owner: a file or directory of another account there (one that a member of
// the install group put into a group-writable bin, say) would make that account the Oracle
// owner or hand it the password. None may be written by all users; the install group may write
// (0775 trees are usual). Every directory above belongs to root, the owner or an account of the
// owner's primary group (a grid account owning /u01/app), and one that all users may write is
// sticky.
std::string HomeRefusal(const std::string& home, const OracleAccount& owner) {
  const struct {
    std::string path;
    bool directory;
  } files[] = {{home, true}, {home + "/bin", true}, {home + "/bin/sqlplus", false}};
  for (const auto& f : files) {
    struct stat st {};
    std::string refused;
    if (!Examine(f.path, &st, &refused) ||
        !(refused = KindRefusal(f.path, st, f.directory)).empty())
      return refused;
    if (st.st_uid != owner.uid)
      return f.path + " belongs to " + Who(st.st_uid) + ", not to " + owner.name + " (uid " +
             std::to_string(owner.uid) + "), the owner of " + home +
             "/bin/oracle; the home, bin, bin/oracle and bin/sqlplus must belong to one account";
    if (st.st_mode & S_IWOTH)
      return f.path + " may be written by any user (mode " + Mode(st.st_mode) + ")";
  }
  // The directories above, from "/" down to the home's parent.
  std::map<uid_t, bool> ofOwnersGroup;  // the verdict per owner, looked up once
  for (size_t end = 0; end < home.size(); end = home.find('/', end + 1)) {
    const std::string dir = end == 0 ? "/" : home.substr(0, end);
    struct stat st {};
    std::string refused;
    if (!Examine(dir, &st, &refused) || !(refused = KindRefusal(dir, st, true)).empty())
      return refused;
    if (st.st_uid != 0 && st.st_uid != owner.uid) {
      auto known = ofOwnersGroup.find(st.st_uid);
      if (known == ofOwnersGroup.end()) {
        OracleAccount account;
        known = ofOwnersGroup
                    .emplace(st.st_uid,
                             OwnerAccount(st.st_uid, &account) && account.gid == owner.gid)
                    .first;
      }
      if (!known->second)
        return dir + " above the Oracle home belongs to " + Who(st.st_uid) +
               ", neither root, the Oracle owner " + owner.name +
               " nor an account of its primary group (gid " + std::to_string(owner.gid) + ")";
    }
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
      return dir + " above the Oracle home may be written by any user (mode " + Mode(st.st_mode) +
             ") and is not sticky";
  }
  return "";
}

// The Oracle home `home` as the instance table names it, resolved once (symbolic links
// followed: the table is the administrator's); "" with why in `refused` when it cannot be.
std::string ResolveHome(const std::string& home, std::string* refused) {
  if (home.find('\0') != std::string::npos) errno = EINVAL;
  char* resolved = home.find('\0') == std::string::npos ? ::realpath(home.c_str(), nullptr) : nullptr;
  if (!resolved) {
    *refused = "the Oracle home " + home + " cannot be resolved: " + std::strerror(errno);
    return "";
  }
  std::string path = resolved;
  std::free(resolved);
  return path;
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

  // A regular file (a FIFO or device would block or never end), up to the bound. The path is
  // the host's setting: a symbolic link there is the administrator's. A table that cannot be
  // read whole (larger than the bound, a failed read) is used as far as it was read.
  std::string text, error, readInPart;
  struct stat st {};
  const ReadResult read =
      ReadRegularFileAt(AT_FDCWD, path.c_str(), kMaxOratabBytes, &text, &st, &error,
                        {true, "the instance table " + path, /*keepPartial=*/true});
  if (read == ReadResult::kCannotOpen) {
    EvDebug::Debug(logContext, kLabel, "Failed to open file %s, continue with next file",
                   path.c_str());
    EvDebug::Error(logContext, kLabel, "%s", error.c_str());
    return 1;
  }
  if (read != ReadResult::kRead) {
    EvDebug::Debug(logContext, kLabel, "Failed to read from file %s ", path.c_str());
    // Only whole lines count: a line cut by the bound or the failure could name another home.
    const size_t lineEnd = text.rfind('\n');
    text.resize(lineEnd == std::string::npos ? 0 : lineEnd + 1);
    readInPart = error;
    EvDebug::Debug(logContext, kLabel, "%s; continuing with the %zu bytes of whole lines read",
                   error.c_str(), text.size());
  }

  // Home and owner always come from one entry: the last one whose home and owner are usable.
  dbHome.clear();
  oracleUser.clear();
  oracleAccount = OracleAccount();
  const std::vector<OratabLine> lines = ParseOratab(text);
  // The distinct SIDs in file order, for the error; a set keeps collecting them linear.
  constexpr size_t kShownSids = 20;
  std::unordered_set<std::string_view> seen;
  std::vector<std::string_view> sids;
  std::vector<std::string> refusals;
  std::string otherCase;
  const std::string upperSid = Upper(oracleSid);
  for (const OratabLine& line : lines) {
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
    if (seen.insert(line.sid).second && sids.size() <= kShownSids) sids.push_back(line.sid);
    if (line.sid != oracleSid) {
      if (line.sid.size() == oracleSid.size() && Upper(line.sid) == upperSid) otherCase = line.sid;
      continue;
    }
    EvDebug::Debug(logContext, kLabel, "Oracle Home Path : %s ", line.home.c_str());

    // The home is resolved once; everything after is checked and used at the resolved path.
    std::string refused;
    const std::string home = ResolveHome(line.home, &refused);
    const std::string executable = (home.empty() ? line.home : home) + "/bin/oracle";
    OracleAccount account;
    uid_t uid = 0;
    OwnerProblem problem = OwnerProblem::kCannotExamine;
    if (!home.empty()) refused = OwnerRefusal(executable, &account, &uid, &problem);
    if (problem == OwnerProblem::kNone && !(refused = HomeRefusal(home, account)).empty())
      problem = OwnerProblem::kUnsafe;
    if (problem != OwnerProblem::kNone) {
      if (problem == OwnerProblem::kCannotExamine)
        EvDebug::Debug(logContext, kLabel, "Failed to get owner id for  file %s",
                       executable.c_str());
      else if (problem == OwnerProblem::kNoAccount)
        EvDebug::Debug(logContext, kLabel, "Failed to get owner name for id %d ",
                       static_cast<int>(uid));
      EvDebug::Debug(logContext, kLabel, "Entry %s:%s skipped: %s", line.sid.c_str(),
                     line.home.c_str(), refused.c_str());
      refusals.push_back(refused);
      continue;
    }
    dbHome = home;
    oracleUser = account.name;
    oracleAccount = account;
    EvDebug::Debug(logContext, kLabel, "Oracle user Name : %s , Oracle Home %s", oracleUser.c_str(),
                   dbHome.c_str());
  }

  if (oracleUser.empty()) {
    std::string entries;
    for (size_t i = 0; i < sids.size() && i < kShownSids; ++i)
      entries += (i ? ", " : "") + std::string(sids[i]);
    if (sids.size() > kShownSids) entries += ", ...";
    // What kept the table from being read whole may be why the SID is missing.
    const std::string inPart = readInPart.empty() ? "" : "; read in part: " + readInPart;
    if (!refusals.empty()) {
      std::string reasons;
      for (const std::string& r : refusals) reasons += (reasons.empty() ? "" : "; ") + r;
      EvDebug::Error(logContext, kLabel, "SID [%s] has no usable Oracle home in %s: %s",
                     oracleSid.c_str(), path.c_str(), reasons.c_str());
    } else if (oracleSid.empty()) {
      EvDebug::Error(logContext, kLabel,
                     "The request names no SID (the database tier's dbSid is empty); entries in "
                     "%s: %s%s",
                     path.c_str(), entries.empty() ? "none" : entries.c_str(), inPart.c_str());
    } else if (!otherCase.empty()) {
      EvDebug::Error(logContext, kLabel,
                     "SID [%s] has no entry in %s; SIDs are case-sensitive and [%s] differs only "
                     "in letter case (entries: %s)%s",
                     oracleSid.c_str(), path.c_str(), otherCase.c_str(), entries.c_str(),
                     inPart.c_str());
    } else {
      EvDebug::Error(logContext, kLabel, "SID [%s] has no entry in %s (entries: %s)%s",
                     oracleSid.c_str(), path.c_str(), entries.empty() ? "none" : entries.c_str(),
                     inPart.c_str());
    }
    return 1;
  }
  return 0;
}

// Checked again right before the export: the home was checked when its entry was read.
bool NqEBSInterface::CheckOracleProgram() {
  const std::string refused = HomeRefusal(dbHome, oracleAccount);
  if (!refused.empty()) {
    EvDebug::Error(logContext, "FetchEBSContextFiles",
                   "sqlplus is not run as %s from an Oracle home others can change: %s",
                   oracleUser.c_str(), refused.c_str());
    return false;
  }
  return true;
}
