// Registration with the managing server, through the plug-in loaded as the host loads it: what
// the server stand-in receives and keeps (its store), what reaches the answer, and what only the
// log shows. Shapes the store does not keep are read back from the request texts in the log.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <functional>
#include <optional>

#include "platform/store.h"
#include "support/plugin.h"

namespace {

const char* const kSecret = "s3cret-Pa55";

std::unique_ptr<ServerStore> OpenStore(const HostSandbox& sandbox) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(sandbox.storePath(), store);
  EXPECT_TRUE(s.ok) << s.message;
  return store;
}

void AddClient(const HostSandbox& sandbox, const std::string& name, int64_t id) {
  Status s = OpenStore(sandbox)->AddClient(name, {name + ".example.com"}, 7, id, nullptr);
  ASSERT_TRUE(s.ok) << s.message;
}

// Makes the store refuse a change, as a server that turns a request down.
void AddRefusal(const HostSandbox& sandbox, const std::string& triggerSql) {
  OpenStore(sandbox);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(sandbox.storePath().c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, triggerSql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
}

std::vector<RegistryValue> RegistryOf(const HostSandbox& sandbox, int64_t clientId) {
  std::vector<RegistryValue> values;
  EXPECT_TRUE(OpenStore(sandbox)->RegistryValues(clientId, values).ok);
  return values;
}

std::vector<AppRecord> Apps(const HostSandbox& sandbox) {
  std::vector<AppRecord> apps;
  EXPECT_TRUE(OpenStore(sandbox)->ListApps(apps).ok);
  return apps;
}

// A configuration named `name` whose database and application nodes stand on the given clients
// (nullopt: a node without a client entity). Entities carry stale ids: the directory decides.
Hux::OraEBSConfig Config(const std::string& name,
                         const std::vector<std::optional<std::string>>& dbClients,
                         const std::vector<std::optional<std::string>>& appClients) {
  Hux::OraEBSConfig config;
  auto c = View(config);
  c.set(Hux::OraEBSConfig::appsVersion, "12.2.9");
  auto app = c.child(Hux::OraEBSConfig::virtualApp, Create::Yes);
  app.set(NqEntities::AppEntity::appName, name);
  app.set(NqEntities::AppEntity::appId, 99);
  auto db = c.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  db.set(Hux::OraEBSDBTier::dbSid, "VIS");
  db.child(Hux::OraEBSDBTier::osUser, Create::Yes).set(UserCredentials::userName, "oracle");
  db.child(Hux::OraEBSDBTier::osUser, Create::No).set(UserCredentials::password, kSecret);
  auto dbNodes = db.list(Hux::OraEBSDBTier::dbNodes, Create::Yes);
  for (const auto& client : dbClients) {
    auto node = dbNodes.append();
    node.set(Hux::OraEBSDBNode::hostName, client.value_or("bare"));
    if (client) {
      auto e = node.child(Hux::OraEBSDBNode::client, Create::Yes);
      e.set(NqEntities::ClientEntity::clientName, *client);
      e.set(NqEntities::ClientEntity::clientId, 999);
    }
  }
  auto apps = c.child(Hux::OraEBSConfig::appTier, Create::Yes);
  apps.child(Hux::OraEBSAppTier::databaseLogin, Create::Yes)
      .set(UserCredentials::password, kSecret);
  auto appNodes = apps.list(Hux::OraEBSAppTier::appNodes, Create::Yes);
  for (const auto& client : appClients) {
    auto node = appNodes.append();
    node.set(Hux::OraEBSAppNode::hostName, client.value_or("bare"));
    node.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes).push_back(Hux::WebEntry);
    if (client)
      node.child(Hux::OraEBSAppNode::client, Create::Yes)
          .set(NqEntities::ClientEntity::clientName, *client);
  }
  return config;
}

std::string Inner(int64_t messageType, const std::optional<Hux::OraEBSConfig>& config) {
  Hux::OraEBSReqResp request;
  View(request).set(Hux::OraEBSReqResp::messageType, messageType);
  if (config)
    View(request).attach(Hux::OraEBSReqResp::ebsConfig,
                         std::make_unique<Hux::OraEBSConfig>(*config));
  return request.serialized();
}

// The log written since the last call, which it empties.
std::string TakeLog(const HostSandbox& sandbox) {
  std::string log = sandbox.log();
  WriteFile(sandbox.logPath(), "");
  return log;
}

// Texts that lines containing `marker` carry from `opening` to the line's last ']'.
std::vector<std::string> Logged(const std::string& log, const std::string& marker,
                                const std::string& opening) {
  std::vector<std::string> texts;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    start = end + 1;
    const size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    const size_t from = line.find(opening, at);
    const size_t to = line.rfind(']');
    if (from == std::string::npos || to == std::string::npos || to < from + opening.size())
      continue;
    texts.push_back(line.substr(from + opening.size(), to - from - opening.size()));
  }
  return texts;
}

std::vector<App::SetClientPropertiesRequest> RegistryRequests(const std::string& log) {
  std::vector<App::SetClientPropertiesRequest> out;
  for (const std::string& text :
       Logged(log, "[SetRemoteRegKey] Setting registry key [nCollectClientConfig] for client [",
              "Request xml [")) {
    out.emplace_back();
    EXPECT_TRUE(out.back().unserialize(text)) << text;
  }
  return out;
}

std::optional<Api::VirtualAppReq> VirtualAppRequest(const std::string& log, const char* label) {
  const auto texts = Logged(log, std::string("[") + label + "] Virtual app ", "request XML [");
  if (texts.empty()) return std::nullopt;
  EXPECT_EQ(texts.size(), 1u);
  Api::VirtualAppReq req;
  EXPECT_TRUE(req.unserialize(texts.front())) << texts.front();
  return req;
}

bool Has(const std::string& log, const std::string& text) {
  return log.find(text) != std::string::npos;
}

// The first line of `log` that contains `text`, without its end of line; empty when none.
std::string LineOf(const std::string& log, const std::string& text) {
  const size_t at = log.find(text);
  if (at == std::string::npos) return std::string();
  const size_t begin = log.rfind('\n', at);
  const size_t from = begin == std::string::npos ? 0 : begin + 1;
  return log.substr(from, log.find('\n', at) - from);
}

TEST(Save, RegistryRequestsFollowTheNodesAndTheSaveCarriesTheConfiguration) {
  HostSandbox sandbox;
  AddClient(sandbox, "db1", 101);
  AddClient(sandbox, "app1", 201);
  AddClient(sandbox, "app2", 202);
  // Database nodes first, each list in its order, repeats kept, nodes without a client skipped.
  const Hux::OraEBSConfig config =
      Config("VIS-prod", {"db1", std::nullopt, "db1"}, {"app2", std::nullopt, "app1"});
  const std::string inner = Inner(1, config);
  PluginCall call = CallPlugin(Envelope(1, inner));
  const std::string log = TakeLog(sandbox);

  EXPECT_EQ(call.result, 0);
  EXPECT_EQ(call.errorCode, 0);
  EXPECT_EQ(call.errorMessage, "");
  EXPECT_EQ(call.inner, inner);
  EXPECT_FALSE(Has(log, "Unable to")) << log;
  EXPECT_FALSE(Has(log, "SetRegistryKeyForClients module failed"));

  // Each set-client-properties request names one client by its directory id and one key.
  const auto requests = RegistryRequests(log);
  const std::vector<int64_t> expectedOrder = {101, 101, 202, 201};
  App::RegistryKeyInfo expectedKey;
  auto k = View(expectedKey);
  k.set(App::RegistryKeyInfo::keyName, "nCollectClientConfig");
  k.set(App::RegistryKeyInfo::keyType, "INTEGER");
  k.set(App::RegistryKeyInfo::keyValue, "1");
  k.set(App::RegistryKeyInfo::keyPath, "Huxwire");
  k.set(App::RegistryKeyInfo::keyFlags, 0);
  k.set(App::RegistryKeyInfo::keyMode, 1);
  k.set(App::RegistryKeyInfo::keyOptions, 0);
  ASSERT_EQ(requests.size(), expectedOrder.size()) << log;
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    App::SetClientPropertiesRequest req = requests[i];
    EXPECT_EQ(req.fields().size(), 2u);
    auto clients = View(req)
                       .child(App::SetClientPropertiesRequest::clientList, Create::No)
                       .list(App::ClientList::clients, Create::No);
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients.at(0).get(NqEntities::GenericEntity::clientId), expectedOrder[i]);
    auto keys = View(req)
                    .child(App::SetClientPropertiesRequest::propertiesInfo, Create::No)
                    .child(App::ClientPropertiesInfo::clientProperties, Create::No)
                    .list(App::ClientProperties::registryKeys, Create::No);
    ASSERT_EQ(keys.size(), 1u);
    // All seven fields and nothing else.
    EXPECT_EQ(keys.at(0).raw().serialized(), expectedKey.serialized());
  }

  // The values landed on the clients.
  for (int64_t id : {101, 201, 202}) {
    SCOPED_TRACE(id);
    const auto v = RegistryOf(sandbox, id);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].path + "|" + v[0].name + "|" + v[0].type + "|" + v[0].value,
              "Huxwire|nCollectClientConfig|INTEGER|1");
    EXPECT_EQ(std::vector<int64_t>({v[0].mode, v[0].flags, v[0].options}),
              std::vector<int64_t>({1, 0, 0}));
  }

  // The app is saved under the configuration's name with type 64 and the whole configuration,
  // whose passwords the server does not keep.
  const auto apps = Apps(sandbox);
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].name, "VIS-prod");
  EXPECT_EQ(apps[0].type, 64);
  Hux::OraEBSConfig expected = config;
  auto e = View(expected);
  e.child(Hux::OraEBSConfig::dbTier, Create::No)
      .child(Hux::OraEBSDBTier::osUser, Create::No)
      .set(UserCredentials::password, "");
  e.child(Hux::OraEBSConfig::appTier, Create::No)
      .child(Hux::OraEBSAppTier::databaseLogin, Create::No)
      .set(UserCredentials::password, "");
  EXPECT_EQ(apps[0].config, expected.serialized());
  for (const char* suffix : {"", "-wal"})
    EXPECT_FALSE(Has(ReadFile(sandbox.storePath() + suffix), kSecret)) << suffix;
  struct stat st {};
  ASSERT_EQ(stat(sandbox.storePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The save request names the app only (not the configuration's id) and has type 64.
  auto save = VirtualAppRequest(log, "Save");
  ASSERT_TRUE(save);
  auto s = View(*save);
  EXPECT_EQ(s.get(Api::VirtualAppReq::operation), 0);
  EXPECT_TRUE(s.isSet(Api::VirtualAppReq::operation));
  auto app = s.child(Api::VirtualAppReq::virtualApp, Create::No);
  EXPECT_EQ(app.raw().fields().size(), 3u);
  EXPECT_EQ(app.get(Api::VirtualApp::appType), 64);
  auto entity = app.child(Api::VirtualApp::appEntity, Create::No);
  EXPECT_EQ(entity.get(NqEntities::AppEntity::appName), "VIS-prod");
  EXPECT_FALSE(entity.isSet(NqEntities::AppEntity::appId));
  EXPECT_TRUE(Has(log, "[Save] Virtual app save request success. Output XML ["));
}

TEST(Save, FailuresReachTheAnswerOnlyWhenTheSaveItselfFails) {
  struct Case {
    const char* what;
    std::vector<std::optional<std::string>> dbClients, appClients;
    std::function<void(const HostSandbox&)> arrange;
    int64_t errorCode;
    std::vector<int64_t> clientsWithValue, clientsWithout;
    std::vector<std::string> logged;
  } cases[] = {
      // A client the directory does not know: nothing sent for it, the others go on.
      {"unknown client",
       {"ghost"},
       {"app1"},
       nullptr,
       0,
       {201},
       {},
       {"[SetRemoteRegKey] Unable to fetch client ID for Client name [ghost]",
        "[SetRegistryKeyForClients] Unable to set registry key nCollectClientConfig for "
        "client [ghost]",
        "[Save] SetRegistryKeyForClients module failed",
        "[Save] Virtual app save request success"}},
      // A client entity without a name is looked up as the empty name.
      {"client entity without a name",
       {""},
       {},
       nullptr,
       0,
       {},
       {},
       {"Unable to fetch client ID for Client name []",
        "Unable to set registry key nCollectClientConfig for client []",
        "[Save] SetRegistryKeyForClients module failed"}},
      // An id beyond 32 bits would address another client once narrowed: counted as unknown.
      {"client id beyond 32 bits",
       {"far"},
       {"app1"},
       [](const HostSandbox& s) { AddClient(s, "far", (1LL << 31) + 201); },
       0,
       {201},
       {(1LL << 31) + 201},
       {"Client ID [2147483849] of client [far] is outside the 32-bit signed range",
        "Unable to fetch client ID for Client name [far]",
        "[Save] SetRegistryKeyForClients module failed"}},
      // The server refuses one client's value: error line with its answer, the walk goes on.
      {"server refuses one client",
       {"db1"},
       {"app1"},
       [](const HostSandbox& s) {
         AddRefusal(s,
                    "CREATE TRIGGER refuse BEFORE INSERT ON registry_values "
                    "WHEN NEW.client_id = 101 BEGIN SELECT RAISE(ABORT, 'client offline'); END");
       },
       0,
       {201},
       {101},
       {"[SetRemoteRegKey] Error: Failed to set registry key [nCollectClientConfig] for "
        "client [101]. Ret [3][Err: <m g=\"22\" n=\"422\">",
        "client offline", "Unable to set registry key nCollectClientConfig for client [db1]",
        "[Save] SetRegistryKeyForClients module failed",
        "[Save] Virtual app save request success"}},
      // The server refuses the save after every client was prepared.
      {"server refuses the save",
       {"db1"},
       {"app1"},
       [](const HostSandbox& s) {
         AddRefusal(s,
                    "CREATE TRIGGER refuse BEFORE INSERT ON apps "
                    "BEGIN SELECT RAISE(ABORT, 'no room for apps'); END");
       },
       520,
       {101, 201},
       {},
       {"[Save] Virtual app save request failed. Output XML [<m g=\"22\" n=\"422\">",
        "no room for apps"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostSandbox sandbox;
    AddClient(sandbox, "db1", 101);
    AddClient(sandbox, "app1", 201);
    if (c.arrange) c.arrange(sandbox);
    const std::string inner = Inner(1, Config("VIS", c.dbClients, c.appClients));
    PluginCall call = CallPlugin(Envelope(1, inner));
    const std::string log = TakeLog(sandbox);
    EXPECT_EQ(call.errorCode, c.errorCode);
    EXPECT_EQ(call.errorMessage, c.errorCode ? "Virtual app save request failed" : "");
    EXPECT_EQ(call.inner, inner);
    EXPECT_EQ(Apps(sandbox).size(), c.errorCode ? 0u : 1u);
    for (int64_t id : c.clientsWithValue) EXPECT_EQ(RegistryOf(sandbox, id).size(), 1u) << id;
    for (int64_t id : c.clientsWithout) EXPECT_EQ(RegistryOf(sandbox, id).size(), 0u) << id;
    for (const auto& text : c.logged) EXPECT_TRUE(Has(log, text)) << text << "\n" << log;
    // A refused registry request is an error-level line that ends in a blank.
    const std::string refused = LineOf(log, "[SetRemoteRegKey] Error: Failed");
    if (!refused.empty()) {
      EXPECT_TRUE(Has(refused, " ERROR ")) << refused;
      EXPECT_EQ(refused.substr(refused.size() - 2), "] ");
    }
    // Requests go out only for clients the directory resolved within range.
    for (App::SetClientPropertiesRequest req : RegistryRequests(log)) {
      const int64_t id = View(req)
                             .child(App::SetClientPropertiesRequest::clientList, Create::No)
                             .list(App::ClientList::clients, Create::No)
                             .at(0)
                             .get(NqEntities::GenericEntity::clientId);
      EXPECT_TRUE(id == 101 || id == 201) << id;
    }
  }
}

TEST(Save, WithoutNodesConfigurationOrStore) {
  {
    // Tiers without node lists: nothing to prepare, the app is saved, and the answer is the
    // request as it came (the walk adds no empty lists).
    HostSandbox sandbox;
    Hux::OraEBSConfig config;
    View(config)
        .child(Hux::OraEBSConfig::virtualApp, Create::Yes)
        .set(NqEntities::AppEntity::appName, "bare");
    View(config).child(Hux::OraEBSConfig::dbTier, Create::Yes);
    View(config).child(Hux::OraEBSConfig::appTier, Create::Yes);
    const std::string inner = Inner(1, config);
    PluginCall call = CallPlugin(Envelope(1, inner));
    const std::string log = TakeLog(sandbox);
    EXPECT_EQ(call.errorCode, 0);
    EXPECT_EQ(call.inner, inner);
    EXPECT_TRUE(RegistryRequests(log).empty());
    EXPECT_FALSE(Has(log, "module failed"));
    ASSERT_EQ(Apps(sandbox).size(), 1u);
    EXPECT_EQ(Apps(sandbox)[0].config, config.serialized());
  }
  {
    // No configuration: no registry request; the server gets an app without a name and with an
    // empty configuration, and refuses it.
    HostSandbox sandbox;
    const std::string inner = Inner(1, std::nullopt);
    PluginCall call = CallPlugin(Envelope(1, inner));
    const std::string log = TakeLog(sandbox);
    EXPECT_EQ(call.errorCode, 520);
    EXPECT_EQ(call.errorMessage, "Virtual app save request failed");
    EXPECT_EQ(call.inner, inner);
    EXPECT_TRUE(RegistryRequests(log).empty());
    EXPECT_FALSE(Has(log, "module failed"));
    EXPECT_TRUE(Has(log, "[Save] EBS Config XML [<m g=\"22\" n=\"504\"></m>]"));
    auto save = VirtualAppRequest(log, "Save");
    ASSERT_TRUE(save);
    auto app = View(*save).child(Api::VirtualAppReq::virtualApp, Create::No);
    EXPECT_EQ(app.child(Api::VirtualApp::appEntity, Create::No).get(NqEntities::AppEntity::appName),
              "");
    EXPECT_TRUE(app.isSet(Api::VirtualApp::ebsConfig));
    EXPECT_TRUE(app.child(Api::VirtualApp::ebsConfig, Create::No).raw().empty());
    EXPECT_TRUE(Has(log, "without a name"));
  }
  {
    // The store cannot be used (a directory): the directory lookup and the save both fail.
    HostSandbox sandbox;
    ScopedEnv store("EBS_HOST_STORE", sandbox.dir().path());
    PluginCall call = CallPlugin(Envelope(1, Inner(1, Config("VIS", {"db1"}, {}))));
    const std::string log = TakeLog(sandbox);
    EXPECT_EQ(call.errorCode, 520);
    EXPECT_EQ(call.errorMessage, "Virtual app save request failed");
    EXPECT_TRUE(RegistryRequests(log).empty());
    EXPECT_TRUE(Has(log, "Unable to fetch client ID for Client name [db1]"));
    EXPECT_TRUE(Has(log, "[Save] Virtual app save request failed. Output XML ["));
  }
}

TEST(Delete, OnlyAnAppIdWithinRangeIsSent) {
  const int64_t kBeyond = (1LL << 32) + 1;  // would narrow onto app 1
  struct Case {
    const char* what;
    std::optional<int64_t> appId;  // nullopt: no configuration at all
    bool idSet;
    int64_t errorCode;
    std::string errorMessage;
    bool sent, appRemains;
  } cases[] = {
      {"no configuration", std::nullopt, false, 520,
       "Invalid XML, Oracle EBS configuration XML is empty", false, true},
      {"configuration without an id: app 0 is asked for", 0, false, 520,
       "Virtual app delete request failed", true, true},
      {"unknown id", 77, true, 520, "Virtual app delete request failed", true, true},
      {"id beyond 32 bits", kBeyond, true, 520,
       "Virtual app id [4294967297] is outside the 32-bit signed range, delete request not sent",
       false, true},
      {"id below the 32-bit range", -(1LL << 31) - 1, true, 520,
       "Virtual app id [-2147483649] is outside the 32-bit signed range, delete request not sent",
       false, true},
      {"the saved app", 1, true, 0, "", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostSandbox sandbox;
    ASSERT_TRUE(OpenStore(sandbox)->SaveApp("VIS", 64, "", nullptr, nullptr).ok);
    std::optional<Hux::OraEBSConfig> config;
    if (c.appId) {
      config.emplace(Config("VIS", {}, {}));
      auto app = View(*config).child(Hux::OraEBSConfig::virtualApp, Create::No);
      if (c.idSet)
        app.set(NqEntities::AppEntity::appId, *c.appId);
      else
        app.raw().removeField(NqEntities::AppEntity::appId.index);
    }
    const std::string inner = Inner(8, config);
    PluginCall call = CallPlugin(Envelope(1, inner));
    const std::string log = TakeLog(sandbox);
    EXPECT_EQ(call.errorCode, c.errorCode);
    EXPECT_EQ(call.errorMessage, c.errorMessage);
    EXPECT_EQ(call.inner, inner);
    EXPECT_EQ(Apps(sandbox).size(), c.appRemains ? 1u : 0u);
    if (c.errorCode) {
      EXPECT_TRUE(Has(log, "[Delete] " + c.errorMessage)) << log;
    }
    auto sent = VirtualAppRequest(log, "Delete");
    ASSERT_EQ(sent.has_value(), c.sent) << log;
    if (!sent) continue;
    // A delete request names the app by id only.
    auto r = View(*sent);
    EXPECT_EQ(r.get(Api::VirtualAppReq::operation), 2);
    auto app = r.child(Api::VirtualAppReq::virtualApp, Create::No);
    EXPECT_EQ(app.raw().fields().size(), 1u);
    EXPECT_FALSE(app.isSet(Api::VirtualApp::appType));
    EXPECT_FALSE(app.isSet(Api::VirtualApp::ebsConfig));
    auto entity = app.child(Api::VirtualApp::appEntity, Create::No);
    EXPECT_TRUE(entity.isSet(NqEntities::AppEntity::appId));
    EXPECT_EQ(entity.get(NqEntities::AppEntity::appId), *c.appId);
    EXPECT_FALSE(entity.isSet(NqEntities::AppEntity::appName));
    EXPECT_TRUE(Has(log, c.errorCode
                             ? "[Delete] Virtual app delete request failed. Output XML ["
                             : "[Delete] Virtual app delete request success. Output XML ["));
  }
}

TEST(Registration, SaveUpdateAndDeleteRoundTrip) {
  HostSandbox sandbox;
  AddClient(sandbox, "db1", 101);
  AddClient(sandbox, "app1", 201);
  Hux::OraEBSConfig config = Config("VIS", {"db1"}, {"app1", "app1"});
  PluginCall saved = CallPlugin(Envelope(1, Inner(1, config)));
  ASSERT_EQ(saved.errorCode, 0);
  auto apps = Apps(sandbox);
  ASSERT_EQ(apps.size(), 1u);
  const int64_t id = apps[0].id;

  // A second save of the same name updates the app in place.
  View(config).set(Hux::OraEBSConfig::appsVersion, "12.2.10");
  ASSERT_EQ(CallPlugin(Envelope(1, Inner(1, config))).errorCode, 0);
  apps = Apps(sandbox);
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].id, id);
  EXPECT_TRUE(Has(apps[0].config, "12.2.10"));

  // The answer of a save is the request itself; a delete of the id the server gave removes it.
  View(config)
      .child(Hux::OraEBSConfig::virtualApp, Create::No)
      .set(NqEntities::AppEntity::appId, id);
  PluginCall deleted = CallPlugin(Envelope(1, Inner(8, config)));
  EXPECT_EQ(deleted.errorCode, 0);
  EXPECT_EQ(deleted.errorMessage, "");
  EXPECT_TRUE(Apps(sandbox).empty());
  // The clients keep the values the save set.
  EXPECT_EQ(RegistryOf(sandbox, 101).size(), 1u);
  EXPECT_EQ(RegistryOf(sandbox, 201).size(), 1u);
}

}  // namespace
