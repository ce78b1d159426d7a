// What the message reader refuses before it parses: a document type declaration in the prolog,
// and markup longer than the parser should keep whole. The parser keeps a tag, a comment, a CDATA
// section or a processing instruction whole, in UTF-16 and in buffers that grow by doubling, so
// one as large as the text would take several times its size; the format's tags are short, and a
// value is character data, which the parser hands over in pieces. Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>

// The longest tag, and the longest comment, CDATA section or processing instruction, the reader
// takes.
constexpr size_t kMaxTagBytes = 64u << 10;
constexpr size_t kMaxSectionBytes = 1u << 20;

// Whether the prolog of `text` (before its first element, after a byte-order mark, blanks,
// comments and processing instructions) holds a document type declaration. The parser's DTD
// handler sees only declarations with an internal subset, so the reader looks for itself.
bool DeclaresDocumentType(const std::string& text);

// Whether every tag, comment, CDATA section and processing instruction of `text` is within the
// bounds above (a tag measured to its '>' past quoted values, which may hold one). One pass; the
// text between markup is skipped at once. Markup that does not end is measured to the end of the
// text (the parser refuses the text anyway).
bool MarkupWithinBounds(const std::string& text);
