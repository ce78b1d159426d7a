// The Oracle home of a SID and the account that runs sqlplus in it: the home comes from the
// instance table, the account is the owner of the home's bin/oracle, and the home is used only
// when another account can neither change the programs run as the owner nor be taken for it.
// Free functions over the file system and the user database; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/account.h"
#include "base/status.h"

// The operating-system account that discovery runs sqlplus as.
using OracleAccount = Account;

// Whether the resolved Oracle home `home` may be used to run sqlplus as `owner`, the owner of its
// bin/oracle. The home, bin and bin/sqlplus are real (no symbolic link) and belong to the owner:
// a file or directory of another account there (one that a member of the install group put into
// a group-writable bin, say) would make that account the Oracle owner or hand it the password.
// None may be written by all users; the install group may write (0775 trees are usual). Every
// directory above belongs to root, the owner or an account of the owner's primary group (a grid
// account owning /u01/app), and one that all users may write is sticky.
Status CheckOracleHome(const std::string& home, const OracleAccount& owner);

// The outcome of looking a SID up in the instance table.
struct OracleHomeLookup {
  // The debug lines of the lookup, in the order it met their causes.
  std::vector<std::string> notes;
  // An error when no entry of the SID has a usable home and owner: why, naming the entries.
  Status status;
  // Otherwise the home (resolved) and owner of the last entry of the SID whose home and owner
  // are usable.
  std::string home;
  OracleAccount owner;
};

// Looks `sid` up in the text `table` of the instance table `tablePath`. `readInPart` is why the
// table could not be read whole, or empty: it is added to the error of a SID not found.
OracleHomeLookup FindOracleHome(std::string_view table, const std::string& tablePath,
                                const std::string& sid, const std::string& readInPart);
