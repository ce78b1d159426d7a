// The private PostgreSQL cluster of the tests (tools/pg-cluster.sh, started by the CTest fixture
// pg_cluster, which passes its socket directory and port in EBS_TEST_PG_SOCKET and
// EBS_TEST_PG_PORT): URIs for any role, a fresh database per test owned by a fresh role, login
// roles in the group roles, and a raw libpq session for what a test checks behind the store's back.
// Header-only; every connection is through the cluster's own socket, trusted (no password).
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace pgtest {

// The socket directory and port of the test cluster; empty when none runs.
inline std::string SocketDir() {
  const char* dir = std::getenv("EBS_TEST_PG_SOCKET");
  const char* port = std::getenv("EBS_TEST_PG_PORT");
  if (!dir || !*dir || !port || !*port) return "";
  struct stat st {};
  std::string socket = std::string(dir) + "/.s.PGSQL." + port;
  if (stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return "";
  return dir;
}
inline bool Available() { return !SocketDir().empty(); }

// The URI of database `db` for login role `user` on the test cluster.
inline std::string Uri(const std::string& db, const std::string& user) {
  return "postgresql:///" + db + "?host=" + SocketDir() + "&port=" +
         std::getenv("EBS_TEST_PG_PORT") + "&user=" + user;
}

// What one statement gave.
struct Outcome {
  bool ok = false;             // PGRES_COMMAND_OK or PGRES_TUPLES_OK
  std::string sqlstate;        // on error
  std::string error;           // on error
  long affected = 0;           // rows touched (PQcmdTuples)
  std::vector<std::vector<std::string>> rows;
  std::string Value(size_t row = 0, size_t col = 0) const {
    return row < rows.size() && col < rows[row].size() ? rows[row][col] : "";
  }
};

// A raw libpq connection, as a role, to look at or act on a database behind the store's back.
class Session {
 public:
  explicit Session(const std::string& uri) : conn_(PQconnectdb(uri.c_str()), PQfinish) {
    if (PQstatus(conn_.get()) != CONNECTION_OK)
      throw std::runtime_error("cannot connect to the test cluster: " +
                               std::string(PQerrorMessage(conn_.get())));
    PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
  }
  // Runs `sql`, with text parameters $1, $2...
  Outcome Exec(const std::string& sql, const std::vector<std::string>& params = {}) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    std::unique_ptr<PGresult, void (*)(PGresult*)> res(
        PQexecParams(conn_.get(), sql.c_str(), static_cast<int>(values.size()), nullptr,
                     values.data(), nullptr, nullptr, 0),
        PQclear);
    Outcome out;
    ExecStatusType status = PQresultStatus(res.get());
    out.ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!out.ok) {
      const char* state = PQresultErrorField(res.get(), PG_DIAG_SQLSTATE);
      out.sqlstate = state ? state : "";
      out.error = PQresultErrorMessage(res.get());
      return out;
    }
    out.affected = std::atol(PQcmdTuples(res.get()));
    for (int r = 0; r < PQntuples(res.get()); ++r) {
      out.rows.emplace_back();
      for (int c = 0; c < PQnfields(res.get()); ++c)
        out.rows.back().push_back(PQgetisnull(res.get(), r, c) ? "" : PQgetvalue(res.get(), r, c));
    }
    return out;
  }
  // Runs `sql` and throws when it fails, except for the SQLSTATEs in `tolerated`.
  void MustExec(const std::string& sql, const std::vector<std::string>& tolerated = {}) {
    Outcome o = Exec(sql);
    if (o.ok) return;
    for (const auto& s : tolerated)
      if (o.sqlstate == s) return;
    throw std::runtime_error(sql + ": " + o.error);
  }

 private:
  std::unique_ptr<PGconn, void (*)(PGconn*)> conn_;
};

// A database of its own for one test, owned by a role of its own (LOGIN CREATEROLE, not a
// superuser), both named ebs_t<pid>_<n> so that parallel test processes never meet; dropped,
// with every connection to it, at the end. Cluster-wide roles (host_a, host_b, ebs_admin_a and the
// group roles) are shared by every test of the run and made only when missing.
class Database {
 public:
  Database() {
    static std::atomic<int> counter{0};
    name_ = "ebs_t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    Session su(Uri("postgres", "postgres"));
    // The group roles are the superuser's, not those of the first test's owner, which goes.
    for (const char* group : {"ebs_admin", "ebs_host"})
      su.MustExec(std::string("CREATE ROLE ") + group + " NOLOGIN", {"42710", "23505"});
    su.MustExec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    su.MustExec("DROP ROLE IF EXISTS " + name_);
    su.MustExec("CREATE ROLE " + name_ + " LOGIN CREATEROLE");
    su.MustExec("CREATE DATABASE " + name_ + " OWNER " + name_);
  }
  ~Database() {
    try {
      Session su(Uri("postgres", "postgres"));
      su.Exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
      su.Exec("DROP ROLE IF EXISTS " + name_);
    } catch (const std::exception&) {
    }
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& Owner() const { return name_; }
  std::string UriFor(const std::string& role) const { return Uri(name_, role); }
  std::string OwnerUri() const { return Uri(name_, name_); }
  std::string SuperuserUri() const { return Uri(name_, "postgres"); }

  // Makes login role `role` (when missing) a member of group role `group` (made NOLOGIN when
  // missing, as the store's initialisation would).
  static void AddLoginRole(const std::string& role, const std::string& group) {
    Session su(Uri("postgres", "postgres"));
    // Two test processes may make the same role at once: 42710 exists, 23505 lost the race.
    su.MustExec("CREATE ROLE " + group + " NOLOGIN", {"42710", "23505"});
    su.MustExec("CREATE ROLE " + role + " LOGIN", {"42710", "23505"});
    // A concurrent grant of the same membership can fail with "tuple concurrently updated".
    for (int attempt = 0;; ++attempt) {
      Outcome o = su.Exec("GRANT " + group + " TO " + role);
      if (o.ok || attempt == 5) {
        if (!o.ok) throw std::runtime_error("GRANT " + group + " TO " + role + ": " + o.error);
        return;
      }
      usleep(20000);
    }
  }

 private:
  std::string name_;
};

}  // namespace pgtest
