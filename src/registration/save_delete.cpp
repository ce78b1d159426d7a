#include "worker/NqEBSInterface.h"

int NqEBSInterface::Save() {
  EvDebug::Debug(logContext, "Save", "Save is not available yet");
  SetErrorCode(kEBSRequestFailed);
  SetErrorMessage("Save is not available yet");
  return 1;
}

int NqEBSInterface::Delete() {
  EvDebug::Debug(logContext, "Delete", "Delete is not available yet");
  SetErrorCode(kEBSRequestFailed);
  SetErrorMessage("Delete is not available yet");
  return 1;
}
