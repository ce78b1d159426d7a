// Arbitrary text through the context parser, the lookups and both tier readers.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "worker/NqEBSInterface.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("EBS_HOST_LOG_LEVEL", "off", 0);
  // Client lookups use a private, empty store rather than the user's.
  if (!getenv("EBS_HOST_STORE")) {
    char dir[] = "/tmp/context_fuzz-XXXXXX";
    if (mkdtemp(dir)) setenv("EBS_HOST_STORE", (std::string(dir) + "/store.db").c_str(), 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  NqEBSInterface worker;
  if (!worker.initParser(text)) return 0;
  worker.ProcessDBTierTags();
  worker.ProcessAppTierTags();
  // A second document through the same parser, and lookups with odd arguments.
  worker.initParser(text);
  worker.getChildValue("oa_host", -1, "host", 0);
  worker.getChildCount("oa_host", 1 << 30, "host");
  worker.getChildAttribute("", 0, "", 0, "");
  worker.ProcessAppTierTags();
  return 0;
}
