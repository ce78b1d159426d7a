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
