// One PostgreSQL inventory shared by many database hosts, as the hosts use it: ebs-host runs with
// the URI of each host's login role, processes racing on one store, a server that goes away in the
// middle of a save, a URI that carries a password, and a host's SQLite store copied into the
// shared one. Runs on the private test cluster (pg_cluster fixture); the server-stop case starts
// a cluster of its own so that the other suites on the shared one never see it go.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli_host.h"
#include "platform/server/store.h"
#include "support/fake_oracle.h"
#include "support/pg_cluster.h"

namespace {

using nlohmann::json;

// Every occurrence of `needle` in `text`.
size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
    ++n;
  return n;
}

// A store of the test's own on the cluster, initialised by its owner, and the login roles of two
// hosts (members of ebs_host) and of an administrator (member of ebs_admin).
class Fleet : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!pgtest::Available()) GTEST_SKIP() << "no private PostgreSQL cluster (pg_cluster fixture)";
    db_ = std::make_unique<pgtest::Database>();
    pgtest::Database::AddLoginRole("host_a", "ebs_host");
    pgtest::Database::AddLoginRole("host_b", "ebs_host");
    pgtest::Database::AddLoginRole("ebs_admin_a", "ebs_admin");
    HostRun init = As(db_->Owner(), "store init");
    ASSERT_EQ(init.status, 0) << init.out << init.err;
  }

  // ebs-host run with the store of login role `role`.
  HostRun As(const std::string& role, const std::string& args, const std::string& env = "") {
    return Host("--store " + ShellWord(db_->UriFor(role)) + " " + args, env);
  }
  // `save` of a discovered configuration (no clients registered for its hosts) under `name`.
  HostRun Save(const std::string& role, const std::string& name) {
    WriteFile(files_.file("discovered.xml"), Discovered("dbclient", "app01"));
    return As(role, "save --config " + files_.file("discovered.xml") + " --name " + name);
  }
  // name -> app as `apps list --json` shows it to `role`.
  std::map<std::string, json> Apps(const std::string& role) {
    HostRun list = As(role, "--json apps list");
    EXPECT_EQ(list.status, 0) << list.out << list.err;
    std::map<std::string, json> apps;
    json doc = OneDocument(list.out);
    if (doc.is_object() && doc["apps"].is_array())
      for (const json& app : doc["apps"]) apps[app["name"].get<std::string>()] = app;
    return apps;
  }
  std::unique_ptr<ServerStore> Open(const std::string& role) {
    std::unique_ptr<ServerStore> store;
    Status s = ServerStore::Open(db_->UriFor(role), store);
    EXPECT_TRUE(s.ok) << s.message;
    return store;
  }

  DiscoverySandbox sandbox_;
  TempDir files_;
  std::unique_ptr<pgtest::Database> db_;
};

// Two hosts save into one inventory and each sees both apps with who saved them; a host may not
// delete or overwrite the other's app, which stays as it was; the administrator may delete it.
TEST_F(Fleet, TwoHostsShareOneInventoryEachConfinedToItsOwnApps) {
  ASSERT_EQ(Save("host_a", "ERP_A").status, 0);
  HostRun b = Save("host_b", "ERP_B");
  ASSERT_EQ(b.status, 0) << b.out << b.err;
  auto apps = Apps("host_a");
  ASSERT_EQ(apps.size(), 2u);
  EXPECT_EQ(apps["ERP_A"]["savedBy"], "host_a");
  EXPECT_EQ(apps["ERP_B"]["savedBy"], "host_b");
  EXPECT_EQ(Apps("host_b").size(), 2u);
  const std::string idB = std::to_string(apps["ERP_B"]["id"].get<int64_t>());
  const json updatedB = apps["ERP_B"]["updatedAt"];

  const struct {
    const char* what;
    std::function<HostRun()> run;
  } refusals[] = {
      {"host_a deletes host_b's app", [&] { return As("host_a", "delete " + idB); }},
      {"host_a saves over host_b's app", [&] { return Save("host_a", "ERP_B"); }},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.what);
    HostRun run = r.run();
    EXPECT_EQ(run.status, 1) << run.out << run.err;  // the server refused the request
    EXPECT_NE(run.err.find("saved by host_b"), std::string::npos) << run.err;
    auto after = Apps("host_b");
    EXPECT_EQ(after.size(), 2u);
    EXPECT_EQ(after["ERP_B"]["savedBy"], "host_b");
    EXPECT_EQ(after["ERP_B"]["updatedAt"], updatedB);
  }

  HostRun admin = As("ebs_admin_a", "delete " + idB);
  EXPECT_EQ(admin.status, 0) << admin.out << admin.err;
  EXPECT_EQ(Apps("host_b").count("ERP_B"), 0u);
}

// Eight processes change one store at once: seven hosts (two roles) save 25 apps each, deleting
// every fifth, and in each round save one more name that every process of their role saves at the
// same moment, while the administrator adds clients. Nothing is lost or doubled, no change fails.
TEST_F(Fleet, EightProcessesAtOnceLoseNothingAndDoubleNothing) {
  constexpr int kProcesses = 8, kRounds = 25;
  auto role = [](int p) { return p == kProcesses - 1 ? "ebs_admin_a" : p % 2 ? "host_b" : "host_a"; };
  int start[2];  // the children wait until the parent closes its end: all begin at once
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string uri = db_->UriFor(role(p));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid > 0) {
      children.push_back(pid);
      continue;
    }
    // The child: each failure is a line on standard error and a non-zero exit status.
    int failures = 0;
    auto check = [&](const Status& s, const std::string& what) {
      if (!s.ok) fprintf(stderr, "process %d: %s: %s\n", p, what.c_str(), s.message.c_str());
      failures += !s.ok;
    };
    std::unique_ptr<ServerStore> store;
    check(ServerStore::Open(uri, store), "open");
    close(start[1]);
    char ready;
    (void)!read(start[0], &ready, 1);
    for (int k = 0; store && k < kRounds; ++k) {
      const std::string n = std::to_string(p) + "-" + std::to_string(k);
      int64_t id = 0, newId = 0;
      bool created = false, removed = false;
      if (p == kProcesses - 1) {
        check(store->AddClient("client-" + n, {"host-" + n + ".example.com"}, 1, 0, &newId), n);
        continue;
      }
      check(store->SaveApp("app-" + n, 64, "<config " + n + "/>", &id, &created), "save " + n);
      // Every process of the role saves this one name at once: one app, the others update it.
      const std::string shared = std::string("shared-") + role(p) + "-" + std::to_string(k);
      check(store->SaveApp(shared, 64, n, &newId, &created), "save " + shared);
      if (k % 5 == 4) check(store->DeleteApp(id, &removed), "delete " + n);
    }
    _exit(failures == 0 ? 0 : 1);
  }
  close(start[0]);
  close(start[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a process failed (see above)";
  }

  auto store = Open("ebs_admin_a");
  ASSERT_TRUE(store);
  std::vector<AppRecord> apps;
  ASSERT_TRUE(store->ListApps(apps).ok);
  std::multiset<std::string> names;
  std::set<int64_t> ids;
  for (const AppRecord& app : apps) {
    names.insert(app.name);
    ids.insert(app.id);
  }
  std::multiset<std::string> expected;
  for (int k = 0; k < kRounds; ++k) {
    for (const char* role : {"host_a", "host_b"})
      expected.insert("shared-" + std::string(role) + "-" + std::to_string(k));
    for (int p = 0; p < kProcesses - 1; ++p)
      if (k % 5 != 4) expected.insert("app-" + std::to_string(p) + "-" + std::to_string(k));
  }
  EXPECT_EQ(names, expected);
  EXPECT_EQ(ids.size(), apps.size());
  std::vector<ClientRecord> clients;
  ASSERT_TRUE(store->ListClients(clients).ok);
  EXPECT_EQ(clients.size(), static_cast<size_t>(kRounds));
}

// A diff's result is recorded for the host whose app it is. Another host's diff of that app still
// prints and exits as it found; only the record is refused, with the reason.
TEST_F(Fleet, ADiffIsRecordedOnlyForTheHostThatSavedTheApp) {
  std::string why;
  if (!FakeOracle::Usable(&why)) GTEST_SKIP() << why;
  FakeOracle oracle("dbhome_fleet", EBS_SOURCE_DIR "/tests/fake-oracle/sandbox/load.sql");
  oracle.Set("db_password", "Fleet-Pa55");
  sandbox_.SetOratab("PROD:" + oracle.home() + ":N\n");
  const std::string pw = "EBS_TEST_PW=Fleet-Pa55";
  HostRun saved = As("host_a", "discover --sid PROD --db-user apps --db-password-env EBS_TEST_PW "
                     "--save PROD-EBS", pw);
  ASSERT_EQ(saved.status, 0) << saved.err;
  const std::string diff = "--json diff 1 --db-password-env EBS_TEST_PW";

  json other = OneDocument(As("host_b", diff, pw).out);
  EXPECT_EQ(other["exitStatus"], 0) << other;  // no drift, as found
  EXPECT_EQ(other["recorded"], false);
  EXPECT_NE(other["recordError"].dump().find("saved by host_a"), std::string::npos) << other;
  EXPECT_EQ(Apps("host_a")["PROD-EBS"]["lastDiff"], nullptr);

  json own = OneDocument(As("host_a", diff, pw).out);
  EXPECT_EQ(own["recorded"], true) << own;
  EXPECT_EQ(Apps("host_b")["PROD-EBS"]["lastDiff"]["drift"], false);
}

// A URI that carries a password is refused before any connection, with the fix, and the password
// shows nowhere: not in the output, the error, the log, or the server's log of connections.
TEST_F(Fleet, APasswordInTheUriIsRefusedBeforeConnecting) {
  const std::string socket = pgtest::SocketDir(), port = std::getenv("EBS_TEST_PG_PORT");
  const std::string db = db_->Name() + "_never";  // a name only a connection attempt would log
  const struct {
    const char* what;
    std::string uri;
  } uris[] = {
      {"user:password@", "postgresql://host_a:secret@/" + db + "?host=" + socket + "&port=" + port},
      {"password= parameter",
       "postgres:///" + db + "?host=" + socket + "&port=" + port + "&user=host_a&password=secret"},
  };
  // "URI" in `args` is replaced by the URI; `viaEnv` gives it in EBS_HOST_STORE instead.
  const struct {
    bool viaEnv;
    std::string args;
    int status;
  } runs[] = {
      {false, "--store URI apps list", 2},  // a usage error that names the fix
      {false, "--json --store URI apps list", 2},
      {false, "--store URI store init", 2},
      {false, "store copy --to URI", 2},
      {true, "apps list", 3},  // the store refuses it: it cannot be used
      {true, "--json apps list", 3},
  };
  for (const auto& u : uris) {
    for (const auto& run : runs) {
      SCOPED_TRACE(std::string(u.what) + ": " + run.args + (run.viaEnv ? " (EBS_HOST_STORE)" : ""));
      std::string args = run.args;
      if (size_t at = args.find("URI"); at != std::string::npos)
        args.replace(at, 3, ShellWord(u.uri));
      HostRun r = Host(args, run.viaEnv ? "EBS_HOST_STORE=" + ShellWord(u.uri) : "");
      EXPECT_EQ(r.status, run.status) << r.out << r.err;
      const bool asJson = args.find("--json") != std::string::npos;
      const std::string said = asJson ? r.out : r.err;  // the error's place
      EXPECT_NE(said.find(".pgpass"), std::string::npos) << said;
      EXPECT_EQ((r.out + r.err + sandbox_.log()).find("secret"), std::string::npos)
          << r.out << r.err;
    }
  }
  EXPECT_EQ(ReadFile(socket + "/server.log").find(db), std::string::npos);
}

// A host's SQLite store, made by ebs-host itself (clients, their registry values, apps, the last
// one deleted, metadata and a recorded diff), copied into the shared store: every id kept, the
// apps given the host's role; a new app gets an id above them; a second copy is refused.
TEST_F(Fleet, ASqliteStoreCopiedKeepsItsIdsAndTakesTheHostsRole) {
  ASSERT_EQ(Host("clients add --name dbclient --host db01.example.com --hive 3").status, 0);
  WriteFile(files_.file("discovered.xml"), Discovered("dbclient", "app01"));
  for (const char* name : {"PROD", "TEST", "GONE"})
    ASSERT_EQ(Host("save --config " + files_.file("discovered.xml") + " --name " + name).status, 0);
  ASSERT_EQ(Host("delete 3").status, 0);  // the highest id given is gone: never given again
  {
    std::unique_ptr<ServerStore> local;
    ASSERT_TRUE(ServerStore::Open(sandbox_.storePath(), local).ok);
    ASSERT_TRUE(local->SetAppMetadata(1, {"PROD", "apps", "2026-12-01T10:00:00Z", "1.0.0"}).ok);
    ASSERT_TRUE(local->RecordDiff(2, {"", true, 1, 0, 2, 5}).ok);
  }
  StoreContent before;
  {
    std::unique_ptr<ServerStore> local;
    ASSERT_TRUE(ServerStore::Open(sandbox_.storePath(), local, StoreAccess::ReadOnly).ok);
    ASSERT_TRUE(local->ReadAll(before).ok);
  }
  ASSERT_EQ(before.apps.size(), 2u);
  ASSERT_FALSE(before.registry.empty());  // save set the client's collection flag

  const std::string copy = "store copy --to " + ShellWord(db_->OwnerUri()) + " --saved-by host_a";
  HostRun first = Host(copy);
  ASSERT_EQ(first.status, 0) << first.out << first.err;

  StoreContent after;
  ASSERT_TRUE(Open(db_->Owner())->ReadAll(after).ok);
  ASSERT_EQ(after.clients.size(), before.clients.size());
  EXPECT_EQ(after.clients[0].id, before.clients[0].id);
  EXPECT_EQ(after.clients[0].hiveId, 3);
  EXPECT_EQ(after.clients[0].hosts, before.clients[0].hosts);
  EXPECT_EQ(after.registry.size(), before.registry.size());
  ASSERT_EQ(after.apps.size(), 2u);
  for (size_t i = 0; i < after.apps.size(); ++i) {
    SCOPED_TRACE(after.apps[i].name);
    EXPECT_EQ(after.apps[i].id, before.apps[i].id);
    EXPECT_EQ(after.apps[i].config, before.apps[i].config);
    EXPECT_EQ(after.apps[i].savedBy, "host_a");
    EXPECT_EQ(after.apps[i].lastDiff.has_value(), before.apps[i].lastDiff.has_value());
    EXPECT_EQ(after.metadata[i].has_value(), before.metadata[i].has_value());
  }
  EXPECT_EQ(after.apps[1].lastDiff->removed, 2);
  EXPECT_EQ(after.metadata[0]->sid, "PROD");

  // The copied apps are host_a's: it changes them, and its new app comes after them.
  auto apps = Apps("host_a");
  EXPECT_EQ(apps["TEST"]["lastDiff"]["changes"], 5);
  ASSERT_EQ(Save("host_a", "PROD").status, 0);
  ASSERT_EQ(Save("host_a", "NEW").status, 0);
  EXPECT_EQ(Apps("host_a")["PROD"]["id"], 1);
  EXPECT_GT(Apps("host_a")["NEW"]["id"].get<int64_t>(), 3);

  HostRun second = Host(copy);
  EXPECT_EQ(second.status, 1) << second.out << second.err;  // refused: the target is not empty
  EXPECT_NE(second.err.find("an empty store only"), std::string::npos) << second.err;
}

// A cluster of the test's own (tools/pg-cluster.sh) in $EBS_TEST_PG_OWN_DIR, which the CTest
// fixture's cleanup stops too should the test be killed, else in a temporary directory; stopped at
// the end whatever happened.
class OwnCluster {
 public:
  OwnCluster() {
    const char* own = std::getenv("EBS_TEST_PG_OWN_DIR");
    dir_ = own && *own ? own : root_.file("pg");
    ::chmod(root_.path().c_str(), 0755);  // the account postgres enters it
    started_ = Script("start") == 0;
  }
  ~OwnCluster() { Script("stop"); }
  bool started() const { return started_; }
  const std::string& dir() const { return dir_; }
  // pg_ctl as the account postgres, on the directory itself (the script makes a DIR that postgres
  // cannot reach a link to one under /tmp).
  int PgCtl(const std::string& args) {
    std::string out, err;
    std::error_code error;
    const std::string real = std::filesystem::canonical(dir_, error).string();
    return NqProcess::run("bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1) && cd / && "
                          "runuser -u postgres -- \"$bin/pg_ctl\" -D " + ShellWord(real + "/data") +
                              " -l " + ShellWord(real + "/server.log") + " -w " + args,
                          &out, &err, 120000);
  }

 private:
  int Script(const std::string& action) {
    std::string out, err;
    return NqProcess::run(ShellWord(std::string(EBS_SOURCE_DIR) + "/tools/pg-cluster.sh") + " " +
                              action + " " + ShellWord(dir_) + " " + std::getenv("EBS_TEST_PG_PORT"),
                          &out, &err, 120000);
  }
  TempDir root_;
  std::string dir_;
  bool started_ = false;
};

// The server stops (immediate shutdown) while a host's save waits on a lock another session
// holds: the save fails once, naming the lost connection, with the store's exit status; after a
// restart nothing of it is there and the app saved before is whole.
TEST(FleetServer, AServerStoppedInTheMiddleOfASaveLeavesNothingHalfWritten) {
  if (!pgtest::Available()) GTEST_SKIP() << "no private PostgreSQL cluster (pg_cluster fixture)";
  OwnCluster cluster;
  ASSERT_TRUE(cluster.started());
  ScopedEnv socket("EBS_TEST_PG_SOCKET", cluster.dir());  // pgtest:: now means this cluster
  HostSandbox sandbox;
  TempDir files;
  pgtest::Database db;
  pgtest::Database::AddLoginRole("host_a", "ebs_host");
  auto as = [&](const std::string& args) {
    return Host("--store " + ShellWord(db.UriFor("host_a")) + " " + args);
  };
  ASSERT_EQ(Host("--store " + ShellWord(db.OwnerUri()) + " store init").status, 0);
  WriteFile(files.file("discovered.xml"), Discovered("dbclient", "app01"));
  const std::string save = "save --config " + files.file("discovered.xml") + " --name ";
  ASSERT_EQ(as(save + "KEPT").status, 0);
  const std::string keptBefore = as("--json apps show 1").out;

  // The owner locks the apps; the save blocks behind it until the server goes.
  pgtest::Session owner(db.OwnerUri());
  ASSERT_TRUE(owner.Exec("BEGIN").ok);
  ASSERT_TRUE(owner.Exec("LOCK TABLE ebs.apps IN ACCESS EXCLUSIVE MODE").ok);
  HostRun blocked;
  std::thread saving([&] { blocked = as(save + "LOST"); });
  pgtest::Session watcher(db.SuperuserUri());
  bool waiting = false;
  for (int i = 0; i < 3000 && !waiting; ++i, usleep(10000))  // ebs-host starts, then waits
    waiting = watcher.Exec("SELECT 1 FROM pg_stat_activity WHERE usename = 'host_a' AND "
                           "wait_event_type = 'Lock'").rows.size() == 1;
  EXPECT_TRUE(waiting) << "the save never waited on the lock";
  EXPECT_EQ(cluster.PgCtl("-m immediate stop"), 0);
  saving.join();

  EXPECT_EQ(blocked.status, 1) << blocked.out << blocked.err;  // the server's answer: an error
  EXPECT_EQ(Count(blocked.err, "lost the connection to the store"), 1u) << blocked.err;

  ASSERT_EQ(cluster.PgCtl("start"), 0);
  HostRun list = as("--json apps list");
  ASSERT_EQ(list.status, 0) << list.err;
  json apps = OneDocument(list.out)["apps"];
  ASSERT_EQ(apps.size(), 1u) << list.out;
  EXPECT_EQ(apps[0]["name"], "KEPT");
  EXPECT_EQ(as("--json apps show 1").out, keptBefore);
}

}  // namespace
