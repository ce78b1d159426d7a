#include "platform/client_directory.h"

#include "platform/host_config.h"
#include "platform/log.h"

NQClient::NQClient(const std::string& hostName, NQNameType, int, void*)
    : key_(hostName), byHost_(true) {}

NQClient::NQClient(const std::string& clientName, bool, int) : key_(clientName), byHost_(false) {}

void NQClient::Resolve() {
  if (resolved_) return;
  resolved_ = true;
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(LoadHostConfig().storePath, store);
  if (s.ok)
    s = byHost_ ? store->FindClientByHost(key_, record_) : store->FindClientByName(key_, record_);
  if (!s.ok) {
    EvEvent context;
    EvDebug::Error(context, "NQClient", "Client directory unavailable: %s", s.message.c_str());
    record_.reset();
  }
}

int NQClient::getClientId(unsigned long& id, void*) {
  Resolve();
  if (!record_) return 1;
  id = static_cast<unsigned long>(record_->id);
  return 0;
}

int NQClient::getName(std::string& name, void*) {
  Resolve();
  if (!record_) return 1;
  name = record_->name;
  return 0;
}

int NQClient::getHiveId(unsigned long& id, void*) {
  Resolve();
  if (!record_) return 1;
  id = static_cast<unsigned long>(record_->hiveId);
  return 0;
}
