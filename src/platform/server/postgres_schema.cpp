#include "platform/server/postgres_schema.h"

#include <cstdint>
#include <string>

#include "platform/server/postgres_sql.h"
#include "platform/server/store.h"

using namespace pg_sql;

namespace {

// Marks the version table as this program's.
constexpr const char* kApplication = "ebs-host store";
// The advisory lock that serialises two initialisations of one database ("EBSH").
constexpr const char* kInitLock = "SELECT pg_catalog.pg_advisory_xact_lock(1161974600)";

// The tables. What one row holds is bounded (hosts write them, and every host reads them): no
// value beyond the 64 MiB that a reader accepts (postgres_sql.h). Ids are identity columns, which never give a value twice (a rolled-back insert
// leaves a gap); an explicit id moves the sequence past it (postgres_store.cpp). Host names are
// unique without regard to letter case. saved_by is the LOGIN role of the session that saved the
// app: session_user, not current_user, since a host may SET ROLE ebs_host and then act as the
// group, while only a superuser can change its session_user.
const char* const kTables = R"sql(
CREATE SCHEMA ebs;
CREATE TABLE ebs.version (
  application text NOT NULL,
  version integer NOT NULL
);
CREATE TABLE ebs.clients (
  id bigint GENERATED ALWAYS AS IDENTITY (SEQUENCE NAME ebs.clients_id_seq) PRIMARY KEY,
  name text NOT NULL UNIQUE,
  hive_id bigint NOT NULL DEFAULT 0,
  CHECK (pg_catalog.octet_length(name) <= 67108864)
);
CREATE TABLE ebs.client_hosts (
  host text NOT NULL CHECK (pg_catalog.octet_length(host) <= 67108864),
  client_id bigint NOT NULL REFERENCES ebs.clients (id) ON DELETE CASCADE
);
CREATE UNIQUE INDEX client_hosts_host ON ebs.client_hosts (pg_catalog.lower(host));
CREATE INDEX client_hosts_by_client ON ebs.client_hosts (client_id);
CREATE TABLE ebs.registry_values (
  client_id bigint NOT NULL REFERENCES ebs.clients (id) ON DELETE CASCADE,
  path text NOT NULL,
  name text NOT NULL,
  type text NOT NULL,
  value text NOT NULL,
  mode bigint NOT NULL,
  flags bigint NOT NULL,
  options bigint NOT NULL,
  PRIMARY KEY (client_id, path, name),
  CHECK (pg_catalog.octet_length(path)::bigint + pg_catalog.octet_length(name) +
         pg_catalog.octet_length(type) + pg_catalog.octet_length(value) <= 67108864)
);
CREATE TABLE ebs.apps (
  id bigint GENERATED ALWAYS AS IDENTITY (SEQUENCE NAME ebs.apps_id_seq) PRIMARY KEY,
  name text NOT NULL UNIQUE,
  type bigint NOT NULL,
  config text NOT NULL,
  updated_at text NOT NULL,
  saved_by name NOT NULL DEFAULT session_user,
  CHECK (pg_catalog.octet_length(name)::bigint + pg_catalog.octet_length(config) +
         pg_catalog.octet_length(updated_at) <= 67108864)
);
CREATE TABLE ebs.app_metadata (
  app_id bigint NOT NULL PRIMARY KEY REFERENCES ebs.apps (id) ON DELETE CASCADE,
  sid text NOT NULL,
  db_user text NOT NULL,
  discovered_at text NOT NULL,
  plugin_version text NOT NULL,
  CHECK (pg_catalog.octet_length(sid)::bigint + pg_catalog.octet_length(db_user) +
         pg_catalog.octet_length(discovered_at) + pg_catalog.octet_length(plugin_version) <= 65536)
);
CREATE TABLE ebs.app_drift (
  app_id bigint NOT NULL PRIMARY KEY REFERENCES ebs.apps (id) ON DELETE CASCADE,
  checked_at text NOT NULL,
  drift boolean NOT NULL,
  changed bigint NOT NULL,
  added bigint NOT NULL,
  removed bigint NOT NULL,
  changes bigint NOT NULL,
  CHECK (pg_catalog.octet_length(checked_at) <= 64)
);
)sql";

// What each group may do. ebs_host reads everything, saves apps (never naming their id or saver,
// never renaming one), sets registry values, and changes nothing of the clients. ebs_admin does
// everything. The table owner (the database's owner, who ran the initialisation) bypasses
// row-level security, so that a copy made by the DBA keeps each app's saver.
const char* const kGrants = R"sql(
REVOKE ALL ON SCHEMA ebs FROM PUBLIC;
GRANT USAGE ON SCHEMA ebs TO ebs_host, ebs_admin;
GRANT SELECT ON ALL TABLES IN SCHEMA ebs TO ebs_host;
GRANT INSERT (name, type, config, updated_at), UPDATE (type, config, updated_at), DELETE
  ON ebs.apps TO ebs_host;
GRANT INSERT, UPDATE, DELETE ON ebs.app_metadata, ebs.app_drift TO ebs_host;
GRANT INSERT, UPDATE ON ebs.registry_values TO ebs_host;
GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA ebs TO ebs_admin;
GRANT USAGE, SELECT, UPDATE ON ebs.clients_id_seq, ebs.apps_id_seq TO ebs_admin;
GRANT SELECT ON ebs.clients_id_seq, ebs.apps_id_seq TO ebs_host;
)sql";

// Row-level security on the apps and what belongs to each app: a host sees every row and changes
// only the rows of the apps its login role saved; an admin changes any.
const char* const kPolicies = R"sql(
ALTER TABLE ebs.apps ENABLE ROW LEVEL SECURITY;
ALTER TABLE ebs.app_metadata ENABLE ROW LEVEL SECURITY;
ALTER TABLE ebs.app_drift ENABLE ROW LEVEL SECURITY;
CREATE POLICY apps_admin ON ebs.apps FOR ALL TO ebs_admin USING (true) WITH CHECK (true);
CREATE POLICY apps_read ON ebs.apps FOR SELECT TO ebs_host USING (true);
CREATE POLICY apps_insert ON ebs.apps FOR INSERT TO ebs_host
  WITH CHECK (saved_by OPERATOR(pg_catalog.=) session_user);
CREATE POLICY apps_update ON ebs.apps FOR UPDATE TO ebs_host
  USING (saved_by OPERATOR(pg_catalog.=) session_user)
  WITH CHECK (saved_by OPERATOR(pg_catalog.=) session_user);
CREATE POLICY apps_delete ON ebs.apps FOR DELETE TO ebs_host
  USING (saved_by OPERATOR(pg_catalog.=) session_user);
)sql";

// The same for a table of rows that belong to an app (app_id).
std::string DependentPolicies(const std::string& table) {
  const std::string own =
      "(EXISTS (SELECT 1 FROM ebs.apps a WHERE a.id OPERATOR(pg_catalog.=) app_id "
      "AND a.saved_by OPERATOR(pg_catalog.=) session_user))";
  const std::string name = table.substr(4);  // without "ebs."
  return "CREATE POLICY " + name + "_admin ON " + table +
         " FOR ALL TO ebs_admin USING (true) WITH CHECK (true);\n"
         "CREATE POLICY " + name + "_read ON " + table + " FOR SELECT TO ebs_host USING (true);\n"
         "CREATE POLICY " + name + "_insert ON " + table + " FOR INSERT TO ebs_host WITH CHECK " +
         own + ";\n" + "CREATE POLICY " + name + "_update ON " + table +
         " FOR UPDATE TO ebs_host USING " + own + " WITH CHECK " + own + ";\n" +
         "CREATE POLICY " + name + "_delete ON " + table + " FOR DELETE TO ebs_host USING " + own +
         ";\n";
}

void ExecScript(PGconn* conn, const std::string& sql) {
  PgResult res(PQexec(conn, sql.c_str()));
  if (PQresultStatus(res.get()) == PGRES_COMMAND_OK) return;
  const char* state = PQresultErrorField(res.get(), PG_DIAG_SQLSTATE);
  throw PgFailure{state ? state : "", OneLine(PQresultErrorMessage(res.get())),
                  PQstatus(conn) == CONNECTION_BAD, false};
}

// The version of this program's schema; 0 when the database has none; -1 when a schema `ebs`
// is there without this program's version table.
int64_t SchemaVersion(PGconn* conn) {
  PgResult has = Exec(conn,
                    "SELECT pg_catalog.to_regnamespace('ebs') IS NOT NULL, "
                    "pg_catalog.to_regclass('ebs.version') IS NOT NULL");
  if (Text(has.get(), 0, 0) != "t") return 0;
  if (Text(has.get(), 0, 1) != "t") return -1;
  PgResult v = Exec(conn, "SELECT application, version FROM ebs.version LIMIT 2");
  if (PQntuples(v.get()) != 1 || Text(v.get(), 0, 0) != kApplication) return -1;
  return Integer(v.get(), 0, 1);
}

// The group role `role`, made when missing. Another database's initialisation may make it at the
// same moment (42710 or 23505), which is fine; a database owner without CREATEROLE gets an error
// that names what a superuser runs.
void EnsureRole(PGconn* conn, const std::string& role) {
  PgResult has = Exec(conn, "SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = $1", {role});
  if (PQntuples(has.get()) > 0) return;
  Exec(conn, "SAVEPOINT ebs_role");
  try {
    Exec(conn, ("CREATE ROLE " + role + " NOLOGIN").c_str());
  } catch (const PgFailure& f) {
    if (f.lost) throw;
    Exec(conn, "ROLLBACK TO SAVEPOINT ebs_role");
    if (f.sqlstate == "42710" || f.sqlstate == "23505") return;
    if (f.sqlstate == "42501")
      throw PgFailure{f.sqlstate,
                      "the database's owner may not create roles (" + f.message +
                          "); a superuser runs once: CREATE ROLE ebs_admin NOLOGIN; "
                          "CREATE ROLE ebs_host NOLOGIN; then run store init again",
                      false, false};
    throw;
  }
}

Status Failed(const PgFailure& f) {
  return Status::Error(f.lost ? "lost the connection to the store: " + f.message : f.message);
}

}  // namespace

Status CheckPostgresSchema(PGconn* conn) {
  try {
    const int64_t version = SchemaVersion(conn);
    if (version == ServerStore::kSchemaVersion) return Status::Ok();
    if (version == 0)
      return Status::Error(
          "the database holds no store yet; its owner creates it with "
          "`ebs-host --store URI store init`");
    if (version < 0)
      return Status::Error("the database has a schema ebs that is not this program's store");
    return Status::Error("the store is at schema version " + std::to_string(version) +
                         ", this program reads version " +
                         std::to_string(ServerStore::kSchemaVersion) +
                         "; the database's owner runs `ebs-host --store URI store init`");
  } catch (const PgFailure& f) {
    return Failed(f);
  }
}

Status InitPostgresSchema(PGconn* conn, std::string* done) {
  try {
    Exec(conn, "BEGIN");
    try {
      PgResult who = Exec(conn,
                        "SELECT pg_catalog.pg_get_userbyid(d.datdba), r.rolsuper "
                        "FROM pg_catalog.pg_database d, pg_catalog.pg_roles r "
                        "WHERE d.datname OPERATOR(pg_catalog.=) pg_catalog.current_database() "
                        "AND r.rolname OPERATOR(pg_catalog.=) session_user");
      const std::string owner = Text(who.get(), 0, 0);
      PgResult me = Exec(conn, "SELECT session_user");
      if (Text(who.get(), 0, 1) != "t" && Text(me.get(), 0, 0) != owner)
        throw PgFailure{"", "store init is run by the database's owner (" + owner + "), not by " +
                                Text(me.get(), 0, 0),
                        false, false};
      Exec(conn, kInitLock);
      const int64_t version = SchemaVersion(conn);
      std::string what;
      if (version == ServerStore::kSchemaVersion) {
        what = "the store is already at schema version " +
               std::to_string(ServerStore::kSchemaVersion) + "; nothing to do";
      } else if (version != 0) {
        throw PgFailure{"", version < 0
                                ? "the database has a schema ebs that is not this program's store"
                                : "the store is at schema version " + std::to_string(version) +
                                      ", which this program cannot migrate",
                        false, false};
      } else {
        EnsureRole(conn, "ebs_admin");
        EnsureRole(conn, "ebs_host");
        ExecScript(conn, kTables);
        ExecScript(conn, kGrants);
        ExecScript(conn, std::string(kPolicies) + DependentPolicies("ebs.app_metadata") +
                             DependentPolicies("ebs.app_drift"));
        Exec(conn, "INSERT INTO ebs.version (application, version) VALUES ($1, $2::integer)",
             {kApplication, std::to_string(ServerStore::kSchemaVersion)});
        what = "created the store at schema version " +
               std::to_string(ServerStore::kSchemaVersion) +
               " (schema ebs; group roles ebs_admin and ebs_host)";
      }
      Exec(conn, "COMMIT");
      if (done) *done = what;
      return Status::Ok();
    } catch (const PgFailure& f) {
      if (!f.lost) PQclear(PQexec(conn, "ROLLBACK"));
      throw;
    }
  } catch (const PgFailure& f) {
    return Failed(f);
  }
}
