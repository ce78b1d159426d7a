// The managing-server stand-in: its store (schema, transactions, concurrent writers, a locked
// database) and the request channel's answers.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <thread>

#include "platform/client_directory.h"
#include "platform/request_channel.h"
#include "platform/store.h"
#include "support/plugin.h"

namespace {

std::unique_ptr<ServerStore> Open(const std::string& path) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(path, store);
  EXPECT_TRUE(s.ok) << s.message;
  return store;
}

TEST(Store, ClientsAreFoundByAnyOfTheirHostsAndChangesAreAllOrNothing) {
  TempDir dir;
  auto store = Open(dir.file("nested/dir/store.db"));  // parent directories are created
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

TEST(Store, AppsAreSavedByNameAndReopenedIntact) {
  TempDir dir;
  int64_t first = 0, second = 0;
  bool created = false;
  {
    auto store = Open(dir.file("store.db"));
    ASSERT_TRUE(store->SaveApp("PROD", 64, "<m/>", &first, &created).ok);
    EXPECT_TRUE(created);
    ASSERT_TRUE(store->SaveApp("PROD", 64, "<m g=\"1\" n=\"1\"/>", &second, &created).ok);
    EXPECT_FALSE(created);
    EXPECT_EQ(first, second);
    EXPECT_FALSE(store->SaveApp("", 64, "", nullptr, nullptr).ok);
  }
  auto store = Open(dir.file("store.db"));
  std::optional<AppRecord> app;
  ASSERT_TRUE(store->GetApp(first, app).ok);
  ASSERT_TRUE(app);
  EXPECT_EQ(app->config, "<m g=\"1\" n=\"1\"/>");
  bool removed = true;
  ASSERT_TRUE(store->DeleteApp(first + 1, &removed).ok);
  EXPECT_FALSE(removed);
  ASSERT_TRUE(store->DeleteApp(first, &removed).ok);
  EXPECT_TRUE(removed);
}

TEST(Store, ConcurrentWritersAllLand) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  Open(path);
  constexpr int kThreads = 6, kApps = 30;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::unique_ptr<ServerStore> store;
      if (!ServerStore::Open(path, store).ok) {
        failures[t] = kApps;
        return;
      }
      for (int i = 0; i < kApps; ++i) {
        if (!store
                 ->SaveApp("app-" + std::to_string(t) + "-" + std::to_string(i), 64, "c", nullptr,
                           nullptr)
                 .ok)
          ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0);
  std::vector<AppRecord> apps;
  ASSERT_TRUE(Open(path)->ListApps(apps).ok);
  EXPECT_EQ(apps.size(), static_cast<size_t>(kThreads * kApps));
}

TEST(Store, ALockedDatabaseIsReportedNotCorrupted) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  auto store = Open(path);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  Status s = store->SaveApp("blocked", 64, "c", nullptr, nullptr);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("busy"), std::string::npos) << s.message;
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_TRUE(store->SaveApp("unblocked", 64, "c", nullptr, nullptr).ok);
}

TEST(Store, ANewerSchemaIsRefused) {
  TempDir dir;
  const std::string path = dir.file("store.db");
  Open(path);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(path, store);
  EXPECT_FALSE(s.ok);
  EXPECT_NE(s.message.find("newer"), std::string::npos);
}

// ----- the request channel and the client directory ------------------------------------------

int Exchange(unsigned long classId, const PXMessageBase& request, Hux::GenericResp* failure) {
  std::string text = request.serialized(), reply;
  XMLHandler channel;
  const int rc = channel.handleXMLReq(1, classId, text, reply, "", 0);
  if (failure) failure->unserialize(reply);
  return rc;
}

TEST(Channel, AnswersAsTheManagingServerWould) {
  HostSandbox sandbox;
  int64_t clientId = 0;
  ASSERT_TRUE(Open(sandbox.storePath())->AddClient("c1", {"h1.example.com"}, 0, 0, &clientId).ok);

  Api::VirtualAppReq save;
  View(save).set(Api::VirtualAppReq::operation, Api::kVirtualAppSave);
  auto app = View(save).child(Api::VirtualAppReq::virtualApp, Create::Yes);
  app.set(Api::VirtualApp::appType, 64);
  Hux::GenericResp failure;
  // A save without a name is refused with an explanation.
  EXPECT_EQ(Exchange(Api::VirtualAppReq::kClassId, save, &failure), kChannelInvalidRequest);
  EXPECT_NE(View(failure).get(Hux::GenericResp::errorMessage).find("name"), std::string::npos);
  app.child(Api::VirtualApp::appEntity, Create::Yes).set(NqEntities::AppEntity::appName, "PROD");
  EXPECT_EQ(Exchange(Api::VirtualAppReq::kClassId, save, nullptr), kChannelOk);

  Api::VirtualAppReq del;
  View(del).set(Api::VirtualAppReq::operation, Api::kVirtualAppDelete);
  View(del)
      .child(Api::VirtualAppReq::virtualApp, Create::Yes)
      .child(Api::VirtualApp::appEntity, Create::Yes)
      .set(NqEntities::AppEntity::appId, 999);
  EXPECT_EQ(Exchange(Api::VirtualAppReq::kClassId, del, &failure), kChannelNotFound);
  EXPECT_EQ(View(failure).get(Hux::GenericResp::errorCode), kChannelNotFound);

  App::SetClientPropertiesRequest props;
  View(props)
      .child(App::SetClientPropertiesRequest::clientList, Create::Yes)
      .list(App::ClientList::clients, Create::Yes)
      .append()
      .set(NqEntities::GenericEntity::clientId, clientId + 1);
  auto key = View(props)
                 .child(App::SetClientPropertiesRequest::propertiesInfo, Create::Yes)
                 .child(App::ClientPropertiesInfo::clientProperties, Create::Yes)
                 .list(App::ClientProperties::registryKeys, Create::Yes)
                 .append();
  key.set(App::RegistryKeyInfo::keyName, "nCollectClientConfig");
  EXPECT_EQ(Exchange(App::SetClientPropertiesRequest::kClassId, props, &failure), kChannelNotFound);
  EXPECT_NE(View(failure).get(Hux::GenericResp::errorMessage).find("unknown client"),
            std::string::npos);

  EXPECT_EQ(Exchange(12345, props, nullptr), kChannelInvalidRequest);
  // The request text is read as the class it is announced as.
  EXPECT_EQ(Exchange(Api::VirtualAppReq::kClassId, props, nullptr), kChannelInvalidRequest);
}

TEST(Channel, AnUnusableStoreIsAFailureNotACrash) {
  TempDir dir;
  ScopedEnv store("EBS_HOST_STORE", dir.path());  // a directory, not a database file
  Api::VirtualAppReq save;
  View(save).set(Api::VirtualAppReq::operation, 0);
  View(save)
      .child(Api::VirtualAppReq::virtualApp, Create::Yes)
      .child(Api::VirtualApp::appEntity, Create::Yes)
      .set(NqEntities::AppEntity::appName, "PROD");
  EXPECT_EQ(Exchange(Api::VirtualAppReq::kClassId, save, nullptr), kChannelStoreFailed);
  NQClient client("h1.example.com", NQNameType(0), 0, nullptr);
  unsigned long id = 0;
  EXPECT_NE(client.getClientId(id, nullptr), 0);
}

}  // namespace
