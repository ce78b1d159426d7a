// Text held in memory: splitting it into parts without copying it, and cutting it to a length
// for a log line or an answer. A separator at the very end ends the last part (no empty part
// follows it); the views point into `text`. A cut never falls inside a UTF-8 character of
// well-formed text (it moves back over at most three continuation bytes). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

std::vector<std::string_view> SplitView(std::string_view text, char separator);

// How many bytes of `text` a cut to at most `maxBytes` keeps: all of them when they fit,
// otherwise up to `maxBytes`, moved back to the start of the character that would be split.
size_t CutPoint(std::string_view text, size_t maxBytes);

// The mark that follows a text of which `cutBytes` bytes were left out: "…[N bytes cut]".
std::string CutMark(size_t cutBytes);

// `text` as it is when it has at most `maxBytes` bytes; otherwise the part CutPoint keeps,
// followed by CutMark of the rest.
std::string CutText(std::string_view text, size_t maxBytes);

// `text` with the ASCII letters a-z made upper case; every other byte as it is.
std::string AsciiUpper(std::string_view text);

// The length of the well-formed UTF-8 character at `p` (with `n` bytes left, n >= 1) and its
// code point in `cp`; 0 for a byte that does not start one (overlong forms, surrogates and code
// points past U+10FFFF included).
size_t Utf8Character(const unsigned char* p, size_t n, uint32_t& cp);
