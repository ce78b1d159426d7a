// A message as JSON for programs: each set field under its catalogue name (field_<index> when the
// catalogue does not know it), child messages as objects, lists as arrays, unset fields absent,
// password values masked as "***" unless `showSecrets` (so is any value at the place of a
// password field, whatever its kind), as are the passwords of a message text
// that a string carries (messages/redact.h), so that a text the reader does not accept shows
// none either.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/message/message.h"

nlohmann::ordered_json MessageToJson(const PXMessageBase& message, bool showSecrets = false);
