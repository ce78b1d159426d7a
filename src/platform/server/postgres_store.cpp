#include "platform/server/postgres_store.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "base/account.h"
#include "base/file_io.h"
#include "base/trusted_dir.h"
#include "platform/server/postgres_schema.h"
#include "platform/server/store_location.h"

using namespace pg_sql;

namespace {

constexpr int kTransactionAttempts = 5;
// Every statement of a connection is bounded; a connection attempt too, unless the URI says.
constexpr const char* kSessionSettings =
    "SET search_path = pg_catalog; SET statement_timeout = '30s'; SET lock_timeout = '10s'; "
    "SET idle_in_transaction_session_timeout = '60s'; SET client_encoding = 'UTF8'";
constexpr const char* kDefaultConnectTimeout = "10";
// Reads of several tables that must agree with each other.
constexpr const char* kConsistentRead = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
// The store's time stamps: UTC text, as the SQLite store writes them.
#define EBS_PG_NOW                                                             \
  "pg_catalog.to_char(pg_catalog.statement_timestamp() AT TIME ZONE 'UTC', " \
  "'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')"
constexpr const char* kAppColumns =
    "SELECT a.id, a.name, a.type, a.config, a.updated_at, a.saved_by, d.checked_at, d.drift, "
    "d.changed, d.added, d.removed, d.changes FROM ebs.apps a "
    "LEFT JOIN ebs.app_drift d ON d.app_id = a.id ";

std::string Str(int64_t n) { return std::to_string(n); }

AppRecord AppOf(const PGresult* r, int row) {
  AppRecord app{Integer(r, row, 0), Text(r, row, 1), Integer(r, row, 2), Text(r, row, 3),
                Text(r, row, 4),    Text(r, row, 5), {}};
  if (!IsNull(r, row, 6))
    app.lastDiff = DriftCheck{Text(r, row, 6),    Text(r, row, 7) == "t", Integer(r, row, 8),
                              Integer(r, row, 9), Integer(r, row, 10),   Integer(r, row, 11)};
  return app;
}

AppMetadata MetadataOf(const PGresult* r, int row, int col) {
  return AppMetadata{Text(r, row, col), Text(r, row, col + 1), Text(r, row, col + 2),
                     Text(r, row, col + 3)};
}

// An id the store chose: ids are carried as 32-bit values.
void CheckIdRange(int64_t id, const char* what) {
  if (id > std::numeric_limits<int32_t>::max())
    throw PgFailure{"", std::string("no ") + what + " id within the 32-bit range is left (" +
                            Str(id) + " would be next)",
                    false, false};
}

// After an explicit id: the identity sequence `seq` moves past it, so that it is never handed out
// later. The caller holds a lock on the table that keeps other inserts out meanwhile.
void MoveSequencePast(PGconn* conn, const char* seq, int64_t id) {
  const std::string sql = std::string("SELECT pg_catalog.setval('") + seq +
                          "'::pg_catalog.regclass, $1::bigint) FROM " + seq +
                          " WHERE CASE WHEN is_called THEN last_value < $1::bigint "
                          "ELSE last_value <= $1::bigint END";
  Exec(conn, sql.c_str(), {Str(id)});
}

// The options of a connection string, as libpq reads them; empty values left out.
std::map<std::string, std::string> OptionsOf(const std::string& uri, std::string* error) {
  std::map<std::string, std::string> options;
  char* err = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(uri.c_str(), &err);
  if (!parsed) {
    *error = OneLine(err ? err : "it is not a connection URI");
    PQfreemem(err);
    return options;
  }
  for (PQconninfoOption* o = parsed; o->keyword; ++o)
    if (o->val && *o->val) options[o->keyword] = o->val;
  PQconninfoFree(parsed);
  return options;
}

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// A file that is not there (yet): its nearest existing directory must be a trusted path, so that
// only root can make it.
Status NoOneElseCanCreate(const std::string& path) {
  if (path.empty() || path[0] != '/') return Status::Error("it is not an absolute path");
  std::string dir = path;
  do {
    const size_t slash = dir.rfind('/');
    dir = slash == 0 ? "/" : dir.substr(0, slash);
  } while (dir != "/" && ::access(dir.c_str(), F_OK) != 0);
  TrustedDirOptions options;
  options.what = "its directory";
  Result<UniqueFd> fd = OpenTrustedDir(dir, options);
  return fd.ok() ? Status::Ok() : fd.status();
}

// As root, the files libpq would read for this connection: each must be a trusted path when it is
// there (a missing one is fine: libpq then does without it), and libpq gets the resolved path.
// Their defaults come from root's home in the user database, since HOME is the caller's.
Status TrustedConnectionFiles(const std::map<std::string, std::string>& options,
                              std::vector<std::pair<std::string, std::string>>& params) {
  const std::optional<Account> root = LookupAccount(::geteuid());
  const std::string home = root ? root->home : "/root";
  struct FileOption {
    const char* keyword;
    const char* env;
    std::string fallback;
  };
  const FileOption files[] = {
      {"passfile", "PGPASSFILE", home + "/.pgpass"},
      {"sslcert", "PGSSLCERT", home + "/.postgresql/postgresql.crt"},
      {"sslkey", "PGSSLKEY", home + "/.postgresql/postgresql.key"},
      {"sslrootcert", "PGSSLROOTCERT", home + "/.postgresql/root.crt"},
      {"sslcrl", "PGSSLCRL", home + "/.postgresql/root.crl"},
  };
  for (const FileOption& f : files) {
    std::string path = f.fallback;
    if (auto it = options.find(f.keyword); it != options.end()) path = it->second;
    else if (const char* env = Env(f.env)) path = env;
    if (path == "system") {  // sslrootcert: the system's certificate store
      params.emplace_back(f.keyword, path);
      continue;
    }
    if (::access(path.c_str(), F_OK) != 0) {
      // Missing: fine when no other account can put it there before libpq looks.
      if (Status s = NoOneElseCanCreate(path); !s.ok)
        return Status::Error(std::string("refusing libpq's ") + f.keyword + " file " + path +
                             ": " + s.message);
      params.emplace_back(f.keyword, path);
      continue;
    }
    Result<TrustedFile> file = OpenTrustedFile(path);
    if (!file.ok())
      return Status::Error(std::string("refusing libpq's ") + f.keyword + " file: " +
                           file.status().message);
    params.emplace_back(f.keyword, file.value().resolved);
  }
  // A service file has no connection option: libpq reads PGSERVICEFILE or ~/.pg_service.conf
  // (by HOME) whenever a service is named.
  if (options.count("service") || Env("PGSERVICE")) {
    const char* env = Env("PGSERVICEFILE");
    const char* caller = Env("HOME");
    const std::string path = env ? env : std::string(caller ? caller : home.c_str()) +
                                             "/.pg_service.conf";
    if (::access(path.c_str(), F_OK) == 0) {
      if (Result<TrustedFile> file = OpenTrustedFile(path); !file.ok())
        return Status::Error("refusing libpq's service file: " + file.status().message);
    } else if (Status s = NoOneElseCanCreate(path); !s.ok) {
      // Missing: another account must not be able to put one there before libpq reads it.
      return Status::Error("refusing libpq's service file " + path + ": " + s.message);
    }
  }
  return Status::Ok();
}

// The account the PostgreSQL server runs as on Debian, which a server reached through a Unix
// socket must run as when root connects.
constexpr const char* kServerAccount = "postgres";

// A connection to `uri`, with the store's session settings; refused before connecting when the
// URI carries a password, or (as root) names a file another account could change.
Status Connect(const std::string& uri, PgConn& conn) {
  std::string error;
  const std::map<std::string, std::string> options = OptionsOf(uri, &error);
  if (!error.empty()) return Status::Error(error);
  if (CarriesPassword(uri))
    return Status::Error(
        "the URI carries a password, which would show in process lists, logs and shell "
        "histories; remove it and put the password in libpq's password file (~/.pgpass or "
        "PGPASSFILE, mode 0600, a line host:port:database:user:password) or use a service file");
  std::vector<std::pair<std::string, std::string>> params{{"dbname", uri}};
  if (!options.count("connect_timeout")) params.emplace_back("connect_timeout", kDefaultConnectTimeout);
  if (!options.count("fallback_application_name"))
    params.emplace_back("fallback_application_name", "ebs-host");
  if (::geteuid() == 0) {
    if (Status trusted = TrustedConnectionFiles(options, params); !trusted.ok) return trusted;
    // Whoever can make a socket in the socket directory could pose as the server and ask root
    // for the password in clear: over a Unix socket, libpq first checks that the server runs as
    // the account PostgreSQL runs as (requirepeer), unless the URI or root names another.
    if (!options.count("requirepeer") && !Env("PGREQUIREPEER"))
      params.emplace_back("requirepeer", kServerAccount);
  }
  std::vector<const char*> keys, values;
  for (const auto& [k, v] : params) keys.push_back(k.c_str()), values.push_back(v.c_str());
  keys.push_back(nullptr);
  values.push_back(nullptr);
  conn.reset(PQconnectdbParams(keys.data(), values.data(), 1));
  if (!conn) return Status::Error("out of memory");
  if (PQstatus(conn.get()) != CONNECTION_OK)
    return Status::Error("cannot connect: " + OneLine(PQerrorMessage(conn.get())));
  // The server's notices (which the database's content can make) never reach the terminal.
  PQsetNoticeProcessor(conn.get(), [](void*, const char*) {}, nullptr);
  PgResult set(PQexec(conn.get(), kSessionSettings));
  if (PQresultStatus(set.get()) != PGRES_COMMAND_OK)
    return Status::Error("cannot set up the session: " +
                         OneLine(PQresultErrorMessage(set.get())));
  return Status::Ok();
}

}  // namespace

Status PostgresStore::Open(const std::string& uri, std::unique_ptr<ServerStore>& store,
                           StoreAccess access) {
  store.reset();
  auto refuse = [&uri](const std::string& why) {
    return Status::Error("cannot open store " + MaskedLocation(uri) + ": " + why);
  };
  PgConn conn;
  if (Status s = Connect(uri, conn); !s.ok) return refuse(s.message);
  if (Status s = CheckPostgresSchema(conn.get()); !s.ok) return refuse(s.message);
  const bool readOnly = access == StoreAccess::ReadOnly;
  std::unique_ptr<PostgresStore> opened(new PostgresStore(std::move(conn), readOnly));
  try {
    if (readOnly) Exec(opened->conn_.get(), "SET default_transaction_read_only = on");
    PgResult who = Exec(
        opened->conn_.get(),
        "SELECT session_user, "
        "pg_catalog.pg_has_role(session_user, 'ebs_admin', 'MEMBER'), "
        "pg_catalog.pg_has_role(session_user, 'ebs_host', 'MEMBER'), "
        "r.rolsuper OR d.datdba = r.oid "
        "FROM pg_catalog.pg_roles r, pg_catalog.pg_database d "
        "WHERE r.rolname = session_user AND d.datname = pg_catalog.current_database()");
    opened->login_ = Text(who.get(), 0, 0);
    opened->admin_ = Text(who.get(), 0, 1) == "t";
    opened->host_ = Text(who.get(), 0, 2) == "t";
    opened->owner_ = Text(who.get(), 0, 3) == "t";
  } catch (const PgFailure& f) {
    return refuse(f.message);
  }
  store = std::move(opened);
  return Status::Ok();
}

Status PostgresStore::Init(const std::string& uri, std::string* done) {
  PgConn conn;
  Status s = Connect(uri, conn);
  if (s.ok) s = InitPostgresSchema(conn.get(), done);
  if (!s.ok) return Status::Error("cannot initialise store " + MaskedLocation(uri) + ": " + s.message);
  if (done) *done = "store " + MaskedLocation(uri) + ": " + *done;
  return Status::Ok();
}

Status PostgresStore::Failed(const PgFailure& f, bool exhausted) const {
  if (f.lost) return Status::Error(f.message);
  if (exhausted)
    return Status::Error("the store is busy with concurrent changes, try again later (" +
                         f.message + ")");
  if (f.sqlstate == "23514")  // the bounds of a row (postgres_schema.cpp)
    return Status::Error("the store takes no row this large (" + f.message + ")");
  if (f.sqlstate == "42501") {
    std::string may;
    if (owner_ || admin_) may = "";
    else if (host_)
      may = "; role " + login_ +
            " (a member of ebs_host) may read the store, save and delete the apps it saved and "
            "set registry values; clients and other roles' apps are changed by members of "
            "ebs_admin";
    else
      may = "; role " + login_ +
            " is a member of neither ebs_host nor ebs_admin: the DBA grants it one of them";
    return Status::Error("the store refused: " + f.message + may);
  }
  return Status::Error(f.message);
}

template <class F>
Status PostgresStore::Transaction(bool change, F&& body, const char* begin) {
  PGconn* conn = conn_.get();
  for (int attempt = 0;; ++attempt) {
    try {
      if (PQstatus(conn) == CONNECTION_BAD)
        throw PgFailure{"", "lost the connection to the store: " + OneLine(PQerrorMessage(conn)),
                        true, false};
      Exec(conn, begin ? begin : readOnly_ ? "BEGIN READ ONLY" : "BEGIN");
      try {
        body();
      } catch (...) {
        if (PQstatus(conn) != CONNECTION_BAD) PQclear(PQexec(conn, "ROLLBACK"));
        throw;
      }
      PgResult commit(PQexec(conn, "COMMIT"));
      if (PQresultStatus(commit.get()) == PGRES_COMMAND_OK) return Status::Ok();
      if (!commit || PQstatus(conn) == CONNECTION_BAD)
        throw PgFailure{"",
                        std::string("lost the connection to the store") +
                            (change ? " while committing; the change may or may not have been "
                                      "made: "
                                    : ": ") +
                            OneLine(PQerrorMessage(conn)),
                        true, false};
      const char* state = PQresultErrorField(commit.get(), PG_DIAG_SQLSTATE);
      PgFailure failure{state ? state : "", OneLine(PQresultErrorMessage(commit.get())), false,
                        false};
      failure.retry = failure.sqlstate == "40001" || failure.sqlstate == "40P01";
      throw failure;
    } catch (PgFailure& f) {
      if (f.lost && f.message.rfind("lost the connection", 0) != 0)
        f.message = "lost the connection to the store: " + f.message;
      if (f.retry && attempt + 1 < kTransactionAttempts) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * (attempt + 1)));
        continue;
      }
      return Failed(f, f.retry);
    } catch (const std::exception& e) {  // rolled back above
      return Status::Error(e.what());
    }
  }
}

void PostgresStore::NotYours(int64_t id, const std::string& saver, const char* verb) const {
  throw PgFailure{"", "virtual app " + Str(id) + " was saved by " + saver + "; only " + saver +
                          " or a member of ebs_admin may " + verb + " it",
                  false, false};
}

std::optional<std::string> PostgresStore::SaverOf(int64_t id) {
  PgResult r = Exec(conn_.get(), "SELECT saved_by FROM ebs.apps WHERE id = $1::bigint", {Str(id)});
  if (PQntuples(r.get()) == 0) return std::nullopt;
  return Text(r.get(), 0, 0);
}

std::vector<std::string> PostgresStore::HostsOf(int64_t clientId) {
  PgResult r = Exec(conn_.get(),
                  "SELECT host FROM ebs.client_hosts WHERE client_id = $1::bigint "
                  "ORDER BY lower(host) COLLATE \"C\", host COLLATE \"C\"",
                  {Str(clientId)});
  std::vector<std::string> hosts;
  for (int i = 0; i < PQntuples(r.get()); ++i) hosts.push_back(Text(r.get(), i, 0));
  return hosts;
}

std::optional<ClientRecord> PostgresStore::ClientWhere(const char* sql, const std::string& key) {
  PgResult r = Exec(conn_.get(), sql, {key});
  if (PQntuples(r.get()) == 0) return std::nullopt;
  ClientRecord c{Integer(r.get(), 0, 0), Text(r.get(), 0, 1), Integer(r.get(), 0, 2), {}};
  c.hosts = HostsOf(c.id);
  return c;
}

Status PostgresStore::AddClient(const std::string& name, const std::vector<std::string>& hosts,
                                int64_t hiveId, int64_t id, int64_t* newId) {
  if (name.empty()) return Status::Error("a client needs a name");
  return Transaction(true, [&] {
    PGconn* conn = conn_.get();
    int64_t created = id;
    try {
      if (id) {
        Exec(conn, "LOCK TABLE ebs.clients IN SHARE ROW EXCLUSIVE MODE");
        Exec(conn,
             "INSERT INTO ebs.clients (id, name, hive_id) OVERRIDING SYSTEM VALUE "
             "VALUES ($1::bigint, $2, $3::bigint)",
             {Str(id), name, Str(hiveId)});
        MoveSequencePast(conn, "ebs.clients_id_seq", id);
      } else {
        PgResult r = Exec(conn,
                        "INSERT INTO ebs.clients (name, hive_id) VALUES ($1, $2::bigint) "
                        "RETURNING id",
                        {name, Str(hiveId)});
        created = Integer(r.get(), 0, 0);
        CheckIdRange(created, "client");
      }
    } catch (PgFailure& f) {
      if (f.sqlstate == "23505") f.message = "a client named " + name + " or with that id exists already";
      throw;
    }
    for (const std::string& host : hosts) {
      try {
        Exec(conn, "INSERT INTO ebs.client_hosts (host, client_id) VALUES ($1, $2::bigint)",
             {host, Str(created)});
      } catch (PgFailure& f) {
        if (f.sqlstate == "23505") f.message = "host " + host + " belongs to another client already";
        throw;
      }
    }
    if (newId) *newId = created;
  });
}

Status PostgresStore::RemoveClient(const std::string& name, bool* removed) {
  return Transaction(true, [&] {
    PgResult r = Exec(conn_.get(), "DELETE FROM ebs.clients WHERE name = $1", {name});
    if (removed) *removed = Affected(r.get()) > 0;
  });
}

void PostgresStore::ReadClients(std::vector<ClientRecord>& out) {
  out.clear();
  PgResult r = Exec(conn_.get(), "SELECT id, name, hive_id FROM ebs.clients ORDER BY id");
  std::map<int64_t, size_t> at;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    out.push_back(
        ClientRecord{Integer(r.get(), i, 0), Text(r.get(), i, 1), Integer(r.get(), i, 2), {}});
    at[out.back().id] = out.size() - 1;
  }
  PgResult h = Exec(conn_.get(),
                  "SELECT client_id, host FROM ebs.client_hosts "
                  "ORDER BY client_id, lower(host) COLLATE \"C\", host COLLATE \"C\"");
  for (int i = 0; i < PQntuples(h.get()); ++i)
    if (auto it = at.find(Integer(h.get(), i, 0)); it != at.end())
      out[it->second].hosts.push_back(Text(h.get(), i, 1));
}

Status PostgresStore::ListClients(std::vector<ClientRecord>& out) {
  out.clear();
  return Transaction(false, [&] { ReadClients(out); }, kConsistentRead);
}

Status PostgresStore::FindClientByHost(const std::string& host, std::optional<ClientRecord>& out) {
  return Transaction(false, [&] {
    out = ClientWhere(
        "SELECT c.id, c.name, c.hive_id FROM ebs.clients c JOIN ebs.client_hosts h "
        "ON h.client_id = c.id WHERE lower(h.host) = lower($1)",
        host);
  });
}

Status PostgresStore::FindClientByName(const std::string& name, std::optional<ClientRecord>& out) {
  return Transaction(false, [&] {
    out = ClientWhere("SELECT id, name, hive_id FROM ebs.clients WHERE name = $1", name);
  });
}

Status PostgresStore::FindClientById(int64_t id, std::optional<ClientRecord>& out) {
  return Transaction(false, [&] {
    out = ClientWhere("SELECT id, name, hive_id FROM ebs.clients WHERE id = $1::bigint", Str(id));
  });
}

Status PostgresStore::SaveApp(const std::string& name, int64_t type, const std::string& config,
                              int64_t* id, bool* created) {
  if (name.empty()) return Status::Error("a virtual app needs a name");
  return Transaction(true, [&] {
    PGconn* conn = conn_.get();
    PgResult found = Exec(conn, "SELECT id FROM ebs.apps WHERE name = $1", {name});
    if (PQntuples(found.get()) > 0) {
      const int64_t existing = Integer(found.get(), 0, 0);
      // A row another role saved is invisible to the UPDATE (row-level security): 0 rows.
      PgResult update = Exec(conn,
                           "UPDATE ebs.apps SET type = $1::bigint, config = $2, "
                           "updated_at = " EBS_PG_NOW " WHERE id = $3::bigint",
                           {Str(type), config, Str(existing)});
      if (Affected(update.get()) == 0) {
        if (std::optional<std::string> saver = SaverOf(existing)) NotYours(existing, *saver, "change");
        throw PgFailure{"", "virtual app " + name + " was removed while it was saved", false, true};
      }
      if (id) *id = existing;
      if (created) *created = false;
      return;
    }
    try {
      PgResult r = Exec(conn,
                      "INSERT INTO ebs.apps (name, type, config, updated_at) "
                      "VALUES ($1, $2::bigint, $3, " EBS_PG_NOW ") RETURNING id",
                      {name, Str(type), config});
      const int64_t newId = Integer(r.get(), 0, 0);
      CheckIdRange(newId, "virtual app");
      if (id) *id = newId;
      if (created) *created = true;
    } catch (PgFailure& f) {
      // Another process saved an app of this name meanwhile: the next attempt updates it.
      if (f.sqlstate == "23505") f.retry = true;
      throw;
    }
  });
}

Status PostgresStore::DeleteApp(int64_t id, bool* removed) {
  return Transaction(true, [&] {
    // Its metadata and drift check go by the cascade.
    PgResult r = Exec(conn_.get(), "DELETE FROM ebs.apps WHERE id = $1::bigint", {Str(id)});
    const bool gone = Affected(r.get()) > 0;
    if (!gone)
      if (std::optional<std::string> saver = SaverOf(id)) NotYours(id, *saver, "delete");
    if (removed) *removed = gone;
  });
}

Status PostgresStore::ListApps(std::vector<AppRecord>& out) {
  out.clear();
  return Transaction(false, [&] {
    out.clear();
    PgResult r = Exec(conn_.get(), (std::string(kAppColumns) + "ORDER BY a.id").c_str());
    for (int i = 0; i < PQntuples(r.get()); ++i) out.push_back(AppOf(r.get(), i));
  });
}

void PostgresStore::ReadApp(const char* where, const std::string& key,
                            std::optional<AppRecord>& out) {
  out.reset();
  PgResult r = Exec(conn_.get(), (std::string(kAppColumns) + where).c_str(), {key});
  if (PQntuples(r.get()) > 0) out = AppOf(r.get(), 0);
}

Status PostgresStore::GetApp(int64_t id, std::optional<AppRecord>& out) {
  return Transaction(false, [&] { ReadApp("WHERE a.id = $1::bigint", Str(id), out); });
}

Status PostgresStore::FindAppByName(const std::string& name, std::optional<AppRecord>& out) {
  return Transaction(false, [&] { ReadApp("WHERE a.name = $1", name, out); });
}

Status PostgresStore::SetAppMetadata(int64_t id, const AppMetadata& metadata) {
  return Transaction(true, [&] {
    const std::optional<std::string> saver = SaverOf(id);
    if (!saver) throw PgFailure{"", "no virtual app with id " + Str(id), false, false};
    try {
      Exec(conn_.get(),
           "INSERT INTO ebs.app_metadata AS m (app_id, sid, db_user, discovered_at, "
           "plugin_version) VALUES ($1::bigint, $2, $3, $4, $5) ON CONFLICT (app_id) DO UPDATE "
           "SET sid = excluded.sid, db_user = excluded.db_user, "
           "discovered_at = excluded.discovered_at, plugin_version = excluded.plugin_version",
           {Str(id), metadata.sid, metadata.dbUser, metadata.discoveredAt, metadata.pluginVersion});
    } catch (const PgFailure& f) {
      if (f.sqlstate == "42501" && *saver != login_) NotYours(id, *saver, "change");
      throw;
    }
  });
}

Status PostgresStore::GetAppMetadata(int64_t id, std::optional<AppMetadata>& out) {
  out.reset();
  return Transaction(false, [&] {
    PgResult r = Exec(conn_.get(),
                    "SELECT sid, db_user, discovered_at, plugin_version FROM ebs.app_metadata "
                    "WHERE app_id = $1::bigint",
                    {Str(id)});
    out.reset();
    if (PQntuples(r.get()) > 0) out = MetadataOf(r.get(), 0, 0);
  });
}

Status PostgresStore::RecordDiff(int64_t id, const DriftCheck& check) {
  return Transaction(true, [&] {
    const std::optional<std::string> saver = SaverOf(id);
    if (!saver) throw PgFailure{"", "no virtual app with id " + Str(id), false, false};
    try {
      Exec(conn_.get(),
           "INSERT INTO ebs.app_drift AS d (app_id, checked_at, drift, changed, added, removed, "
           "changes) VALUES ($1::bigint, " EBS_PG_NOW ", $2::boolean, $3::bigint, $4::bigint, "
           "$5::bigint, $6::bigint) ON CONFLICT (app_id) DO UPDATE SET "
           "checked_at = excluded.checked_at, drift = excluded.drift, changed = excluded.changed, "
           "added = excluded.added, removed = excluded.removed, changes = excluded.changes",
           {Str(id), check.drift ? "true" : "false", Str(check.changed), Str(check.added),
            Str(check.removed), Str(check.changes)});
    } catch (const PgFailure& f) {
      if (f.sqlstate == "42501" && *saver != login_) NotYours(id, *saver, "change");
      throw;
    }
  });
}

Status PostgresStore::SetRegistryValues(const std::vector<int64_t>& clientIds,
                                        const std::vector<RegistryValue>& values,
                                        std::string* missing) {
  return Transaction(true, [&] {
    for (int64_t clientId : clientIds) {
      PgResult exists = Exec(conn_.get(), "SELECT 1 FROM ebs.clients WHERE id = $1::bigint",
                           {Str(clientId)});
      if (PQntuples(exists.get()) == 0) {
        if (missing) *missing = Str(clientId);
        throw PgFailure{"", "unknown client id " + Str(clientId), false, false};
      }
      for (const RegistryValue& v : values)
        // A value set already as it is changes nothing, so writes nothing.
        Exec(conn_.get(),
             "INSERT INTO ebs.registry_values AS t "
             "(client_id, path, name, type, value, mode, flags, options) "
             "VALUES ($1::bigint, $2, $3, $4, $5, $6::bigint, $7::bigint, $8::bigint) "
             "ON CONFLICT (client_id, path, name) DO UPDATE SET type = excluded.type, "
             "value = excluded.value, mode = excluded.mode, flags = excluded.flags, "
             "options = excluded.options WHERE (t.type, t.value, t.mode, t.flags, t.options) "
             "IS DISTINCT FROM (excluded.type, excluded.value, excluded.mode, excluded.flags, "
             "excluded.options)",
             {Str(clientId), v.path, v.name, v.type, v.value, Str(v.mode), Str(v.flags),
              Str(v.options)});
    }
  });
}

namespace {

RegistryValue ValueOf(const PGresult* r, int row, int64_t clientId, int col) {
  return RegistryValue{clientId,
                       Text(r, row, col),
                       Text(r, row, col + 1),
                       Text(r, row, col + 2),
                       Text(r, row, col + 3),
                       Integer(r, row, col + 4),
                       Integer(r, row, col + 5),
                       Integer(r, row, col + 6)};
}

}  // namespace

Status PostgresStore::RegistryValues(int64_t clientId, std::vector<RegistryValue>& out) {
  out.clear();
  return Transaction(false, [&] {
    out.clear();
    PgResult r = Exec(conn_.get(),
                    "SELECT path, name, type, value, mode, flags, options "
                    "FROM ebs.registry_values WHERE client_id = $1::bigint "
                    "ORDER BY path COLLATE \"C\", name COLLATE \"C\"",
                    {Str(clientId)});
    for (int i = 0; i < PQntuples(r.get()); ++i) out.push_back(ValueOf(r.get(), i, clientId, 0));
  });
}

Status PostgresStore::ReadAll(StoreContent& out) {
  return Transaction(false, [&] {
    out = StoreContent{};
    ReadClients(out.clients);
    PgResult values = Exec(conn_.get(),
                         "SELECT client_id, path, name, type, value, mode, flags, options "
                         "FROM ebs.registry_values "
                         "ORDER BY client_id, path COLLATE \"C\", name COLLATE \"C\"");
    for (int i = 0; i < PQntuples(values.get()); ++i)
      out.registry.push_back(ValueOf(values.get(), i, Integer(values.get(), i, 0), 1));
    PgResult apps = Exec(conn_.get(), (std::string(kAppColumns) + "ORDER BY a.id").c_str());
    for (int i = 0; i < PQntuples(apps.get()); ++i) out.apps.push_back(AppOf(apps.get(), i));
    PgResult given = Exec(conn_.get(),
                          "SELECT (SELECT CASE WHEN is_called THEN last_value ELSE 0 END "
                          "FROM ebs.clients_id_seq), (SELECT CASE WHEN is_called THEN "
                          "last_value ELSE 0 END FROM ebs.apps_id_seq)");
    out.clientIdsGiven = Integer(given.get(), 0, 0);
    out.appIdsGiven = Integer(given.get(), 0, 1);
    PgResult meta = Exec(conn_.get(),
                       "SELECT app_id, sid, db_user, discovered_at, plugin_version "
                       "FROM ebs.app_metadata");
    std::map<int64_t, AppMetadata> byApp;
    for (int i = 0; i < PQntuples(meta.get()); ++i)
      byApp[Integer(meta.get(), i, 0)] = MetadataOf(meta.get(), i, 1);
    for (const AppRecord& app : out.apps) {
      std::optional<AppMetadata>& m = out.metadata.emplace_back();
      if (auto it = byApp.find(app.id); it != byApp.end()) m = it->second;
    }
  }, kConsistentRead);
}

Status PostgresStore::WriteAll(const StoreContent& content, const std::string& savedBy) {
  if (content.metadata.size() != content.apps.size())
    return Status::Error("a copy needs one metadata entry per app");
  if (!owner_)
    return Status::Error("a copy into the store is made by the database's owner, not by " +
                         login_);
  return Transaction(true, [&] {
    PGconn* conn = conn_.get();
    Exec(conn, "LOCK TABLE ebs.clients, ebs.apps IN SHARE ROW EXCLUSIVE MODE");
    PgResult held = Exec(conn,
                       "SELECT (SELECT count(*) FROM ebs.clients) + "
                       "(SELECT count(*) FROM ebs.apps)");
    if (Integer(held.get(), 0, 0) != 0)
      throw PgFailure{"", "the store to copy into holds clients or apps already", false, false};
    // The ids given after the copy: above every copied one and every one the source ever gave.
    int64_t topClient = content.clientIdsGiven, topApp = content.appIdsGiven;
    for (const ClientRecord& c : content.clients) {
      Exec(conn,
           "INSERT INTO ebs.clients (id, name, hive_id) OVERRIDING SYSTEM VALUE "
           "VALUES ($1::bigint, $2, $3::bigint)",
           {Str(c.id), c.name, Str(c.hiveId)});
      for (const std::string& host : c.hosts)
        Exec(conn, "INSERT INTO ebs.client_hosts (host, client_id) VALUES ($1, $2::bigint)",
             {host, Str(c.id)});
      topClient = std::max(topClient, c.id);
    }
    for (const RegistryValue& v : content.registry)
      Exec(conn,
           "INSERT INTO ebs.registry_values "
           "(client_id, path, name, type, value, mode, flags, options) "
           "VALUES ($1::bigint, $2, $3, $4, $5, $6::bigint, $7::bigint, $8::bigint)",
           {Str(v.clientId), v.path, v.name, v.type, v.value, Str(v.mode), Str(v.flags),
            Str(v.options)});
    for (size_t i = 0; i < content.apps.size(); ++i) {
      const AppRecord& app = content.apps[i];
      Exec(conn,
           "INSERT INTO ebs.apps (id, name, type, config, updated_at, saved_by) "
           "OVERRIDING SYSTEM VALUE VALUES ($1::bigint, $2, $3::bigint, $4, $5, $6)",
           {Str(app.id), app.name, Str(app.type), app.config, app.updatedAt,
            savedBy.empty() ? app.savedBy : savedBy});
      topApp = std::max(topApp, app.id);
      if (const std::optional<DriftCheck>& d = app.lastDiff)
        Exec(conn,
             "INSERT INTO ebs.app_drift "
             "(app_id, checked_at, drift, changed, added, removed, changes) VALUES "
             "($1::bigint, $2, $3::boolean, $4::bigint, $5::bigint, $6::bigint, $7::bigint)",
             {Str(app.id), d->checkedAt, d->drift ? "true" : "false", Str(d->changed),
              Str(d->added), Str(d->removed), Str(d->changes)});
      if (const std::optional<AppMetadata>& m = content.metadata[i])
        Exec(conn,
             "INSERT INTO ebs.app_metadata (app_id, sid, db_user, discovered_at, plugin_version) "
             "VALUES ($1::bigint, $2, $3, $4, $5)",
             {Str(app.id), m->sid, m->dbUser, m->discoveredAt, m->pluginVersion});
    }
    if (topClient > 0) MoveSequencePast(conn, "ebs.clients_id_seq", topClient);
    if (topApp > 0) MoveSequencePast(conn, "ebs.apps_id_seq", topApp);
  });
}
