// Test access to the worker: its request message, log lines by label, the realistic context
// files of tests/testdata, a store with clients registered and a configuration to save.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/server/store.h"
#include "support/plugin.h"
#include "worker/NqEBSInterface.h"

class NqEBSInterfaceTest {
 public:
  static Hux::OraEBSReqResp& Request(NqEBSInterface& worker) { return worker.request; }
};

// The texts of the log lines written with `label`, in order.
inline std::vector<std::string> LogLines(const std::string& log, const std::string& label) {
  std::vector<std::string> out;
  const std::string tag = "[" + label + "] ";
  for (const std::string& line : Split(log)) {
    const size_t at = line.find(tag);
    if (at != std::string::npos) out.push_back(line.substr(at + tag.size()));
  }
  return out;
}

// The error-level lines of a log, each from its label on ("[label] text").
inline std::vector<std::string> ErrorLines(const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& line : Split(log))
    if (const size_t at = line.find(" ERROR "); at != std::string::npos)
      out.push_back(line.substr(line.find('[', at)));
  return out;
}

inline std::string TestData(const std::string& name) {
  return ReadFile(std::string(EBS_SOURCE_DIR) + "/tests/testdata/" + name);
}

// Registers a client in the sandbox's store.
inline void AddClient(const HostSandbox& sandbox, const std::string& name,
                      const std::vector<std::string>& hosts, int64_t hiveId, int64_t id = 0) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(sandbox.storePath(), store);
  if (s.ok) s = store->AddClient(name, hosts, hiveId, id, nullptr);
  if (!s.ok) throw std::runtime_error(s.message);
}

inline const char* const kSecret = "s3cret-Pa55";
using Clients = std::vector<std::optional<std::string>>;  // nullopt: a node without a client

// A configuration whose nodes stand on the given clients. Its app id and the
// entities' client ids are stale: the server names apps, the directory decides client ids. The
// password is the login of both tiers and of every node's operating-system account.
inline Hux::OraEBSConfig Config(const Clients& dbClients, const Clients& appClients,
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
