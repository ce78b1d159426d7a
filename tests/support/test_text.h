// Small helpers that several tests share: a text made of one unit repeated, and the names in a
// directory. Header-only; pure apart from reading the directory.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

// `unit` written `times` times in a row.
inline std::string Repeat(const std::string& unit, size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// The names of the entries of `dir`, sorted; none when it cannot be read.
inline std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
