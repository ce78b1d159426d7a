#include "platform/message/markup_bounds.h"

bool DeclaresDocumentType(const std::string& text) {
  size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (;;) {
    i = text.find_first_not_of(" \t\r\n", i);
    if (i == std::string::npos) return false;
    const char* close = text.compare(i, 2, "<?") == 0     ? "?>"
                        : text.compare(i, 4, "<!--") == 0 ? "-->"
                                                          : nullptr;
    if (!close) return text.compare(i, 9, "<!DOCTYPE") == 0;
    i = text.find(close, i + 2);
    if (i == std::string::npos) return false;
    i += std::char_traits<char>::length(close);
  }
}

bool MarkupWithinBounds(const std::string& text) {
  size_t i = 0;
  while ((i = text.find('<', i)) != std::string::npos) {
    const char* close = text.compare(i, 4, "<!--") == 0        ? "-->"
                        : text.compare(i, 9, "<![CDATA[") == 0 ? "]]>"
                        : text.compare(i, 2, "<?") == 0        ? "?>"
                                                               : nullptr;
    if (close) {
      const size_t end = text.find(close, i + 2);
      if ((end == std::string::npos ? text.size() : end) - i > kMaxSectionBytes) return false;
      if (end == std::string::npos) return true;  // the parser refuses the text
      i = end + std::char_traits<char>::length(close);
      continue;
    }
    // A tag, to its '>' past quoted values (which may hold one).
    size_t j = i + 1;
    for (; j < text.size() && text[j] != '>'; ++j) {
      if (j - i > kMaxTagBytes) return false;
      if (text[j] == '"' || text[j] == '\'') {
        const size_t quote = text.find(text[j], j + 1);
        j = quote == std::string::npos ? text.size() - 1 : quote;
      }
    }
    if (j - i > kMaxTagBytes) return false;
    i = j;
  }
  return true;
}
