// ServerStore: the SQLite store of the embedded managing-server stand-in. It holds clients (id,
// name, managed-domain id and the host names under which each is known), virtual apps (id, name,
// type, saved configuration text) and the registry values set on clients. The file is created on
// first use, readable by its owner only, and marked as a store of this program (SQLite
// application id and schema version). Ids of clients and apps are never given twice: one that
// belonged to a removed client or app stays unused. Every change is one transaction; a busy or
// locked database is retried for a while and then reported as an error, never half-applied. One
// object per thread; several objects (and processes) may use one file at once.
//
// Schema versions: 1 reused the id of the last row removed; 2 never does; 3 indexes the hosts of
// each client by the client, and adds the discovery metadata of each app (the SID and database
// user a discovery was asked for, its time, the version of the program that made it; never a
// password), which goes with its app. A read-write open migrates a version-1 or version-2 store in
// place, in one transaction, keeping every row and id; a read-only open reads it as it is (its
// tables read the same, and no app has metadata) and leaves it to the next read-write open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"

struct sqlite3;

struct ClientRecord {
  int64_t id = 0;
  std::string name;
  int64_t hiveId = 0;
  std::vector<std::string> hosts;
};

struct AppRecord {
  int64_t id = 0;
  std::string name;
  int64_t type = 0;
  std::string config;
  std::string updatedAt;
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

// How a store is opened: ReadWrite creates the file (and its missing parent directories, mode
// 0700) on first use and migrates an older schema. ReadWriteExisting is ReadWrite for a change to
// what is in the store already (a delete, a registry value): it never creates the file, and a
// missing one leaves `store` null, a store that holds nothing. ReadOnly never creates, migrates
// or changes anything: a missing file, or one that SQLite has not written yet, leaves `store`
// null, which the caller reads as an empty store; the opened store refuses every change.
enum class StoreAccess { ReadWrite, ReadWriteExisting, ReadOnly };

class ServerStore {
 public:
  static constexpr int kSchemaVersion = 3;

  ~ServerStore();
  // Opens the store at `path`. A path that cannot be a store (a directory, a symbolic link, a
  // file of another account, a file that is not SQLite, an SQLite database of another program, a
  // newer schema, no access) is an error whose message names the path and the reason. As root,
  // the store's directory must be a trusted path (trusted_dir.h). The file's content is input:
  // SQLite's defensive mode, no untrusted schema, and a bound on any one statement's work.
  static Status Open(const std::string& path, std::unique_ptr<ServerStore>& store,
                     StoreAccess access = StoreAccess::ReadWrite);

  // Clients. `id` 0 lets the store choose a new id (an error once the 32-bit range is used up);
  // an explicit id is the caller's choice. A name, host or id already taken is an error.
  Status AddClient(const std::string& name, const std::vector<std::string>& hosts, int64_t hiveId,
                   int64_t id, int64_t* newId);
  Status RemoveClient(const std::string& name, bool* removed);
  Status ListClients(std::vector<ClientRecord>& out);
  // Host names compare without regard to letter case.
  Status FindClientByHost(const std::string& host, std::optional<ClientRecord>& out);
  Status FindClientByName(const std::string& name, std::optional<ClientRecord>& out);
  Status FindClientById(int64_t id, std::optional<ClientRecord>& out);

  // Virtual apps: a save creates the app (with a new id) or updates the one of the same name.
  Status SaveApp(const std::string& name, int64_t type, const std::string& config, int64_t* id,
                 bool* created);
  // Deleting an app deletes its metadata.
  Status DeleteApp(int64_t id, bool* removed);
  Status ListApps(std::vector<AppRecord>& out);
  Status GetApp(int64_t id, std::optional<AppRecord>& out);
  Status FindAppByName(const std::string& name, std::optional<AppRecord>& out);
  // The metadata of app `id`, replacing what it had; an error when there is no such app.
  Status SetAppMetadata(int64_t id, const AppMetadata& metadata);
  // Empty `out` when the app has none (or there is no such app).
  Status GetAppMetadata(int64_t id, std::optional<AppMetadata>& out);

  // Registry values; all values of one call are set in one transaction, and only when every
  // client exists. A value set already as it is is not written again.
  Status SetRegistryValues(const std::vector<int64_t>& clientIds,
                           const std::vector<RegistryValue>& values, std::string* missing);
  Status RegistryValues(int64_t clientId, std::vector<RegistryValue>& out);

 private:
  ServerStore(sqlite3* db, bool readOnly) : db_(db), readOnly_(readOnly) {}
  template <class F>
  Status Transaction(F&& body);
  sqlite3* db_;
  bool readOnly_;
  long long ticks_ = 0;  // the work of the running statement (store.cpp's BoundStatements)
};
