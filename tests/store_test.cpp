// The managing-server stand-in: its SQLite store (a locked database, the migration of an older
// store, paths that are no store, read-only use) and the request channel's answers. What every
// backend does: store_ops_test.cpp; concurrent writers: store_connection_test.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/server/client_directory.h"
#include "platform/server/request_channel.h"
#include "platform/server/store.h"
#include "store_ids.h"
#include "support/plugin.h"
#include "support/test_text.h"

namespace {

std::unique_ptr<ServerStore> Open(const std::string& path) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(path, store);
  EXPECT_TRUE(s.ok) << s.message;
  return store;
}

// Runs `sql` on the file directly, as an older version or another program would.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

// The rows `sql` selects from the file, read directly, one line each ("a|b|c").
std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* q = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr), SQLITE_OK) << sql;
  std::string out;
  while (sqlite3_step(q) == SQLITE_ROW) {
    for (int c = 0; c < sqlite3_column_count(q); ++c) {
      const unsigned char* v = sqlite3_column_text(q, c);
      out += std::string(c ? "|" : "") + (v ? reinterpret_cast<const char*>(v) : "NULL");
    }
    out += "\n";
  }
  sqlite3_finalize(q);
  sqlite3_close(db);
  return out;
}

// Every row of every table of a store.
std::string Rows(const std::string& path) {
  std::string out;
  for (const char* table : {"clients", "client_hosts", "registry_values"})
    out += Query(path, std::string("SELECT * FROM ") + table + " ORDER BY 1, 2");
  // The columns an app has had since the first version.
  return out + Query(path, "SELECT id, name, type, config, updated_at FROM apps ORDER BY 1");
}

std::string Version(const std::string& path) { return Query(path, "PRAGMA user_version"); }

// An SQLite file's missing parent directories are made, private; one that cannot be made is
// named in the refusal.
TEST(Store, MissingParentDirectoriesAreMadePrivate) {
  TempDir dir;
  auto store = Open(dir.file("nested/dir/store.db"));
  struct stat st {};
  ASSERT_EQ(stat(dir.file("nested").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // (here under a link to nowhere, which root takes nowhere on the way at all)
  ASSERT_EQ(symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()), 0);
  std::unique_ptr<ServerStore> none;
  EXPECT_EQ(ServerStore::Open(dir.file("dangling/dir/store.db"), none).message,
            "cannot open store " + dir.file("dangling/dir/store.db") + ": " +
                (geteuid() == 0 ? dir.file("dangling") + " is a symbolic link"
                                : "cannot create " + dir.file("dangling/dir") +
                                      ": No such file or directory"));
}

TEST(Store, ALockedDatabaseIsReportedNotCorrupted) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  auto store = Open(path);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::string refused = store->SaveApp("blocked", 64, "c", nullptr, nullptr).message;
  EXPECT_NE(refused.find("busy"), std::string::npos) << refused;
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_TRUE(store->SaveApp("unblocked", 64, "c", nullptr, nullptr).ok);
}

// A version-1 migration that fails half-way (a view of the user's names the apps table, so the
// rebuilt table cannot take its name) leaves the store at version 1, whole. Once migrated, ids go
// up past ids whose rows are gone, and registry values still go with their client.
TEST(Store, AVersion1MigrationIsAllOrNothingAndKeepsIdsUnique) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  Sql(path, ReadFile(std::string(EBS_SOURCE_DIR) + "/tests/testdata/store-v1.sql") +
                "CREATE VIEW app_names AS SELECT name FROM apps;");
  const std::string rows = Rows(path);
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(path, store);
  EXPECT_NE(s.message.find("app_names"), std::string::npos) << s.message;
  EXPECT_EQ(Version(path) + Rows(path), "1\n" + rows);

  Sql(path, "DROP VIEW app_names");
  store = Open(path);
  ASSERT_TRUE(store->RemoveClient("ebsapp01", nullptr).ok);
  ASSERT_TRUE(store->AddClient("ebsapp02", {"ebsapp01.example.com"}, 2, 0, nullptr).ok);
  ASSERT_TRUE(store->DeleteApp(3, nullptr).ok);
  ASSERT_TRUE(store->SaveApp("NEXT", 64, "", nullptr, nullptr).ok);
  EXPECT_EQ(Ids(*store), "clients 1 4, apps 1 4");
  EXPECT_EQ(Query(path, "SELECT client_id, count(*) FROM registry_values GROUP BY 1"), "1|1\n");
}

// Stores of the earlier schemas (tests/testdata/store-v1.sql … store-v3.sql) reach the current
// one in place: every row kept (metadata too), no app with a saver or a drift check, and from
// then on metadata and drift checks go with their app. Read-only, they read as they are.
TEST(Store, AnOlderStoreIsMigratedToKeepDiscoveryMetadata) {
  const struct {
    const char* fixture;
    std::string ids;      // as listed before and after the migration
    int64_t app;          // an app of the fixture without metadata
    std::string nextIds;  // after one more app: a removed id is not given again
    const char* metadata; // rows of app_metadata kept
  } cases[] = {
      {"store-v1.sql", "clients 1 3, apps 1 3", 3, "clients 1 3, apps 1 3 4", "0\n"},
      {"store-v2.sql", "clients 1 3, apps 1 2", 2, "clients 1 3, apps 1 2 4", "0\n"},
      {"store-v3.sql", "clients 1 3, apps 1 2", 2, "clients 1 3, apps 1 2 4", "1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fixture);
    TempDir dir;
    const std::string path = dir.file("store.db");
    Sql(path, ReadFile(std::string(EBS_SOURCE_DIR) + "/tests/testdata/" + c.fixture));
    const std::string rows = Rows(path);

    std::unique_ptr<ServerStore> store;
    ASSERT_TRUE(ServerStore::Open(path, store, StoreAccess::ReadOnly).ok && store);
    std::optional<AppMetadata> metadata = AppMetadata{};
    ASSERT_TRUE(store->GetAppMetadata(c.app, metadata).ok);
    EXPECT_FALSE(metadata);
    EXPECT_FALSE(store->SetAppMetadata(c.app, {"PROD", "apps", "now", "1"}).ok);
    store.reset();
    const std::string current = std::to_string(ServerStore::kSchemaVersion) + "\n";
    EXPECT_NE(Version(path), current);

    store = Open(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(Version(path) + Rows(path), current + rows);
    EXPECT_EQ(Ids(*store), c.ids);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM app_metadata"), c.metadata);
    std::optional<AppRecord> app;
    ASSERT_TRUE(store->GetApp(c.app, app).ok && app);
    EXPECT_EQ(app->savedBy, "");
    EXPECT_FALSE(app->lastDiff);
    ASSERT_TRUE(store->RecordDiff(c.app, DriftCheck{"", true, 1, 0, 2, 5}).ok);
    // A client's hosts are found by its id without a scan of every host.
    EXPECT_EQ(
        Query(path, "SELECT count(*) FROM sqlite_master WHERE name = 'client_hosts_by_client'"),
        "1\n");
    ASSERT_TRUE(store->SetAppMetadata(c.app, {"PROD", "apps", "2026-12-06T18:00:00Z", "1.0"}).ok);
    ASSERT_TRUE(store->GetAppMetadata(c.app, metadata).ok && metadata);
    EXPECT_EQ(metadata->sid + " " + metadata->dbUser, "PROD apps");
    ASSERT_TRUE(store->SaveApp("NEXT", 64, "", nullptr, nullptr).ok);
    EXPECT_EQ(Ids(*store), c.nextIds);
    ASSERT_TRUE(store->GetApp(c.app, app).ok && app && app->lastDiff);
    EXPECT_EQ(app->lastDiff->removed, 2);
    ASSERT_TRUE(store->DeleteApp(c.app, nullptr).ok);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM app_metadata"), c.metadata);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM app_drift"), "0\n");
  }
}

// A copy keeps every id and the highest ids ever given: tests/testdata/store-v3.sql removed app 3
// and client 2, so the copy gives neither again. A store that holds something is no target.
TEST(Store, ACopyKeepsIdsAndGivesNoRemovedIdAgain) {
  TempDir dir;
  const std::string from = dir.file("from.db");
  Sql(from, ReadFile(std::string(EBS_SOURCE_DIR) + "/tests/testdata/store-v3.sql"));
  StoreContent content;
  ASSERT_TRUE(Open(from)->ReadAll(content).ok);
  EXPECT_EQ(content.appIdsGiven, 3);
  std::unique_ptr<ServerStore> to = Open(dir.file("to.db"));
  ASSERT_TRUE(to->WriteAll(content, "host_a").ok);
  EXPECT_EQ(Ids(*to), "clients 1 3, apps 1 2");
  ASSERT_TRUE(to->SaveApp("NEXT", 64, "", nullptr, nullptr).ok);
  ASSERT_TRUE(to->AddClient("next", {"next.example.com"}, 0, 0, nullptr).ok);
  EXPECT_EQ(Ids(*to), "clients 1 3 4, apps 1 2 4");
  std::optional<AppRecord> app;
  ASSERT_TRUE(to->GetApp(1, app).ok && app);
  EXPECT_EQ(app->savedBy, "host_a");
  EXPECT_FALSE(to->WriteAll(content, "").ok);
}

TEST(Store, AReadOnlyOpenCreatesNothingAndChangesNothing) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  std::unique_ptr<ServerStore> store;
  // Neither the file nor its parent directories appear; the store reads as empty. A writer that
  // only changes what is there already makes nothing either.
  const std::string below = dir.file("state/ebs-host/store.db");
  for (const StoreAccess access : {StoreAccess::ReadOnly, StoreAccess::ReadWriteExisting}) {
    ASSERT_TRUE(ServerStore::Open(below, store, access).ok);
    EXPECT_FALSE(store);
    EXPECT_TRUE(Entries(dir.path()).empty());
  }
  // A file that a first save has just created, and SQLite has not written yet: empty too.
  WriteFile(path, "");
  ASSERT_TRUE(ServerStore::Open(path, store, StoreAccess::ReadOnly).ok);
  EXPECT_FALSE(store);
  EXPECT_EQ(ReadFile(path), "");
  // A store is read, never written, and no journal file stays behind.
  ASSERT_TRUE(Open(path)->AddClient("c1", {"h1"}, 0, 0, nullptr).ok);
  const std::string content = ReadFile(path);
  ASSERT_TRUE(ServerStore::Open(path, store, StoreAccess::ReadOnly).ok && store);
  EXPECT_EQ(Ids(*store), "clients 1, apps");
  EXPECT_FALSE(store->AddClient("c2", {"h2"}, 0, 0, nullptr).ok);
  EXPECT_FALSE(store->SaveApp("PROD", 64, "", nullptr, nullptr).ok);
  store.reset();
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"store.db"});
  EXPECT_EQ(ReadFile(path), content);
}

TEST(Store, APathThatIsNoStoreIsRefusedWithItsReasonAndLeftAlone) {
  const std::string foreign = "CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('keep');";
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    std::string reason;
  } cases[] = {
      {"a directory", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); },
       "it is a directory, not a store file"},
      {"a text file", [](const std::string& p) { WriteFile(p, "clients: none\n"); },
       "it is not an SQLite database, so not a store"},
      {"another program's database", [&](const std::string& p) { Sql(p, foreign); },
       "it is an SQLite database of another program (tables: notes)"},
      // The schema version alone does not make a store of this program.
      {"another program's database at version 1",
       [&](const std::string& p) { Sql(p, foreign + "PRAGMA user_version = 1;"); },
       "it is an SQLite database of another program (tables: notes)"},
      {"a database marked by another program",
       [](const std::string& p) { Sql(p, "PRAGMA application_id = 42;"); },
       "it is an SQLite database of another program (application id 42)"},
      {"a store of a newer version",
       [](const std::string& p) { Open(p), Sql(p, "PRAGMA user_version = 99;"); },
       "its schema version 99 is newer than this program's 4"},
      {"a symbolic link to a store",
       [](const std::string& p) { Open(p + ".real"), symlink((p + ".real").c_str(), p.c_str()); },
       "it is a symbolic link"},
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
       "it is not a regular file"},
  };
  for (const StoreAccess access :
       {StoreAccess::ReadOnly, StoreAccess::ReadWrite, StoreAccess::ReadWriteExisting}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", access " + std::to_string(static_cast<int>(access)));
      TempDir dir;
      const std::string path = dir.file("store.db");
      c.make(path);
      const std::vector<std::string> entries = Entries(dir.path());
      struct stat st {};
      const bool regular = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      const std::string content = regular ? ReadFile(path) : "";
      std::unique_ptr<ServerStore> store;
      Status s = ServerStore::Open(path, store, access);
      EXPECT_FALSE(s.ok);
      EXPECT_FALSE(store);
      EXPECT_NE(s.message.find("cannot open store " + path + ": " + c.reason), std::string::npos)
          << s.message;
      EXPECT_EQ(Entries(dir.path()), entries);
      if (regular) {
        EXPECT_EQ(ReadFile(path), content);
      }
    }
  }
}

// The store's content is input: a trigger with an endless recursive query (planted by whoever
// could write the file) is stopped by the bound on one statement's work, and its change undone.
TEST(Store, ATriggerThatNeverEndsIsStopped) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  Open(path);
  Sql(path,
      "CREATE TRIGGER endless AFTER INSERT ON clients BEGIN SELECT count(*) FROM (WITH RECURSIVE "
      "r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT n FROM r); END;");
  auto store = Open(path);
  ASSERT_TRUE(store);
  const Status s = store->AddClient("c1", {"h1"}, 0, 0, nullptr);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("so it was stopped"), std::string::npos) << s.message;
  std::vector<ClientRecord> clients;
  ASSERT_TRUE(store->ListClients(clients).ok);
  EXPECT_TRUE(clients.empty());
}

// ----- the request channel and the client directory ------------------------------------------

int Exchange(unsigned long classId, const PXMessageBase& request, Hux::GenericResp* failure) {
  std::string text = request.serialized(), reply;
  XMLHandler channel;
  const int rc = channel.handleXMLReq(1, classId, text, reply, "", 0);
  if (failure) failure->unserialize(reply);
  return rc;
}

// A virtual-app request: a save of `name`, or a delete of `id`.
Api::VirtualAppReq AppRequest(const std::string& name, int64_t id = 0) {
  Api::VirtualAppReq req;
  View(req).set(Api::VirtualAppReq::operation, id ? Api::kVirtualAppDelete : Api::kVirtualAppSave);
  auto app = View(req).child(Api::VirtualAppReq::virtualApp, Create::Yes);
  if (!id) app.set(Api::VirtualApp::appType, 64);
  auto entity = app.child(Api::VirtualApp::appEntity, Create::Yes);
  if (id) entity.set(NqEntities::AppEntity::appId, id);
  if (!name.empty()) entity.set(NqEntities::AppEntity::appName, name);
  return req;
}

App::SetClientPropertiesRequest PropertiesRequest(int64_t clientId) {
  App::SetClientPropertiesRequest props;
  View(props)
      .child(App::SetClientPropertiesRequest::clientList, Create::Yes)
      .list(App::ClientList::clients, Create::Yes)
      .append()
      .set(NqEntities::GenericEntity::clientId, clientId);
  View(props)
      .child(App::SetClientPropertiesRequest::propertiesInfo, Create::Yes)
      .child(App::ClientPropertiesInfo::clientProperties, Create::Yes)
      .list(App::ClientProperties::registryKeys, Create::Yes)
      .append()
      .set(App::RegistryKeyInfo::keyName, "nCollectClientConfig");
  return props;
}

std::string Reason(Hux::GenericResp& failure) {
  return View(failure).get(Hux::GenericResp::errorMessage);
}

TEST(Channel, AnswersAsTheManagingServerWould) {
  HostSandbox sandbox;
  const unsigned long kApp = Api::VirtualAppReq::kClassId;
  const unsigned long kProps = App::SetClientPropertiesRequest::kClassId;
  // A delete, a registry change and a lookup find nothing in a missing store, and leave it
  // missing (not even a log appears).
  Hux::GenericResp failure;
  EXPECT_EQ(Exchange(kApp, AppRequest("", 1), &failure), kChannelNotFound);
  EXPECT_EQ(Reason(failure), "no virtual app with id 1");
  EXPECT_EQ(Exchange(kProps, PropertiesRequest(5), &failure), kChannelNotFound);
  EXPECT_EQ(Reason(failure), "unknown client id 5");
  unsigned long id = 0;
  std::string name;
  EXPECT_EQ(NQClient("h1.example.com", NQNameType(0), 0, nullptr).getClientId(id, nullptr),
            kClientUnknown);
  EXPECT_EQ(NQClient("c1", false, 0).getName(name, nullptr), kClientUnknown);
  EXPECT_EQ(Entries(sandbox.dir().path()), std::vector<std::string>{});

  int64_t clientId = 0;
  ASSERT_TRUE(Open(sandbox.storePath())->AddClient("c1", {"h1.example.com"}, 0, 0, &clientId).ok);
  // A refusal's code and reason are in the answer (and its reason in an error line of the log).
  EXPECT_EQ(Exchange(kApp, AppRequest(""), &failure), kChannelInvalidRequest);
  EXPECT_EQ(Reason(failure), "virtual app save request without a name");
  EXPECT_EQ(Exchange(kApp, AppRequest("PROD"), nullptr), kChannelOk);
  EXPECT_EQ(Exchange(kApp, AppRequest("", 999), &failure), kChannelNotFound);
  EXPECT_EQ(View(failure).get(Hux::GenericResp::errorCode), kChannelNotFound);
  EXPECT_EQ(Reason(failure), "no virtual app with id 999");
  const App::SetClientPropertiesRequest props = PropertiesRequest(clientId + 1);
  EXPECT_EQ(Exchange(kProps, props, &failure), kChannelNotFound);
  EXPECT_EQ(Reason(failure), "unknown client id " + std::to_string(clientId + 1));
  EXPECT_EQ(Exchange(12345, props, nullptr), kChannelInvalidRequest);
  // The request text is read as the class it is announced as.
  EXPECT_EQ(Exchange(kApp, props, nullptr), kChannelInvalidRequest);
}

TEST(Channel, AnUnusableStoreIsAFailureNotACrash) {
  TempDir dir;
  ScopedEnv store("EBS_HOST_STORE", dir.path());  // a directory, not a database file
  EXPECT_EQ(Exchange(Api::VirtualAppReq::kClassId, AppRequest("PROD"), nullptr),
            kChannelStoreFailed);
  NQClient client("h1.example.com", NQNameType(0), 0, nullptr);
  unsigned long id = 0;
  EXPECT_EQ(client.getClientId(id, nullptr), kDirectoryUnavailable);
}

}  // namespace
