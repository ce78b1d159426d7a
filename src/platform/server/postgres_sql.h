// A thin layer over libpq for the PostgreSQL store: owned connections and results, statements run
// with their values as parameters (never spliced into the SQL text), and failures thrown as a
// PgFailure that says whether a retry may help and whether the connection is gone. The database's
// content is input: a value larger than kMaxValueBytes is refused.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace pg_sql {

struct ConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultClearer {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgConn = std::unique_ptr<PGconn, ConnCloser>;
using PgResult = std::unique_ptr<PGresult, ResultClearer>;

// Configurations are the largest values the store holds.
constexpr int kMaxValueBytes = 64 * 1024 * 1024;

// A statement that failed.
struct PgFailure {
  std::string sqlstate;  // empty when the server gave none
  std::string message;   // the server's (or libpq's) primary message, one line
  bool lost = false;     // the connection is gone: the transaction did not commit
  bool retry = false;    // a serialization failure or deadlock: the whole transaction may run again
};

// libpq's text without its trailing newline, on one line, control characters made spaces.
std::string OneLine(const char* text);

// Runs `sql` with text parameters ($1, $2...; the SQL casts them); throws PgFailure unless the
// statement succeeded.
PgResult Exec(PGconn* conn, const char* sql, std::initializer_list<std::string> params = {});
PgResult Exec(PGconn* conn, const char* sql, const std::vector<std::string>& params);

// Reading a result: a NULL reads as "" or 0; a value too large, or a number that is not one,
// throws PgFailure.
std::string Text(const PGresult* r, int row, int col);
int64_t Integer(const PGresult* r, int row, int col);
bool IsNull(const PGresult* r, int row, int col);
// The rows an INSERT, UPDATE or DELETE touched.
int64_t Affected(const PGresult* r);

}  // namespace pg_sql
