// The PostgreSQL backend of ServerStore (store.h): one inventory that many database hosts share,
// reached through libpq with a connection URI (postgresql:// or postgres://).
//
// Each host connects as a login role of its own, member of the group role ebs_host; the server
// confines it (row-level security, postgres_schema.cpp) to changing the apps its role saved, and
// this backend turns the server's silent "0 rows" into an error naming the app's saver. Members
// of ebs_admin change anything. Every operation is one transaction; a serialization failure, a
// deadlock or a concurrent insert of the same app name runs it again (a few times, with a short
// pause); a lost connection is reported once with libpq's cause and never retried: the
// transaction did not commit (or, when the COMMIT itself got no answer, its outcome is unknown,
// and the message says so). Every statement is bounded (statement_timeout, lock_timeout), and the
// connection's search_path is pg_catalog alone, every name of the store written `ebs.`.
//
// Credentials: a URI carrying a password is refused before any connection (the password belongs
// in libpq's password file or a service file); no message shows a URI's password. As root, the
// files libpq would read are chosen by the user database, not by HOME, and must be trusted paths
// (trusted_dir.h): the password file, a service file, and the SSL certificate, key, CRL and root
// certificate files.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/server/postgres_sql.h"
#include "platform/server/store.h"

class PostgresStore final : public ServerStore {
 public:
  // ServerStore::Open for a URI.
  static Status Open(const std::string& uri, std::unique_ptr<ServerStore>& store,
                     StoreAccess access);
  // ServerStore::Init for a URI.
  static Status Init(const std::string& uri, std::string* done);
  // `uri` with the password part, if any, masked: fit for a message.
  static std::string Masked(const std::string& uri);

  const char* Backend() const override { return "postgresql"; }
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
  PostgresStore(pg_sql::PgConn conn, bool readOnly) : conn_(std::move(conn)), readOnly_(readOnly) {}
  // Runs `body` in one transaction (`begin` starts it), retried on a serialization failure,
  // deadlock or a failure marked `retry`; `change` says whether a lost COMMIT leaves the outcome
  // unknown.
  template <class F>
  Status Transaction(bool change, F&& body, const char* begin = nullptr);
  Status Failed(const pg_sql::PgFailure& f, bool exhausted) const;
  // A change to app `id` that the server refused or silently skipped: the error naming its saver.
  [[noreturn]] void NotYours(int64_t id, const std::string& saver, const char* verb) const;
  std::optional<std::string> SaverOf(int64_t id);
  std::vector<std::string> HostsOf(int64_t clientId);
  void ReadClients(std::vector<ClientRecord>& out);
  std::optional<ClientRecord> ClientWhere(const char* sql, const std::string& key);
  void ReadApp(const char* where, const std::string& key, std::optional<AppRecord>& out);

  pg_sql::PgConn conn_;
  bool readOnly_;
  std::string login_;    // session_user
  bool admin_ = false;   // a member of ebs_admin
  bool host_ = false;    // a member of ebs_host
  bool owner_ = false;   // the database's owner or a superuser
};
