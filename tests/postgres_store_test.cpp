// The PostgreSQL store on the private test cluster: the same answers as the SQLite store, ids
// never given twice, hosts confined to their own apps by the server, and no password in a URI.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/server/postgres_store.h"
#include "platform/server/store.h"
#include "support/pg_cluster.h"

namespace {

class PgStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pgtest::Available()) GTEST_SKIP() << "no private PostgreSQL cluster (pg_cluster fixture)";
    db_ = std::make_unique<pgtest::Database>();
    std::string done;
    ASSERT_TRUE(ServerStore::Init(db_->OwnerUri(), &done).ok) << done;
    pgtest::Database::AddLoginRole("host_a", "ebs_host");
    pgtest::Database::AddLoginRole("host_b", "ebs_host");
    pgtest::Database::AddLoginRole("admin_a", "ebs_admin");
  }
  std::unique_ptr<ServerStore> Open(const std::string& role) {
    std::unique_ptr<ServerStore> store;
    Status s = ServerStore::Open(role.empty() ? db_->OwnerUri() : db_->UriFor(role), store);
    EXPECT_TRUE(s.ok && store) << s.message;
    return store;
  }
  static std::string ServerLog() {
    std::ifstream in(pgtest::SocketDir() + "/server.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::unique_ptr<pgtest::Database> db_;
};

// The same operations on both backends, written down as text (times and savers left out).
std::string Transcript(ServerStore& s) {
  std::ostringstream out;
  auto say = [&out](const char* what, const Status& st) {
    out << what << ": " << (st.ok ? "ok" : st.message) << "\n";
  };
  int64_t id = 0;
  bool flag = false;
  say("client c1", s.AddClient("c1", {"H1.example.com", "a.example.com"}, 3, 0, &id));
  out << "id " << id << "\n";
  say("client c1 again", s.AddClient("c1", {}, 0, 0, nullptr));
  say("host taken", s.AddClient("c2", {"h1.EXAMPLE.com"}, 0, 0, nullptr));
  say("explicit id", s.AddClient("c3", {"h3"}, 0, 40, &id));
  say("next after explicit", s.AddClient("c4", {}, 0, 0, &id));
  out << "id " << id << "\n";
  say("remove c4", s.RemoveClient("c4", &flag));
  say("client c5", s.AddClient("c5", {}, 0, 0, &id));  // never c4's id again
  out << "id " << id << " removed " << flag << "\n";
  std::vector<ClientRecord> clients;
  say("list clients", s.ListClients(clients));
  for (const ClientRecord& c : clients) {
    out << c.id << " " << c.name << " " << c.hiveId;
    for (const std::string& h : c.hosts) out << " " << h;
    out << "\n";
  }
  std::optional<ClientRecord> found;
  say("by host", s.FindClientByHost("h1.example.COM", found));
  out << (found ? found->name : "none") << "\n";
  say("app a1", s.SaveApp("a1", 1, "<x/>", &id, &flag));
  out << "id " << id << " created " << flag << "\n";
  say("app a1 again", s.SaveApp("a1", 2, "<y/>", &id, &flag));
  out << "id " << id << " created " << flag << "\n";
  say("app a2", s.SaveApp("a2", 1, "<z/>", &id, &flag));
  say("metadata", s.SetAppMetadata(id, AppMetadata{"SID", "apps", "2026-01-01T00:00:00Z", "1.0"}));
  say("metadata of none", s.SetAppMetadata(999, AppMetadata{}));
  say("diff", s.RecordDiff(id, DriftCheck{"", true, 1, 2, 3, 9}));
  say("diff of none", s.RecordDiff(999, DriftCheck{}));
  say("delete a2", s.DeleteApp(id, &flag));
  out << "removed " << flag << "\n";
  say("delete a2 again", s.DeleteApp(id, &flag));
  out << "removed " << flag << "\n";
  say("app a3", s.SaveApp("a3", 1, "<w/>", &id, &flag));  // never a2's id again
  say("diff a3", s.RecordDiff(id, DriftCheck{"", false, 0, 0, 0, 0}));
  std::optional<AppMetadata> meta;
  say("metadata of deleted", s.GetAppMetadata(id - 1, meta));
  out << (meta ? "kept" : "gone") << "\n";
  std::vector<AppRecord> apps;
  say("list apps", s.ListApps(apps));
  for (const AppRecord& a : apps)
    out << a.id << " " << a.name << " " << a.type << " " << a.config << " "
        << (a.lastDiff ? std::to_string(a.lastDiff->drift) + std::to_string(a.lastDiff->changes)
                       : "-")
        << " " << (a.updatedAt.size() == 20 && a.updatedAt.back() == 'Z') << "\n";
  std::string missing;
  RegistryValue v{0, "p/b", "n", "string", "v1", 1, 2, 3};
  RegistryValue w{0, "P/a", "n", "string", "v2", 0, 0, 0};
  say("registry", s.SetRegistryValues({1, 999}, {v}, &missing));
  out << "missing " << missing << "\n";
  say("registry ok", s.SetRegistryValues({1}, {v, w}, nullptr));
  v.value = "v3";
  say("registry change", s.SetRegistryValues({1}, {v}, nullptr));
  std::vector<RegistryValue> values;
  say("registry read", s.RegistryValues(1, values));
  for (const RegistryValue& r : values) out << r.path << " " << r.value << " " << r.mode << "\n";
  say("remove c1", s.RemoveClient("c1", &flag));
  say("registry after", s.RegistryValues(1, values));
  out << values.size() << "\n";
  StoreContent all;
  say("read all", s.ReadAll(all));
  out << all.clients.size() << " " << all.apps.size() << " " << all.metadata.size() << " given "
      << all.clientIdsGiven << " " << all.appIdsGiven << "\n";
  return out.str();
}

TEST_F(PgStoreTest, AnswersAsTheSqliteStoreDoes) {
  char dir[] = "/tmp/pgstore.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::unique_ptr<ServerStore> lite;
  ASSERT_TRUE(ServerStore::Open(std::string(dir) + "/store.db", lite).ok);
  const std::string expected = Transcript(*lite);
  lite.reset();
  std::filesystem::remove_all(dir);
  auto pg = Open("");
  EXPECT_EQ(Transcript(*pg), expected);
  EXPECT_STREQ(pg->Backend(), "postgresql");
}

// Init creates once and then finds the store ready; Open never creates; only the owner inits.
TEST_F(PgStoreTest, InitOnceByTheOwnerAndOpenNeverCreates) {
  std::string done;
  ASSERT_TRUE(ServerStore::Init(db_->OwnerUri(), &done).ok);
  EXPECT_NE(done.find("already at schema version 4"), std::string::npos) << done;
  Status byHost = ServerStore::Init(db_->UriFor("host_a"), &done);
  EXPECT_NE(byHost.message.find("run by the database's owner (" + db_->Owner() + ")"),
            std::string::npos) << byHost.message;

  pgtest::Database bare;
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(bare.OwnerUri(), store);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("`ebs-host --store URI store init`"), std::string::npos) << s.message;
  pgtest::Session su(bare.SuperuserUri());
  EXPECT_EQ(su.Exec("SELECT count(*) FROM pg_namespace WHERE nspname = 'ebs'").Value(), "0");
  // A newer schema is not read.
  pgtest::Session owner(db_->OwnerUri());
  ASSERT_TRUE(owner.Exec("UPDATE ebs.version SET version = 5").ok);
  s = ServerStore::Open(db_->OwnerUri(), store);
  EXPECT_NE(s.message.find("schema version 5"), std::string::npos) << s.message;
}

// A host changes only what its login role saved, through the store; an admin changes anything.
TEST_F(PgStoreTest, AHostChangesOnlyItsOwnAppsThroughTheStore) {
  auto a = Open("host_a"), b = Open("host_b"), admin = Open("admin_a");
  int64_t id = 0;
  ASSERT_TRUE(a->SaveApp("app1", 1, "<a/>", &id, nullptr).ok);
  const std::string change = "virtual app " + std::to_string(id) +
                             " was saved by host_a; only host_a or a member of ebs_admin may ";
  bool removed = true;
  struct Row {
    const char* what;
    Status status;
    std::string expected;  // in the message
  } rows[] = {
      {"save over it", b->SaveApp("app1", 1, "<b/>", nullptr, nullptr), change + "change it"},
      {"delete it", b->DeleteApp(id, &removed), change + "delete it"},
      {"its metadata", b->SetAppMetadata(id, AppMetadata{"S", "u", "t", "v"}), change + "change it"},
      {"its diff", b->RecordDiff(id, DriftCheck{}), change + "change it"},
      {"add a client", b->AddClient("c1", {"h"}, 0, 0, nullptr),
       "role host_b (a member of ebs_host) may read the store"},
      {"remove a client", b->RemoveClient("c1", nullptr), "members of ebs_admin"},
  };
  for (const Row& r : rows) {
    EXPECT_FALSE(r.status.ok) << r.what;
    EXPECT_NE(r.status.message.find(r.expected), std::string::npos) << r.what << ": "
                                                                     << r.status.message;
  }
  std::optional<AppRecord> app;
  ASSERT_TRUE(b->GetApp(id, app).ok && app);  // still there, unchanged, readable by every host
  EXPECT_EQ(app->config, "<a/>");
  EXPECT_EQ(app->savedBy, "host_a");
  std::optional<AppMetadata> meta;
  EXPECT_TRUE(b->GetAppMetadata(id, meta).ok && !meta);

  EXPECT_TRUE(a->SaveApp("app1", 2, "<a2/>", nullptr, nullptr).ok);
  EXPECT_TRUE(a->RecordDiff(id, DriftCheck{"", true, 1, 0, 0, 1}).ok);
  EXPECT_TRUE(admin->AddClient("c1", {"h"}, 0, 0, nullptr).ok);
  EXPECT_TRUE(admin->DeleteApp(id, &removed).ok && removed);
}

// The same, behind the store's back: the server itself refuses, or touches no row.
TEST_F(PgStoreTest, TheServerConfinesAHostRoleToItsOwnApps) {
  int64_t id = 0;
  ASSERT_TRUE(Open("host_a")->SaveApp("app1", 1, "<a/>", &id, nullptr).ok);
  const std::string app = std::to_string(id);
  pgtest::Session b(db_->UriFor("host_b"));
  struct Row {
    const char* sql;
    const char* sqlstate;  // "" when it runs
    long affected;
  } rows[] = {
      {"UPDATE ebs.apps SET config = 'x' WHERE id = $1", "", 0},
      {"DELETE FROM ebs.apps WHERE id = $1", "", 0},
      // Naming another saver, or any saver, or changing one: refused.
      {"INSERT INTO ebs.apps (name, type, config, updated_at, saved_by) "
       "SELECT 'x' || $1, 1, '', '', 'host_a'", "42501", 0},
      {"UPDATE ebs.apps SET saved_by = 'host_b' WHERE id = $1", "42501", 0},
      {"UPDATE ebs.apps SET name = 'renamed' WHERE id = $1", "42501", 0},
      {"INSERT INTO ebs.app_metadata VALUES ($1, 's', 'u', 't', 'v')", "42501", 0},
      {"INSERT INTO ebs.clients (name) SELECT 'c' || $1", "42501", 0},
      {"DELETE FROM ebs.clients WHERE id::text = $1", "42501", 0},
  };
  for (const Row& r : rows) {
    pgtest::Outcome o = b.Exec(r.sql, {app});
    EXPECT_EQ(o.sqlstate, r.sqlstate) << r.sql << ": " << o.error;
    EXPECT_EQ(o.affected, r.affected) << r.sql;
  }
  // The group's identity gives nothing more: the saver and the policies are the login role's.
  pgtest::Session a(db_->UriFor("host_a"));
  ASSERT_TRUE(b.Exec("SET ROLE ebs_host").ok && a.Exec("SET ROLE ebs_host").ok);
  EXPECT_EQ(b.Exec("DELETE FROM ebs.apps WHERE id = $1", {app}).affected, 0);
  ASSERT_TRUE(b.Exec("INSERT INTO ebs.apps (name, type, config, updated_at) "
                     "VALUES ('by-group', 1, 'b', '')").ok);
  EXPECT_EQ(a.Exec("UPDATE ebs.apps SET config = 'a' WHERE name = 'by-group'").affected, 0);
  EXPECT_EQ(a.Exec("SELECT saved_by FROM ebs.apps WHERE name = 'by-group'").Value(), "host_b");
  pgtest::Session su(db_->SuperuserUri());
  EXPECT_EQ(su.Exec("SELECT config, saved_by FROM ebs.apps WHERE id = $1", {app}).rows,
            (std::vector<std::vector<std::string>>{{"<a/>", "host_a"}}));
}

// A value set as it is already is not written again (its row version stays).
TEST_F(PgStoreTest, ARegistryValueSetAsItIsWritesNothing) {
  auto owner = Open("");
  int64_t client = 0;
  ASSERT_TRUE(owner->AddClient("c1", {"h1"}, 0, 0, &client).ok);
  auto host = Open("host_a");
  RegistryValue v{0, "p", "n", "string", "v1", 1, 2, 3};
  pgtest::Session su(db_->SuperuserUri());
  auto xmin = [&su] { return su.Exec("SELECT xmin::text FROM ebs.registry_values").Value(); };
  ASSERT_TRUE(host->SetRegistryValues({client}, {v}, nullptr).ok);
  const std::string first = xmin();
  ASSERT_TRUE(host->SetRegistryValues({client}, {v}, nullptr).ok);
  EXPECT_EQ(xmin(), first);
  v.flags = 7;
  ASSERT_TRUE(host->SetRegistryValues({client}, {v}, nullptr).ok);
  EXPECT_NE(xmin(), first);
}

// A copy keeps ids and savers, and the ids after it are new ones; only the owner writes one.
TEST_F(PgStoreTest, ACopyKeepsIdsAndSaversAndMovesTheIdsOn) {
  StoreContent content;
  content.clients = {{7, "c7", 0, {"h7"}}};
  content.apps = {{30, "a30", 1, "<c/>", "2026-01-01T00:00:00Z", "host_b", DriftCheck{"t", true, 1, 1, 1, 3}}};
  content.metadata = {AppMetadata{"SID", "apps", "t", "1"}};
  content.appIdsGiven = 40;  // app 40 was removed before the copy: never given again
  EXPECT_FALSE(Open("admin_a")->WriteAll(content, "").ok);
  auto owner = Open("");
  ASSERT_TRUE(owner->WriteAll(content, "").ok);
  EXPECT_FALSE(owner->WriteAll(content, "").ok);  // not into a store that holds something
  StoreContent back;
  ASSERT_TRUE(owner->ReadAll(back).ok);
  ASSERT_EQ(back.apps.size(), 1u);
  EXPECT_EQ(back.apps[0].savedBy, "host_b");
  EXPECT_TRUE(back.apps[0].lastDiff && back.apps[0].lastDiff->changes == 3);
  EXPECT_TRUE(back.metadata[0] && back.metadata[0]->sid == "SID");
  int64_t id = 0;
  ASSERT_TRUE(Open("host_a")->SaveApp("a31", 1, "", &id, nullptr).ok);
  EXPECT_EQ(id, 41);
  EXPECT_EQ(back.appIdsGiven, 40);
  ASSERT_TRUE(owner->AddClient("c8", {}, 0, 0, &id).ok);
  EXPECT_EQ(id, 8);
  // The saver of a copied app is the one it had: host_b may delete it, host_a may not.
  EXPECT_FALSE(Open("host_a")->DeleteApp(30, nullptr).ok);
  EXPECT_TRUE(Open("host_b")->DeleteApp(30, nullptr).ok);
}

// A password in the URI is refused before any connection, and never shown.
TEST_F(PgStoreTest, APasswordInTheUriIsRefusedBeforeConnecting) {
  const std::string user = "probe" + std::to_string(getpid());
  const std::string base = pgtest::Uri(db_->Name(), user);
  const std::string uris[] = {
      base + "&password=s3cr3t-one",                                           // a parameter
      "postgresql://" + user + ":s3cr3t-two@/" + db_->Name() + "?host=" +     // the user part
          pgtest::SocketDir() + "&port=" + std::getenv("EBS_TEST_PG_PORT"),
  };
  for (const std::string& uri : uris) {
    std::unique_ptr<ServerStore> store;
    std::string done;
    for (const Status& s : {ServerStore::Open(uri, store), ServerStore::Init(uri, &done)}) {
      EXPECT_FALSE(s.ok);
      EXPECT_NE(s.message.find("password file (~/.pgpass or PGPASSFILE, mode 0600"),
                std::string::npos) << s.message;
      EXPECT_EQ(s.message.find("s3cr3t"), std::string::npos) << s.message;
    }
  }
  EXPECT_EQ(ServerLog().find(user), std::string::npos);
}

// A read-only store changes nothing; a connection the server ended is reported, not retried.
TEST_F(PgStoreTest, AReadOnlyOrLostConnectionChangesNothing) {
  std::unique_ptr<ServerStore> reader;
  ASSERT_TRUE(ServerStore::Open(db_->UriFor("host_a"), reader, StoreAccess::ReadOnly).ok);
  Status s = reader->SaveApp("ro", 1, "", nullptr, nullptr);
  EXPECT_NE(s.message.find("read-only transaction"), std::string::npos) << s.message;
  auto store = Open("host_a");
  pgtest::Session su(db_->SuperuserUri());
  ASSERT_TRUE(su.Exec("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity "
                      "WHERE usename = 'host_a' AND datname = $1",
                      {db_->Name()}).ok);
  for (const char* name : {"lost1", "lost2"}) {  // once lost, it stays lost: no reconnection
    s = store->SaveApp(name, 1, "", nullptr, nullptr);
    EXPECT_EQ(s.message.rfind("lost the connection to the store: ", 0), 0u) << s.message;
  }
  EXPECT_EQ(su.Exec("SELECT count(*) FROM ebs.apps").Value(), "0");
}

// As root, libpq reads only files that no other account can change; a missing one is fine.
TEST_F(PgStoreTest, AsRootLibpqReadsOnlyTrustedFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  char mine[] = "/tmp/pgfiles.XXXXXX", theirs[] = "/tmp/pgfiles.XXXXXX";
  ASSERT_TRUE(mkdtemp(mine) && mkdtemp(theirs));
  const std::string own = std::string(mine) + "/pgpass", other = std::string(theirs) + "/file";
  for (const std::string& f : {own, other}) std::ofstream(f) << "*:*:*:*:unused\n";
  ASSERT_EQ(chmod(own.c_str(), 0600) | chmod(other.c_str(), 0600), 0);
  ASSERT_EQ(chown(theirs, 65534, 65534) | chown(other.c_str(), 65534, 65534), 0);
  struct Row {
    std::vector<std::pair<const char*, std::string>> env;
    const char* refused;  // in the message; "" when it opens
  } rows[] = {
      {{{"PGPASSFILE", own}}, ""},
      {{{"PGPASSFILE", std::string(mine) + "/missing"}}, ""},
      {{{"PGPASSFILE", other}}, "refusing libpq's passfile file"},
      {{{"PGPASSFILE", std::string(theirs) + "/missing"}}, "refusing libpq's passfile file"},
      {{{"PGSSLCERT", other}}, "refusing libpq's sslcert file"},
      {{{"PGSSLROOTCERT", other}}, "refusing libpq's sslrootcert file"},
      {{{"PGSERVICE", "ebs"}, {"PGSERVICEFILE", other}}, "refusing libpq's service file"},
      // Not there yet, in a directory another account writes: it could be there by the connect.
      {{{"PGSERVICE", "ebs"}, {"PGSERVICEFILE", std::string(theirs) + "/missing"}},
       "refusing libpq's service file"},
  };
  for (const Row& r : rows) {
    for (const auto& [name, value] : r.env) setenv(name, value.c_str(), 1);
    std::unique_ptr<ServerStore> store;
    Status s = ServerStore::Open(db_->UriFor("host_a"), store);
    for (const auto& [name, value] : r.env) unsetenv(name);
    if (*r.refused) EXPECT_NE(s.message.find(r.refused), std::string::npos) << s.message;
    else EXPECT_TRUE(s.ok) << r.env[0].second << ": " << s.message;
  }
  std::filesystem::remove_all(mine);
  std::filesystem::remove_all(theirs);
}

// A socket that another account made in the socket directory is no server to root: libpq refuses
// it before it sends anything (the impostor would ask for the password in clear).
TEST_F(PgStoreTest, AsRootAServerOfAnotherAccountIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  char dir[] = "/tmp/pgfake.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  ASSERT_EQ(chown(dir, 65534, 65534), 0);
  const std::string socket = std::string(dir) + "/.s.PGSQL.5432";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t impostor = fork();
  if (impostor == 0) {  // nobody listens, and would answer anything
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0)
      _exit(1);
    (void)!write(ready[1], "x", 1);
    for (;;) close(accept(fd, nullptr, nullptr));
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  std::unique_ptr<ServerStore> store;
  const Status s = ServerStore::Open(
      std::string("postgresql:///ebs?host=") + dir + "&port=5432&user=host_a", store);
  kill(impostor, SIGKILL);
  waitpid(impostor, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  std::filesystem::remove_all(dir);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("requirepeer"), std::string::npos) << s.message;
}

}  // namespace
