// The private PostgreSQL cluster that the PostgreSQL suites share (tests/support/pg_cluster.h).
#include "support/pg_cluster.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

class PgClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pgtest::Available()) GTEST_SKIP() << "no private PostgreSQL cluster (pg_cluster fixture)";
  }
};

// A test's database belongs to a role that is not a superuser, and is gone after the test.
TEST_F(PgClusterTest, DatabaseOfItsOwnDroppedAfter) {
  std::string name;
  {
    pgtest::Database db;
    name = db.Name();
    pgtest::Session owner(db.OwnerUri());
    pgtest::Outcome who = owner.Exec(
        "SELECT current_user, rolsuper, pg_catalog.pg_get_userbyid(d.datdba) FROM pg_roles r, "
        "pg_database d WHERE r.rolname = current_user AND d.datname = current_database()");
    ASSERT_TRUE(who.ok) << who.error;
    EXPECT_EQ(who.rows, (std::vector<std::vector<std::string>>{{name, "f", name}}));
  }
  pgtest::Session su(pgtest::Uri("postgres", "postgres"));
  EXPECT_EQ(su.Exec("SELECT count(*) FROM pg_database WHERE datname = $1", {name}).Value(), "0");
  EXPECT_EQ(su.Exec("SELECT count(*) FROM pg_roles WHERE rolname = $1", {name}).Value(), "0");
}

// Login roles join their group, twice without harm; the server log records each connection.
TEST_F(PgClusterTest, LoginRolesAndConnectionLog) {
  pgtest::Database db;
  pgtest::Database::AddLoginRole("host_a", "ebs_host");
  pgtest::Database::AddLoginRole("host_a", "ebs_host");
  pgtest::Session host(db.UriFor("host_a"));
  EXPECT_EQ(host.Exec("SELECT pg_has_role('ebs_host', 'MEMBER')").Value(), "t");
  std::ifstream log(pgtest::SocketDir() + "/server.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("connection authorized: user=host_a database=" + db.Name()),
            std::string::npos);
}

}  // namespace
