// Registration with the managing server, through the plug-in loaded as the host loads it, against
// the real server stand-in: the requests it receives (read back from the log), what it keeps (its
// store) and how its refusals read. The causes of failure one by one: registration_unit_test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>

#include "support/worker_access.h"

namespace {


std::unique_ptr<ServerStore> Store(const HostSandbox& sandbox) {
  std::unique_ptr<ServerStore> store;
  EXPECT_TRUE(ServerStore::Open(sandbox.storePath(), store).ok);
  return store;
}

// A sandbox whose client directory knows db1 (101), app1 (201) and app2 (202).
struct Sandbox : HostSandbox {
  Sandbox() {
    for (const auto& [name, id] : {std::pair{"db1", 101}, {"app1", 201}, {"app2", 202}})
      AddClient(*this, name, {std::string(name) + ".example.com"}, 7, id);
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

// The virtual-app save request of `name` with `config`.
std::string SaveRequest(const std::string& name, const Hux::OraEBSConfig& config) {
  Api::VirtualAppReq req;
  View(req).set(Api::VirtualAppReq::operation, 0);
  auto app = View(req).child(Api::VirtualAppReq::virtualApp, Create::Yes);
  app.child(Api::VirtualApp::appEntity, Create::Yes).set(NqEntities::AppEntity::appName, name);
  app.set(Api::VirtualApp::appType, 64);
  app.attach(Api::VirtualApp::ebsConfig, std::make_unique<Hux::OraEBSConfig>(config));
  return req.serialized();
}

// Every node's client is prepared (one request per node with a client), then the server keeps the app and the whole configuration, but no password (of a tier or of a node), in
// a private file.
TEST(Save, TheServerKeepsTheAppAndNoPassword) {
  Sandbox sandbox;
  const Clients db = {"db1", std::nullopt, "db1"}, app = {"app2", std::nullopt, "app1"};
  const Hux::OraEBSConfig config = Config(db, app);
  const PluginCall call = Call(kEBSSave, &config);
  const std::string log = sandbox.log();
  EXPECT_EQ(call.errorCode, 0);
  EXPECT_EQ(call.errorMessage, "");
  EXPECT_TRUE(Has(log, "[Save] Virtual app save request success. Output XML [")) << log;
  EXPECT_FALSE(Has(log, "SetRegistryKeyForClients module failed"));
  EXPECT_FALSE(Has(log, kSecret));
  EXPECT_EQ(Sent(log, "SetRemoteRegKey", "Request xml [").size(), 4u);
  // The save names the app (not the configuration's id); the log masks the copy's passwords.
  EXPECT_EQ(Sent(log, "Save", "save request XML ["),
            std::vector<std::string>{SaveRequest("VIS", Config(db, app, "***"))});

  const auto apps = Apps(sandbox);
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].name + "|" + std::to_string(apps[0].type), "VIS|64");
  for (int64_t id : {101, 201, 202}) {  // each client's value, as sent
    std::vector<RegistryValue> v;
    ASSERT_TRUE(Store(sandbox)->RegistryValues(id, v).ok);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].path + "|" + v[0].name + "|" + v[0].type + "|" + v[0].value + "|" +
                  std::to_string(v[0].mode) + std::to_string(v[0].flags) +
                  std::to_string(v[0].options),
              "Huxwire|nCollectClientConfig|INTEGER|1|100");
  }
  EXPECT_EQ(apps[0].config, Config(db, app, "").serialized());
  for (const char* suffix : {"", "-wal"})
    EXPECT_FALSE(Has(ReadFile(sandbox.storePath() + suffix), kSecret)) << suffix;
  struct stat st {};
  ASSERT_EQ(stat(sandbox.storePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A delete after a save, which the server names app 1; the server's refusals and a store it
// cannot use are each one error line with its cause.
TEST(Delete, TheServerDeletesTheAppOrSaysWhyNot) {
  const std::string refused = "The managing server refused the request: ";
  const std::string saveRefused = "[Save] " + refused, deleteRefused = "[Delete] " + refused;
  const std::string unusable = "cannot open store $STORE: it is a directory, not a store file";
  constexpr int64_t kSave = -1;  // otherwise: a delete of this id, after a save that made app 1
  struct Case {
    const char* what;
    int64_t deleteId;
    bool hasConfig, unusableStore;    // an unusable store: its path names a directory
    std::vector<std::string> errors;  // the start of each error line, in order
    size_t appsLeft;
  } cases[] = {
      {"delete of the app saved", 1, true, false, {}, 0},
      {"delete of a missing app", 2, true, false, {deleteRefused + "no virtual app with id 2"}, 1},
      {"delete in an unusable store", 1, true, true,
       {deleteRefused + "managing server store failed: " + unusable}, 1},
      {"save without a configuration", kSave, false, false,
       {saveRefused + "virtual app save request without a name"}, 0},
      // The directory's lookup and the save each say what is wrong with the store.
      {"save to an unusable store", kSave, true, true,
       {"[NQClient] Client directory unavailable: " + unusable,
        saveRefused + "managing server store failed: " + unusable}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox sandbox;
    Hux::OraEBSConfig config = Config({"db1"}, {});
    if (c.deleteId != kSave) {
      ASSERT_EQ(Call(kEBSSave, &config).errorCode, 0);
      View(config)
          .child(Hux::OraEBSConfig::virtualApp, Create::No)
          .set(NqEntities::AppEntity::appId, c.deleteId);
    }
    std::optional<ScopedEnv> store;
    if (c.unusableStore) store.emplace("EBS_HOST_STORE", sandbox.dir().path());
    const size_t before = sandbox.log().size();
    const PluginCall call =
        Call(c.deleteId == kSave ? kEBSSave : kEBSDelete, c.hasConfig ? &config : nullptr);
    EXPECT_EQ(call.errorCode, c.errors.empty() ? 0 : 520);
    const std::vector<std::string> errors = ErrorLines(sandbox.log().substr(before));
    ASSERT_EQ(errors.size(), c.errors.size()) << sandbox.log().substr(before);
    for (size_t i = 0; i < errors.size(); ++i) {
      std::string expected = c.errors[i];
      for (size_t at; (at = expected.find("$STORE")) != std::string::npos;)
        expected.replace(at, 6, sandbox.dir().path());
      EXPECT_EQ(errors[i].substr(0, expected.size()), expected);
    }
    store.reset();
    EXPECT_EQ(Apps(sandbox).size(), c.appsLeft);
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
