// The schema of the SQLite store (sqlite_store.h): its tables, their creation in a new store, the
// check that a database is a store of this program, and the migration of an older version in
// place. Used by SqliteStore::Open only, inside the transaction that opens the store.
#pragma once

#include <cstdint>

struct sqlite3;

// Checks that `db` is a store of this program of a version this one reads, creates the schema in
// a database that has none yet, and migrates an older version to ServerStore::kSchemaVersion
// (neither when `readOnly`). False when `readOnly` and the database is still empty (a store being
// created: nothing in it yet). `read`: the version of the schema as the caller will read it (an
// older one when `readOnly`). The caller runs it in a transaction, with foreign keys off for a
// writer; an error is thrown as sqlite_sql::Abort.
bool ReadySchema(sqlite3* db, bool readOnly, int64_t* read);
