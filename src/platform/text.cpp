#include "platform/text.h"

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
