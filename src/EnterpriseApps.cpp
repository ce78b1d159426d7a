#include "EnterpriseApps.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "messages/catalogue.h"
#include "platform/host/host_config.h"
#include "platform/host/log.h"
#include "platform/message/xerces_platform.h"
#include "worker/NqEBSInterface.h"

namespace {

const char* const kLabel = "::OnMsgEnterpriseApps";

int Serve(std::string& xml, EvEvent& log) {
  Hux::EnterpriseAppsReqResp envelope;
  auto answer = std::make_unique<Hux::GenericResp>();
  auto resp = View(*answer);
  resp.set(Hux::GenericResp::errorCode, 0);
  resp.set(Hux::GenericResp::errorMessage, "");
  auto env = View(envelope);
  std::string inner;
  int status = 0;

  std::string platformError;
  if (!EnsureXercesPlatform(&platformError)) {
    EvDebug::Debug(log, "NqEBSInterface", "Failed to initialize XML platform; Error [%s]",
                   platformError.c_str());
    resp.set(Hux::GenericResp::errorCode, kEBSRequestFailed);
    resp.set(Hux::GenericResp::errorMessage, "Failed to initialize XML platform");
    status = -1;
  } else {
    envelope.unserialize(xml);
  }

  if (status != 0) {
    // The request could not be read at all.
  } else if (!env.isSet(Hux::EnterpriseAppsReqResp::appType)) {
    EvDebug::Debug(log, kLabel,
                   "App type is not set for EnterpriseAppsReqResp message. Invalid XML [%s]",
                   xml.c_str());
    resp.set(Hux::GenericResp::errorCode, 1);
    resp.set(Hux::GenericResp::errorMessage,
             "App type is not set for EnterpriseAppsReqResp message");
    status = -1;
  } else {
    const int32_t appType = static_cast<int32_t>(env.get(Hux::EnterpriseAppsReqResp::appType));
    if (!env.isSet(Hux::EnterpriseAppsReqResp::xmlString)) {
      EvDebug::Debug(log, kLabel,
                     "XML string is not set for EnterpriseApsReqResp message, Invalid XML [%s]",
                     xml.c_str());
      resp.set(Hux::GenericResp::errorCode, 1);
      resp.set(Hux::GenericResp::errorMessage,
               "XML string is not set for EnterpriseApsReqResp message");
      status = -1;
    } else {
      // Moved out, and back in below: a large request is not copied.
      inner = env.take(Hux::EnterpriseAppsReqResp::xmlString);
      if (appType == kAppTypeOracleEBS) {
        NqEBSInterface worker;
        worker.ProcessXMLReq(inner);
        resp.set(Hux::GenericResp::errorCode, worker.GetErrorCode());
        resp.set(Hux::GenericResp::errorMessage, worker.GetErrorMessage());
      } else if (appType == kAppTypePeopleSoft) {
        EvDebug::Debug(log, kLabel, "PeopleSoft Enterprise Application type is not supported yet!");
        resp.set(Hux::GenericResp::errorCode, 1);
        resp.set(Hux::GenericResp::errorMessage,
                 "PeopleSoft Enterprise Application type is not supported yet!");
        status = -1;
      } else {
        EvDebug::Debug(log, kLabel, "Unknown Enterprise Application type [%d]", appType);
        resp.set(Hux::GenericResp::errorCode, 1);
        resp.set(Hux::GenericResp::errorMessage, "Unknown Enterprise Application type");
        status = -1;
      }
    }
  }

  env.set(Hux::EnterpriseAppsReqResp::xmlString, std::move(inner));
  if (status != 0 && resp.get(Hux::GenericResp::errorCode) == 0)
    resp.set(Hux::GenericResp::errorCode, 1);
  env.attach(Hux::EnterpriseAppsReqResp::response, std::move(answer));
  // The request text is read: its memory goes before the answer is written, and the answer,
  // about as long, is written into room taken at once (untouched pages cost nothing).
  const size_t requestSize = xml.size();
  std::string().swap(xml);
  xml.reserve(requestSize + 4096);
  envelope.serialize(xml, false);
  EvDebug::Debug(log, kLabel, "Response XML - %s", xml.c_str());
  return status;
}

// The answer of last resort when serving the request itself failed (for instance out of
// memory): an envelope with only the error, written without the message framework.
void Emergency(std::string& xml, const char* what) noexcept {
  try {
    Hux::EnterpriseAppsReqResp envelope;
    auto answer = std::make_unique<Hux::GenericResp>();
    View(*answer).set(Hux::GenericResp::errorCode, kEBSRequestFailed);
    View(*answer).set(Hux::GenericResp::errorMessage,
                      std::string("Internal error while serving the request: ") + what);
    View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, "");
    View(envelope).attach(Hux::EnterpriseAppsReqResp::response, std::move(answer));
    envelope.serialize(xml, false);
  } catch (...) {
    // Even the framework failed: write the envelope and its error code by hand.
    using E = Hux::EnterpriseAppsReqResp;
    using R = Hux::GenericResp;
    char text[256];
    std::snprintf(text, sizeof text,
                  "<m g=\"%d\" n=\"%d\"><s x=\"%d\"></s><o x=\"%d\"><m g=\"%d\" n=\"%d\">"
                  "<i x=\"%d\">%d</i></m></o></m>",
                  E::kGroup, E::kNumber, E::xmlString.index, E::response.index, R::kGroup,
                  R::kNumber, R::errorCode.index, kEBSRequestFailed);
    try {
      xml.assign(text);
    } catch (...) {
    }
  }
}

}  // namespace

extern "C" int OnMsgEnterpriseApps(std::string& xml) noexcept {
  EvEvent log;
  try {
    // One request reads the host's configuration once.
    const HostConfigScope config;
    return Serve(xml, log);
  } catch (const std::exception& e) {
    try {
      EvDebug::Error(log, kLabel, "Request failed: %s", e.what());
    } catch (...) {
    }
    Emergency(xml, e.what());
  } catch (...) {
    Emergency(xml, "unknown error");
  }
  return -1;
}
