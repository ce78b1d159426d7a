// NQClient: the host's client directory, answering from the managing-server stand-in's store
// (EBS_HOST_STORE). A client is looked up either by one of its host names (compared without
// regard to letter case) or by its name. The lookups return 0 when the directory knows the
// client and non-zero otherwise (also when the store cannot be used, which is logged).
// One object per lookup; not shared between threads.
#pragma once

#include <optional>
#include <string>

#include "platform/store.h"

enum NQNameType { NQNameTypeHost = 0 };

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
  void Resolve();
  std::string key_;
  bool byHost_;
  bool resolved_ = false;
  std::optional<ClientRecord> record_;
};
