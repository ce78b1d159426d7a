#include "worker/NqEBSInterface.h"

#include <cstdint>

#include "platform/message/xerces_platform.h"

NqEBSInterface::NqEBSInterface(HostServices& host) : host(host) {
  std::string error;
  platformReady = EnsureXercesPlatform(&error);
  if (!platformReady) {
    EvDebug::Debug(logContext, "NqEBSInterface", "Failed to initialize XML platform; Error [%s]",
                   error.c_str());
    RecordFailure("Failed to initialize XML platform");
  }
}

// The XML platform stays initialised for the life of the process (it is shared by every worker
// and thread); it is terminated once when the library is unloaded.
NqEBSInterface::~NqEBSInterface() = default;

void NqEBSInterface::SetErrorCode(int code) {
  View(genericResp).set(Hux::GenericResp::errorCode, code);
}

void NqEBSInterface::SetErrorMessage(std::string message) {
  View(genericResp).set(Hux::GenericResp::errorMessage, message);
}

int NqEBSInterface::GetErrorCode() {
  return static_cast<int>(View(genericResp).get(Hux::GenericResp::errorCode));
}

void NqEBSInterface::RecordFailure(const std::string& message) {
  SetErrorCode(kEBSRequestFailed);
  SetErrorMessage(message);
}

std::string NqEBSInterface::GetErrorMessage() {
  return View(genericResp).get(Hux::GenericResp::errorMessage);
}

int NqEBSInterface::ProcessXMLReq(std::string& xml) {
  static const char* const kLabel = "ProcessXMLReq";
  if (!platformReady) return 1;
  tempDir = host.TempDirectory();
  request.unserialize(xml);
  EvDebug::Debug(logContext, kLabel, "Enter");
  EvDebug::Debug(logContext, kLabel, "Input XML [%s]", xml.c_str());
  auto req = View(request);
  if (!req.isSet(Hux::OraEBSReqResp::messageType)) {
    EvDebug::Debug(logContext, kLabel, "Invalid XML, message type is not set");
    RecordFailure("Invalid XML, message type is not set");
    return 1;
  }
  switch (static_cast<int32_t>(req.get(Hux::OraEBSReqResp::messageType))) {
    case kEBSSave:
      Save();
      break;
    case kEBSDiscover:
      Discover();
      break;
    case kEBSDelete:
      Delete();
      break;
    default:
      break;
  }
  request.serialize(xml, false);
  return 0;
}
