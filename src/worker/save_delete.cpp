// Save and delete of an instance on the managing server, as a virtual app. A save first asks the
// server to prepare every node's client (SetRegistryKeyForClients), whatever the outcome, then
// sends one virtual-app save request with a copy of the configuration; a delete sends one
// virtual-app delete request naming the app by its id. Failures reach the answer as error 520.
// Each failure has one error-level log line with its cause; a refusal's names the server's reason
// (e.g. "no virtual app with id 2"), read from the reply.
#include <cstdint>
#include <exception>
#include <memory>

#include "platform/server/request_channel.h"
#include "worker/entity_ids.h"
#include "worker/NqEBSInterface.h"

namespace {

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

int NqEBSInterface::Save() {
  static const char* const kLabel = "Save";
  try {
    XMLHandler channel;
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

    const int result = channel.handleXMLReq(kRequestChannelVersion, Api::VirtualAppReq::kClassId,
                                            requestText, replyText, std::string(), 0);
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

    XMLHandler channel;
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

    const int result = channel.handleXMLReq(kRequestChannelVersion, Api::VirtualAppReq::kClassId,
                                            requestText, replyText, std::string(), 0);
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
