// The client lookup by host name against the client directory.
#include <gtest/gtest.h>

#include <cstdint>

#include "support/worker_access.h"

namespace {

using Client = NqEntities::ClientEntity;

TEST(GetClientForHost, FillsTheEntityOrLeavesItUntouched) {
  HostSandbox sandbox;
  AddClient(sandbox, "apps01-client", {"apps01.corp.example.com", "apps01"}, 3, 42);
  AddClient(sandbox, "max-id", {"max.example"}, 2147483647, 2147483647);
  AddClient(sandbox, "big-id", {"big.example"}, 1, int64_t{1} << 31);
  AddClient(sandbox, "top-id", {"top.example"}, 1, (int64_t{1} << 32) - 1);
  AddClient(sandbox, "big-hive", {"hive.example"}, int64_t{1} << 40, 43);
  AddClient(sandbox, "wrapped", {"wrapped.example"}, 1, -5);
  struct Case {
    const char* host;
    std::string name;  // "old": not found, the entity keeps its values
    int64_t id, hive;
    std::string logLines;  // one per line
  } cases[] = {
      // Host names compare without regard to letter case; the entity's values are overwritten.
      {"APPS01.Corp.Example.com", "apps01-client", 42, 3,
       "Client Name [apps01-client], Client Id [42], HV ID [3]"},
      {"max.example", "max-id", 2147483647, 2147483647,
       "Client Name [max-id], Client Id [2147483647], HV ID [2147483647]"},
      // One line, naming the host name to register a client under.
      {"apps09.corp.example.com", "old", 9, 8,
       "Unable to fetch client ID for Client host name [apps09.corp.example.com]"},
      // Ids beyond 32 bits would name another client once narrowed: the host counts as unknown,
      // the cause first, then the line that names the host to register.
      {"big.example", "old", 9, 8,
       "Client ID [2147483648] or HV ID [1] of Client host name [big.example] is out of range\n"
       "Unable to fetch client ID for Client host name [big.example]"},
      // The largest id of 32 bits reads as -1 in a signed field.
      {"top.example", "old", 9, 8,
       "Client ID [4294967295] or HV ID [1] of Client host name [top.example] is out of range\n"
       "Unable to fetch client ID for Client host name [top.example]"},
      {"hive.example", "old", 9, 8,
       "Client ID [43] or HV ID [1099511627776] of Client host name [hive.example] is out of "
       "range\nUnable to fetch client ID for Client host name [hive.example]"},
      // The directory reports ids unsigned: one that wraps to a small negative value is no id.
      {"wrapped.example", "old", 9, 8,
       "Client ID [18446744073709551611] or HV ID [1] of Client host name [wrapped.example] is "
       "out of range\nUnable to fetch client ID for Client host name [wrapped.example]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const size_t logBefore = sandbox.log().size();
    Client entity;
    View(entity).set(Client::clientName, "old");
    View(entity).set(Client::clientId, 9);
    View(entity).set(Client::hiveId, 8);
    NqEBSInterface worker;
    EXPECT_EQ(worker.GetClientForHost(c.host, &entity), c.name != "old");
    EXPECT_EQ(View(entity).get(Client::clientName), c.name);
    EXPECT_EQ(View(entity).get(Client::clientId), c.id);
    EXPECT_EQ(View(entity).get(Client::hiveId), c.hive);
    EXPECT_EQ(entity.fields().size(), 3u);
    EXPECT_EQ(LogLines(sandbox.log().substr(logBefore), "GetClientForHost"), Split(c.logLines));
  }
  NqEBSInterface worker;
  EXPECT_FALSE(worker.GetClientForHost("apps01", nullptr));
  EXPECT_EQ(LogLines(sandbox.log(), "GetClientForHost").back(), "Client entity object is NULL");
}

}  // namespace
