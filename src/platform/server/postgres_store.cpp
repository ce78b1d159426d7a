#include "platform/server/postgres_store.h"

Status PostgresStore::Open(const std::string&, std::unique_ptr<ServerStore>& store, StoreAccess) {
  store.reset();
  return Status::Error("a PostgreSQL store is not supported yet");
}

Status PostgresStore::Init(const std::string&, std::string*) {
  return Status::Error("a PostgreSQL store is not supported yet");
}
