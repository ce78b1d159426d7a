// Registration with the managing server, through the host's request channel and client
// directory (HostServices::SendServerRequest, LookupClient).
//
// Clients: the client that runs on a node's host is looked up by host name in the directory.
// Remote registry keys: before an instance is saved, the managing server is asked to set the
// registry value that makes each node's client collect its configuration. One
// set-client-properties request per node client, one exchange at a time. A client that gets no
// value is logged at error level with its cause (unknown, unnamed, an id out of range; a
// refusal's reason is the request channel's error line).
// Save and delete of an instance on the managing server, as a virtual app. A save first asks the
// server to prepare every node's client (SetRegistryKeyForClients), whatever the outcome, then
// sends one virtual-app save request with a copy of the configuration; a delete sends one
// virtual-app delete request naming the app by its id. Failures reach the answer as error 520.
// Each failure has one error-level log line with its cause; a refusal's names the server's reason
// (e.g. "no virtual app with id 2"), read from the reply.
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "messages/entity_ids.h"
#include "platform/server/client_directory.h"
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

// Kind of virtual app that an Oracle EBS instance is saved as.
constexpr int64_t kEBSVirtualAppType = 64;

// Logs, at error level, why the managing server refused a request: the reason in its reply, or
// the whole reply when it gives none.
void LogRefusal(EvEvent& logContext, const char* label, const std::string& replyText) {
  Hux::GenericResp reply;
  std::string reason;
  if (reply.unserialize(replyText)) reason = View(reply).get(Hux::GenericResp::errorMessage);
  if (reason.empty()) reason = replyText;
  EvDebug::Error(logContext, label, "The managing server refused the request: %s", reason.c_str());
}

}  // namespace

bool NqEBSInterface::GetClientForHost(const std::string& hostName,
                                      NqEntities::ClientEntity* client) {
  static const char* const kLabel = "GetClientForHost";
  try {
    if (!client) {
      EvDebug::Debug(logContext, kLabel, "Client entity object is NULL");
      return false;
    }
    ClientDirectoryEntry found;
    if (host.LookupClient(hostName, true, &found) != kClientFound) {
      EvDebug::Debug(logContext, kLabel, "Unable to fetch client ID for Client host name [%s]",
                     hostName.c_str());
      // Not a failure: the node is recorded without a client; the line names the host to
      // register (an unusable directory has logged its own cause).
      return false;
    }
    const unsigned long clientId = found.id, hiveId = found.hiveId;
    const std::string& name = found.name;
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

bool NqEBSInterface::SetRemoteRegKey(std::string clientName, int mode, std::string keyName,
                                     std::string keyPath, std::string keyType,
                                     std::string keyValue) {
  static const char* const kLabel = "SetRemoteRegKey";
  try {
    std::string requestText;
    std::string replyText;
    App::SetClientPropertiesRequest setRequest;
    std::vector<PXMessageBase> entities;
    NqEntities::GenericEntity entity;
    std::vector<PXMessageBase> keys;
    App::RegistryKeyInfo key;

    ClientDirectoryEntry found;
    if (const int lookup = host.LookupClient(clientName, false, &found)) {
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
    const unsigned long id = found.id;
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
        host.SendServerRequest(App::SetClientPropertiesRequest::kClassId, requestText, replyText);
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

int NqEBSInterface::Save() {
  static const char* const kLabel = "Save";
  try {
    std::string requestText;
    std::string replyText;
    std::string configText;
    Api::VirtualAppReq virtualAppReq;
    std::string appName;

    // The registry values are requested before the save, and the save goes on whatever became
    // of them.
    if (SetRegistryKeyForClients() != 0)
      EvDebug::Debug(logContext, kLabel, "SetRegistryKeyForClients module failed");

    // An absent configuration reads as an empty one: the server is then asked to save an app
    // without a name, which it refuses.
    auto config = View(request).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
    appName =
        config.child(Hux::OraEBSConfig::virtualApp, Create::No).get(NqEntities::AppEntity::appName);
    config.raw().serialize(configText, false);
    EvDebug::Debug(logContext, kLabel, "EBS Config XML [%s]", configText.c_str());

    // A deep copy of the configuration, taken from its text.
    auto configCopy = std::make_unique<Hux::OraEBSConfig>();
    configCopy->unserialize(configText);

    auto req = View(virtualAppReq);
    req.child(Api::VirtualAppReq::virtualApp, Create::Yes)
        .child(Api::VirtualApp::appEntity, Create::Yes)
        .set(NqEntities::AppEntity::appName, appName);
    req.child(Api::VirtualAppReq::virtualApp, Create::No)
        .set(Api::VirtualApp::appType, kEBSVirtualAppType);
    req.child(Api::VirtualAppReq::virtualApp, Create::No)
        .attach(Api::VirtualApp::ebsConfig, std::move(configCopy));
    req.set(Api::VirtualAppReq::operation, Api::kVirtualAppSave);

    virtualAppReq.serialize(requestText, false);
    EvDebug::Debug(logContext, kLabel, "Virtual app save request XML [%s]", requestText.c_str());

    const int result =
        host.SendServerRequest(Api::VirtualAppReq::kClassId, requestText, replyText);
    if (result != 0) {
      EvDebug::Debug(logContext, kLabel, "Virtual app save request failed. Output XML [%s] ",
                     replyText.c_str());
      LogRefusal(logContext, kLabel, replyText);
      RecordFailure("Virtual app save request failed");
    } else {
      EvDebug::Debug(logContext, kLabel, "Virtual app save request success. Output XML [%s] ",
                     replyText.c_str());
    }
    return result;
  } catch (const std::exception& e) {
    EvDebug::Error(logContext, kLabel, "Virtual app save failed: %s", e.what());
    RecordFailure("Virtual app save request failed");
    return 1;
  }
}

int NqEBSInterface::Delete() {
  static const char* const kLabel = "Delete";
  try {
    auto req = View(request);
    if (!req.isSet(Hux::OraEBSReqResp::ebsConfig)) {
      EvDebug::Debug(logContext, kLabel, "Invalid XML, Oracle EBS configuration XML is empty");
      EvDebug::Error(logContext, kLabel,
                     "The delete request carries no EBS configuration, so it names no virtual "
                     "app: nothing was deleted");
      RecordFailure("Invalid XML, Oracle EBS configuration XML is empty");
      return 1;
    }

    std::string requestText;
    std::string replyText;
    Api::VirtualAppReq virtualAppReq;

    // An unset id reads as 0 and is sent as such; the server knows no app 0.
    const int64_t appId = req.child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                              .child(Hux::OraEBSConfig::virtualApp, Create::No)
                              .get(NqEntities::AppEntity::appId);
    // Narrowing an id beyond 32 bits would name another app: nothing is sent for it.
    if (!EntityIdFits(appId)) {
      const std::string message = "Virtual app id [" + std::to_string(appId) +
                                  "] is outside the 32-bit signed range, delete request not sent";
      EvDebug::Error(logContext, kLabel, "%s", message.c_str());
      RecordFailure(message);
      return 1;
    }

    auto out = View(virtualAppReq);
    out.child(Api::VirtualAppReq::virtualApp, Create::Yes)
        .child(Api::VirtualApp::appEntity, Create::Yes)
        .set(NqEntities::AppEntity::appId, static_cast<int32_t>(appId));
    out.set(Api::VirtualAppReq::operation, Api::kVirtualAppDelete);

    virtualAppReq.serialize(requestText, false);
    EvDebug::Debug(logContext, kLabel, "Virtual app delete request XML [%s]", requestText.c_str());

    const int result =
        host.SendServerRequest(Api::VirtualAppReq::kClassId, requestText, replyText);
    if (result != 0) {
      EvDebug::Debug(logContext, kLabel, "Virtual app delete request failed. Output XML [%s] ",
                     replyText.c_str());
      LogRefusal(logContext, kLabel, replyText);
      RecordFailure("Virtual app delete request failed");
      return 1;
    }
    EvDebug::Debug(logContext, kLabel, "Virtual app delete request success. Output XML [%s] ",
                   replyText.c_str());
    return 0;
  } catch (const std::exception& e) {
    EvDebug::Error(logContext, kLabel, "Virtual app delete failed: %s", e.what());
    RecordFailure("Virtual app delete request failed");
    return 1;
  }
}
