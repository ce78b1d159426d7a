// The one walk over every password field of a message, at any depth of child messages and
// message lists: each password is replaced by `with` (the field stays, so the message keeps its
// shape), and each string value (single or in a list) is handed to `onString`, when given, which
// may change it in place. Children nested deeper than PXMessageBase::kMaxDepth are left as they
// are (the text reader makes none). Absent children are never created. Not thread-safe on one
// message; distinct messages may be walked concurrently.
#pragma once

#include <functional>
#include <string>

#include "platform/message.h"

void ReplacePasswords(PXMessageBase& message, const std::string& with,
                      const std::function<void(std::string&)>& onString = {});
