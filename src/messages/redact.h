// Password redaction of text that may hold serialised messages, at any depth of XML escaping
// (a message text carried inside a string field of another message is escaped once per level).
//
// Where the text holds one message that the message reader accepts (from "<m" or "<?xml" to the
// last "</m>") and some level of it may carry a string in base64 (the text holds "base64" or a
// '#'), that part is written again from a copy in which every password is "***" and every string
// field is redacted in turn: a base64 string hides its content from the scan below. Other text is
// kept as it was written. Then, as the backstop for text that does not parse,
// the content of every password element ("pw") is replaced by "***" wherever it stands: the
// text is decoded level after level (entity and character references of any form: named,
// decimal or hexadecimal, any number of leading zeros, any case) until nothing changes, and each
// level is searched for "<pw". An element whose end cannot be found is redacted to the end of
// the text; CDATA sections, comments and processing instructions inside the element do not end
// it. Text escaped more than kMaxRedactionLevels times is not returned at all.
//
// Work is linear in the size of the text (times the levels of escaping it holds). Memory beyond
// the result is at most about one and a quarter bytes per byte of the text, whatever its levels.
// Pure function; thread-safe.
#pragma once

#include <string>

#include "platform/message/message.h"

constexpr int kMaxRedactionLevels = 16;

std::string RedactPasswords(const std::string& text);

// Keeps passwords out of a message that leaves the process or is kept on disk: every password
// field, at any depth, emptied (the field stays, so the message keeps its shape), and the
// passwords of a message text that a string field carries masked by RedactPasswords.
void EmptyPasswords(PXMessageBase& message);

// The text of `message` after EmptyPasswords; `message` itself is left as it is.
std::string TextWithoutPasswords(const PXMessageBase& message);
