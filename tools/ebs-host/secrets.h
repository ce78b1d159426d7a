// Keeping passwords out of what ebs-host prints or writes: every password field of a message,
// at any depth, emptied, and the passwords of a message text that a string carries masked
// (platform/redact.h). Whoever wants them asks by name (--show-secrets). Pure; thread-safe on
// distinct messages.
#pragma once

#include "platform/message.h"

void EmptyPasswords(PXMessageBase& message);

// The text of `message` with every password emptied.
std::string TextWithoutPasswords(const PXMessageBase& message);
