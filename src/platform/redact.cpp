#include "platform/redact.h"

#include <vector>

namespace {

constexpr int kMaxEscapeDepth = 6;
constexpr const char* kMask = "***";

// The ways a '<' or '>' is written at escape depth `level` (0: raw markup).
std::vector<std::string> Forms(int level, bool open) {
  if (level == 0) return {open ? "<" : ">"};
  std::string amp;
  for (int i = 1; i < level; ++i) amp += "amp;";
  const char* names[] = {open ? "lt;" : "gt;", open ? "#60;" : "#62;", open ? "#x3c;" : "#x3e;",
                         open ? "#x3C;" : "#x3E;"};
  std::vector<std::string> forms;
  for (const char* n : names) forms.push_back("&" + amp + n);
  return forms;
}

// First occurrence at or after `from` of any of `forms`; sets `length` to the matched form's size.
size_t FindAny(const std::string& text, size_t from, const std::vector<std::string>& forms,
               size_t& length) {
  size_t best = std::string::npos;
  for (const std::string& f : forms) {
    size_t at = text.find(f, from);
    if (at < best) {
      best = at;
      length = f.size();
    }
  }
  return best;
}

bool RedactLevel(std::string& text, int level) {
  bool changed = false;
  const std::vector<std::string> opens = Forms(level, true);
  std::vector<std::string> closes = Forms(level, false);
  if (level > 0) closes.push_back(">");  // '>' needs no escaping in element content
  std::vector<std::string> endTags;
  for (const std::string& o : opens) endTags.push_back(o + "/pw");
  size_t pos = 0;
  while (true) {
    size_t openLength = 0;
    size_t at = FindAny(text, pos, opens, openLength);
    if (at == std::string::npos) break;
    size_t name = at + openLength;
    pos = name;
    if (text.compare(name, 2, "pw") != 0) continue;
    const char after = name + 2 < text.size() ? text[name + 2] : '\0';
    if (after != ' ' && after != '\t' && after != '\n' && after != '>' && after != '&' &&
        after != '/')
      continue;
    size_t closeLength = 0;
    size_t tagEnd = FindAny(text, name + 2, closes, closeLength);
    if (tagEnd == std::string::npos) {
      text.replace(name + 2, std::string::npos, std::string(" ") + kMask);
      return true;
    }
    if (tagEnd > 0 && text[tagEnd - 1] == '/') {  // <pw .../> carries nothing
      pos = tagEnd + closeLength;
      continue;
    }
    size_t contentStart = tagEnd + closeLength;
    size_t endLength = 0;
    size_t contentEnd = FindAny(text, contentStart, endTags, endLength);
    if (contentEnd == std::string::npos) contentEnd = text.size();
    text.replace(contentStart, contentEnd - contentStart, kMask);
    changed = true;
    pos = contentStart + 3;
  }
  return changed;
}

}  // namespace

std::string RedactPasswords(const std::string& text) {
  std::string out = text;
  if (out.find("pw") == std::string::npos) return out;
  for (int level = kMaxEscapeDepth; level >= 0; --level) RedactLevel(out, level);
  return out;
}
