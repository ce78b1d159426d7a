// The SQLite backend of ServerStore (store.h): one file on this host, created on first use,
// readable by its owner only, and marked as a store of this program (SQLite application id and
// schema version). A busy or locked file is retried for a while and then reported as an error.
// The file's content is input: SQLite's defensive mode, no untrusted schema, and a bound on any
// one statement's work. An app's saver is the login name of the process's effective user.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/server/store.h"

struct sqlite3;

class SqliteStore final : public ServerStore {
 public:
  ~SqliteStore() override;
  // ServerStore::Open for a file path.
  static Status Open(const std::string& path, std::unique_ptr<ServerStore>& store,
                     StoreAccess access);

  const char* Backend() const override { return "sqlite"; }
  Status AddClient(const std::string& name, const std::vector<std::string>& hosts, int64_t hiveId,
                   int64_t id, int64_t* newId) override;
  Status RemoveClient(const std::string& name, bool* removed) override;
  Status ListClients(std::vector<ClientRecord>& out) override;
  Status FindClientByHost(const std::string& host, std::optional<ClientRecord>& out) override;
  Status FindClientByName(const std::string& name, std::optional<ClientRecord>& out) override;
  Status FindClientById(int64_t id, std::optional<ClientRecord>& out) override;
  Status SaveApp(const std::string& name, int64_t type, const std::string& config, int64_t* id,
                 bool* created) override;
  Status DeleteApp(int64_t id, bool* removed) override;
  Status ListApps(std::vector<AppRecord>& out) override;
  Status GetApp(int64_t id, std::optional<AppRecord>& out) override;
  Status FindAppByName(const std::string& name, std::optional<AppRecord>& out) override;
  Status SetAppMetadata(int64_t id, const AppMetadata& metadata) override;
  Status GetAppMetadata(int64_t id, std::optional<AppMetadata>& out) override;
  Status RecordDiff(int64_t id, const DriftCheck& check) override;
  Status SetRegistryValues(const std::vector<int64_t>& clientIds,
                           const std::vector<RegistryValue>& values,
                           std::string* missing) override;
  Status RegistryValues(int64_t clientId, std::vector<RegistryValue>& out) override;
  Status ReadAll(StoreContent& out) override;
  Status WriteAll(const StoreContent& content, const std::string& savedBy) override;

 private:
  SqliteStore(sqlite3* db, bool readOnly) : db_(db), readOnly_(readOnly) {}
  template <class F>
  Status Transaction(F&& body);
  // The columns of an app, as the schema version read has them.
  std::string AppColumns() const;
  sqlite3* db_;
  bool readOnly_;
  int64_t version_ = ServerStore::kSchemaVersion;  // of the schema as read (ReadOnly: may be older)
  long long ticks_ = 0;  // the work of the running statement (BoundStatements)
};
