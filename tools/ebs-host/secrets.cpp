#include "secrets.h"

#include "platform/message_passwords.h"

void EmptyPasswords(PXMessageBase& message) { ReplacePasswords(message, std::string()); }

std::string TextWithoutPasswords(const PXMessageBase& message) {
  PXMessageBase copy(message);
  EmptyPasswords(copy);
  return copy.serialized();
}
