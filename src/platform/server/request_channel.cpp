#include "platform/server/request_channel.h"

#include <cstdint>
#include <memory>

#include "messages/catalogue.h"
#include "platform/host/host_config.h"
#include "platform/host/log.h"
#include "messages/redact.h"
#include "platform/server/store.h"
#include "platform/server/store_connection.h"

namespace {

// A refusal: the server's reason goes into the answer, where the caller finds it.
int Fail(std::string& response, int code, const std::string& message) {
  Hux::GenericResp reply;
  View(reply).set(Hux::GenericResp::errorCode, code);
  View(reply).set(Hux::GenericResp::errorMessage, message);
  reply.serialize(response, false);
  return code;
}

int StoreFailure(std::string& response, const Status& s) {
  return Fail(response, kChannelStoreFailed, "managing server store failed: " + s.message);
}

int ServeVirtualApp(const std::string& request, std::string& response) {
  Api::VirtualAppReq req;
  if (!req.unserialize(request))
    return Fail(response, kChannelInvalidRequest, "request is not a virtual app request");
  auto r = View(req);
  if (!r.isSet(Api::VirtualAppReq::operation))
    return Fail(response, kChannelInvalidRequest, "virtual app request without operation");
  const int64_t operation = r.get(Api::VirtualAppReq::operation);
  auto app = r.child(Api::VirtualAppReq::virtualApp, Create::No);
  auto entity = app.child(Api::VirtualApp::appEntity, Create::No);

  Status s;
  if (operation == Api::kVirtualAppSave) {
    const std::string name = entity.get(NqEntities::AppEntity::appName);
    if (name.empty())
      return Fail(response, kChannelInvalidRequest, "virtual app save request without a name");
    std::string config;
    if (app.isSet(Api::VirtualApp::ebsConfig)) {
      PXMessageBase& saved = app.child(Api::VirtualApp::ebsConfig, Create::No).raw();
      // The server keeps no password on disk, not even one inside a string of the configuration.
      EmptyPasswords(saved);
      saved.serialize(config, false);
    }
    int64_t id = 0;
    bool created = false;
    s = UseStore(CurrentHostConfig().storePath, StoreAccess::ReadWrite, [&](ServerStore* store) {
      if (!store) return Status::Error("the store was not created");
      return store->SaveApp(name, app.get(Api::VirtualApp::appType), config, &id, &created);
    });
    if (!s.ok) return StoreFailure(response, s);
    Api::VirtualAppReq reply;
    auto replyApp = View(reply).child(Api::VirtualAppReq::virtualApp, Create::Yes);
    View(reply).set(Api::VirtualAppReq::operation, operation);
    auto replyEntity = replyApp.child(Api::VirtualApp::appEntity, Create::Yes);
    replyEntity.set(NqEntities::AppEntity::appId, id);
    replyEntity.set(NqEntities::AppEntity::appName, name);
    replyApp.set(Api::VirtualApp::appType, app.get(Api::VirtualApp::appType));
    reply.serialize(response, false);
    return kChannelOk;
  }
  if (operation == Api::kVirtualAppDelete) {
    if (!entity.isSet(NqEntities::AppEntity::appId))
      return Fail(response, kChannelInvalidRequest, "virtual app delete request without an id");
    const int64_t id = entity.get(NqEntities::AppEntity::appId);
    bool removed = false;
    s = UseStore(
        CurrentHostConfig().storePath, StoreAccess::ReadWriteExisting,
        [&](ServerStore* store) { return store ? store->DeleteApp(id, &removed) : Status::Ok(); });
    if (!s.ok) return StoreFailure(response, s);
    if (!removed)
      return Fail(response, kChannelNotFound, "no virtual app with id " + std::to_string(id));
    Hux::GenericResp reply;
    View(reply).set(Hux::GenericResp::errorCode, 0);
    View(reply).set(Hux::GenericResp::errorMessage,
                    "virtual app " + std::to_string(id) + " deleted");
    reply.serialize(response, false);
    return kChannelOk;
  }
  return Fail(response, kChannelInvalidRequest,
              "unsupported virtual app operation " + std::to_string(operation));
}

int ServeClientProperties(const std::string& request, std::string& response) {
  App::SetClientPropertiesRequest req;
  if (!req.unserialize(request))
    return Fail(response, kChannelInvalidRequest, "request is not a set-client-properties request");
  auto r = View(req);
  auto clients = r.child(App::SetClientPropertiesRequest::clientList, Create::No)
                     .list(App::ClientList::clients, Create::No);
  auto keys = r.child(App::SetClientPropertiesRequest::propertiesInfo, Create::No)
                  .child(App::ClientPropertiesInfo::clientProperties, Create::No)
                  .list(App::ClientProperties::registryKeys, Create::No);
  if (clients.empty())
    return Fail(response, kChannelInvalidRequest, "set-client-properties request without clients");
  if (keys.empty())
    return Fail(response, kChannelInvalidRequest,
                "set-client-properties request without registry keys");
  std::vector<int64_t> ids;
  for (size_t i = 0; i < clients.size(); ++i)
    ids.push_back(clients.at(i).get(NqEntities::GenericEntity::clientId));
  std::vector<RegistryValue> values;
  for (size_t i = 0; i < keys.size(); ++i) {
    auto k = keys.at(i);
    RegistryValue v;
    v.path = k.get(App::RegistryKeyInfo::keyPath);
    v.name = k.get(App::RegistryKeyInfo::keyName);
    v.type = k.get(App::RegistryKeyInfo::keyType);
    v.value = k.get(App::RegistryKeyInfo::keyValue);
    v.mode = k.get(App::RegistryKeyInfo::keyMode);
    v.flags = k.get(App::RegistryKeyInfo::keyFlags);
    v.options = k.get(App::RegistryKeyInfo::keyOptions);
    if (v.name.empty())
      return Fail(response, kChannelInvalidRequest, "registry key without a name");
    values.push_back(std::move(v));
  }
  bool noStore = false;
  std::string missing;
  Status s = UseStore(
      CurrentHostConfig().storePath, StoreAccess::ReadWriteExisting, [&](ServerStore* store) {
        noStore = !store;
        return store ? store->SetRegistryValues(ids, values, &missing) : Status::Ok();
      });
  if (s.ok && noStore)
    return Fail(response, kChannelNotFound, "unknown client id " + std::to_string(ids[0]));
  if (!s.ok && !missing.empty())
    return Fail(response, kChannelNotFound, "unknown client id " + missing);
  if (!s.ok) return StoreFailure(response, s);
  Hux::GenericResp reply;
  View(reply).set(Hux::GenericResp::errorCode, 0);
  View(reply).set(Hux::GenericResp::errorMessage, std::to_string(values.size()) +
                                                      " registry value(s) set on " +
                                                      std::to_string(ids.size()) + " client(s)");
  reply.serialize(response, false);
  return kChannelOk;
}

}  // namespace

int XMLHandler::handleXMLReq(unsigned long, unsigned long classId, std::string& request,
                             std::string& response, std::string, unsigned long) {
  response.clear();
  try {
    if (classId == Api::VirtualAppReq::kClassId) return ServeVirtualApp(request, response);
    if (classId == App::SetClientPropertiesRequest::kClassId)
      return ServeClientProperties(request, response);
    return Fail(response, kChannelInvalidRequest,
                "unknown request class " + std::to_string(classId));
  } catch (const std::exception& e) {
    return Fail(response, kChannelStoreFailed, std::string("managing server failed: ") + e.what());
  }
}
