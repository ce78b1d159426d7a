#include "worker/NqEBSInterface.h"

int NqEBSInterface::Discover() {
  EvDebug::Debug(logContext, "Discover", "Discover is not available yet");
  SetErrorCode(kEBSRequestFailed);
  SetErrorMessage("Discover is not available yet");
  return 1;
}
