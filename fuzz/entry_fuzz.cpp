// Arbitrary request text through the exported entry point: an answer is always written and the
// process survives. The first byte chooses how the text reaches the plug-in: as the envelope
// itself, or as the inner request of an Oracle EBS envelope.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "EnterpriseApps.h"
#include "messages/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    Hux::EnterpriseAppsReqResp envelope;
    View(envelope).set(Hux::EnterpriseAppsReqResp::appType, 1);
    View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, text);
    text = envelope.serialized();
  }
  const int result = OnMsgEnterpriseApps(text);
  Hux::EnterpriseAppsReqResp answer;
  if (!answer.unserialize(text)) std::abort();
  if (!View(answer).isSet(Hux::EnterpriseAppsReqResp::response)) std::abort();
  if (result != 0 && result != -1) std::abort();
  return 0;
}
