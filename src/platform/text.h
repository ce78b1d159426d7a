// Text held in memory: splitting it into parts without copying it, and cutting it to a length
// for a log line or an answer. A separator at the very end ends the last part (no empty part
// follows it); the views point into `text`. A cut never falls inside a UTF-8 character of
// well-formed text (it moves back over at most three continuation bytes). Thread-safe.
#pragma once

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
