#include "base/account.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

std::optional<Account> LookupAccount(uid_t uid) {
  // An entry larger than the buffer (ERANGE) is read again with a larger one, up to a bound.
  constexpr size_t kMaxEntryBytes = size_t{1} << 20;
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  for (size_t size = suggested > 0 ? static_cast<size_t>(suggested) : 16384; size <= kMaxEntryBytes;
       size *= 2) {
    std::vector<char> buffer(size);
    passwd entry{};
    passwd* found = nullptr;
    const int rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) continue;
    if (rc != 0 || !found || !found->pw_name || !*found->pw_name) return std::nullopt;
    Account account;
    account.uid = uid;
    account.gid = found->pw_gid;
    account.name = found->pw_name;
    account.home = found->pw_dir ? found->pw_dir : "";
    int count = 64;
    account.groups.assign(static_cast<size_t>(count), 0);
    if (::getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count) < 0 &&
        count > 64) {
      account.groups.assign(static_cast<size_t>(count), 0);
      ::getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count);
    }
    account.groups.resize(static_cast<size_t>(std::max(count, 0)));
    return account;
  }
  return std::nullopt;
}
