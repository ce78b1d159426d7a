// Bounds on one context text, checked before the text reaches the XML parser. Real context files
// are 0.1 to 1 MB with a few thousand elements and some hundred distinct names; the parser's
// memory grows with the number of elements and attributes, and its name pool superlinearly with
// the number of distinct names. CheckContextBounds is one linear pass over the bytes (no
// parsing, no allocation beyond the set of names): it counts start tags and their attributes
// outside comments, CDATA sections and processing instructions, and the distinct names among
// them, stopping at the first bound passed. It also refuses a text that the parser would read
// in an encoding where '<' is not the byte 0x3C (UTF-16, UTF-32, EBCDIC, stateful encodings such
// as ISO-2022-JP), or in one the parser does not know, since the counts would not see its markup;
// every other encoding (KOI8-R, EUC-JP, Shift_JIS, ...) is read. An unusual declared encoding is
// tried on the parser's transcoding service, so the Xerces platform is initialised on the way.
// It refuses too a text whose document type declaration has an internal subset:
// entities declared there could expand to many times the text, and their markup is not counted
// (a declaration that only names an external DTD is read; that DTD is never read). Pure
// function otherwise; thread-safe.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/status.h"

constexpr size_t kMaxContextBytes = 16u << 20;
// Elements and attributes together.
constexpr size_t kMaxContextNodes = 200000;
// Distinct element and attribute names.
constexpr size_t kMaxContextNames = 10000;
// Characters of one value read from a context file (the text of an element, an attribute); a
// longer value refuses the file (see ContextDocument's lookups).
constexpr size_t kMaxContextValueChars = 64u << 10;

// OK when `text` is within the bounds; otherwise an error saying why not, for a log line, e.g.
// "more than 200000 elements and attributes (the bound)".
Status CheckContextBounds(std::string_view text);
