// A context document merged into a request of its own, the clients found by a directory of the
// test's making: what the worker does with a context file, without the worker.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "context/tier_merge.h"

struct ContextReader {
  ContextDocument document;
  Hux::OraEBSReqResp request;
  AppNodeIndex appNodes;
  // Clients by "<host>.<domain>", and the keys looked up, in order.
  std::map<std::string, NqEntities::ClientEntity> clients;
  std::vector<std::string> lookups;
  ClientLookup lookup = [this](const std::string& key, NqEntities::ClientEntity& client) {
    lookups.push_back(key);
    if (const auto found = clients.find(key); found != clients.end()) client = found->second;
  };

  // Reads `text` as a file of the database tier (`db`) or of the application tier.
  void Read(const std::string& text, bool db) {
    ASSERT_TRUE(document.Parse(text).ok);
    EXPECT_TRUE((db ? MergeDbTier(document, View(request), lookup)
                    : MergeAppTier(document, View(request), appNodes, lookup))
                    .ok);
  }
  Msg<Hux::OraEBSConfig> Config() {
    return View(request).child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  }
  void AddClient(const std::string& key, const std::string& name, int64_t id, int64_t hive) {
    View(clients[key]).set(NqEntities::ClientEntity::clientName, name);
    View(clients[key]).set(NqEntities::ClientEntity::clientId, id);
    View(clients[key]).set(NqEntities::ClientEntity::hiveId, hive);
  }
};

// The values of the string `fields` of `msg`, joined by '|': one comparison for a record.
template <typename M, typename F>
std::string Values(M msg, std::initializer_list<const F*> fields) {
  std::string out;
  for (const F* f : fields) out += "|" + msg.get(*f);
  return out.erase(0, 1);
}
