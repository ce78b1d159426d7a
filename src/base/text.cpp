#include "base/text.h"

#include <cstdint>

std::vector<std::string_view> SplitView(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

size_t CutPoint(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  // text[kept] is the first byte left out: while it continues a character, that character goes.
  size_t kept = maxBytes;
  for (int back = 0;
       back < 3 && kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80; ++back)
    --kept;
  return kept;
}

std::string CutMark(size_t cutBytes) {
  return "\xE2\x80\xA6[" + std::to_string(cutBytes) + " bytes cut]";
}

std::string CutText(std::string_view text, size_t maxBytes) {
  const size_t kept = CutPoint(text, maxBytes);
  if (kept == text.size()) return std::string(text);
  return std::string(text.substr(0, kept)) + CutMark(text.size() - kept);
}

std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

size_t Utf8Character(const unsigned char* p, size_t n, uint32_t& cp) {
  const unsigned c = p[0];
  size_t extra;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    extra = 1;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    extra = 2;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    extra = 3;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (extra >= n) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return extra + 1;
}
