// Character data of the message text: which UTF-8 strings XML 1.0 carries as they are, and the
// escaped form the writer puts between tags. Pure function; thread-safe.
#pragma once

#include <string>

// Appends `s` to `out` as XML character data: '&', '<' and '>' as entity references, a carriage
// return as "&#13;" (a parser would fold it into a line feed), every other character as it is,
// the runs between escapes at once. Returns false, with `out` partly written, when `s` is not
// UTF-8 made only of characters XML 1.0 can carry (a control character other than tab, line feed
// and carriage return, U+FFFE, U+FFFF, or a malformed sequence): the writer then sends it in
// base64.
bool AppendXmlCharacterData(std::string& out, const std::string& s);
