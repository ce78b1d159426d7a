#include "platform/server/sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

#include "base/account.h"
#include "base/file_io.h"
#include "base/trusted_dir.h"
#include "platform/server/sqlite_schema.h"
#include "platform/server/sqlite_sql.h"

using namespace sqlite_sql;

namespace {

constexpr int kBusyTimeoutMillis = 200;
constexpr int kTransactionAttempts = 10;

std::vector<std::string> HostsOf(sqlite3* db, int64_t clientId) {
  std::vector<std::string> hosts;
  Stmt q(db, "SELECT host FROM client_hosts WHERE client_id = ? ORDER BY host");
  q.bind(1, clientId);
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) hosts.push_back(q.text(0));
  Check(rc, db);
  return hosts;
}

std::optional<ClientRecord> ClientWhere(sqlite3* db, const char* sql,
                                        const std::function<void(Stmt&)>& bind) {
  Stmt q(db, sql);
  bind(q);
  int rc = q.step();
  if (rc == SQLITE_DONE) return std::nullopt;
  Check(rc, db, SQLITE_ROW);
  ClientRecord c{q.integer(0), q.text(1), q.integer(2), {}};
  c.hosts = HostsOf(db, c.id);
  return c;
}

// An id the store chose: ids are carried as 32-bit values, so one beyond that range (reached
// only after an explicit id near the top) is refused rather than given.
int64_t NewId(sqlite3* db, const char* what) {
  const int64_t id = sqlite3_last_insert_rowid(db);
  if (id > std::numeric_limits<int32_t>::max())
    throw Abort{SQLITE_FULL, std::string("no ") + what + " id within the 32-bit range is left (" +
                                 std::to_string(id) + " would be next)"};
  return id;
}

// The file's content is input: SQLite's defensive mode (no writes to its own schema tables, no
// journal tricks), no function or virtual table from the schema that is not innocuous, and a
// bound on the work of any one statement, triggers included: a progress callback every
// kStepsPerTick virtual-machine steps counts `ticks`, which the start of every statement but a
// trigger's resets, and ends the statement beyond kMaxTicks (SQLITE_INTERRUPT).
constexpr int kStepsPerTick = 1000;
constexpr long long kMaxTicks = 100000;  // 100 million steps: seconds, far beyond any query here

void BoundStatements(sqlite3* db, long long* ticks) {
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_trace_v2(
      db, SQLITE_TRACE_STMT,
      [](unsigned, void* context, void*, void* sql) {
        // A trigger's program starts with its name as an SQL comment.
        const char* text = static_cast<const char*>(sql);
        if (!(text && text[0] == '-' && text[1] == '-')) *static_cast<long long*>(context) = 0;
        return 0;
      },
      ticks);
  sqlite3_progress_handler(
      db, kStepsPerTick,
      [](void* context) { return ++*static_cast<long long*>(context) > kMaxTicks ? 1 : 0; }, ticks);
}

// The store's directory when root opens it: a trusted path (trusted_dir.h), made with its
// missing parents when `create`. Another account can then swap neither it nor the file in it.
Status TrustedStoreDirectory(const std::string& path, bool create) {
  std::string dir = Directory(path);
  if (dir[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
      return Status::Error(std::string("cannot tell the working directory: ") +
                           std::strerror(errno));
    dir = std::string(cwd) + (dir == "." ? "" : "/" + dir);
  }
  TrustedDirOptions options;
  options.what = "the store's directory";
  options.create = create;
  const Result<UniqueFd> fd = OpenTrustedDir(dir, options);
  return fd.ok() ? Status::Ok() : fd.status();
}

}  // namespace

SqliteStore::~SqliteStore() { sqlite3_close_v2(db_); }

template <class F>
Status SqliteStore::Transaction(F&& body) {
  for (int attempt = 0;; ++attempt) {
    try {
      // A writer takes the write lock up front, so that a busy store shows at BEGIN, where a
      // retry is safe; a read-only store only reads.
      Exec(db_, readOnly_ ? "BEGIN" : "BEGIN IMMEDIATE");
      try {
        body();
        Exec(db_, "COMMIT");
        return Status::Ok();
      } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
      }
    } catch (const Abort& a) {
      if (Busy(a.rc) && attempt + 1 < kTransactionAttempts) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * (attempt + 1)));
        continue;
      }
      if (Busy(a.rc))
        return Status::Error("the store is busy, try again later (" + a.message + ")");
      return Status::Error(a.message);
    } catch (const std::exception& e) {
      return Status::Error(e.what());
    }
  }
}

Status SqliteStore::Open(const std::string& path, std::unique_ptr<ServerStore>& store,
                         StoreAccess access) {
  store.reset();
  const bool readOnly = access == StoreAccess::ReadOnly;
  const bool mayCreate = access == StoreAccess::ReadWrite;
  auto refuse = [&path](const std::string& why) {
    return Status::Error("cannot open store " + path + ": " + why);
  };
  if (path.empty()) return Status::Error("cannot open store: its path is empty");

  struct stat st {};
  // A directory named as the store is said as such, wherever it is.
  if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return refuse("it is a directory, not a store file");
  if (::geteuid() == 0)
    if (Status trusted = TrustedStoreDirectory(path, mayCreate); !trusted.ok) {
      if (!mayCreate && ::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return Status::Ok();  // no store yet: an empty one
      return refuse(trusted.message);
    }
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return refuse(std::strerror(errno));
    if (!mayCreate) return Status::Ok();  // no store yet: an empty one
    // Create the missing parent directories, then the file, private to its owner (SQLite gives
    // its journal files the same mode).
    if (const size_t slash = path.rfind('/'); slash != std::string::npos)
      if (Status made = MakePrivateDirectories(path.substr(0, slash)); !made.ok)
        return refuse(made.message);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return refuse(std::strerror(errno));
    if (fd >= 0) ::close(fd);
    if (::lstat(path.c_str(), &st) != 0) return refuse(std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode)) return refuse("it is a symbolic link; name the store file itself");
  if (S_ISDIR(st.st_mode)) return refuse("it is a directory, not a store file");
  if (!S_ISREG(st.st_mode)) return refuse("it is not a regular file");
  // Its owner could change it under the process, or make it reach for more than a store holds.
  if (st.st_uid != ::geteuid())
    return refuse("it belongs to user id " + std::to_string(st.st_uid) + ", not to " +
                  std::to_string(::geteuid()) + "; use a store of your own (EBS_HOST_STORE)");

  // The file exists now: it is opened, never created (one removed meanwhile is an error). SQLite
  // falls back to reading when the file is write-protected.
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return refuse(message);
  }
  std::unique_ptr<SqliteStore> opened(new SqliteStore(db, readOnly));
  BoundStatements(db, &opened->ticks_);
  sqlite3_busy_timeout(db, kBusyTimeoutMillis);
  // Nothing is written before the file is known to be SQLite.
  rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if ((rc & 0xFF) == SQLITE_NOTADB) return refuse("it is not an SQLite database, so not a store");
  // A read-only store refuses every change. A writer's foreign keys are off while the schema is
  // checked (a migration rebuilds the clients table), and on afterwards.
  sqlite3_exec(db, readOnly ? "PRAGMA query_only=ON" : "PRAGMA foreign_keys=OFF", nullptr, nullptr,
               nullptr);
  bool empty = false;
  int64_t version = 0;
  Status s = opened->Transaction(
      [db, readOnly, &empty, &version] { empty = !ReadySchema(db, readOnly, &version); });
  opened->version_ = version;
  if (!s.ok) return refuse(s.message);
  if (!readOnly) {
    // Only a store of this program gets these settings.
    sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    // With WAL, NORMAL never corrupts the store; a power cut may lose the last change.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  }
  if (!empty) store = std::move(opened);
  return Status::Ok();
}

Status SqliteStore::AddClient(const std::string& name, const std::vector<std::string>& hosts,
                              int64_t hiveId, int64_t id, int64_t* newId) {
  if (name.empty()) return Status::Error("a client needs a name");
  return Transaction([&] {
    Stmt insert(db_, id ? "INSERT INTO clients (name, hive_id, id) VALUES (?, ?, ?)"
                        : "INSERT INTO clients (name, hive_id) VALUES (?, ?)");
    insert.bind(1, name).bind(2, hiveId);
    if (id) insert.bind(3, id);
    int rc = insert.step();
    if ((rc & 0xFF) == SQLITE_CONSTRAINT)
      throw Abort{rc, "a client named " + name + " or with that id exists already"};
    Check(rc, db_);
    const int64_t created = id ? id : NewId(db_, "client");
    for (const std::string& host : hosts) {
      Stmt h(db_, "INSERT INTO client_hosts (host, client_id) VALUES (?, ?)");
      h.bind(1, host).bind(2, created);
      rc = h.step();
      if ((rc & 0xFF) == SQLITE_CONSTRAINT)
        throw Abort{rc, "host " + host + " belongs to another client already"};
      Check(rc, db_);
    }
    if (newId) *newId = created;
  });
}

Status SqliteStore::RemoveClient(const std::string& name, bool* removed) {
  return Transaction([&] {
    Stmt del(db_, "DELETE FROM clients WHERE name = ?");
    del.bind(1, name);
    Check(del.step(), db_);
    if (removed) *removed = sqlite3_changes(db_) > 0;
  });
}

Status SqliteStore::ListClients(std::vector<ClientRecord>& out) {
  out.clear();
  // Emptied again inside the transaction: a retry after a busy store starts from nothing.
  return Transaction([&] {
    out.clear();
    Stmt q(db_, "SELECT id, name, hive_id FROM clients ORDER BY id");
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
      out.push_back(ClientRecord{q.integer(0), q.text(1), q.integer(2), {}});
    Check(rc, db_);
    for (ClientRecord& c : out) c.hosts = HostsOf(db_, c.id);
  });
}

Status SqliteStore::FindClientByHost(const std::string& host, std::optional<ClientRecord>& out) {
  return Transaction([&] {
    out = ClientWhere(db_,
                      "SELECT c.id, c.name, c.hive_id FROM clients c JOIN client_hosts h "
                      "ON h.client_id = c.id WHERE h.host = ?",
                      [&](Stmt& q) { q.bind(1, host); });
  });
}

Status SqliteStore::FindClientByName(const std::string& name, std::optional<ClientRecord>& out) {
  return Transaction([&] {
    out = ClientWhere(db_, "SELECT id, name, hive_id FROM clients WHERE name = ?",
                      [&](Stmt& q) { q.bind(1, name); });
  });
}

Status SqliteStore::FindClientById(int64_t id, std::optional<ClientRecord>& out) {
  return Transaction([&] {
    out = ClientWhere(db_, "SELECT id, name, hive_id FROM clients WHERE id = ?",
                      [&](Stmt& q) { q.bind(1, id); });
  });
}

namespace {

// An app as AppColumns selects it.
AppRecord AppOf(const Stmt& q) {
  AppRecord app{q.integer(0), q.text(1), q.integer(2), q.text(3), q.text(4), q.text(5), {}};
  if (!q.null(6))
    app.lastDiff = DriftCheck{q.text(6), q.integer(7) != 0, q.integer(8), q.integer(9),
                              q.integer(10), q.integer(11)};
  return app;
}

// The saver of an app saved by this process: the login name of its effective user (its number
// when the user database has none).
std::string Saver() {
  const std::optional<Account> account = LookupAccount(::geteuid());
  return account ? account->name : std::to_string(::geteuid());
}

}  // namespace

std::string SqliteStore::AppColumns() const {
  if (version_ < 4)  // read as it is: no saver, no drift check
    return "SELECT a.id, a.name, a.type, a.config, a.updated_at, '', NULL, 0, 0, 0, 0, 0 "
           "FROM apps a";
  return "SELECT a.id, a.name, a.type, a.config, a.updated_at, a.saved_by, d.checked_at, "
         "d.drift, d.changed, d.added, d.removed, d.changes "
         "FROM apps a LEFT JOIN app_drift d ON d.app_id = a.id";
}

Status SqliteStore::SaveApp(const std::string& name, int64_t type, const std::string& config,
                            int64_t* id, bool* created) {
  if (name.empty()) return Status::Error("a virtual app needs a name");
  return Transaction([&] {
    Stmt find(db_, "SELECT id FROM apps WHERE name = ?");
    find.bind(1, name);
    int rc = find.step();
    if (rc == SQLITE_ROW) {
      int64_t existing = find.integer(0);
      Stmt update(db_,
                  "UPDATE apps SET type = ?, config = ?, "
                  "updated_at = strftime('%Y-%m-%dT%H:%M:%SZ','now') WHERE id = ?");
      update.bind(1, type).bind(2, config).bind(3, existing);
      Check(update.step(), db_);
      if (id) *id = existing;
      if (created) *created = false;
      return;
    }
    Check(rc, db_);
    Stmt insert(db_,
                "INSERT INTO apps (name, type, config, updated_at, saved_by) "
                "VALUES (?, ?, ?, strftime('%Y-%m-%dT%H:%M:%SZ','now'), ?)");
    insert.bind(1, name).bind(2, type).bind(3, config).bind(4, Saver());
    Check(insert.step(), db_);
    const int64_t newId = NewId(db_, "virtual app");
    if (id) *id = newId;
    if (created) *created = true;
  });
}

Status SqliteStore::DeleteApp(int64_t id, bool* removed) {
  return Transaction([&] {
    // Its metadata and drift check go by the cascade, as a client's hosts and values do.
    Stmt del(db_, "DELETE FROM apps WHERE id = ?");
    del.bind(1, id);
    Check(del.step(), db_);
    if (removed) *removed = sqlite3_changes(db_) > 0;
  });
}

Status SqliteStore::ListApps(std::vector<AppRecord>& out) {
  out.clear();
  // Emptied again inside the transaction: a retry after a busy store starts from nothing.
  return Transaction([&] {
    out.clear();
    Stmt q(db_, (AppColumns() + " ORDER BY a.id").c_str());
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) out.push_back(AppOf(q));
    Check(rc, db_);
  });
}

namespace {

// The app that `q`, bound to its key, selects; none when it selects no row.
void ReadApp(sqlite3* db, Stmt& q, std::optional<AppRecord>& out) {
  out.reset();
  const int rc = q.step();
  if (rc == SQLITE_DONE) return;
  Check(rc, db, SQLITE_ROW);
  out = AppOf(q);
}

}  // namespace

Status SqliteStore::GetApp(int64_t id, std::optional<AppRecord>& out) {
  return Transaction([&] {
    Stmt q(db_, (AppColumns() + " WHERE a.id = ?").c_str());
    q.bind(1, id);
    ReadApp(db_, q, out);
  });
}

Status SqliteStore::FindAppByName(const std::string& name, std::optional<AppRecord>& out) {
  return Transaction([&] {
    Stmt q(db_, (AppColumns() + " WHERE a.name = ?").c_str());
    q.bind(1, name);
    ReadApp(db_, q, out);
  });
}

Status SqliteStore::SetAppMetadata(int64_t id, const AppMetadata& metadata) {
  return Transaction([&] {
    Stmt exists(db_, "SELECT 1 FROM apps WHERE id = ?");
    exists.bind(1, id);
    const int rc = exists.step();
    if (rc == SQLITE_DONE)
      throw Abort{SQLITE_NOTFOUND, "no virtual app with id " + std::to_string(id)};
    Check(rc, db_, SQLITE_ROW);
    Stmt put(db_,
             "INSERT OR REPLACE INTO app_metadata "
             "(app_id, sid, db_user, discovered_at, plugin_version) VALUES (?, ?, ?, ?, ?)");
    put.bind(1, id).bind(2, metadata.sid).bind(3, metadata.dbUser).bind(4, metadata.discoveredAt);
    put.bind(5, metadata.pluginVersion);
    Check(put.step(), db_);
  });
}

Status SqliteStore::GetAppMetadata(int64_t id, std::optional<AppMetadata>& out) {
  out.reset();
  return Transaction([&] {
    // A store of an older version, read as it is, has no metadata yet.
    if (version_ < 3) return;
    Stmt q(db_,
           "SELECT sid, db_user, discovered_at, plugin_version FROM app_metadata WHERE app_id = ?");
    q.bind(1, id);
    const int rc = q.step();
    if (rc == SQLITE_DONE) return;
    Check(rc, db_, SQLITE_ROW);
    out = AppMetadata{q.text(0), q.text(1), q.text(2), q.text(3)};
  });
}

Status SqliteStore::SetRegistryValues(const std::vector<int64_t>& clientIds,
                                      const std::vector<RegistryValue>& values,
                                      std::string* missing) {
  return Transaction([&] {
    for (int64_t clientId : clientIds) {
      Stmt exists(db_, "SELECT 1 FROM clients WHERE id = ?");
      exists.bind(1, clientId);
      int rc = exists.step();
      if (rc == SQLITE_DONE) {
        if (missing) *missing = std::to_string(clientId);
        throw Abort{SQLITE_NOTFOUND, "unknown client id " + std::to_string(clientId)};
      }
      Check(rc, db_, SQLITE_ROW);
      for (const RegistryValue& v : values) {
        Stmt put(db_,
                 // A value set already as it is changes nothing, so writes nothing.
                 "INSERT INTO registry_values "
                 "(client_id, path, name, type, value, mode, flags, options) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
                 "ON CONFLICT (client_id, path, name) DO UPDATE SET type = excluded.type, "
                 "value = excluded.value, mode = excluded.mode, flags = excluded.flags, "
                 "options = excluded.options WHERE (type, value, mode, flags, options) IS NOT "
                 "(excluded.type, excluded.value, excluded.mode, excluded.flags, "
                 "excluded.options)");
        put.bind(1, clientId).bind(2, v.path).bind(3, v.name).bind(4, v.type).bind(5, v.value);
        put.bind(6, v.mode).bind(7, v.flags).bind(8, v.options);
        Check(put.step(), db_);
      }
    }
  });
}

Status SqliteStore::RegistryValues(int64_t clientId, std::vector<RegistryValue>& out) {
  out.clear();
  // Emptied again inside the transaction: a retry after a busy store starts from nothing.
  return Transaction([&] {
    out.clear();
    Stmt q(db_,
           "SELECT path, name, type, value, mode, flags, options FROM registry_values "
           "WHERE client_id = ? ORDER BY path, name");
    q.bind(1, clientId);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
      RegistryValue v;
      v.clientId = clientId;
      v.path = q.text(0);
      v.name = q.text(1);
      v.type = q.text(2);
      v.value = q.text(3);
      v.mode = q.integer(4);
      v.flags = q.integer(5);
      v.options = q.integer(6);
      out.push_back(std::move(v));
    }
    Check(rc, db_);
  });
}

Status SqliteStore::RecordDiff(int64_t id, const DriftCheck& check) {
  return Transaction([&] {
    Stmt exists(db_, "SELECT 1 FROM apps WHERE id = ?");
    exists.bind(1, id);
    const int rc = exists.step();
    if (rc == SQLITE_DONE)
      throw Abort{SQLITE_NOTFOUND, "no virtual app with id " + std::to_string(id)};
    Check(rc, db_, SQLITE_ROW);
    Stmt put(db_,
             "INSERT OR REPLACE INTO app_drift "
             "(app_id, checked_at, drift, changed, added, removed, changes) "
             "VALUES (?, strftime('%Y-%m-%dT%H:%M:%SZ','now'), ?, ?, ?, ?, ?)");
    put.bind(1, id).bind(2, int64_t{check.drift}).bind(3, check.changed).bind(4, check.added);
    put.bind(5, check.removed).bind(6, check.changes);
    Check(put.step(), db_);
  });
}

Status SqliteStore::ReadAll(StoreContent& out) {
  return Transaction([&] {
    out = StoreContent{};
    Stmt clients(db_, "SELECT id, name, hive_id FROM clients ORDER BY id");
    int rc;
    while ((rc = clients.step()) == SQLITE_ROW)
      out.clients.push_back(ClientRecord{clients.integer(0), clients.text(1), clients.integer(2),
                                         {}});
    Check(rc, db_);
    for (ClientRecord& c : out.clients) c.hosts = HostsOf(db_, c.id);
    Stmt values(db_,
                "SELECT client_id, path, name, type, value, mode, flags, options "
                "FROM registry_values ORDER BY client_id, path, name");
    while ((rc = values.step()) == SQLITE_ROW)
      out.registry.push_back(RegistryValue{values.integer(0), values.text(1), values.text(2),
                                           values.text(3), values.text(4), values.integer(5),
                                           values.integer(6), values.integer(7)});
    Check(rc, db_);
    Stmt apps(db_, (AppColumns() + " ORDER BY a.id").c_str());
    while ((rc = apps.step()) == SQLITE_ROW) out.apps.push_back(AppOf(apps));
    Check(rc, db_);
    Stmt given(db_,
               "SELECT coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'clients'), 0), "
               "coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'apps'), 0)");
    Check(given.step(), db_, SQLITE_ROW);
    out.clientIdsGiven = given.integer(0);
    out.appIdsGiven = given.integer(1);
    for (const AppRecord& app : out.apps) {
      std::optional<AppMetadata>& metadata = out.metadata.emplace_back();
      if (version_ < 3) continue;
      Stmt q(db_,
             "SELECT sid, db_user, discovered_at, plugin_version FROM app_metadata "
             "WHERE app_id = ?");
      q.bind(1, app.id);
      rc = q.step();
      if (rc == SQLITE_ROW) metadata = AppMetadata{q.text(0), q.text(1), q.text(2), q.text(3)};
      else Check(rc, db_);
    }
  });
}

Status SqliteStore::WriteAll(const StoreContent& content, const std::string& savedBy) {
  if (content.metadata.size() != content.apps.size())
    return Status::Error("a copy needs one metadata entry per app");
  return Transaction([&] {
    Stmt held(db_, "SELECT (SELECT count(*) FROM clients) + (SELECT count(*) FROM apps)");
    Check(held.step(), db_, SQLITE_ROW);
    if (held.integer(0) != 0)
      throw Abort{SQLITE_CONSTRAINT, "the store to copy into holds clients or apps already"};
    for (const ClientRecord& c : content.clients) {
      Stmt put(db_, "INSERT INTO clients (id, name, hive_id) VALUES (?, ?, ?)");
      put.bind(1, c.id).bind(2, c.name).bind(3, c.hiveId);
      Check(put.step(), db_);
      for (const std::string& host : c.hosts) {
        Stmt h(db_, "INSERT INTO client_hosts (host, client_id) VALUES (?, ?)");
        h.bind(1, host).bind(2, c.id);
        Check(h.step(), db_);
      }
    }
    for (const RegistryValue& v : content.registry) {
      Stmt put(db_,
               "INSERT INTO registry_values "
               "(client_id, path, name, type, value, mode, flags, options) "
               "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
      put.bind(1, v.clientId).bind(2, v.path).bind(3, v.name).bind(4, v.type).bind(5, v.value);
      put.bind(6, v.mode).bind(7, v.flags).bind(8, v.options);
      Check(put.step(), db_);
    }
    for (size_t i = 0; i < content.apps.size(); ++i) {
      const AppRecord& app = content.apps[i];
      Stmt put(db_,
               "INSERT INTO apps (id, name, type, config, updated_at, saved_by) "
               "VALUES (?, ?, ?, ?, ?, ?)");
      put.bind(1, app.id).bind(2, app.name).bind(3, app.type).bind(4, app.config);
      put.bind(5, app.updatedAt).bind(6, savedBy.empty() ? app.savedBy : savedBy);
      Check(put.step(), db_);
      if (const std::optional<DriftCheck>& d = app.lastDiff) {
        Stmt drift(db_,
                   "INSERT INTO app_drift "
                   "(app_id, checked_at, drift, changed, added, removed, changes) "
                   "VALUES (?, ?, ?, ?, ?, ?, ?)");
        drift.bind(1, app.id).bind(2, d->checkedAt).bind(3, int64_t{d->drift});
        drift.bind(4, d->changed).bind(5, d->added).bind(6, d->removed).bind(7, d->changes);
        Check(drift.step(), db_);
      }
      if (const std::optional<AppMetadata>& m = content.metadata[i]) {
        Stmt meta(db_,
                  "INSERT INTO app_metadata (app_id, sid, db_user, discovered_at, plugin_version) "
                  "VALUES (?, ?, ?, ?, ?)");
        meta.bind(1, app.id).bind(2, m->sid).bind(3, m->dbUser).bind(4, m->discoveredAt);
        meta.bind(5, m->pluginVersion);
        Check(meta.step(), db_);
      }
    }
    // AUTOINCREMENT gives ids above the highest in sqlite_sequence, which the inserts above have
    // moved to the highest copied id; a removed row's id beyond it is carried over too.
    for (const auto& [table, given] : {std::pair<const char*, int64_t>{"clients",
                                                                         content.clientIdsGiven},
                                       {"apps", content.appIdsGiven}}) {
      Stmt seq(db_, "UPDATE sqlite_sequence SET seq = max(seq, ?) WHERE name = ?");
      seq.bind(1, given).bind(2, std::string(table));
      Check(seq.step(), db_);
      if (sqlite3_changes(db_) == 0 && given > 0) {
        Stmt add(db_, "INSERT INTO sqlite_sequence (name, seq) VALUES (?, ?)");
        add.bind(1, std::string(table)).bind(2, given);
        Check(add.step(), db_);
      }
    }
  });
}
