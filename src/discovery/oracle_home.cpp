#include "discovery/oracle_home.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_set>

#include "base/text.h"
#include "base/trusted_dir.h"
#include "discovery/oratab.h"

namespace {

// Examines `path` without following a symbolic link.
Status Examine(const std::string& path, struct stat* st) {
  if (path.find('\0') != std::string::npos) errno = EINVAL;
  if (path.find('\0') == std::string::npos && ::lstat(path.c_str(), st) == 0) return Status::Ok();
  return Status::Error(path + " cannot be examined: " + std::strerror(errno));
}

// Whether `path`, of status `st`, is a real file or directory as asked for.
Status CheckKind(const std::string& path, const struct stat& st, bool directory) {
  // A link could lend the home another account's file, root's included.
  if (S_ISLNK(st.st_mode)) return Status::Error(path + " is a symbolic link");
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
    return Status::Error(path + (directory ? " is not a directory" : " is not a regular file"));
  return Status::Ok();
}

Status ExamineKind(const std::string& path, struct stat* st, bool directory) {
  Status s = Examine(path, st);
  return s.ok ? CheckKind(path, *st, directory) : s;
}

// What keeps the owner of an oracle executable from running the export.
enum class OwnerProblem {
  kNone,
  kCannotExamine,  // the file cannot be examined
  kNoAccount,      // its owner has no account
  kUnsafe,         // a link, a second name, root's file
};

struct Owner {
  OwnerProblem problem = OwnerProblem::kCannotExamine;
  uid_t uid = 0;  // when the file could be examined
  OracleAccount account;
  Status status;
};

// The owner of the executable `path` and whether it may run the export (the rest of the home is
// CheckOracleHome's).
Owner OwnerOf(const std::string& path) {
  Owner owner;
  struct stat st {};
  if (owner.status = Examine(path, &st); !owner.status.ok) return owner;
  owner.uid = st.st_uid;
  owner.problem = OwnerProblem::kUnsafe;
  if (owner.status = CheckKind(path, st, false); !owner.status.ok) return owner;
  // A second name could lend the home another account's file as well.
  if (st.st_nlink != 1)
    owner.status = Status::Error(path + " has " + std::to_string(st.st_nlink) +
                                 " hard links; it must have one");
  else if (st.st_uid == 0)
    owner.status = Status::Error(path + " belongs to root; sqlplus never runs as root");
  if (!owner.status.ok) return owner;
  std::optional<OracleAccount> account = LookupAccount(st.st_uid);
  if (!account) {
    owner.problem = OwnerProblem::kNoAccount;
    owner.status = Status::Error("the owner uid " + std::to_string(st.st_uid) + " of " + path +
                                 " has no account");
    return owner;
  }
  owner.account = std::move(*account);
  owner.problem = OwnerProblem::kNone;
  return owner;
}

// "uid N (name)", or "uid N (no account)".
std::string Who(uid_t uid) {
  const std::optional<OracleAccount> account = LookupAccount(uid);
  return "uid " + std::to_string(uid) + (account ? " (" + account->name + ")" : " (no account)");
}

// The Oracle home `home` as the instance table names it, resolved once (symbolic links
// followed: the table is the administrator's).
Result<std::string> ResolveHome(const std::string& home) {
  if (home.find('\0') != std::string::npos) errno = EINVAL;
  char* resolved =
      home.find('\0') == std::string::npos ? ::realpath(home.c_str(), nullptr) : nullptr;
  if (!resolved)
    return Status::Error("the Oracle home " + home +
                         " cannot be resolved: " + std::strerror(errno));
  std::string path = resolved;
  std::free(resolved);
  return path;
}

// `text` as a log line shows it: up to its first NUL byte.
std::string Shown(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

}  // namespace

Status CheckOracleHome(const std::string& home, const OracleAccount& owner) {
  const struct {
    std::string path;
    bool directory;
  } files[] = {{home, true}, {home + "/bin", true}, {home + "/bin/sqlplus", false}};
  for (const auto& f : files) {
    struct stat st {};
    if (Status s = ExamineKind(f.path, &st, f.directory); !s.ok) return s;
    if (st.st_uid != owner.uid)
      return Status::Error(
          f.path + " belongs to " + Who(st.st_uid) + ", not to " + owner.name + " (uid " +
          std::to_string(owner.uid) + "), the owner of " + home +
          "/bin/oracle; the home, bin, bin/oracle and bin/sqlplus must belong to one account");
    if (st.st_mode & S_IWOTH)
      return Status::Error(f.path + " may be written by any user (mode " + ModeText(st.st_mode) +
                           ")");
  }
  // The directories above, from "/" down to the home's parent.
  std::map<uid_t, bool> ofOwnersGroup;  // the verdict per owner, looked up once
  for (size_t end = 0; end < home.size(); end = home.find('/', end + 1)) {
    const std::string dir = end == 0 ? "/" : home.substr(0, end);
    struct stat st {};
    if (Status s = ExamineKind(dir, &st, true); !s.ok) return s;
    if (st.st_uid != 0 && st.st_uid != owner.uid) {
      auto known = ofOwnersGroup.find(st.st_uid);
      if (known == ofOwnersGroup.end()) {
        const std::optional<OracleAccount> account = LookupAccount(st.st_uid);
        known = ofOwnersGroup.emplace(st.st_uid, account && account->gid == owner.gid).first;
      }
      if (!known->second)
        return Status::Error(dir + " above the Oracle home belongs to " + Who(st.st_uid) +
                             ", neither root, the Oracle owner " + owner.name +
                             " nor an account of its primary group (gid " +
                             std::to_string(owner.gid) + ")");
    }
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))
      return Status::Error(dir + " above the Oracle home may be written by any user (mode " +
                           ModeText(st.st_mode) + ") and is not sticky");
  }
  return Status::Ok();
}

OracleHomeLookup FindOracleHome(std::string_view table, const std::string& tablePath,
                                const std::string& sid, const std::string& readInPart) {
  OracleHomeLookup found;
  const std::vector<OratabLine> lines = ParseOratab(table);
  // The distinct SIDs in file order, for the error; a set keeps collecting them linear.
  constexpr size_t kShownSids = 20;
  std::unordered_set<std::string_view> seen;
  std::vector<std::string_view> sids;
  std::vector<std::string> refusals;
  std::string otherCase;
  const std::string upperSid = AsciiUpper(sid);
  const std::string shownSid = Shown(sid), shownTable = Shown(tablePath);
  for (const OratabLine& line : lines) {
    if (line.kind == OratabLine::Kind::Invalid) {
      found.notes.push_back("Invalid entry in file : " + shownTable + " : " + Shown(line.text));
      continue;
    }
    if (line.kind == OratabLine::Kind::Starred) {
      found.notes.push_back("Skipping this entry " + Shown(line.sid) + ":" + Shown(line.home));
      continue;
    }
    if (seen.insert(line.sid).second && sids.size() <= kShownSids) sids.push_back(line.sid);
    if (line.sid != sid) {
      if (line.sid.size() == sid.size() && AsciiUpper(line.sid) == upperSid) otherCase = line.sid;
      continue;
    }
    found.notes.push_back("Oracle Home Path : " + Shown(line.home) + " ");

    // The home is resolved once; everything after is checked and used at the resolved path.
    const Result<std::string> home = ResolveHome(line.home);
    const std::string executable = (home.ok() ? *home : line.home) + "/bin/oracle";
    Owner owner;
    if (home.ok())
      owner = OwnerOf(executable);
    else
      owner.status = home.status();
    if (owner.problem == OwnerProblem::kNone &&
        !(owner.status = CheckOracleHome(*home, owner.account)).ok)
      owner.problem = OwnerProblem::kUnsafe;
    if (owner.problem != OwnerProblem::kNone) {
      if (owner.problem == OwnerProblem::kCannotExamine)
        found.notes.push_back("Failed to get owner id for  file " + Shown(executable));
      else if (owner.problem == OwnerProblem::kNoAccount)
        found.notes.push_back("Failed to get owner name for id " +
                              std::to_string(static_cast<int>(owner.uid)) + " ");
      found.notes.push_back("Entry " + Shown(line.sid) + ":" + Shown(line.home) +
                            " skipped: " + owner.status.message);
      refusals.push_back(owner.status.message);
      continue;
    }
    found.home = *home;
    found.owner = owner.account;
    found.notes.push_back("Oracle user Name : " + found.owner.name + " , Oracle Home " +
                          Shown(found.home));
  }
  if (!found.owner.name.empty()) return found;

  std::string entries;
  for (size_t i = 0; i < sids.size() && i < kShownSids; ++i)
    entries += (i ? ", " : "") + std::string(sids[i]);
  if (sids.size() > kShownSids) entries += ", ...";
  entries = Shown(entries);
  // What kept the table from being read whole may be why the SID is missing.
  const std::string inPart = readInPart.empty() ? "" : "; read in part: " + Shown(readInPart);
  const std::string listed = entries.empty() ? "none" : entries;
  if (!refusals.empty()) {
    std::string reasons;
    for (const std::string& r : refusals) reasons += (reasons.empty() ? "" : "; ") + r;
    found.status = Status::Error("SID [" + shownSid + "] has no usable Oracle home in " +
                                 shownTable + ": " + reasons);
  } else if (sid.empty()) {
    found.status =
        Status::Error("The request names no SID (the database tier's dbSid is empty); entries in " +
                      shownTable + ": " + listed + inPart);
  } else if (!otherCase.empty()) {
    found.status = Status::Error(
        "SID [" + shownSid + "] has no entry in " + shownTable + "; SIDs are case-sensitive and [" +
        otherCase + "] differs only in letter case (entries: " + entries + ")" + inPart);
  } else {
    found.status = Status::Error("SID [" + shownSid + "] has no entry in " + shownTable +
                                 " (entries: " + listed + ")" + inPart);
  }
  return found;
}
