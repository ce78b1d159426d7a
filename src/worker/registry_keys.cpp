// Remote registry keys: before an instance is saved, the managing server is asked to set the
// registry value that makes each node's client collect its configuration. One
// set-client-properties request per node client, one exchange at a time. A client that gets no
// value is logged at error level with its cause (unknown, unnamed, an id out of range; a
// refusal's reason is the request channel's error line).
#include <cstdint>
#include <exception>

#include "platform/server/client_directory.h"
#include "platform/server/request_channel.h"
#include "worker/entity_ids.h"
#include "worker/NqEBSInterface.h"

namespace {

// The registry value set on every node's client.
const char* const kCollectKeyName = "nCollectClientConfig";
const char* const kCollectKeyPath = "Huxwire";
const char* const kCollectKeyType = "INTEGER";
const char* const kCollectKeyValue = "1";
constexpr int kCollectKeyMode = 1;

// Walks one node list of a tier in order and sets the collection key on the client of every
// node that carries one. Returns the number of clients that failed.
template <class Tier, class Node>
int SetKeysOnNodes(NqEBSInterface& worker, EvEvent& log, Msg<Tier> tier,
                   const ObjectListField<Tier, Node>& nodesField,
                   const ObjectField<Node, NqEntities::ClientEntity>& clientField) {
  int failed = 0;
  // The list is reached as the framework's callers always have, creating it when absent: a
  // tier without nodes answers with an empty node list.
  MsgList<Node> nodes = tier.list(nodesField, Create::Yes);
  for (size_t i = 0; i < nodes.size(); ++i) {
    Msg<Node> node = nodes.at(i);
    if (!node.isSet(clientField)) continue;
    const std::string clientName =
        node.child(clientField, Create::No).get(NqEntities::ClientEntity::clientName);
    if (!worker.SetRemoteRegKey(clientName, kCollectKeyMode, kCollectKeyName, kCollectKeyPath,
                                kCollectKeyType, kCollectKeyValue)) {
      EvDebug::Debug(log, "SetRegistryKeyForClients",
                     "Unable to set registry key nCollectClientConfig for client [%s]",
                     clientName.c_str());
      ++failed;
    }
  }
  return failed;
}

}  // namespace

bool NqEBSInterface::SetRemoteRegKey(std::string clientName, int mode, std::string keyName,
                                     std::string keyPath, std::string keyType,
                                     std::string keyValue) {
  static const char* const kLabel = "SetRemoteRegKey";
  try {
    XMLHandler channel;
    std::string requestText;
    std::string replyText;
    NQClient client(clientName, false, 0);
    App::SetClientPropertiesRequest setRequest;
    std::vector<PXMessageBase> entities;
    NqEntities::GenericEntity entity;
    std::vector<PXMessageBase> keys;
    App::RegistryKeyInfo key;

    unsigned long id = 0;
    if (const int lookup = client.getClientId(id, nullptr)) {
      EvDebug::Debug(logContext, kLabel, "Unable to fetch client ID for Client name [%s]",
                     clientName.c_str());
      // An unusable directory has logged its own cause.
      if (lookup == kClientUnknown && clientName.empty())
        EvDebug::Error(logContext, kLabel, "Registry key [%s] not set: a node's client has no name",
                       keyName.c_str());
      else if (lookup == kClientUnknown)
        EvDebug::Error(logContext, kLabel,
                       "Registry key [%s] not set: no client named [%s] is in the client directory",
                       keyName.c_str(), clientName.c_str());
      return false;
    }
    // An id that does not fit the request's 32-bit field would address another client.
    if (!DirectoryIdFits(id)) {
      EvDebug::Error(logContext, kLabel,
                     "Client ID [%lu] of client [%s] is outside the 32-bit signed range", id,
                     clientName.c_str());
      EvDebug::Debug(logContext, kLabel, "Unable to fetch client ID for Client name [%s]",
                     clientName.c_str());
      return false;
    }
    const int32_t clientId = static_cast<int32_t>(id);

    View(entity).set(NqEntities::GenericEntity::clientId, clientId);
    entities.push_back(entity);
    auto req = View(setRequest);
    req.child(App::SetClientPropertiesRequest::clientList, Create::Yes)
        .setList(App::ClientList::clients, entities);

    auto k = View(key);
    k.set(App::RegistryKeyInfo::keyFlags, 0);
    k.set(App::RegistryKeyInfo::keyMode, mode);
    k.set(App::RegistryKeyInfo::keyOptions, 0);
    k.set(App::RegistryKeyInfo::keyName, keyName);
    k.set(App::RegistryKeyInfo::keyPath, keyPath);
    k.set(App::RegistryKeyInfo::keyType, keyType);
    k.set(App::RegistryKeyInfo::keyValue, keyValue);
    keys.push_back(key);
    req.child(App::SetClientPropertiesRequest::propertiesInfo, Create::Yes)
        .child(App::ClientPropertiesInfo::clientProperties, Create::Yes)
        .setList(App::ClientProperties::registryKeys, keys);

    setRequest.serialize(requestText, false);
    EvDebug::Debug(logContext, kLabel,
                   "Setting registry key [%s] for client [%d]. Request xml [%s]", keyName.c_str(),
                   clientId, requestText.c_str());

    const int result =
        channel.handleXMLReq(kRequestChannelVersion, App::SetClientPropertiesRequest::kClassId,
                             requestText, replyText, std::string(), 0);
    if (result != 0) {
      EvDebug::Error(logContext, kLabel,
                     "Error: Failed to set registry key [%s] for client [%d]. Ret [%d][Err: %s] ",
                     keyName.c_str(), clientId, result, replyText.c_str());
      return false;
    }
    EvDebug::Debug(logContext, kLabel,
                   "Successfully set registry key [%s] for client [%d]. Response xml [%s]",
                   keyName.c_str(), clientId, replyText.c_str());
    return true;
  } catch (const std::exception& e) {
    EvDebug::Error(logContext, kLabel, "Setting registry key [%s] for client [%s] failed: %s",
                   keyName.c_str(), clientName.c_str(), e.what());
    return false;
  }
}

int NqEBSInterface::SetRegistryKeyForClients() {
  try {
    auto config = View(request).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
    auto dbTier = config.child(Hux::OraEBSConfig::dbTier, Create::No);
    auto appTier = config.child(Hux::OraEBSConfig::appTier, Create::No);
    // Database nodes first, then application nodes, each list in its own order. A client that
    // stands in several nodes receives one request per node.
    int failed = SetKeysOnNodes(*this, logContext, dbTier, Hux::OraEBSDBTier::dbNodes,
                                Hux::OraEBSDBNode::client);
    failed += SetKeysOnNodes(*this, logContext, appTier, Hux::OraEBSAppTier::appNodes,
                             Hux::OraEBSAppNode::client);
    return failed == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    EvDebug::Error(logContext, "SetRegistryKeyForClients", "Setting registry keys failed: %s",
                   e.what());
    return 1;
  }
}
