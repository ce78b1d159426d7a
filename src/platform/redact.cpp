#include "platform/redact.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/message.h"
#include "platform/message_passwords.h"
#include "platform/pstring.h"

namespace {

constexpr const char* kMask = "***";
// A message text is written again only up to this size (log lines are shorter).
constexpr size_t kMaxStructuralBytes = 1u << 20;
// Messages inside strings inside messages are written again to this depth; the scan goes on.
constexpr int kMaxStructuralDepth = 4;

// One character of the text as seen at some level of decoding, with the bytes of the original
// text it comes from.
struct Unit {
  uint32_t c;
  uint32_t begin, end;
};
using Units = std::vector<Unit>;
using Span = std::pair<size_t, size_t>;

uint32_t Lower(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

int DigitValue(uint32_t c, bool hex) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (hex && Lower(c) >= 'a' && Lower(c) <= 'f') return static_cast<int>(Lower(c) - 'a' + 10);
  return -1;
}

// The reference that starts at in[at] (an '&'): its character and the index of its ';'. Named
// references are those of XML, in any case; numeric ones may have any number of digits.
bool ReadReference(const Units& in, size_t at, uint32_t& c, size_t& semicolon) {
  size_t i = at + 1;
  if (i < in.size() && in[i].c == '#') {
    ++i;
    const bool hex = i < in.size() && Lower(in[i].c) == 'x';
    if (hex) ++i;
    const size_t first = i;
    uint64_t value = 0;
    for (int d; i < in.size() && (d = DigitValue(in[i].c, hex)) >= 0; ++i)
      value = std::min<uint64_t>(value * (hex ? 16 : 10) + static_cast<uint64_t>(d), 0x110000);
    if (i == first || i >= in.size() || in[i].c != ';' || value > 0x10FFFF) return false;
    c = static_cast<uint32_t>(value);
    semicolon = i;
    return true;
  }
  static const struct {
    const char* name;
    char c;
  } kNames[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& n : kNames) {
    size_t k = 0;
    while (n.name[k] && i + k < in.size() && Lower(in[i + k].c) == static_cast<uint32_t>(n.name[k]))
      ++k;
    if (!n.name[k] && i + k < in.size() && in[i + k].c == ';') {
      c = static_cast<uint32_t>(n.c);
      semicolon = i + k;
      return true;
    }
  }
  return false;
}

// One level of decoding. Returns whether any reference was decoded.
bool DecodeLevel(const Units& in, Units& out) {
  out.clear();
  out.reserve(in.size());
  bool changed = false;
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c;
    size_t semicolon;
    if (in[i].c == '&' && ReadReference(in, i, c, semicolon)) {
      out.push_back({c, in[i].begin, in[semicolon].end});
      i = semicolon;
      changed = true;
    } else {
      out.push_back(in[i]);
    }
  }
  return changed;
}

bool Blank(uint32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The bytes of a text seen as the units of its first level, made as they are read: a text
// without '&' has no other level, and needs no copy.
struct ByteUnits {
  const std::string& text;
  size_t size() const { return text.size(); }
  Unit operator[](size_t i) const {
    return {static_cast<unsigned char>(text[i]), static_cast<uint32_t>(i),
            static_cast<uint32_t>(i + 1)};
  }
};

// Whether the units from `at` spell `word`.
template <class U>
bool Spells(const U& u, size_t at, std::string_view word) {
  if (at + word.size() > u.size()) return false;
  for (size_t k = 0; k < word.size(); ++k)
    if (u[at + k].c != static_cast<unsigned char>(word[k])) return false;
  return true;
}

// Index of the first unit at or after `from` that starts `word`, or u.size().
template <class U>
size_t FindWord(const U& u, size_t from, std::string_view word) {
  for (size_t i = from; i < u.size(); ++i)
    if (u[i].c == static_cast<unsigned char>(word[0]) && Spells(u, i, word)) return i;
  return u.size();
}

// Adds to `masks` the original bytes of the content of every password element of one level.
template <class U>
void ScanLevel(const U& u, size_t textSize, std::vector<Span>& masks) {
  const size_t n = u.size();
  size_t i = 0;
  while (i < n) {
    if (!(u[i].c == '<' && Spells(u, i + 1, "pw") &&
          (i + 3 >= n || Blank(u[i + 3].c) || u[i + 3].c == '>' || u[i + 3].c == '/'))) {
      ++i;
      continue;
    }
    // The end of the start tag, past quoted attribute values.
    size_t j = i + 3;
    uint32_t quote = 0;
    for (; j < n; ++j) {
      const uint32_t c = u[j].c;
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (j >= n) {
      masks.push_back({u[i + 2].end, textSize});
      return;
    }
    if (u[j - 1].c == '/') {  // <pw .../> holds nothing
      i = j + 1;
      continue;
    }
    // The content ends at "</pw"; markup that cannot end it is skipped.
    const size_t contentBegin = u[j].end;
    size_t k = j + 1;
    for (;;) {
      while (k < n && u[k].c != '<') ++k;
      if (k >= n) {
        masks.push_back({contentBegin, textSize});
        return;
      }
      if (Spells(u, k + 1, "/pw") && (k + 4 >= n || Blank(u[k + 4].c) || u[k + 4].c == '>')) {
        masks.push_back({contentBegin, u[k].begin});
        i = k + 4;
        break;
      }
      std::string_view close;
      if (Spells(u, k + 1, "![CDATA["))
        close = "]]>";
      else if (Spells(u, k + 1, "!--"))
        close = "-->";
      else if (u[k + 1 < n ? k + 1 : k].c == '?')
        close = "?>";
      if (close.empty()) {
        ++k;
        continue;
      }
      const size_t end = FindWord(u, k + 1, close);
      if (end >= n) {
        masks.push_back({contentBegin, textSize});
        return;
      }
      k = end + close.size();
    }
  }
}

// The end of the markup that cannot hold a tag and starts at u[k] ('<'): a comment, a CDATA
// section or a processing instruction. Returns k when none starts there, u.size() when it does
// not end.
template <class U>
size_t SkipUnread(const U& u, size_t k) {
  std::string_view close;
  if (Spells(u, k + 1, "![CDATA["))
    close = "]]>";
  else if (Spells(u, k + 1, "!--"))
    close = "-->";
  else if (Spells(u, k + 1, "?"))
    close = "?>";
  if (close.empty()) return k;
  const size_t end = FindWord(u, k + 1, close);
  return end >= u.size() ? end : end + close.size();
}

bool NameEnd(uint32_t c) { return Blank(c) || c == '>' || c == '/' || c == '<'; }

// A tag that starts at u[at] ('<'): its name, whether it closes or is empty, the attributes the
// message format reads as numbers, and the index of its '>' (u.size() when it has none). Names
// and values are kept as ASCII, cut short (the ones that matter are short).
struct Tag {
  bool closing = false, empty = false;
  bool broken = false;  // no name, or a '<' before its end: no tag (`end` is at that '<')
  std::string name;
  bool hasG = false, hasN = false, hasX = false;
  long long g = 0, n = 0, x = 0;
  size_t end = 0;
};

char Ascii(uint32_t c) { return c < 0x80 ? static_cast<char>(c) : '?'; }

// An attribute value as the reader takes it: decimal, with an optional '-'.
bool Decimal(std::string_view text, long long& value) {
  const bool negative = !text.empty() && text[0] == '-';
  if (text.size() == (negative ? 1u : 0u)) return false;
  long long v = 0;
  for (size_t i = negative ? 1 : 0; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = std::min<long long>(v * 10 + (text[i] - '0'), 1LL << 40);
  }
  value = negative ? -v : v;
  return true;
}

template <class U>
Tag ReadTag(const U& u, size_t at) {
  constexpr size_t kKept = 15;
  Tag tag;
  const size_t n = u.size();
  size_t j = at + 1;
  tag.closing = j < n && u[j].c == '/';
  if (tag.closing) ++j;
  for (; j < n && !NameEnd(u[j].c); ++j)
    if (tag.name.size() < kKept) tag.name += Ascii(u[j].c);
  // Attributes, up to the '>' outside quotes.
  tag.broken = tag.name.empty();
  while (j < n && u[j].c != '>' && !tag.broken) {
    if (u[j].c == '<') {
      tag.broken = true;
      break;
    }
    if (NameEnd(u[j].c)) {
      ++j;
      continue;
    }
    std::string attribute;
    for (; j < n && !NameEnd(u[j].c) && u[j].c != '='; ++j)
      if (attribute.size() < kKept) attribute += Ascii(u[j].c);
    while (j < n && Blank(u[j].c)) ++j;
    if (j >= n || u[j].c != '=') continue;
    ++j;
    while (j < n && Blank(u[j].c)) ++j;
    if (j >= n || (u[j].c != '"' && u[j].c != '\'')) continue;
    const uint32_t quote = u[j].c;
    std::string value;
    for (++j; j < n && u[j].c != quote; ++j)
      if (value.size() < kKept) value += Ascii(u[j].c);
    if (j < n) ++j;
    long long number = 0;
    if (!Decimal(value, number)) continue;
    if (attribute == "g") {
      tag.hasG = true;
      tag.g = number;
    } else if (attribute == "n") {
      tag.hasN = true;
      tag.n = number;
    } else if (attribute == "x") {
      tag.hasX = true;
      tag.x = number;
    }
  }
  tag.end = j;
  tag.empty = j < n && u[j - 1].c == '/';
  return tag;
}

// Adds to `masks` the original bytes of the content of every field that stands at a password's
// place (IsPasswordPlace) of the message around it, whatever its element, on one level: the
// messages' classes are followed from their start and end tags.
template <class U>
void ScanPlaces(const U& u, size_t textSize, std::vector<Span>& masks) {
  struct Open {
    bool known;
    long long group, number;
  };
  std::vector<Open> messages;
  const size_t n = u.size();
  size_t i = 0;
  while (i < n) {
    if (u[i].c != '<') {
      ++i;
      continue;
    }
    const size_t skipped = SkipUnread(u, i);
    if (skipped != i) {
      i = skipped;
      continue;
    }
    const Tag tag = ReadTag(u, i);
    if (tag.broken) {
      i = std::max(tag.end, i + 1);
      continue;
    }
    if (tag.end >= n) {
      // A start tag cut off: what would follow it is gone anyway.
      return;
    }
    i = tag.end + 1;
    if (tag.name == "m") {
      if (tag.closing && !messages.empty()) messages.pop_back();
      if (!tag.closing && !tag.empty) messages.push_back({tag.hasG && tag.hasN, tag.g, tag.n});
      continue;
    }
    if (tag.closing || tag.empty || !tag.hasX || messages.empty() || !messages.back().known ||
        !IsPasswordPlace(static_cast<int>(messages.back().group),
                         static_cast<int>(messages.back().number), tag.x))
      continue;
    // The content goes to the end tag of this element; elements of its name inside it nest.
    const size_t contentBegin = u[tag.end].end;
    size_t depth = 1, k = i;
    while (k < n) {
      if (u[k].c != '<') {
        ++k;
        continue;
      }
      const size_t past = SkipUnread(u, k);
      if (past != k) {
        k = past;
        continue;
      }
      const Tag inner = ReadTag(u, k);
      if (inner.broken) {
        k = std::max(inner.end, k + 1);
        continue;
      }
      if (inner.name == tag.name && !inner.empty && !inner.closing) ++depth;
      if (inner.name == tag.name && inner.closing && --depth == 0) break;
      k = inner.end >= n ? n : inner.end + 1;
    }
    if (k >= n) {
      masks.push_back({contentBegin, textSize});
      return;
    }
    masks.push_back({contentBegin, u[k].begin});
    i = k;
  }
}

// Whether `text` may hold markup at some level of escaping (two memchr calls).
bool MayHoldMarkup(const std::string& text) {
  return text.find('<') != std::string::npos || text.find('&') != std::string::npos;
}

std::string Scan(const std::string& text) {
  if (!MayHoldMarkup(text)) return text;
  if (text.size() >= UINT32_MAX) return "[" + std::to_string(text.size()) + " bytes not shown]";
  std::vector<Span> masks;
  if (text.find('&') == std::string::npos) {
    ScanLevel(ByteUnits{text}, text.size(), masks);  // no reference: the only level
    ScanPlaces(ByteUnits{text}, text.size(), masks);
  } else {
    Units level(text.size()), next;
    for (uint32_t i = 0; i < text.size(); ++i)
      level[i] = {static_cast<unsigned char>(text[i]), i, i + 1};
    for (int depth = 0;; ++depth) {
      ScanLevel(level, text.size(), masks);
      ScanPlaces(level, text.size(), masks);
      if (!DecodeLevel(level, next)) break;
      if (depth == kMaxRedactionLevels) {
        return "[" + std::to_string(text.size()) + " bytes escaped more than " +
               std::to_string(kMaxRedactionLevels) + " times, not shown]";
      }
      std::swap(level, next);
    }
  }
  if (masks.empty()) return text;
  std::sort(masks.begin(), masks.end());
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  for (size_t m = 0; m < masks.size();) {
    size_t begin = masks[m].first, end = masks[m].second;
    for (++m; m < masks.size() && masks[m].first <= end; ++m) end = std::max(end, masks[m].second);
    begin = std::max(begin, copied);
    out.append(text, copied, begin - copied);
    out += kMask;
    copied = std::max(end, begin);
  }
  out.append(text, copied, std::string::npos);
  return out;
}

// The message text within `text`: from its XML declaration or outermost "<m" to the last "</m>".
bool FindMessage(const std::string& text, size_t& begin, size_t& end) {
  const size_t declaration = text.find("<?xml");
  size_t element = text.find("<m");
  while (element != std::string::npos && element + 2 < text.size() &&
         !Blank(static_cast<unsigned char>(text[element + 2])) && text[element + 2] != '>')
    element = text.find("<m", element + 2);
  begin = std::min(declaration, element);
  const size_t last = text.rfind("</m>");
  if (begin == std::string::npos || last == std::string::npos || last < begin) return false;
  end = last + 4;
  return end - begin <= kMaxStructuralBytes;
}

// Whether some level of decoding of `text` may carry a string written in base64, whose content
// (a message with passwords, say) the scan cannot read. The reader takes a string as base64 only
// with the attribute value "base64"; letters reach a deeper level either as themselves or through
// a numeric character reference, which holds a '#' (no named reference gives a letter or a '#').
// A text without '#' and without "base64" in any case therefore has no such string at any level.
bool MayHoldBase64(const std::string& text) {
  if (text.find('#') != std::string::npos) return true;
  static constexpr std::string_view kWord = "base64";
  const auto same = [](char a, char b) {
    return Lower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
  };
  return std::search(text.begin(), text.end(), kWord.begin(), kWord.end(), same) != text.end();
}

std::string Redact(const std::string& text, int depth) {
  size_t begin, end;
  if (depth <= kMaxStructuralDepth && MayHoldBase64(text) && FindMessage(text, begin, end)) {
    PXMessageBase message(0, 0);
    if (message.unserializeAnyClass(text.substr(begin, end - begin))) {
      // Every password becomes "***"; strings that may hold messages are redacted in turn.
      ReplacePasswords(message, kMask, [depth](std::string& value) {
        if (MayHoldMarkup(value)) value = Redact(value, depth + 1);
      });
      return Scan(text.substr(0, begin) + message.serialized() + text.substr(end));
    }
  }
  return Scan(text);
}

}  // namespace

std::string RedactPasswords(const std::string& text) { return Redact(text, 0); }

void EmptyPasswords(PXMessageBase& message) {
  ReplacePasswords(message, std::string(), [](std::string& text) {
    if (MayHoldMarkup(text)) text = RedactPasswords(text);
  });
}

std::string TextWithoutPasswords(const PXMessageBase& message) {
  PXMessageBase copy(message);
  EmptyPasswords(copy);
  return copy.serialized();
}
