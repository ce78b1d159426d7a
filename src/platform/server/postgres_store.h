// The PostgreSQL backend of ServerStore (store.h): one inventory that many database hosts share,
// reached through libpq with a connection URI (postgresql:// or postgres://).
#pragma once

#include <memory>
#include <string>

#include "platform/server/store.h"

class PostgresStore {
 public:
  // ServerStore::Open for a URI.
  static Status Open(const std::string& uri, std::unique_ptr<ServerStore>& store,
                     StoreAccess access);
  // ServerStore::Init for a URI.
  static Status Init(const std::string& uri, std::string* done);
};
