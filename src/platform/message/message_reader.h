// The reader of the message text (docs/message-format.md): a SAX2 handler that builds the message
// as the parser goes and stops the parse at the first thing that makes the text invalid. Called
// by PXMessageBase::unserializeText after the checks of markup_bounds.h; the XML platform must be
// initialised. Thread-safe (each call takes a parser of its own from the pool, reader_pool.h).
#pragma once

#include <string>

#include "platform/message/message.h"

// Reads `text` into `root`, which is empty and made with the class the text must have (with
// `anyClass`, the root takes the group and number the text gives). False when the text is not a
// valid message: `root` then holds whatever was read before the fault, for the caller to drop.
// Never throws.
bool ReadMessageText(const std::string& text, bool anyClass, PXMessageBase& root);
