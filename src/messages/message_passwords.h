// The one walk over every password field of a message, at any depth of child messages and
// message lists: each password is replaced by `with` (the field stays, so the message keeps its
// shape). A password field is found by its place, not by the kind of its value: a field at the
// index of a password field of the message's class (IsPasswordPlace) that holds a string, a list
// or anything else becomes a password field holding `with` too. Each other string value (single or
// in a list) is handed to `onString`, when given, which may change it in place. Children nested
// deeper than PXMessageBase::kMaxDepth are left as they are (the text reader makes none). Absent
// children are never created. Not thread-safe on one message; distinct messages may be walked
// concurrently.
#pragma once

#include <functional>
#include <string>

#include "platform/message/message.h"

void ReplacePasswords(PXMessageBase& message, const std::string& with,
                      const std::function<void(std::string&)>& onString = {});

// Whether field `index` of a message of class `group`/`number` is a password field in the message
// catalogue (messages/catalogue.h), whatever a given text puts there.
bool IsPasswordPlace(int group, int number, long long index);

// Whether a message of class `group`/`number` has a password field in the catalogue at all.
bool HasPasswordPlace(int group, int number);
