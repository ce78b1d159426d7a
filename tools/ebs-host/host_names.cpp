#include "host_names.h"

#include <algorithm>
#include <cctype>

bool IsHostName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(name.find('.', start), name.size());
    const size_t length = end - start;
    if (length == 0 || length > 63 || name[start] == '-' || name[end - 1] == '-') return false;
    for (size_t i = start; i < end; ++i)
      if (!std::isalnum(static_cast<unsigned char>(name[i])) && name[i] != '-') return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

namespace {

size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string NearestWord(const std::string& typed, const std::vector<std::string>& known) {
  if (typed.size() > 64) return "";
  std::string best;
  size_t bestDistance = 3;
  for (const std::string& word : known) {
    const size_t d = word.rfind(typed, 0) == 0 && !typed.empty() ? 1 : Distance(typed, word);
    if (d < bestDistance) {
      best = word;
      bestDistance = d;
    }
  }
  return best;
}
