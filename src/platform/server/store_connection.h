// The store connections of a thread: the client directory and the request channel use the store
// through UseStore, which keeps the connection it opened for the next call of the same thread
// instead of opening a new one each time. Opening costs more than most lookups, and a connection
// that is the last one open on the file checkpoints and removes the write-ahead log when it
// closes, which costs file syncs on every change.
//
// A thread keeps at most two connections: one opened ReadOnly (lookups) and one opened for
// changes (ReadWrite and ReadWriteExisting share it). A kept connection is used again only while
//   - the store path (EBS_HOST_STORE) is the one it was opened for,
//   - for an SQLite file, the path still names the file it was opened on (same device and inode,
//     not a link),
//   - the process is the one that opened it (after fork the child opens its own), and
//   - its last use ended without an error.
// Otherwise it is closed (in a forked child: dropped without closing, see below) and the store is
// opened again with ServerStore::Open, whose rules about creating, refusing and migrating hold
// unchanged: a lookup never creates the store, a delete or registry change never creates it.
// Every change is still one transaction of its own.
//
// Fork: SQLite forbids using or closing a connection of the parent in a child, and closing a
// PostgreSQL connection of the parent would end the parent's session. A child that finds
// its parent's connections drops them without closing them: their memory and descriptors stay
// allocated (a few KiB per connection, once per child) until the child exits or execs (SQLite
// opens its files close-on-exec).
//
// Thread-safety: everything is per thread (thread_local); a connection is never shared. The
// connections of a thread are closed when it ends.
// Errors: those of ServerStore::Open and of `work`, returned as they are.
#pragma once

#include <functional>
#include <string>

#include "platform/server/store.h"

// Runs `work` with the thread's store at `path` opened with `access`. `store` is null when the
// store does not exist and `access` does not create it (an empty store). A status that is not ok
// (from the open or from `work`) closes the connection; the next call opens it again.
Status UseStore(const std::string& path, StoreAccess access,
                const std::function<Status(ServerStore* store)>& work);

// Closes the calling thread's kept connections (a test's or a tool's clean slate).
void CloseThreadStores();
