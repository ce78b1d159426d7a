// Arbitrary text through the message reader: it must accept or refuse without crashing, leaking
// or throwing, and what it accepts must come back from the writer unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "messages/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Hux::OraEBSReqResp request;
  if (!request.unserialize(text)) {
    if (!request.empty()) std::abort();
    return 0;
  }
  const std::string once = request.serialized();
  Hux::OraEBSReqResp again;
  if (!again.unserialize(once) || again.serialized() != once) std::abort();
  return 0;
}
