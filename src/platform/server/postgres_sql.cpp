#include "platform/server/postgres_sql.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

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

namespace {

// The statements prepared on each connection of this thread (connections are never shared
// between threads), by their text: name "ebs_N". ConnCloser forgets a connection's.
using Prepared = std::unordered_map<std::string, std::string>;
std::unordered_map<const PGconn*, Prepared>& PreparedOf() {
  static thread_local std::unordered_map<const PGconn*, Prepared> prepared;
  return prepared;
}

// A query or change, prepared once per connection and then run by name; transaction control and
// the schema's statements run as they are.
bool Preparable(const char* sql) {
  for (const char* verb : {"SELECT", "INSERT", "UPDATE", "DELETE", "WITH"})
    if (std::strncmp(sql, verb, std::strlen(verb)) == 0) return true;
  return false;
}

}  // namespace

void ConnCloser::operator()(PGconn* c) const {
  PreparedOf().erase(c);
  PQfinish(c);
}

PgResult Exec(PGconn* conn, const char* sql, const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& p : params) values.push_back(p.c_str());
  const int count = static_cast<int>(values.size());
  if (!Preparable(sql))
    return Checked(conn,
                   PQexecParams(conn, sql, count, nullptr, values.data(), nullptr, nullptr, 0));
  Prepared& prepared = PreparedOf()[conn];
  auto it = prepared.find(sql);
  if (it == prepared.end()) {
    const std::string name = "ebs_" + std::to_string(prepared.size() + 1);
    Checked(conn, PQprepare(conn, name.c_str(), sql, count, nullptr));
    it = prepared.emplace(sql, name).first;
  }
  return Checked(conn, PQexecPrepared(conn, it->second.c_str(), count, values.data(), nullptr,
                                      nullptr, 0));
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
