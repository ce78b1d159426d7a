#include "platform/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

namespace {

constexpr int kBusyTimeoutMillis = 200;
constexpr int kTransactionAttempts = 10;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS clients (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  hive_id INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS client_hosts (
  host TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
  client_id INTEGER NOT NULL REFERENCES clients(id) ON DELETE CASCADE
);
CREATE TABLE IF NOT EXISTS apps (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  type INTEGER NOT NULL,
  config TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS registry_values (
  client_id INTEGER NOT NULL REFERENCES clients(id) ON DELETE CASCADE,
  path TEXT NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  value TEXT NOT NULL,
  mode INTEGER NOT NULL,
  flags INTEGER NOT NULL,
  options INTEGER NOT NULL,
  PRIMARY KEY (client_id, path, name)
);
)sql";

bool Busy(int rc) {
  rc &= 0xFF;
  return rc == SQLITE_BUSY || rc == SQLITE_LOCKED;
}

// A prepared statement; Step() returns the raw sqlite code.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : db_(db) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }
  Stmt& bind(int i, int64_t v) {
    if (ok()) rc_ = sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& bind(int i, const std::string& v) {
    if (ok())
      rc_ = sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  int step() { return ok() ? sqlite3_step(stmt_) : rc_; }
  int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  std::string error() const { return sqlite3_errmsg(db_); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

// Thrown inside a transaction body to roll back with a message; never leaves this file.
struct Abort {
  int rc;
  std::string message;
};

void Check(int rc, sqlite3* db, int expected = SQLITE_DONE) {
  if (rc != expected) throw Abort{rc, sqlite3_errmsg(db)};
}

void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw Abort{rc, text};
  }
}

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

}  // namespace

ServerStore::~ServerStore() { sqlite3_close_v2(db_); }

template <class F>
Status ServerStore::Transaction(F&& body) {
  for (int attempt = 0;; ++attempt) {
    try {
      Exec(db_, "BEGIN IMMEDIATE");
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

Status ServerStore::Open(const std::string& path, std::unique_ptr<ServerStore>& store,
                         StoreAccess access) {
  store.reset();
  if (access == StoreAccess::ReadOnly) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return Status::Ok();
  }
  // Create the parent directory of the default location when it is missing.
  const size_t slash = path.rfind('/');
  if (access == StoreAccess::ReadWrite && slash != std::string::npos && slash > 0) {
    std::string dir = path.substr(0, slash);
    for (size_t i = 1; i <= dir.size(); ++i)
      if (i == dir.size() || dir[i] == '/') ::mkdir(dir.substr(0, i).c_str(), 0700);
  }
  // A new store is private to its owner (SQLite gives its journal files the same mode).
  if (access == StoreAccess::ReadWrite) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db,
      SQLITE_OPEN_READWRITE | (access == StoreAccess::ReadWrite ? SQLITE_OPEN_CREATE : 0) |
          SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
      nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return Status::Error("cannot open store " + path + ": " + message);
  }
  std::unique_ptr<ServerStore> opened(new ServerStore(db));
  sqlite3_busy_timeout(db, kBusyTimeoutMillis);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  // With WAL, NORMAL never corrupts the store; a power cut may lose the last change.
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr);
  Status s = opened->Transaction([db] {
    Stmt version(db, "PRAGMA user_version");
    Check(version.step(), db, SQLITE_ROW);
    int64_t current = version.integer(0);
    if (current > kSchemaVersion)
      throw Abort{SQLITE_ERROR, "store schema version " + std::to_string(current) +
                                    " is newer than this program's " +
                                    std::to_string(kSchemaVersion)};
    if (current < kSchemaVersion) {
      Exec(db, kSchema);
      Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    }
  });
  if (!s.ok) return Status::Error("cannot open store " + path + ": " + s.message);
  store = std::move(opened);
  return Status::Ok();
}

Status ServerStore::AddClient(const std::string& name, const std::vector<std::string>& hosts,
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
    int64_t created = sqlite3_last_insert_rowid(db_);
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

Status ServerStore::RemoveClient(const std::string& name, bool* removed) {
  return Transaction([&] {
    Stmt del(db_, "DELETE FROM clients WHERE name = ?");
    del.bind(1, name);
    Check(del.step(), db_);
    if (removed) *removed = sqlite3_changes(db_) > 0;
  });
}

Status ServerStore::ListClients(std::vector<ClientRecord>& out) {
  out.clear();
  return Transaction([&] {
    Stmt q(db_, "SELECT id, name, hive_id FROM clients ORDER BY id");
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
      out.push_back(ClientRecord{q.integer(0), q.text(1), q.integer(2), {}});
    Check(rc, db_);
    for (ClientRecord& c : out) c.hosts = HostsOf(db_, c.id);
  });
}

Status ServerStore::FindClientByHost(const std::string& host, std::optional<ClientRecord>& out) {
  return Transaction([&] {
    out = ClientWhere(db_,
                      "SELECT c.id, c.name, c.hive_id FROM clients c JOIN client_hosts h "
                      "ON h.client_id = c.id WHERE h.host = ?",
                      [&](Stmt& q) { q.bind(1, host); });
  });
}

Status ServerStore::FindClientByName(const std::string& name, std::optional<ClientRecord>& out) {
  return Transaction([&] {
    out = ClientWhere(db_, "SELECT id, name, hive_id FROM clients WHERE name = ?",
                      [&](Stmt& q) { q.bind(1, name); });
  });
}

Status ServerStore::FindClientById(int64_t id, std::optional<ClientRecord>& out) {
  return Transaction([&] {
    out = ClientWhere(db_, "SELECT id, name, hive_id FROM clients WHERE id = ?",
                      [&](Stmt& q) { q.bind(1, id); });
  });
}

Status ServerStore::SaveApp(const std::string& name, int64_t type, const std::string& config,
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
                "INSERT INTO apps (name, type, config, updated_at) "
                "VALUES (?, ?, ?, strftime('%Y-%m-%dT%H:%M:%SZ','now'))");
    insert.bind(1, name).bind(2, type).bind(3, config);
    Check(insert.step(), db_);
    if (id) *id = sqlite3_last_insert_rowid(db_);
    if (created) *created = true;
  });
}

Status ServerStore::DeleteApp(int64_t id, bool* removed) {
  return Transaction([&] {
    Stmt del(db_, "DELETE FROM apps WHERE id = ?");
    del.bind(1, id);
    Check(del.step(), db_);
    if (removed) *removed = sqlite3_changes(db_) > 0;
  });
}

Status ServerStore::ListApps(std::vector<AppRecord>& out) {
  out.clear();
  return Transaction([&] {
    Stmt q(db_, "SELECT id, name, type, config, updated_at FROM apps ORDER BY id");
    int rc;
    while ((rc = q.step()) == SQLITE_ROW)
      out.push_back(AppRecord{q.integer(0), q.text(1), q.integer(2), q.text(3), q.text(4)});
    Check(rc, db_);
  });
}

Status ServerStore::GetApp(int64_t id, std::optional<AppRecord>& out) {
  return Transaction([&] {
    Stmt q(db_, "SELECT id, name, type, config, updated_at FROM apps WHERE id = ?");
    q.bind(1, id);
    int rc = q.step();
    if (rc == SQLITE_DONE) {
      out.reset();
      return;
    }
    Check(rc, db_, SQLITE_ROW);
    out = AppRecord{q.integer(0), q.text(1), q.integer(2), q.text(3), q.text(4)};
  });
}

Status ServerStore::SetRegistryValues(const std::vector<int64_t>& clientIds,
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
                 "INSERT OR REPLACE INTO registry_values "
                 "(client_id, path, name, type, value, mode, flags, options) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        put.bind(1, clientId).bind(2, v.path).bind(3, v.name).bind(4, v.type).bind(5, v.value);
        put.bind(6, v.mode).bind(7, v.flags).bind(8, v.options);
        Check(put.step(), db_);
      }
    }
  });
}

Status ServerStore::RegistryValues(int64_t clientId, std::vector<RegistryValue>& out) {
  out.clear();
  return Transaction([&] {
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
