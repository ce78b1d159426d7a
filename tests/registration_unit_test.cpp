// Registration with the managing server against a fake host: the client directory and the request
// channel answer as each case asks (unknown clients, ids out of range, refusals, a failed store),
// and the test reads what was sent, what reaches the answer and the log's error lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>

#include "platform/server/request_channel.h"
#include "support/worker_access.h"

namespace {

using Client = NqEntities::ClientEntity;

// A client directory of the given entries (by name and by host name alike) and a request channel
// that refuses the requests of class `refuseClass` whose text holds `refuseWhen`, with `refusal`
// as the reason.
struct FakeHost : HostServices {
  std::map<std::string, ClientDirectoryEntry> clients;
  int directoryFailure = kClientFound;  // otherwise every lookup answers this
  unsigned long refuseClass = 0;
  std::string refuseWhen, refusal;
  std::vector<std::pair<unsigned long, std::string>> sent;

  int LookupClient(const std::string& key, bool, ClientDirectoryEntry* entry) override {
    if (directoryFailure != kClientFound) return directoryFailure;
    const auto found = clients.find(key);
    if (found == clients.end()) return kClientUnknown;
    if (entry) *entry = found->second;
    return kClientFound;
  }
  int SendServerRequest(unsigned long classId, std::string& request,
                        std::string& response) override {
    sent.emplace_back(classId, request);
    if (classId != refuseClass || request.find(refuseWhen) == std::string::npos) return kChannelOk;
    Hux::GenericResp reply;
    View(reply).set(Hux::GenericResp::errorMessage, refusal);
    response = reply.serialized();
    return kChannelNotFound;
  }
};

TEST(GetClientForHost, FillsTheEntityOrLeavesItUntouched) {
  HostSandbox sandbox;  // the log
  FakeHost host;
  host.clients["apps01.example"] = {42, "apps01-client", 3};
  host.clients["max.example"] = {2147483647, "max-id", 2147483647};
  host.clients["big.example"] = {1ul << 31, "big", 1};
  host.clients["hive.example"] = {43, "hive", 1ul << 40};
  const std::string unknown = "Unable to fetch client ID for Client host name [";
  struct Case {
    const char* host;
    std::string name;  // "old": not found, the entity keeps its values
    int64_t id, hive;
    std::string logLines;  // one per line
  } cases[] = {
      {"apps01.example", "apps01-client", 42, 3,
       "Client Name [apps01-client], Client Id [42], HV ID [3]"},
      {"max.example", "max-id", 2147483647, 2147483647,
       "Client Name [max-id], Client Id [2147483647], HV ID [2147483647]"},
      // One line, naming the host name to register a client under.
      {"apps09.example", "old", 9, 8, unknown + "apps09.example]"},
      // Ids beyond 31 bits would name another client once narrowed: the host counts as unknown,
      // the cause first.
      {"big.example", "old", 9, 8,
       "Client ID [2147483648] or HV ID [1] of Client host name [big.example] is out of range\n" +
           unknown + "big.example]"},
      {"hive.example", "old", 9, 8,
       "Client ID [43] or HV ID [1099511627776] of Client host name [hive.example] is out of "
       "range\n" + unknown + "hive.example]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const size_t logBefore = sandbox.log().size();
    Client entity;
    View(entity).set(Client::clientName, "old");
    View(entity).set(Client::clientId, 9);
    View(entity).set(Client::hiveId, 8);
    NqEBSInterface worker(host);
    EXPECT_EQ(worker.GetClientForHost(c.host, &entity), c.name != "old");
    EXPECT_EQ(View(entity).get(Client::clientName), c.name);
    EXPECT_EQ(View(entity).get(Client::clientId), c.id);
    EXPECT_EQ(View(entity).get(Client::hiveId), c.hive);
    EXPECT_EQ(entity.fields().size(), 3u);
    EXPECT_EQ(LogLines(sandbox.log().substr(logBefore), "GetClientForHost"), Split(c.logLines));
  }
  NqEBSInterface worker(host);
  EXPECT_FALSE(worker.GetClientForHost("apps01.example", nullptr));
  EXPECT_EQ(LogLines(sandbox.log(), "GetClientForHost").back(), "Client entity object is NULL");
}

// The client ids of the set-client-properties requests among `sent`, in order.
std::vector<int64_t> RegistryClients(const FakeHost& host) {
  std::vector<int64_t> ids;
  for (const auto& [classId, text] : host.sent) {
    if (classId != App::SetClientPropertiesRequest::kClassId) continue;
    App::SetClientPropertiesRequest request;
    EXPECT_TRUE(request.unserialize(text));
    auto clients = View(request)
                       .child(App::SetClientPropertiesRequest::clientList, Create::No)
                       .list(App::ClientList::clients, Create::No);
    EXPECT_EQ(clients.size(), 1u);
    ids.push_back(clients.at(0).get(NqEntities::GenericEntity::clientId));
  }
  return ids;
}

// A save asks for the registry value of every node's client (database nodes first, each list in
// its order, repeats kept), then saves whatever became of them; each client that gets none, and
// a refused save, says why on an error line.
TEST(Save, ClientsArePreparedThenTheAppIsSaved) {
  const std::string notSet = "[SetRemoteRegKey] Registry key [nCollectClientConfig] not set: ";
  const std::string keyRefused =
      "[SetRemoteRegKey] Error: Failed to set registry key [nCollectClientConfig] for client "
      "[301]. Ret [2][Err: ";
  struct Case {
    const char* what;
    Clients db, app;
    unsigned long refuseClass;  // the class of request the channel refuses, holding refuseWhen
    const char* refuseWhen;
    int directoryFailure;
    std::vector<int64_t> prepared;     // registry requests sent, by client id
    std::vector<std::string> errors;   // the start of each error line, in order
    const char* answer;                // the error message of the answer; "" when saved
  } cases[] = {
      {"every client known", {"db1", std::nullopt, "db1"}, {"app2", std::nullopt, "app1"}, 0, "",
       kClientFound, {101, 101, 202, 201}, {}, ""},
      {"unknown, unnamed, out of range and refused clients", {"ghost", "", "far", "down", "app1"},
       {}, App::SetClientPropertiesRequest::kClassId, "301", kClientFound, {301, 201},
       {notSet + "no client named [ghost] is in the client directory",
        notSet + "a node's client has no name",
        "[SetRemoteRegKey] Client ID [4294967497] of client [far] is outside the 32-bit signed "
        "range",
        keyRefused},
       ""},
      // An unusable directory has logged its own cause.
      {"directory unavailable", {"db1"}, {}, 0, "", kDirectoryUnavailable, {}, {}, ""},
      {"save refused", {"db1"}, {}, Api::VirtualAppReq::kClassId, "", kClientFound, {101},
       {"[Save] The managing server refused the request: server says no"},
       "Virtual app save request failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostSandbox sandbox;
    FakeHost host;
    for (const auto& [name, id] : std::map<std::string, unsigned long>{
             {"db1", 101}, {"app1", 201}, {"app2", 202}, {"down", 301}, {"far", (1ul << 32) + 201}})
      host.clients[name] = {id, name, 7};
    host.refuseClass = c.refuseClass;
    host.refuseWhen = c.refuseWhen;
    host.refusal = "server says no";
    host.directoryFailure = c.directoryFailure;
    NqEBSInterface worker(host);
    View(NqEBSInterfaceTest::Request(worker))
        .attach(Hux::OraEBSReqResp::ebsConfig,
                std::make_unique<Hux::OraEBSConfig>(Config(c.db, c.app)));
    worker.Save();
    EXPECT_EQ(RegistryClients(host), c.prepared);
    ASSERT_FALSE(host.sent.empty());
    EXPECT_EQ(host.sent.back().first, Api::VirtualAppReq::kClassId);
    EXPECT_EQ(worker.GetErrorCode(), *c.answer ? 520 : 0);
    EXPECT_EQ(worker.GetErrorMessage(), c.answer);
    const std::vector<std::string> errors = ErrorLines(sandbox.log());
    ASSERT_EQ(errors.size(), c.errors.size()) << sandbox.log();
    for (size_t i = 0; i < errors.size(); ++i)
      EXPECT_EQ(errors[i].substr(0, c.errors[i].size()), c.errors[i]);
  }
}

// A delete names the app by its id; an id that would narrow onto another app is not sent.
TEST(Delete, OnlyAnAppIdWithinRangeIsSent) {
  const std::string notSent = "] is outside the 32-bit signed range, delete request not sent";
  struct Case {
    const char* what;
    bool hasConfig;
    int64_t appId;
    bool refused;     // by the server
    std::string message;  // of the answer; empty: deleted
  } cases[] = {
      {"an id in range", true, 1, false, ""},
      {"no configuration", false, 1, false, "Invalid XML, Oracle EBS configuration XML is empty"},
      {"refused", true, 2, true, "Virtual app delete request failed"},
      {"beyond 32 bits", true, (1LL << 32) + 1, false, "Virtual app id [4294967297" + notSent},
      {"below 32 bits", true, -(1LL << 31) - 1, false, "Virtual app id [-2147483649" + notSent},
      {"2^31, negative once narrowed", true, 1LL << 31, false,
       "Virtual app id [2147483648" + notSent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostSandbox sandbox;
    FakeHost host;
    host.refuseClass = c.refused ? Api::VirtualAppReq::kClassId : 0;
    host.refusal = "no virtual app with id 2";
    NqEBSInterface worker(host);
    if (c.hasConfig) {
      auto config = View(NqEBSInterfaceTest::Request(worker))
                        .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
      config.child(Hux::OraEBSConfig::virtualApp, Create::Yes)
          .set(NqEntities::AppEntity::appId, c.appId);
    }
    EXPECT_EQ(worker.Delete(), c.message.empty() ? 0 : 1);
    EXPECT_EQ(worker.GetErrorMessage(), c.message);
    const bool sent = c.message.empty() || c.refused;
    ASSERT_EQ(host.sent.size(), sent ? 1u : 0u);
    const std::vector<std::string> errors = ErrorLines(sandbox.log());
    ASSERT_EQ(errors.size(), c.message.empty() ? 0u : 1u) << sandbox.log();
    if (c.refused) {
      EXPECT_EQ(errors[0], "[Delete] The managing server refused the request: "
                           "no virtual app with id 2");
    }
    if (!sent) continue;
    Api::VirtualAppReq request;
    ASSERT_TRUE(request.unserialize(host.sent[0].second));
    EXPECT_EQ(View(request)
                  .child(Api::VirtualAppReq::virtualApp, Create::No)
                  .child(Api::VirtualApp::appEntity, Create::No)
                  .get(NqEntities::AppEntity::appId),
              c.appId);
    EXPECT_EQ(View(request).get(Api::VirtualAppReq::operation), Api::kVirtualAppDelete);
  }
}

}  // namespace
