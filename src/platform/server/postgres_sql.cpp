#include "platform/server/postgres_sql.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace pg_sql {

std::string OneLine(const char* text) {
  // The server's words may quote the database's content: no control character gets through, and
  // libpq's line breaks and indents become single spaces.
  std::string line;
  for (const char* p = text ? text : ""; *p; ++p) {
    const char c = (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) ? ' ' : *p;
    if (c == ' ' && (line.empty() || line.back() == ' ')) continue;
    line += c;
  }
  if (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

namespace {

PgResult Checked(PGconn* conn, PGresult* raw) {
  PgResult res(raw);
  const ExecStatusType status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return res;
  PgFailure failure;
  if (res) {
    const char* state = PQresultErrorField(res.get(), PG_DIAG_SQLSTATE);
    failure.sqlstate = state ? state : "";
    const char* primary = PQresultErrorField(res.get(), PG_DIAG_MESSAGE_PRIMARY);
    failure.message = OneLine(primary ? primary : PQresultErrorMessage(res.get()));
  }
  if (PQstatus(conn) == CONNECTION_BAD) {
    failure.lost = true;
    failure.message = OneLine(PQerrorMessage(conn));
  }
  if (failure.message.empty()) failure.message = OneLine(PQerrorMessage(conn));
  failure.retry = !failure.lost && (failure.sqlstate == "40001" || failure.sqlstate == "40P01");
  throw failure;
}

}  // namespace

PgResult Exec(PGconn* conn, const char* sql, const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& p : params) values.push_back(p.c_str());
  return Checked(conn, PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr,
                                    values.data(), nullptr, nullptr, 0));
}

PgResult Exec(PGconn* conn, const char* sql, std::initializer_list<std::string> params) {
  return Exec(conn, sql, std::vector<std::string>(params));
}

bool IsNull(const PGresult* r, int row, int col) { return PQgetisnull(r, row, col) != 0; }

std::string Text(const PGresult* r, int row, int col) {
  if (IsNull(r, row, col)) return "";
  const int length = PQgetlength(r, row, col);
  if (length > kMaxValueBytes)
    throw PgFailure{"", "a value in the store is larger than " +
                            std::to_string(kMaxValueBytes / (1024 * 1024)) + " MiB",
                    false, false};
  return std::string(PQgetvalue(r, row, col), static_cast<size_t>(length));
}

int64_t Integer(const PGresult* r, int row, int col) {
  if (IsNull(r, row, col)) return 0;
  const char* text = PQgetvalue(r, row, col);
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0')
    throw PgFailure{"", "the store gave a number that is not one", false, false};
  return value;
}

int64_t Affected(const PGresult* r) {
  const char* text = PQcmdTuples(const_cast<PGresult*>(r));
  return text && *text ? std::strtoll(text, nullptr, 10) : 0;
}

}  // namespace pg_sql
