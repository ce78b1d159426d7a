#include "platform/server/sqlite_schema.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "platform/server/store.h"
#include "platform/server/sqlite_sql.h"

using namespace sqlite_sql;

namespace {

// Marks a store of this program in the database header ("EBSH").
constexpr int32_t kApplicationId = 0x45425348;

// The tables that hand out ids: AUTOINCREMENT keeps the highest id ever given in sqlite_sequence,
// so the id of a removed row is never given again.
std::string ClientsTable(const std::string& name) {
  return "CREATE TABLE " + name +
         " (\n"
         "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
         "  name TEXT NOT NULL UNIQUE,\n"
         "  hive_id INTEGER NOT NULL DEFAULT 0\n"
         ");\n";
}

std::string AppsTable(const std::string& name) {
  return "CREATE TABLE " + name +
         " (\n"
         "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
         "  name TEXT NOT NULL UNIQUE,\n"
         "  type INTEGER NOT NULL,\n"
         "  config TEXT NOT NULL,\n"
         "  updated_at TEXT NOT NULL\n"
         ");\n";
}

const char* const kDependentTables = R"sql(
CREATE TABLE client_hosts (
  host TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
  client_id INTEGER NOT NULL REFERENCES clients(id) ON DELETE CASCADE
);
CREATE TABLE registry_values (
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

// Since version 3: how each app was discovered, and the hosts of a client found by its id (a
// client's host list and the cascade of its removal no longer scan every host).
const char* const kVersion3Additions = R"sql(
CREATE INDEX client_hosts_by_client ON client_hosts (client_id);
CREATE TABLE app_metadata (
  app_id INTEGER NOT NULL PRIMARY KEY REFERENCES apps(id) ON DELETE CASCADE,
  sid TEXT NOT NULL,
  db_user TEXT NOT NULL,
  discovered_at TEXT NOT NULL,
  plugin_version TEXT NOT NULL
);
)sql";

// Since version 4: who saved each app (empty for an app saved before), and the last drift check
// of each app, which goes with its app.
const char* const kVersion4Additions = R"sql(
ALTER TABLE apps ADD COLUMN saved_by TEXT NOT NULL DEFAULT '';
CREATE TABLE app_drift (
  app_id INTEGER NOT NULL PRIMARY KEY REFERENCES apps(id) ON DELETE CASCADE,
  checked_at TEXT NOT NULL,
  drift INTEGER NOT NULL,
  changed INTEGER NOT NULL,
  added INTEGER NOT NULL,
  removed INTEGER NOT NULL,
  changes INTEGER NOT NULL
);
)sql";

// The tables that every version of the schema has.
const char* const kStoreTables[] = {"apps", "client_hosts", "clients", "registry_values"};

// The names of the database's own tables (SQLite's internal ones left out), in order.
std::vector<std::string> TablesOf(sqlite3* db) {
  std::vector<std::string> tables;
  Stmt q(db,
         "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
         "ESCAPE '\\' ORDER BY name");
  int rc;
  while ((rc = q.step()) == SQLITE_ROW) tables.push_back(q.text(0));
  Check(rc, db);
  return tables;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

void CreateSchema(sqlite3* db) {
  Exec(db, (ClientsTable("clients") + AppsTable("apps") + kDependentTables + kVersion3Additions +
            kVersion4Additions)
               .c_str());
  SetPragma(db, "application_id", kApplicationId);
  SetPragma(db, "user_version", ServerStore::kSchemaVersion);
}

// Version 1 to 2: clients and apps are rebuilt with AUTOINCREMENT, every row with its id. The
// caller has turned foreign keys off (dropping the old clients table would otherwise take the
// hosts and registry values with it) and runs this in the transaction that checks the version.
void MigrateFrom1To2(sqlite3* db) {
  Exec(db, (ClientsTable("clients_v2") +
            "INSERT INTO clients_v2 (id, name, hive_id) SELECT id, name, hive_id FROM clients;\n"
            "DROP TABLE clients;\n"
            "ALTER TABLE clients_v2 RENAME TO clients;\n" +
            AppsTable("apps_v2") +
            "INSERT INTO apps_v2 (id, name, type, config, updated_at)\n"
            "  SELECT id, name, type, config, updated_at FROM apps;\n"
            "DROP TABLE apps;\n"
            "ALTER TABLE apps_v2 RENAME TO apps;\n")
               .c_str());
}

// Version 2 to 3: the index and the metadata table, empty (no saved app says how it was
// discovered).
void MigrateFrom2To3(sqlite3* db) { Exec(db, kVersion3Additions); }

// Version 3 to 4: every app saved by someone unknown, none checked for drift yet.
void MigrateFrom3To4(sqlite3* db) { Exec(db, kVersion4Additions); }

// Brings a store of an older version to this one, step by step, in the caller's transaction.
void Migrate(sqlite3* db, int64_t version) {
  if (version < 2) MigrateFrom1To2(db);
  if (version < 3) MigrateFrom2To3(db);
  if (version < 4) MigrateFrom3To4(db);
  SetPragma(db, "application_id", kApplicationId);
  SetPragma(db, "user_version", ServerStore::kSchemaVersion);
}

}  // namespace

bool ReadySchema(sqlite3* db, bool readOnly, int64_t* read) {
  const int64_t version = PragmaValue(db, "user_version");
  const int64_t application = PragmaValue(db, "application_id");
  const std::vector<std::string> tables = TablesOf(db);
  if (application != 0 && application != kApplicationId)
    throw Abort{SQLITE_ERROR, "it is an SQLite database of another program (application id " +
                                  std::to_string(application) + ")"};
  if (version > ServerStore::kSchemaVersion)
    throw Abort{SQLITE_ERROR,
                "its schema version " + std::to_string(version) + " is newer than this program's " +
                    std::to_string(ServerStore::kSchemaVersion) + "; use a newer ebs-host"};
  if (version == 0 && tables.empty()) {
    if (readOnly) return false;  // a store being created: nothing in it yet
    CreateSchema(db);
    *read = ServerStore::kSchemaVersion;
    return true;
  }
  const bool ours =
      version > 0 &&
      std::all_of(std::begin(kStoreTables), std::end(kStoreTables), [&tables](const char* table) {
        return std::find(tables.begin(), tables.end(), table) != tables.end();
      });
  if (!ours)
    throw Abort{SQLITE_ERROR,
                "it is an SQLite database of another program (tables: " + Joined(tables) + ")"};
  if (version < ServerStore::kSchemaVersion && !readOnly) Migrate(db, version);
  *read = readOnly ? version : ServerStore::kSchemaVersion;
  return true;
}
