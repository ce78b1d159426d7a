#include "terminal_text.h"

#include <cstdint>
#include <cstdio>

#include "discovery/export_scripts.h"
#include "base/text.h"

namespace {

void AppendFormatted(std::string& out, const char* format, unsigned value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, format, value);
  out += buf;
}

// Calls `keep(begin, length)` for each run of harmless characters and `escape(cp)` or
// `invalid(byte)` for the others, in order.
template <class Keep, class Escape, class Invalid>
void Walk(std::string_view text, Keep keep, Escape escape, Invalid invalid) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t run = 0;
  for (size_t i = 0; i < n;) {
    uint32_t cp = 0;
    const size_t length = Utf8Character(p + i, n - i, cp);
    if (length != 0 && !ShownAsEscape(cp)) {
      i += length;
      continue;
    }
    if (i > run) keep(run, i - run);
    if (length == 0)
      invalid(p[i]);
    else
      escape(cp);
    i += length == 0 ? 1 : length;
    run = i;
  }
  if (n > run) keep(run, n - run);
}

}  // namespace

bool ShownAsEscape(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

std::string Shown(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  Walk(
      value, [&](size_t at, size_t length) { out.append(value, at, length); },
      [&](uint32_t cp) {
        switch (cp) {
          case '\n':
            out += "\\n";
            return;
          case '\r':
            out += "\\r";
            return;
          case '\t':
            out += "\\t";
            return;
          case 0x1B:
            out += "\\e";
            return;
        }
        AppendFormatted(out, cp < 0x80 ? "\\x%02x" : "\\u%04x", cp);
      },
      [&](unsigned char byte) { AppendFormatted(out, "\\x%02x", byte); });
  return out;
}

size_t ShownWidth(std::string_view text) {
  size_t width = 0;
  for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

std::string JsonForTerminal(std::string json) {
  // Outside its strings a JSON text is ASCII without controls, so whatever is found is inside
  // one, where \u escapes mean the same character.
  std::string out;
  bool changed = false;
  Walk(
      json, [&](size_t at, size_t length) { out.append(json, at, length); },
      [&](uint32_t cp) {
        if (cp < 0x20) {  // the layout's line feeds: the writer escapes those in strings
          out += static_cast<char>(cp);
          return;
        }
        changed = true;
        AppendFormatted(out, "\\u%04x", cp);
      },
      [&](unsigned char byte) {  // the writer replaces these; kept as such
        out += static_cast<char>(byte);
      });
  return changed ? out : json;
}

std::string XmlForTerminal(std::string_view xml) {
  std::string out;
  out.reserve(xml.size());
  Walk(
      xml, [&](size_t at, size_t length) { out.append(xml, at, length); },
      [&](uint32_t cp) {
        if (cp == '\t' || cp == '\n')
          out += static_cast<char>(cp);
        else
          AppendFormatted(out, "&#x%X;", cp);
      },
      [&](unsigned char) { out += "\xEF\xBF\xBD"; });
  return out;
}

std::string ShellCommand(std::initializer_list<std::string_view> words) {
  std::string line;
  for (std::string_view word : words) line += (line.empty() ? "" : " ") + ShellWord(word);
  return Shown(line);
}
