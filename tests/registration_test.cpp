// Registration with the managing server, through the plug-in loaded as the host loads it: the
// requests the server stand-in receives (read back from the log), what it keeps (its store), what
// reaches the answer and what only the log shows.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>

#include "support/worker_access.h"

namespace {

const char* const kSecret = "s3cret-Pa55";
using Clients = std::vector<std::optional<std::string>>;  // nullopt: a node without a client

std::unique_ptr<ServerStore> Store(const HostSandbox& sandbox) {
  std::unique_ptr<ServerStore> store;
  EXPECT_TRUE(ServerStore::Open(sandbox.storePath(), store).ok);
  return store;
}

// A sandbox whose client directory knows db1 (101), app1 (201), app2 (202), "far" with an id
// beyond 32 bits that narrows onto app1's, "half" and "top" with ids of 32 bits that a signed
// 32-bit field would read as -2147483648 and -1, and "down" (301), whose values the server
// refuses.
struct Sandbox : HostSandbox {
  Sandbox() {
    const std::pair<const char*, int64_t> clients[] = {{"db1", 101},
                                                       {"app1", 201},
                                                       {"app2", 202},
                                                       {"down", 301},
                                                       {"far", (1LL << 32) + 201},
                                                       {"half", 1LL << 31},
                                                       {"top", (1LL << 32) - 1}};
    for (const auto& [name, id] : clients)
      AddClient(*this, name, {std::string(name) + ".example.com"}, 7, id);
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(storePath().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON registry_values WHEN "
                           "NEW.client_id = 301 BEGIN SELECT RAISE(ABORT, 'client offline'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
};

std::vector<AppRecord> Apps(const HostSandbox& sandbox) {
  std::vector<AppRecord> apps;
  EXPECT_TRUE(Store(sandbox)->ListApps(apps).ok);
  return apps;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A configuration whose nodes stand on the given clients. Its app id and the
// entities' client ids are stale: the server names apps, the directory decides client ids. The
// password is the login of both tiers and of every node's operating-system account.
Hux::OraEBSConfig Config(const Clients& dbClients, const Clients& appClients,
                         const std::string& password = kSecret) {
  Hux::OraEBSConfig config;
  auto c = View(config);
  auto app = c.child(Hux::OraEBSConfig::virtualApp, Create::Yes);
  app.set(NqEntities::AppEntity::appName, "VIS");
  app.set(NqEntities::AppEntity::appId, 99);
  auto db = c.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  db.child(Hux::OraEBSDBTier::osUser, Create::Yes).set(UserCredentials::password, password);
  auto apps = c.child(Hux::OraEBSConfig::appTier, Create::Yes);
  apps.child(Hux::OraEBSAppTier::databaseLogin, Create::Yes)
      .set(UserCredentials::password, password);
  auto addNodes = [&password](auto tier, const auto& listField, const auto& clientField,
                              const auto& osUserField, const Clients& clients) {
    auto nodes = tier.list(listField, Create::Yes);
    for (const auto& name : clients) {
      auto node = nodes.append();
      node.child(osUserField, Create::Yes).set(UserCredentials::password, password);
      if (!name) continue;
      node.child(clientField, Create::Yes).set(NqEntities::ClientEntity::clientName, *name);
      node.child(clientField, Create::No).set(NqEntities::ClientEntity::clientId, 999);
    }
  };
  addNodes(db, Hux::OraEBSDBTier::dbNodes, Hux::OraEBSDBNode::client, Hux::OraEBSDBNode::osUser,
           dbClients);
  addNodes(apps, Hux::OraEBSAppTier::appNodes, Hux::OraEBSAppNode::client,
           Hux::OraEBSAppNode::osUser, appClients);
  return config;
}

// A save or delete of `config` (none when null); the answer always carries the request as it came.
PluginCall Call(int64_t messageType, const Hux::OraEBSConfig* config) {
  Hux::OraEBSReqResp request;
  View(request).set(Hux::OraEBSReqResp::messageType, messageType);
  if (config)
    View(request).attach(Hux::OraEBSReqResp::ebsConfig,
                         std::make_unique<Hux::OraEBSConfig>(*config));
  PluginCall call = CallPlugin(Envelope(1, request.serialized()));
  EXPECT_EQ(call.inner, request.serialized());
  return call;
}

// Request texts in the log lines of `label`: from `opening` to the line's last ']'.
std::vector<std::string> Sent(const std::string& log, const char* label,
                              const std::string& opening) {
  std::vector<std::string> texts;
  for (const std::string& line : LogLines(log, label)) {
    const size_t at = line.find(opening);
    if (at != std::string::npos)
      texts.push_back(line.substr(at + opening.size(), line.rfind(']') - at - opening.size()));
  }
  return texts;
}

// The set-client-properties request for client `id`: one client, the collection key in full.
std::string RegistryRequest(int64_t id) {
  App::SetClientPropertiesRequest req;
  View(req)
      .child(App::SetClientPropertiesRequest::clientList, Create::Yes)
      .list(App::ClientList::clients, Create::Yes)
      .append()
      .set(NqEntities::GenericEntity::clientId, id);
  auto k = View(req)
               .child(App::SetClientPropertiesRequest::propertiesInfo, Create::Yes)
               .child(App::ClientPropertiesInfo::clientProperties, Create::Yes)
               .list(App::ClientProperties::registryKeys, Create::Yes)
               .append();
  k.set(App::RegistryKeyInfo::keyFlags, 0);
  k.set(App::RegistryKeyInfo::keyMode, 1);
  k.set(App::RegistryKeyInfo::keyOptions, 0);
  k.set(App::RegistryKeyInfo::keyName, "nCollectClientConfig");
  k.set(App::RegistryKeyInfo::keyPath, "Huxwire");
  k.set(App::RegistryKeyInfo::keyType, "INTEGER");
  k.set(App::RegistryKeyInfo::keyValue, "1");
  return req.serialized();
}

// A virtual-app request of operation 0 (save: name, type 64, configuration) or 2 (delete: id).
std::string AppRequest(int64_t operation, const std::string& name, int64_t id,
                       const Hux::OraEBSConfig* config) {
  Api::VirtualAppReq req;
  View(req).set(Api::VirtualAppReq::operation, operation);
  auto app = View(req).child(Api::VirtualAppReq::virtualApp, Create::Yes);
  auto entity = app.child(Api::VirtualApp::appEntity, Create::Yes);
  if (operation == 2) {
    entity.set(NqEntities::AppEntity::appId, id);
    return req.serialized();
  }
  entity.set(NqEntities::AppEntity::appName, name);
  app.set(Api::VirtualApp::appType, 64);
  app.attach(Api::VirtualApp::ebsConfig, std::make_unique<Hux::OraEBSConfig>(*config));
  return req.serialized();
}

TEST(Save, ClientsArePreparedInNodeOrderAndOnlyAFailedSaveReachesTheAnswer) {
  struct Case {
    const char* what;
    bool hasConfig;  // without one the server refuses the save
    Clients db, app;
    bool prepareFailed;
    std::vector<int64_t> sent;  // registry requests, in order
    std::vector<std::string> logged;
  } cases[] = {
      // Database nodes first, each list in its order, repeats kept, nodes without a client
      // skipped; each request names the client by its directory id.
      {"every client known",
       true,
       {"db1", std::nullopt, "db1"},
       {"app2", std::nullopt, "app1"},
       false,
       {101, 101, 202, 201},
       {"[Save] Virtual app save request success. Output XML ["}},
      // Unknown, unnamed and out-of-range clients get no request; one the server refuses is an
      // error line with its answer; the walk and the save go on. The application tier has no
      // nodes.
      {"client failures",
       true,
       {"ghost", "", "far", "half", "top", "down", "app1"},
       {},
       true,
       {301, 201},
       {"[SetRemoteRegKey] Unable to fetch client ID for Client name [ghost]",
        "[SetRegistryKeyForClients] Unable to set registry key nCollectClientConfig for "
        "client [ghost]",
        "Unable to fetch client ID for Client name []",
        "Client ID [4294967497] of client [far] is outside the 32-bit signed range",
        "Unable to fetch client ID for Client name [far]",
        "Client ID [2147483648] of client [half] is outside the 32-bit signed range",
        "Client ID [4294967295] of client [top] is outside the 32-bit signed range",
        "[SetRemoteRegKey] Error: Failed to set registry key [nCollectClientConfig] for "
        "client [301]. Ret [3][Err: <m g=\"22\" n=\"422\">",
        "client offline", "Unable to set registry key nCollectClientConfig for client [down]",
        "[Save] Virtual app save request success"}},
      // The server is asked for an app without a name and with an empty configuration.
      {"no configuration",
       false,
       {},
       {},
       false,
       {},
       {"[Save] EBS Config XML [<m g=\"22\" n=\"504\"></m>]",
        "[Save] Virtual app save request failed. Output XML [<m g=\"22\" n=\"422\">",
        "without a name"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox;
    const Hux::OraEBSConfig config = Config(c.db, c.app);
    const PluginCall call = Call(kEBSSave, c.hasConfig ? &config : nullptr);
    const std::string log = sandbox.log();
    EXPECT_EQ(call.errorCode, c.hasConfig ? 0 : 520);
    EXPECT_EQ(call.errorMessage, c.hasConfig ? "" : "Virtual app save request failed");
    EXPECT_EQ(Has(log, "[Save] SetRegistryKeyForClients module failed"), c.prepareFailed);
    for (const auto& text : c.logged) EXPECT_TRUE(Has(log, text)) << text << "\n" << log;
    EXPECT_FALSE(Has(log, kSecret));
    // A refused registry request is an error line ending in a blank.
    for (const std::string& line : Split(log))
      EXPECT_TRUE(!Has(line, "Error: Failed") || (Has(line, " ERROR ") && line.back() == ' '));
    std::vector<std::string> expected;
    for (int64_t id : c.sent) expected.push_back(RegistryRequest(id));
    EXPECT_EQ(Sent(log, "SetRemoteRegKey", "Request xml ["), expected);
    // The save names the app (not the configuration's id); the log masks the copy's passwords.
    const Hux::OraEBSConfig masked = c.hasConfig ? Config(c.db, c.app, "***") : Hux::OraEBSConfig();
    EXPECT_EQ(Sent(log, "Save", "save request XML ["),
              std::vector<std::string>{AppRequest(0, c.hasConfig ? "VIS" : "", 0, &masked)});

    // The server keeps the app and the whole configuration, but no password (of a tier or of a
    // node), in a private file.
    const auto apps = Apps(sandbox);
    ASSERT_EQ(apps.size(), c.hasConfig ? 1u : 0u);
    if (!c.hasConfig) continue;
    EXPECT_EQ(apps[0].name + "|" + std::to_string(apps[0].type), "VIS|64");
    std::vector<RegistryValue> v;  // as sent
    ASSERT_TRUE(Store(sandbox)->RegistryValues(201, v).ok);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].path + "|" + v[0].name + "|" + v[0].type + "|" + v[0].value + "|" +
                  std::to_string(v[0].mode) + std::to_string(v[0].flags) +
                  std::to_string(v[0].options),
              "Huxwire|nCollectClientConfig|INTEGER|1|100");
    EXPECT_EQ(apps[0].config, Config(c.db, c.app, "").serialized());
    for (const char* suffix : {"", "-wal"})
      EXPECT_FALSE(Has(ReadFile(sandbox.storePath() + suffix), kSecret)) << suffix;
    struct stat st {};
    ASSERT_EQ(stat(sandbox.storePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

// A delete after a save through the plug-in, which the server names app 1.
TEST(Delete, OnlyAnAppIdWithinRangeIsSent) {
  const std::string notSent = "] is outside the 32-bit signed range, delete request not sent";
  struct Case {
    const char* what;
    bool hasConfig;
    std::optional<int64_t> appId;  // nullopt: none set
    std::string message;           // empty: deleted
    bool sent;
  } cases[] = {
      {"the id the server gave", true, 1, "", true},
      {"no configuration", false, {}, "Invalid XML, Oracle EBS configuration XML is empty", false},
      {"no id: app 0 is asked for", true, {}, "Virtual app delete request failed", true},
      {"beyond 32 bits, would narrow onto app 1", true, (1LL << 32) + 1,
       "Virtual app id [4294967297" + notSent, false},
      {"below 32 bits", true, -(1LL << 31) - 1, "Virtual app id [-2147483649" + notSent, false},
      // 32 bits, but negative in the request's signed field.
      {"2^31, read as negative", true, 1LL << 31, "Virtual app id [2147483648" + notSent, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox;
    Hux::OraEBSConfig config = Config({"db1"}, {"app1"});
    ASSERT_EQ(Call(kEBSSave, &config).errorCode, 0);
    auto app = View(config).child(Hux::OraEBSConfig::virtualApp, Create::No);
    app.raw().removeField(NqEntities::AppEntity::appId.index);
    if (c.appId) app.set(NqEntities::AppEntity::appId, *c.appId);
    const PluginCall call = Call(kEBSDelete, c.hasConfig ? &config : nullptr);
    const std::string log = sandbox.log();
    EXPECT_EQ(call.errorCode, c.message.empty() ? 0 : 520);
    EXPECT_EQ(call.errorMessage, c.message);
    EXPECT_TRUE(Has(log, c.message.empty() ? "[Delete] Virtual app delete request success. Output"
                                           : "[Delete] " + c.message))
        << log;
    EXPECT_EQ(Apps(sandbox).size(), c.message.empty() ? 0u : 1u);
    // A delete request names the app by its id only.
    std::vector<std::string> sent;
    if (c.sent) sent.push_back(AppRequest(2, "", c.appId.value_or(0), nullptr));
    EXPECT_EQ(Sent(log, "Delete", "delete request XML ["), sent);
  }
}

// The error-level lines of a log, each from its label on ("[label] text").
std::vector<std::string> ErrorLines(const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& line : Split(log)) {
    const size_t at = line.find(" ERROR ");
    if (at != std::string::npos) out.push_back(line.substr(line.find('[', at)));
  }
  return out;
}

// A person reads why a save or delete failed from its error lines alone: every failure has its
// cause there, with the values involved, and a success has none.
TEST(Failures, EachCauseIsAnErrorLineWithItsValues) {
  const std::string refused = "The managing server refused the request: ";
  const std::string saveRefused = "[Save] " + refused, deleteRefused = "[Delete] " + refused;
  const std::string notSet = "[SetRemoteRegKey] Registry key [nCollectClientConfig] not set: ";
  const std::string unusable = "cannot open store $STORE: it is a directory, not a store file";
  constexpr int64_t kSave = -1;  // otherwise: a delete of this id, after a save that made app 1
  struct Case {
    const char* what;
    int64_t deleteId;
    bool hasConfig, unusableStore;    // an unusable store: its path names a directory
    Clients db;                       // the database nodes' clients
    std::vector<std::string> errors;  // the start of each error line, in order
  } cases[] = {
      {"save", kSave, true, false, {"db1"}, {}},
      // The save goes on; each client that gets no registry value says why.
      {"save, clients unknown, unnamed, out of range, refused",
       kSave,
       true,
       false,
       {"ghost", "", "far", "down"},
       {notSet + "no client named [ghost] is in the client directory",
        notSet + "a node's client has no name",
        "[SetRemoteRegKey] Client ID [4294967497] of client [far] is outside the 32-bit signed "
        "range",
        "[SetRemoteRegKey] Error: Failed to set registry key [nCollectClientConfig] for client "
        "[301]. Ret [3][Err: "}},
      {"save without a configuration",
       kSave,
       false,
       false,
       {},
       {saveRefused + "virtual app save request without a name"}},
      // The directory's lookup and the save each say what is wrong with the store.
      {"save to an unusable store",
       kSave,
       true,
       true,
       {"db1"},
       {"[NQClient] Client directory unavailable: " + unusable,
        saveRefused + "managing server store failed: " + unusable}},
      {"delete", 1, true, false, {}, {}},
      {"delete of a missing app", 2, true, false, {}, {deleteRefused + "no virtual app with id 2"}},
      {"delete without a configuration",
       1,
       false,
       false,
       {},
       {"[Delete] The delete request carries no EBS configuration, so it names no virtual app"}},
      {"delete of an id beyond 32 bits",
       (1LL << 32) + 1,
       true,
       false,
       {},
       {"[Delete] Virtual app id [4294967297] is outside the 32-bit signed range"}},
      {"delete in an unusable store",
       1,
       true,
       true,
       {},
       {deleteRefused + "managing server store failed: " + unusable}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox;
    Hux::OraEBSConfig config = Config(c.db, {});
    if (c.deleteId != kSave) {
      ASSERT_EQ(Call(kEBSSave, &config).errorCode, 0);
      View(config)
          .child(Hux::OraEBSConfig::virtualApp, Create::No)
          .set(NqEntities::AppEntity::appId, c.deleteId);
    }
    std::optional<ScopedEnv> store;
    if (c.unusableStore) store.emplace("EBS_HOST_STORE", sandbox.dir().path());
    const size_t before = sandbox.log().size();
    Call(c.deleteId == kSave ? kEBSSave : kEBSDelete, c.hasConfig ? &config : nullptr);
    const std::vector<std::string> errors = ErrorLines(sandbox.log().substr(before));
    ASSERT_EQ(errors.size(), c.errors.size()) << sandbox.log().substr(before);
    for (size_t i = 0; i < errors.size(); ++i) {
      std::string expected = c.errors[i];
      for (size_t at; (at = expected.find("$STORE")) != std::string::npos;)
        expected.replace(at, 6, sandbox.dir().path());
      EXPECT_EQ(errors[i].substr(0, expected.size()), expected);
    }
  }
}

// A message text that a string of the configuration carries keeps its password out of the
// store as well: the server masks it as the log does.
TEST(Save, APasswordInsideAStringNeverReachesTheStore) {
  Sandbox sandbox;
  UserCredentials login;
  View(login).set(UserCredentials::userName, "apps");
  View(login).set(UserCredentials::password, kSecret);
  Hux::OraEBSConfig config = Config({"db1"}, {"app1"});
  View(config).set(Hux::OraEBSConfig::appsVersion, login.serialized());
  EXPECT_EQ(Call(kEBSSave, &config).errorCode, 0);
  const auto apps = Apps(sandbox);
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_TRUE(Has(apps[0].config, "apps")) << apps[0].config;
  for (const char* suffix : {"", "-wal"})
    EXPECT_FALSE(Has(ReadFile(sandbox.storePath() + suffix), kSecret)) << suffix;
}

}  // namespace
