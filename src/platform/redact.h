// Password redaction of text that may hold serialised messages, at any depth of XML escaping
// (a message text carried inside a string field of another message is escaped once per level).
// The content of every password element ("pw") is replaced by "***"; an element whose end
// cannot be found is redacted to the end of the text. Pure function; thread-safe.
#pragma once

#include <string>

std::string RedactPasswords(const std::string& text);
