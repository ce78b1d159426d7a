#include "secrets.h"

#include "platform/message_passwords.h"
#include "platform/redact.h"

void EmptyPasswords(PXMessageBase& message) {
  ReplacePasswords(message, std::string(), [](std::string& text) { text = RedactPasswords(text); });
}

std::string TextWithoutPasswords(const PXMessageBase& message) {
  PXMessageBase copy(message);
  EmptyPasswords(copy);
  return copy.serialized();
}
