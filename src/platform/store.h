// ServerStore: the SQLite store of the embedded managing-server stand-in. It holds clients (id,
// name, managed-domain id and the host names under which each is known), virtual apps (id, name,
// type, saved configuration text) and the registry values set on clients. The file is created on
// first use, readable by its owner only, with a versioned schema. Every change is one
// transaction; a busy or locked database is retried for a while and then reported as an error,
// never half-applied. One object per thread; several objects (and processes) may use one file
// at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

struct Status {
  bool ok = true;
  std::string message;
  static Status Ok() { return {}; }
  static Status Error(std::string m) { return {false, std::move(m)}; }
};

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

struct RegistryValue {
  int64_t clientId = 0;
  std::string path, name, type, value;
  int64_t mode = 0, flags = 0, options = 0;
};

// How a store is opened: ReadWrite creates the file (and its missing parent directories) on
// first use; ReadOnly never creates anything, and a missing file leaves `store` null, which the
// caller reads as an empty store.
enum class StoreAccess { ReadWrite, ReadOnly };

class ServerStore {
 public:
  static constexpr int kSchemaVersion = 1;

  ~ServerStore();
  // Opens the store at `path`. A file that is not a store of this program (not SQLite, or a
  // newer schema) is an error that names the path and the reason.
  static Status Open(const std::string& path, std::unique_ptr<ServerStore>& store,
                     StoreAccess access = StoreAccess::ReadWrite);

  // Clients. `id` 0 lets the store choose; a name or host already taken is an error.
  Status AddClient(const std::string& name, const std::vector<std::string>& hosts, int64_t hiveId,
                   int64_t id, int64_t* newId);
  Status RemoveClient(const std::string& name, bool* removed);
  Status ListClients(std::vector<ClientRecord>& out);
  // Host names compare without regard to letter case.
  Status FindClientByHost(const std::string& host, std::optional<ClientRecord>& out);
  Status FindClientByName(const std::string& name, std::optional<ClientRecord>& out);
  Status FindClientById(int64_t id, std::optional<ClientRecord>& out);

  // Virtual apps: a save creates the app or updates the one of the same name.
  Status SaveApp(const std::string& name, int64_t type, const std::string& config, int64_t* id,
                 bool* created);
  Status DeleteApp(int64_t id, bool* removed);
  Status ListApps(std::vector<AppRecord>& out);
  Status GetApp(int64_t id, std::optional<AppRecord>& out);

  // Registry values; all values of one call are set in one transaction, and only when every
  // client exists.
  Status SetRegistryValues(const std::vector<int64_t>& clientIds,
                           const std::vector<RegistryValue>& values, std::string* missing);
  Status RegistryValues(int64_t clientId, std::vector<RegistryValue>& out);

 private:
  explicit ServerStore(sqlite3* db) : db_(db) {}
  template <class F>
  Status Transaction(F&& body);
  sqlite3* db_;
};
