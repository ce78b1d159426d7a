// What every backend of the store does alike: clients found by any of their hosts, changes all or
// nothing, apps saved by name with their metadata, ids never given twice. Built twice: into
// store_test on an SQLite file of its own, and into store_pg_test (EBS_STORE_TEST_POSTGRESQL) on
// a fresh database of the private PostgreSQL cluster, used as its owner.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/server/store.h"
#include "store_ids.h"
#include "support/plugin.h"
#ifdef EBS_STORE_TEST_POSTGRESQL
#include "support/pg_cluster.h"
#endif

namespace {

class StoreOps : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef EBS_STORE_TEST_POSTGRESQL
    if (!pgtest::Available()) GTEST_SKIP() << "no private PostgreSQL cluster (pg_cluster fixture)";
    db_ = std::make_unique<pgtest::Database>();
    location_ = db_->OwnerUri();
    std::string done;
    Status s = ServerStore::Init(location_, &done);
    ASSERT_TRUE(s.ok) << s.message;
#else
    location_ = dir_.file("store.db");
#endif
  }
  // The store, opened (again) for reading and writing.
  std::unique_ptr<ServerStore> OpenStore() {
    std::unique_ptr<ServerStore> store;
    Status s = ServerStore::Open(location_, store);
    EXPECT_TRUE(s.ok && store) << s.message;
    return store;
  }
  // How many rows `table` holds, read behind the store's back.
  long Rows(const std::string& table) {
#ifdef EBS_STORE_TEST_POSTGRESQL
    return std::stol(pgtest::Session(location_).Exec("SELECT count(*) FROM ebs." + table).Value());
#else
    const std::string sql = "SELECT count(*) FROM " + table;
    sqlite3* db = nullptr;
    sqlite3_stmt* q = nullptr;
    long n = -1;
    if (sqlite3_open_v2(location_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
      n = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    sqlite3_close(db);
    return n;
#endif
  }

 private:
  TempDir dir_;
#ifdef EBS_STORE_TEST_POSTGRESQL
  std::unique_ptr<pgtest::Database> db_;
#endif
  std::string location_;
};

TEST_F(StoreOps, ClientsAreFoundByAnyOfTheirHostsAndChangesAreAllOrNothing) {
  auto store = OpenStore();
  int64_t id = 0;
  ASSERT_TRUE(
      store->AddClient("ebsapp01", {"app01.example.com", "app01-vip.example.com"}, 7, 0, &id).ok);
  std::optional<ClientRecord> found;
  ASSERT_TRUE(store->FindClientByHost("APP01-VIP.Example.COM", found).ok);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, id);
  EXPECT_EQ(found->hiveId, 7);
  EXPECT_EQ(found->hosts.size(), 2u);

  // A second client claiming a host already taken is refused whole: no client row remains.
  Status s = store->AddClient("intruder", {"new.example.com", "app01.example.com"}, 0, 0, nullptr);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("app01.example.com"), std::string::npos);
  ASSERT_TRUE(store->FindClientByName("intruder", found).ok);
  EXPECT_FALSE(found);
  ASSERT_TRUE(store->FindClientByHost("new.example.com", found).ok);
  EXPECT_FALSE(found);

  // Registry values are set only when every addressed client exists.
  RegistryValue v{0, "Huxwire", "nCollectClientConfig", "INTEGER", "1", 1, 0, 0};
  std::string missing;
  EXPECT_FALSE(store->SetRegistryValues({id, id + 100}, {v}, &missing).ok);
  EXPECT_EQ(missing, std::to_string(id + 100));
  std::vector<RegistryValue> values;
  ASSERT_TRUE(store->RegistryValues(id, values).ok);
  EXPECT_TRUE(values.empty());
  ASSERT_TRUE(store->SetRegistryValues({id}, {v}, nullptr).ok);
  ASSERT_TRUE(store->RegistryValues(id, values).ok);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].value, "1");

  // Removing a client takes its hosts and registry values with it.
  bool removed = false;
  ASSERT_TRUE(store->RemoveClient("ebsapp01", &removed).ok);
  EXPECT_TRUE(removed);
  ASSERT_TRUE(store->RegistryValues(id, values).ok);
  EXPECT_TRUE(values.empty());
  ASSERT_TRUE(store->AddClient("again", {"app01.example.com"}, 0, 0, nullptr).ok);
}

// Apps: saved again by name under the same id, reopened intact. Their metadata: replaced as a
// whole by a later save, empty fields kept as unknown, refused for an app that does not exist,
// gone with its app, like its last drift check (never inherited by a later one of the same name).
TEST_F(StoreOps, AppsAndTheirMetadataAreSavedByNameAndGoTogether) {
  int64_t id = 0, again = 0;
  bool created = false;
  {
    auto store = OpenStore();
    ASSERT_TRUE(store->SaveApp("PROD", 64, "<m/>", &id, &created).ok);
    EXPECT_TRUE(created);
    ASSERT_TRUE(store->SaveApp("PROD", 64, "<m g=\"1\" n=\"1\"/>", &again, &created).ok);
    EXPECT_FALSE(created);
    EXPECT_EQ(id, again);
    EXPECT_FALSE(store->SaveApp("", 64, "", nullptr, nullptr).ok);
  }
  auto store = OpenStore();
  std::optional<AppRecord> app;
  ASSERT_TRUE(store->GetApp(id, app).ok && app);
  EXPECT_EQ(app->config, "<m g=\"1\" n=\"1\"/>");
  std::optional<AppMetadata> m;
  ASSERT_TRUE(store->GetAppMetadata(id, m).ok);
  EXPECT_FALSE(m);  // saved, nothing said about its discovery
  ASSERT_TRUE(store->SetAppMetadata(id, {"PROD", "apps", "2026-12-06T18:00:00Z", "1.0"}).ok);
  ASSERT_TRUE(store->SetAppMetadata(id, {"", "system", "", "1.1"}).ok);
  ASSERT_TRUE(store->GetAppMetadata(id, m).ok && m);
  EXPECT_EQ(m->sid + "|" + m->dbUser + "|" + m->discoveredAt + "|" + m->pluginVersion,
            "|system||1.1");
  Status s = store->SetAppMetadata(id + 1, {"X", "apps", "", ""});
  EXPECT_NE(s.message.find("no virtual app with id " + std::to_string(id + 1)), std::string::npos);

  ASSERT_TRUE(store->RecordDiff(id, {"", true, 1, 0, 0, 1}).ok);
  bool removed = true;
  ASSERT_TRUE(store->DeleteApp(id + 1, &removed).ok);
  EXPECT_FALSE(removed);
  ASSERT_TRUE(store->DeleteApp(id, &removed).ok);
  EXPECT_TRUE(removed);
  EXPECT_EQ(Rows("app_metadata") + Rows("app_drift"), 0);
  ASSERT_TRUE(store->SaveApp("PROD", 64, "<m/>", &id, nullptr).ok);
  ASSERT_TRUE(store->GetAppMetadata(id, m).ok);
  EXPECT_FALSE(m);
}

TEST_F(StoreOps, IdsOfRemovedClientsAndAppsAreNeverGivenAgain) {
  auto store = OpenStore();
  for (const char* name : {"a", "b", "c"})
    ASSERT_TRUE(store->AddClient(name, {std::string(name) + ".example.com"}, 0, 0, nullptr).ok);
  ASSERT_TRUE(store->SaveApp("PROD", 64, "", nullptr, nullptr).ok);
  // The highest ids go; a script that holds them must not reach a newcomer.
  ASSERT_TRUE(store->RemoveClient("c", nullptr).ok);
  ASSERT_TRUE(store->DeleteApp(1, nullptr).ok);
  store = OpenStore();
  ASSERT_TRUE(store->AddClient("d", {"c.example.com"}, 0, 0, nullptr).ok);
  ASSERT_TRUE(store->SaveApp("PROD", 64, "", nullptr, nullptr).ok);
  EXPECT_EQ(Ids(*store), "clients 1 2 4, apps 2");

  // An explicit id at the top of the 32-bit range leaves no new id that a request could carry.
  ASSERT_TRUE(store->AddClient("top", {"top.example.com"}, 0, 2147483647, nullptr).ok);
  Status s = store->AddClient("next", {"next.example.com"}, 0, 0, nullptr);
  EXPECT_NE(s.message.find("no client id within the 32-bit range is left"), std::string::npos);
}

}  // namespace
