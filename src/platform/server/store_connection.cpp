#include "platform/server/store_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

// One kept connection and what it was opened on.
struct Kept {
  std::unique_ptr<ServerStore> store;
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  pid_t pid = 0;

  void Close() {
    // A connection of the parent process is never used nor closed in a child: it is dropped.
    if (store && pid != ::getpid()) (void)store.release();
    store.reset();
    path.clear();
  }
  ~Kept() { Close(); }
};

struct ThreadStores {
  Kept readOnly;
  Kept forChanges;
};

ThreadStores& Stores() {
  static thread_local ThreadStores stores;
  return stores;
}

// The identity of the file at `path` itself (a link is not followed); false when there is none.
bool Identity(const std::string& path, dev_t& device, ino_t& inode) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  device = st.st_dev;
  inode = st.st_ino;
  return true;
}

bool StillValid(const Kept& kept, const std::string& path) {
  if (!kept.store || kept.pid != ::getpid() || kept.path != path) return false;
  if (ServerStore::IsPostgres(path)) return true;  // a server, not a file that can be swapped
  dev_t device;
  ino_t inode;
  return Identity(path, device, inode) && device == kept.device && inode == kept.inode;
}

// Opens the store into `kept`. The identity is taken before the open: a file swapped in while
// the store is being opened does not match it, so the next call opens the store again. A file
// the open created is taken after it; one already gone again keeps no identity (0, 0), which no
// file matches, so it serves this call only.
Status Reopen(Kept& kept, const std::string& path, StoreAccess access) {
  kept.Close();
  dev_t device = 0;
  ino_t inode = 0;
  const bool existed = Identity(path, device, inode);
  Status s = ServerStore::Open(path, kept.store, access);
  if (!s.ok || !kept.store) return s;
  if (!existed) Identity(path, device, inode);
  kept.path = path;
  kept.device = device;
  kept.inode = inode;
  kept.pid = ::getpid();
  return s;
}

}  // namespace

Status UseStore(const std::string& path, StoreAccess access,
                const std::function<Status(ServerStore* store)>& work) {
  ThreadStores& stores = Stores();
  Kept& kept = access == StoreAccess::ReadOnly ? stores.readOnly : stores.forChanges;
  if (!StillValid(kept, path)) {
    Status s = Reopen(kept, path, access);
    if (!s.ok) return s;
  }
  // Closed unless `work` ends well (an error or an exception leaves the connection suspect).
  struct CloseUnlessKept {
    Kept& kept;
    bool keep = false;
    ~CloseUnlessKept() {
      if (!keep) kept.Close();
    }
  } guard{kept};
  Status s = work(kept.store.get());
  guard.keep = s.ok;
  return s;
}

void CloseThreadStores() {
  Stores().readOnly.Close();
  Stores().forChanges.Close();
}
