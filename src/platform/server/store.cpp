#include "platform/server/store.h"

#include "platform/server/postgres_store.h"
#include "platform/server/sqlite_store.h"

bool ServerStore::IsPostgres(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

Status ServerStore::Open(const std::string& location, std::unique_ptr<ServerStore>& store,
                         StoreAccess access) {
  if (IsPostgres(location)) return PostgresStore::Open(location, store, access);
  return SqliteStore::Open(location, store, access);
}

Status ServerStore::Init(const std::string& location, std::string* done) {
  if (IsPostgres(location)) return PostgresStore::Init(location, done);
  std::unique_ptr<ServerStore> store;
  Status s = SqliteStore::Open(location, store, StoreAccess::ReadWrite);
  if (s.ok && done)
    *done = "store " + location + " is ready (schema version " + std::to_string(kSchemaVersion) +
            ")";
  return s;
}
