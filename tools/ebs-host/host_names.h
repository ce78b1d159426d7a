// Checks of the names a person types: host names as RFC 1123 allows them, and the nearest known
// word to a mistyped command. Pure functions; thread-safe.
#pragma once

#include <string>
#include <vector>

// Dot-separated labels of 1 to 63 letters, digits and '-', none starting or ending with '-';
// at most 253 characters in all.
bool IsHostName(const std::string& name);

// The word of `known` nearest to `typed` (edit distance at most 2, or a prefix of it); "" when
// none is near.
std::string NearestWord(const std::string& typed, const std::vector<std::string>& known);
