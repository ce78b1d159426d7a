// NQClient: the host's client directory, answering from the managing-server stand-in's store
// (EBS_HOST_STORE). A client is looked up either by one of its host names (compared without
// regard to letter case) or by its name. The lookups return kClientFound (0) when the directory
// knows the client, kClientUnknown when it does not, and kDirectoryUnavailable when the store
// cannot be used (logged at error level with the reason). A lookup only reads: a missing store
// is an empty directory, and is not created. The store connection is the thread's kept one
// (platform/server/store_connection.h), so a lookup does not open the store each time.
// One object per lookup; not shared between threads.
#pragma once

#include <optional>
#include <string>

#include "platform/server/store.h"

enum NQNameType { NQNameTypeHost = 0 };

enum NQLookupResult : int { kClientFound = 0, kClientUnknown = 1, kDirectoryUnavailable = 2 };

class NQClient {
 public:
  // By host name.
  NQClient(const std::string& hostName, NQNameType type, int flags, void* context);
  // By client name.
  NQClient(const std::string& clientName, bool byHost, int flags);

  int getClientId(unsigned long& id, void* context);
  int getName(std::string& name, void* context);
  int getHiveId(unsigned long& id, void* context);

 private:
  int Resolve();
  std::string key_;
  bool byHost_;
  bool resolved_ = false;
  bool unavailable_ = false;
  std::optional<ClientRecord> record_;
};
