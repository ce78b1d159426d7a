// The SQLite store's own SQL helpers, shared by its files (sqlite_store.cpp, sqlite_schema.cpp)
// and by nothing else: a prepared statement, the exception that rolls a transaction back with its
// message, and the checks of SQLite's answers that throw it. Nothing here is thrown out of the
// store.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace sqlite_sql {

inline bool Busy(int rc) {
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
  bool null(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
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

// Thrown inside a transaction body to roll back with a message; never leaves the store's files.
struct Abort {
  int rc;
  std::string message;
};

// The words for a statement that the bound on its work ended (see BoundStatements).
inline constexpr const char* kTooLong =
    "a statement did more work than any of this store's may (a trigger or view that is not "
    "this program's?), so it was stopped";

inline void Check(int rc, sqlite3* db, int expected = SQLITE_DONE) {
  if (rc == SQLITE_INTERRUPT) throw Abort{rc, kTooLong};
  if (rc != expected) throw Abort{rc, sqlite3_errmsg(db)};
}

inline void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string text = rc == SQLITE_INTERRUPT ? kTooLong : message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw Abort{rc, text};
  }
}

inline int64_t PragmaValue(sqlite3* db, const char* pragma) {
  Stmt q(db, (std::string("PRAGMA ") + pragma).c_str());
  Check(q.step(), db, SQLITE_ROW);
  return q.integer(0);
}

inline void SetPragma(sqlite3* db, const char* pragma, int64_t value) {
  Exec(db, ("PRAGMA " + std::string(pragma) + " = " + std::to_string(value)).c_str());
}

}  // namespace sqlite_sql
