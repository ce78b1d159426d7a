// Accounts of the user database (getpwuid_r): one lookup for every reader of a login. Thread-safe.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

struct Account {
  uid_t uid = 0;
  gid_t gid = 0;  // its primary group
  std::string name;
  std::string home;
  std::vector<gid_t> groups;  // its primary and supplementary groups
};

// The account of `uid` with its groups (an entry of any size up to 1 MiB), or nothing when the
// user database has no entry, or one without a name, for it.
std::optional<Account> LookupAccount(uid_t uid);
