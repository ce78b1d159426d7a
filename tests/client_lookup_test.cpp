// The client lookup by host name against the client directory.
#include <gtest/gtest.h>

#include "support/worker_access.h"

namespace {

using Client = NqEntities::ClientEntity;

Client Filled(const std::string& name, int64_t id, int64_t hive) {
  Client c;
  View(c).set(Client::clientName, name);
  View(c).set(Client::clientId, id);
  View(c).set(Client::hiveId, hive);
  return c;
}

TEST(GetClientForHost, FillsOrLeavesTheEntity) {
  HostSandbox sandbox;
  AddClient(sandbox, "apps01-client", {"apps01.corp.example.com", "apps01"}, 3, 42);
  AddClient(sandbox, "big-id", {"big.example"}, 1, int64_t{1} << 31);
  AddClient(sandbox, "big-hive", {"hive.example"}, int64_t{1} << 40, 43);
  AddClient(sandbox, "max-id", {"max.example"}, 2147483647, 2147483647);

  struct Case {
    const char* what;
    std::string host;
    bool found;
    std::string name;
    int64_t id, hive;
    std::string logLine;
  } cases[] = {
      {"known host; the entity's values are overwritten", "apps01.corp.example.com", true,
       "apps01-client", 42, 3, "Client Name [apps01-client], Client Id [42], HV ID [3]"},
      {"host names compare without regard to letter case", "APPS01.Corp.Example.com", true,
       "apps01-client", 42, 3, "Client Name [apps01-client], Client Id [42], HV ID [3]"},
      {"the largest 32-bit ids", "max.example", true, "max-id", 2147483647, 2147483647,
       "Client Name [max-id], Client Id [2147483647], HV ID [2147483647]"},
      {"unknown host: the entity is untouched", "apps09.corp.example.com", false, "old", 9, 8,
       "Unable to fetch client ID for Client host name [apps09.corp.example.com]"},
      {"empty host", "", false, "old", 9, 8, "Unable to fetch client ID for Client host name []"},
      {"a client id beyond 32 bits counts as unknown", "big.example", false, "old", 9, 8,
       "Client ID [2147483648] or HV ID [1] of Client host name [big.example] is out of range"},
      {"a managed-domain id beyond 32 bits counts as unknown", "hive.example", false, "old", 9, 8,
       "Client ID [43] or HV ID [1099511627776] of Client host name [hive.example] is out of "
       "range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t logBefore = sandbox.log().size();
    NqEBSInterface worker;
    Client entity = Filled("old", 9, 8);
    EXPECT_EQ(worker.GetClientForHost(c.host, &entity), c.found);
    EXPECT_EQ(View(entity).get(Client::clientName), c.name);
    EXPECT_EQ(View(entity).get(Client::clientId), c.id);
    EXPECT_EQ(View(entity).get(Client::hiveId), c.hive);
    EXPECT_EQ(entity.fields().size(), 3u);
    EXPECT_EQ(LogLines(sandbox.log().substr(logBefore), "GetClientForHost"),
              std::vector<std::string>{c.logLine});
  }

  NqEBSInterface worker;
  EXPECT_FALSE(worker.GetClientForHost("apps01", nullptr));
  EXPECT_EQ(LogLines(sandbox.log(), "GetClientForHost").back(), "Client entity object is NULL");
}

TEST(GetClientForHost, AnUnusableDirectoryMeansNotFound) {
  HostSandbox sandbox;
  TempDir dir;
  ScopedEnv store("EBS_HOST_STORE", dir.path());  // a directory is no store
  NqEBSInterface worker;
  Client entity = Filled("old", 9, 8);
  EXPECT_FALSE(worker.GetClientForHost("apps01", &entity));
  EXPECT_EQ(View(entity).get(Client::clientName), "old");
}

}  // namespace
