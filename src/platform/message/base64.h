// Base64 of string values that XML cannot carry as text (RFC 2045 alphabet, '=' padding), by the
// XML library's codec. Both need the XML platform initialised (xerces_platform.h). Thread-safe.
#pragma once

#include <string>

// The base64 of `s` on one line (no line breaks); "" for an empty `s`.
std::string Base64Encode(const std::string& s);

// Replaces `out` with the bytes `s` encodes; blanks (space, tab, line feed, carriage return)
// anywhere in `s` are ignored, and a blank `s` decodes to "". False when `s` is not base64 (then
// `out` is empty). Written into the caller's string, and the copies it makes are wiped, because
// the value may be a password.
bool Base64Decode(const std::string& s, std::string& out);
