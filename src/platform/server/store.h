// ServerStore: the store of the managing-server stand-in. It holds clients (id, name,
// managed-domain id and the host names under which each is known), virtual apps (id, name, type,
// saved configuration text, the role that saved it, the last drift check) and the registry values
// set on clients. Ids of clients and apps are never given twice: one that belonged to a removed
// client or app stays unused. Every change is one transaction; a busy store or a conflict with a
// concurrent change is retried a bounded number of times and then reported as an error, never
// half-applied. One object per thread; several objects (and processes) may use one store at once.
//
// Two backends answer to the same interface, chosen by the store's location:
//   - a file path: an SQLite file on this host (sqlite_store.h), created on first use;
//   - a libpq connection URI starting with postgresql:// or postgres:// (postgres_store.h): one
//     inventory that many database hosts share. Each host connects as its own login role, member
//     of the group role ebs_host; the server itself confines it to the apps its role saved.
//
// Schema versions: 1 reused the id of the last row removed; 2 never does; 3 indexes the hosts of
// each client by the client, and adds the discovery metadata of each app (the SID and database
// user a discovery was asked for, its time, the version of the program that made it; never a
// password), which goes with its app; 4 records who saved each app and the last drift check of
// each app. A read-write open of an SQLite store migrates an older version in place, in one
// transaction, keeping every row and id; a read-only open reads it as it is (its tables read the
// same, no app has metadata, a saver or a drift check) and leaves it to the next read-write open.
// A PostgreSQL store is created and migrated by `Init` only, run by the database's owner.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"

struct ClientRecord {
  int64_t id = 0;
  std::string name;
  int64_t hiveId = 0;
  std::vector<std::string> hosts;
};

// The last `diff` of an app against its live instance.
struct DriftCheck {
  std::string checkedAt;  // UTC, e.g. 2026-12-06T18:00:00Z; the store stamps it
  bool drift = false;
  int64_t changed = 0, added = 0, removed = 0;  // nodes (and tiers) changed, added, removed
  int64_t changes = 0;                          // every field, context and node that differs
};

struct AppRecord {
  int64_t id = 0;
  std::string name;
  int64_t type = 0;
  std::string config;
  std::string updatedAt;
  // The role that saved the app first (PostgreSQL: the login role; SQLite: the account of the
  // process). Empty when unknown (saved before the store recorded it).
  std::string savedBy;
  std::optional<DriftCheck> lastDiff;  // none until a diff of it was recorded
};

// How a saved app was discovered. An empty field is unknown (a configuration saved from a file
// names no SID); the password is never kept.
struct AppMetadata {
  std::string sid, dbUser;
  std::string discoveredAt;   // UTC, e.g. 2026-12-06T18:00:00Z
  std::string pluginVersion;  // of the program that discovered it
};

struct RegistryValue {
  int64_t clientId = 0;
  std::string path, name, type, value;
  int64_t mode = 0, flags = 0, options = 0;
};

// How a store is opened: ReadWrite creates an SQLite file (and its missing parent directories,
// mode 0700) on first use and migrates an older schema. ReadWriteExisting is ReadWrite for a
// change to what is in the store already (a delete, a registry value): it never creates the file,
// and a missing one leaves `store` null, a store that holds nothing. ReadOnly never creates,
// migrates or changes anything: a missing file, or one that SQLite has not written yet, leaves
// `store` null, which the caller reads as an empty store; the opened store refuses every change.
// A PostgreSQL store is never created by an open: a database without the schema is an error that
// names `ebs-host store init`.
enum class StoreAccess { ReadWrite, ReadWriteExisting, ReadOnly };

// Everything a store holds, for a copy from one store to another (store_copy.h).
struct StoreContent {
  std::vector<ClientRecord> clients;
  std::vector<RegistryValue> registry;
  std::vector<AppRecord> apps;
  std::vector<std::optional<AppMetadata>> metadata;  // one per app, in the same order
  // The highest ids the store has ever given, removed rows' included: the copy gives none of them
  // again.
  int64_t clientIdsGiven = 0, appIdsGiven = 0;
};

class ServerStore {
 public:
  static constexpr int kSchemaVersion = 4;

  virtual ~ServerStore() = default;

  // True when `location` names a PostgreSQL store (a postgresql:// or postgres:// URI).
  static bool IsPostgres(const std::string& location);

  // Opens the store at `location`. A location that cannot be a store is an error whose message
  // names the location (never a password) and the reason: for a file, a directory, a symbolic
  // link, a file of another account, a file that is not SQLite, an SQLite database of another
  // program, a newer schema, no access (as root, the store's directory must be a trusted path,
  // trusted_dir.h); for a URI, one that carries a password (refused before connecting), a server
  // that cannot be reached, a database without this program's schema. The content is input.
  static Status Open(const std::string& location, std::unique_ptr<ServerStore>& store,
                     StoreAccess access = StoreAccess::ReadWrite);

  // Creates the schema of a new store, or migrates an older one, and says what it did in `done`
  // (one line). SQLite: what a read-write open does. PostgreSQL: run by the database's owner; the
  // tables, the group roles ebs_admin and ebs_host, their grants and row-level-security policies.
  static Status Init(const std::string& location, std::string* done);

  // "sqlite" or "postgresql".
  virtual const char* Backend() const = 0;

  // Clients. `id` 0 lets the store choose a new id (an error once the 32-bit range is used up);
  // an explicit id is the caller's choice. A name, host or id already taken is an error.
  // PostgreSQL: only members of ebs_admin add or remove clients.
  virtual Status AddClient(const std::string& name, const std::vector<std::string>& hosts,
                           int64_t hiveId, int64_t id, int64_t* newId) = 0;
  virtual Status RemoveClient(const std::string& name, bool* removed) = 0;
  virtual Status ListClients(std::vector<ClientRecord>& out) = 0;
  // Host names compare without regard to letter case.
  virtual Status FindClientByHost(const std::string& host, std::optional<ClientRecord>& out) = 0;
  virtual Status FindClientByName(const std::string& name, std::optional<ClientRecord>& out) = 0;
  virtual Status FindClientById(int64_t id, std::optional<ClientRecord>& out) = 0;

  // Virtual apps: a save creates the app (with a new id, saved by the caller's role) or updates
  // the one of the same name. PostgreSQL: a member of ebs_host changes only the apps its role
  // saved (anything else is an error naming the role that saved it); ebs_admin changes any.
  virtual Status SaveApp(const std::string& name, int64_t type, const std::string& config,
                         int64_t* id, bool* created) = 0;
  // Deleting an app deletes its metadata and drift check. `removed` false: there was no such app.
  // An app of another role (PostgreSQL, a member of ebs_host) is an error, and stays.
  virtual Status DeleteApp(int64_t id, bool* removed) = 0;
  virtual Status ListApps(std::vector<AppRecord>& out) = 0;
  virtual Status GetApp(int64_t id, std::optional<AppRecord>& out) = 0;
  virtual Status FindAppByName(const std::string& name, std::optional<AppRecord>& out) = 0;
  // The metadata of app `id`, replacing what it had; an error when there is no such app (or it
  // is another role's).
  virtual Status SetAppMetadata(int64_t id, const AppMetadata& metadata) = 0;
  // Empty `out` when the app has none (or there is no such app).
  virtual Status GetAppMetadata(int64_t id, std::optional<AppMetadata>& out) = 0;
  // Records the result of a diff of app `id` (its time stamped by the store), replacing the last
  // one; an error when there is no such app (or it is another role's).
  virtual Status RecordDiff(int64_t id, const DriftCheck& check) = 0;

  // Registry values; all values of one call are set in one transaction, and only when every
  // client exists. A value set already as it is is not written again.
  virtual Status SetRegistryValues(const std::vector<int64_t>& clientIds,
                                   const std::vector<RegistryValue>& values,
                                   std::string* missing) = 0;
  virtual Status RegistryValues(int64_t clientId, std::vector<RegistryValue>& out) = 0;

  // Everything at once, for a copy: read in one transaction; written in one transaction into a
  // store that holds no client and no app yet, keeping every id (and each app's saver and drift
  // check; `savedBy` not empty gives every app that saver instead). PostgreSQL: the database's
  // owner only.
  virtual Status ReadAll(StoreContent& out) = 0;
  virtual Status WriteAll(const StoreContent& content, const std::string& savedBy) = 0;
};
