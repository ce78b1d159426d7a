#include "platform/server/client_directory.h"

#include "platform/host/host_config.h"
#include "platform/host/log.h"
#include "platform/server/store_connection.h"

NQClient::NQClient(const std::string& hostName, NQNameType, int, void*)
    : key_(hostName), byHost_(true) {}

NQClient::NQClient(const std::string& clientName, bool, int) : key_(clientName), byHost_(false) {}

int NQClient::Resolve() {
  if (!resolved_) {
    resolved_ = true;
    // A lookup never creates the store: a missing one knows no client.
    record_.reset();
    Status s =
        UseStore(CurrentHostConfig().storePath, StoreAccess::ReadOnly, [this](ServerStore* store) {
          if (!store) return Status::Ok();
          return byHost_ ? store->FindClientByHost(key_, record_)
                         : store->FindClientByName(key_, record_);
        });
    if (!s.ok) {
      EvEvent context;
      EvDebug::Error(context, "NQClient", "Client directory unavailable: %s", s.message.c_str());
      record_.reset();
      unavailable_ = true;
    }
  }
  if (unavailable_) return kDirectoryUnavailable;
  return record_ ? kClientFound : kClientUnknown;
}

int NQClient::getClientId(unsigned long& id, void*) {
  if (int rc = Resolve()) return rc;
  id = static_cast<unsigned long>(record_->id);
  return 0;
}

int NQClient::getName(std::string& name, void*) {
  if (int rc = Resolve()) return rc;
  name = record_->name;
  return 0;
}

int NQClient::getHiveId(unsigned long& id, void*) {
  if (int rc = Resolve()) return rc;
  id = static_cast<unsigned long>(record_->hiveId);
  return 0;
}
