// Lookup of the client that runs on a node's host, in the host's client directory.
#include <cstdint>

#include "platform/server/client_directory.h"
#include "worker/entity_ids.h"
#include "worker/NqEBSInterface.h"

bool NqEBSInterface::GetClientForHost(const std::string& hostName,
                                      NqEntities::ClientEntity* client) {
  static const char* const kLabel = "GetClientForHost";
  try {
    NQClient directory(hostName, NQNameTypeHost, 0, nullptr);
    if (!client) {
      EvDebug::Debug(logContext, kLabel, "Client entity object is NULL");
      return false;
    }
    unsigned long clientId = 0;
    if (directory.getClientId(clientId, nullptr) != 0) {
      EvDebug::Debug(logContext, kLabel, "Unable to fetch client ID for Client host name [%s]",
                     hostName.c_str());
      // Not a failure: the node is recorded without a client; the line names the host to
      // register (an unusable directory has logged its own cause).
      return false;
    }
    std::string name;
    unsigned long hiveId = 0;
    directory.getName(name, nullptr);
    directory.getHiveId(hiveId, nullptr);
    if (!DirectoryIdFits(clientId) || !DirectoryIdFits(hiveId)) {
      // A wrapped id would name another client: the host counts as unknown, and the line of an
      // unknown host follows the cause, as for a lookup by name.
      EvDebug::Error(logContext, kLabel,
                     "Client ID [%lu] or HV ID [%lu] of Client host name [%s] is out of range",
                     clientId, hiveId, hostName.c_str());
      EvDebug::Debug(logContext, kLabel, "Unable to fetch client ID for Client host name [%s]",
                     hostName.c_str());
      return false;
    }
    const auto id = static_cast<int32_t>(static_cast<int64_t>(clientId));
    const auto hive = static_cast<int32_t>(static_cast<int64_t>(hiveId));
    EvDebug::Debug(logContext, kLabel, "Client Name [%s], Client Id [%ld], HV ID [%d]",
                   name.c_str(), static_cast<long>(id), hive);
    auto entity = View(*client);
    entity.set(NqEntities::ClientEntity::clientName, name);
    entity.set(NqEntities::ClientEntity::clientId, id);
    entity.set(NqEntities::ClientEntity::hiveId, hive);
    return true;
  } catch (...) {
    // Only running out of memory can get here.
    return false;
  }
}
