#include "messages/redact.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/message/message.h"
#include "messages/message_passwords.h"
#include "platform/message/pstring.h"

namespace {

constexpr const char* kMask = "***";
// A message text is written again only up to this size (log lines are shorter).
constexpr size_t kMaxStructuralBytes = 1u << 20;
// Messages inside strings inside messages are written again to this depth; the scan goes on.
constexpr int kMaxStructuralDepth = 4;

// The levels of decoding of a text. Level 0 is the text itself, one unit per byte; each further
// level decodes the references of the one before, so one of its units stands for a run of the
// text's bytes, and the units of a level cover the text without gap or overlap. A level other
// than the text is kept as a byte stream, built in place over the one before (decoding never
// makes it longer): a unit that stands for one byte is its character (kOther for any character
// that is not ASCII: only ASCII characters make markup or references); a unit that stands for
// several is kLong, the number of bytes as a varint, then its character. So a level takes at most
// one byte per byte of the text.
constexpr unsigned char kOther = 0xFF;
constexpr unsigned char kLong = 0xFE;

// A position in a level, with the unit there.
class Cursor {
 public:
  // The first unit of the text itself, or of a level stream.
  static Cursor Text(const std::string& text) {
    return Cursor(reinterpret_cast<const unsigned char*>(text.data()), text.size(), false);
  }
  static Cursor Stream(const unsigned char* stream, size_t size) {
    return Cursor(stream, size, true);
  }

  bool AtEnd() const { return pos_ >= size_; }
  uint32_t c() const { return c_; }
  // The bytes of the text the unit stands for.
  size_t begin() const { return begin_; }
  size_t end() const { return begin_ + span_; }
  size_t span() const { return span_; }
  void Next() {
    pos_ += width_;
    begin_ += span_;
    Load();
  }
  // In the text itself (one unit per byte): the bytes from this unit up to the first `c` or the
  // end, which the cursor moves past, with their number in `length`. Null in a level stream.
  const unsigned char* TakeTextRun(unsigned char c, size_t& length) {
    if (stream_ || AtEnd()) return nullptr;
    const void* found = std::memchr(data_ + pos_, c, size_ - pos_);
    const size_t to = found ? static_cast<size_t>(static_cast<const unsigned char*>(found) - data_)
                            : size_;
    const unsigned char* run = data_ + pos_;
    length = to - pos_;
    begin_ += length;
    pos_ = to;
    Load();
    return run;
  }
  // Moves to the first unit at or after this one that is `c`, or to the end. In the text itself
  // (one unit per byte) the bytes are searched at once.
  void SkipTo(unsigned char c) {
    if (stream_) {
      while (!AtEnd() && c_ != c) Next();
      return;
    }
    if (AtEnd() || c_ == c) return;
    const void* found = std::memchr(data_ + pos_, c, size_ - pos_);
    const size_t to = found ? static_cast<size_t>(static_cast<const unsigned char*>(found) - data_)
                            : size_;
    begin_ += to - pos_;
    pos_ = to;
    Load();
  }

 private:
  Cursor(const unsigned char* data, size_t size, bool stream)
      : data_(data), size_(size), stream_(stream) {
    Load();
  }

  void Load() {
    if (pos_ >= size_) {
      c_ = 0;
      span_ = width_ = 0;
      return;
    }
    const unsigned char b = data_[pos_];
    if (!stream_ || b != kLong) {
      c_ = b;
      span_ = width_ = 1;
      return;
    }
    size_t at = pos_ + 1, value = 0;
    for (int shift = 0; at < size_; shift += 7) {
      const unsigned char v = data_[at++];
      value |= static_cast<size_t>(v & 0x7F) << shift;
      if (!(v & 0x80)) break;
    }
    c_ = at < size_ ? data_[at] : 0;
    span_ = value;
    width_ = at + 1 - pos_;
  }

  const unsigned char* data_;
  size_t size_;
  bool stream_;
  size_t pos_ = 0;
  size_t begin_ = 0;
  uint32_t c_ = 0;
  size_t span_ = 0, width_ = 0;
};

// Writes a unit of a level stream at `at` of `out` (which has room); returns the next position.
size_t PutUnit(unsigned char* out, size_t at, uint32_t c, size_t span) {
  const unsigned char character = c < 0x80 ? static_cast<unsigned char>(c) : kOther;
  if (span == 1) {
    out[at++] = character;
    return at;
  }
  out[at++] = kLong;
  for (; span >= 0x80; span >>= 7) out[at++] = static_cast<unsigned char>((span & 0x7F) | 0x80);
  out[at++] = static_cast<unsigned char>(span);
  out[at++] = character;
  return at;
}

// The original bytes under a password element's content, over all levels: a bit per byte, and a
// bit per position for an empty content. Masks that overlap or touch become one.
class Masks {
 public:
  explicit Masks(size_t textSize) : size_(textSize) {}

  void Add(size_t begin, size_t end) {
    if (!any_) {  // most texts hold no password: the bits are made for the first mask
      bytes_.assign(size_ / 64 + 1, 0);
      points_.assign(size_ / 64 + 1, 0);
    }
    any_ = true;
    if (begin >= end) {
      Set(points_, begin);
      return;
    }
    for (; begin < end && begin % 64 != 0; ++begin) Set(bytes_, begin);
    for (; begin + 64 <= end; begin += 64) bytes_[begin / 64] = ~uint64_t{0};
    for (; begin < end; ++begin) Set(bytes_, begin);
  }

  bool any() const { return any_; }

  // `text` with each group of masks replaced by `mask`.
  std::string Apply(const std::string& text, const char* mask) const {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    for (size_t p = NextMarked(0); p != kNone; p = NextMarked(p)) {
      size_t end = p;
      while (end < size_ && Test(bytes_, end)) ++end;
      out.append(text, copied, p - copied);
      out += mask;
      copied = end;
      p = end + 1;  // an empty mask at `end` touches the group
    }
    out.append(text, copied, std::string::npos);
    return out;
  }

 private:
  static constexpr size_t kNone = ~size_t{0};
  static void Set(std::vector<uint64_t>& bits, size_t i) { bits[i / 64] |= uint64_t{1} << (i % 64); }
  static bool Test(const std::vector<uint64_t>& bits, size_t i) {
    return (bits[i / 64] >> (i % 64)) & 1;
  }

  // The first position at or after `from` with a masked byte or an empty mask.
  size_t NextMarked(size_t from) const {
    for (size_t word = from / 64; word < bytes_.size(); ++word) {
      uint64_t bits = bytes_[word] | points_[word];
      if (word == from / 64) bits &= ~uint64_t{0} << (from % 64);
      if (bits) {
        const size_t p = word * 64 + static_cast<size_t>(__builtin_ctzll(bits));
        return p <= size_ ? p : kNone;
      }
    }
    return kNone;
  }

  size_t size_;
  std::vector<uint64_t> bytes_, points_;
  bool any_ = false;
};

uint32_t Lower(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

int DigitValue(uint32_t c, bool hex) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (hex && Lower(c) >= 'a' && Lower(c) <= 'f') return static_cast<int>(Lower(c) - 'a' + 10);
  return -1;
}

// The reference that starts at `at` (an '&'): its character, and `semicolon` at its ';'. Named
// references are those of XML, in any case; numeric ones may have any number of digits.
bool ReadReference(const Cursor& at, uint32_t& c, Cursor& semicolon) {
  Cursor i = at;
  i.Next();
  if (!i.AtEnd() && i.c() == '#') {
    i.Next();
    const bool hex = !i.AtEnd() && Lower(i.c()) == 'x';
    if (hex) i.Next();
    bool digits = false;
    uint64_t value = 0;
    for (int d; !i.AtEnd() && (d = DigitValue(i.c(), hex)) >= 0; i.Next()) {
      value = std::min<uint64_t>(value * (hex ? 16 : 10) + static_cast<uint64_t>(d), 0x110000);
      digits = true;
    }
    if (!digits || i.AtEnd() || i.c() != ';' || value > 0x10FFFF) return false;
    c = static_cast<uint32_t>(value);
    semicolon = i;
    return true;
  }
  static const struct {
    const char* name;
    char c;
  } kNames[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& n : kNames) {
    Cursor k = i;
    size_t matched = 0;
    while (n.name[matched] && !k.AtEnd() &&
           Lower(k.c()) == static_cast<uint32_t>(n.name[matched])) {
      ++matched;
      k.Next();
    }
    if (!n.name[matched] && !k.AtEnd() && k.c() == ';') {
      c = static_cast<uint32_t>(n.c);
      semicolon = k;
      return true;
    }
  }
  return false;
}

// One level of decoding: the units from `in` written as a level stream into `out` from its
// start, which has room for them (`out` may be the stream `in` reads: the writes never pass the
// reads). Returns the length written; `changed` tells whether any reference was decoded, and
// `ampersand` whether the level written holds an '&' (without one, it decodes to itself).
size_t DecodeLevel(Cursor in, unsigned char* out, bool& changed, bool& ampersand) {
  changed = ampersand = false;
  size_t w = 0;
  while (!in.AtEnd()) {
    uint32_t c;
    Cursor semicolon = in;
    const unsigned char* run = nullptr;
    size_t length = 0;
    if (in.c() != '&' && (run = in.TakeTextRun('&', length))) {
      // Bytes of the text up to the next '&': each is a unit of its own.
      for (size_t k = 0; k < length; ++k) out[w + k] = run[k] < 0x80 ? run[k] : kOther;
      w += length;
    } else if (in.c() == '&' && ReadReference(in, c, semicolon)) {
      const size_t begin = in.begin();
      in = semicolon;
      in.Next();
      w = PutUnit(out, w, c, semicolon.end() - begin);
      changed = true;
      ampersand = ampersand || c == '&';
    } else {
      ampersand = ampersand || in.c() == '&';
      const uint32_t here = in.c();
      const size_t span = in.span();
      in.Next();
      w = PutUnit(out, w, here, span);
    }
  }
  return w;
}

bool Blank(uint32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether the units from `at` spell `word`; `after` is then past them.
bool Spells(Cursor at, std::string_view word, Cursor* after = nullptr) {
  for (char w : word) {
    if (at.AtEnd() || at.c() != static_cast<unsigned char>(w)) return false;
    at.Next();
  }
  if (after) *after = at;
  return true;
}

// The first position at or after `from` that starts `word` (at the end when there is none).
Cursor FindWord(Cursor from, std::string_view word) {
  for (from.SkipTo(static_cast<unsigned char>(word[0])); !from.AtEnd() && !Spells(from, word);
       from.SkipTo(static_cast<unsigned char>(word[0])))
    from.Next();
  return from;
}

Cursor Advanced(Cursor at, size_t units) {
  for (; units > 0 && !at.AtEnd(); --units) at.Next();
  return at;
}

// The markup that cannot hold a tag and starts at `at` ('<'): a comment, a CDATA section or a
// processing instruction. Returns whether one starts there; `past` is then past its end (at the
// end of the level when it does not end).
bool SkipUnread(const Cursor& at, Cursor& past) {
  const Cursor next = Advanced(at, 1);
  std::string_view close;
  if (Spells(next, "![CDATA["))
    close = "]]>";
  else if (Spells(next, "!--"))
    close = "-->";
  else if (!next.AtEnd() && next.c() == '?')
    close = "?>";
  if (close.empty()) return false;
  const Cursor end = FindWord(next, close);
  past = end.AtEnd() ? end : Advanced(end, close.size());
  return true;
}

// Adds to `masks` the original bytes of the content of every password element of one level.
void ScanLevel(Cursor i, size_t textSize, Masks& masks) {
  for (i.SkipTo('<'); !i.AtEnd(); i.SkipTo('<')) {
    Cursor tag = i;  // past "<pw"
    if (i.c() != '<' || !Spells(Advanced(i, 1), "pw", &tag) ||
        !(tag.AtEnd() || Blank(tag.c()) || tag.c() == '>' || tag.c() == '/')) {
      i.Next();
      continue;
    }
    const size_t nameEnd = tag.begin();
    // The end of the start tag, past quoted attribute values.
    Cursor j = tag;
    uint32_t quote = 0, previous = 'w';
    for (; !j.AtEnd(); previous = j.c(), j.Next()) {
      const uint32_t c = j.c();
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (j.AtEnd()) {
      masks.Add(nameEnd, textSize);
      return;
    }
    if (previous == '/') {  // <pw .../> holds nothing
      i = Advanced(j, 1);
      continue;
    }
    // The content ends at "</pw"; markup that cannot end it is skipped.
    const size_t contentBegin = j.end();
    Cursor k = Advanced(j, 1);
    for (;;) {
      k.SkipTo('<');
      if (k.AtEnd()) {
        masks.Add(contentBegin, textSize);
        return;
      }
      const Cursor next = Advanced(k, 1);
      Cursor closed = next;
      if (Spells(next, "/pw", &closed) && (closed.AtEnd() || Blank(closed.c()) || closed.c() == '>')) {
        masks.Add(contentBegin, k.begin());
        i = closed;
        break;
      }
      Cursor skipped = k;
      if (!SkipUnread(k, skipped)) {
        k = next;
        continue;
      }
      k = skipped;  // at the end of the level when it does not end: all masked below
    }
  }
}

bool NameEnd(uint32_t c) { return Blank(c) || c == '>' || c == '/' || c == '<'; }

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

// A tag that starts at a '<': its name, whether it closes or is empty, the attributes the
// message format reads as numbers, and its '>' (`end`: at the end of the level when it has
// none). Names and values are kept as ASCII, cut short (the ones that matter are short).
struct Tag {
  explicit Tag(const Cursor& at) : end(at) {}
  bool closing = false, empty = false;
  bool broken = false;  // no name, or a '<' before its end: no tag (`end` is at that '<')
  std::string name;
  bool hasG = false, hasN = false, hasX = false;
  long long g = 0, n = 0, x = 0;
  Cursor end;
};

Tag ReadTag(const Cursor& at) {
  constexpr size_t kKept = 15;
  Tag tag(at);
  Cursor j = Advanced(at, 1);
  uint32_t previous = '<';
  const auto next = [&] {
    previous = j.c();
    j.Next();
  };
  tag.closing = !j.AtEnd() && j.c() == '/';
  if (tag.closing) next();
  for (; !j.AtEnd() && !NameEnd(j.c()); next())
    if (tag.name.size() < kKept) tag.name += Ascii(j.c());
  // Attributes, up to the '>' outside quotes.
  tag.broken = tag.name.empty();
  while (!j.AtEnd() && j.c() != '>' && !tag.broken) {
    if (j.c() == '<') {
      tag.broken = true;
      break;
    }
    if (NameEnd(j.c())) {
      next();
      continue;
    }
    std::string attribute;
    for (; !j.AtEnd() && !NameEnd(j.c()) && j.c() != '='; next())
      if (attribute.size() < kKept) attribute += Ascii(j.c());
    while (!j.AtEnd() && Blank(j.c())) next();
    if (j.AtEnd() || j.c() != '=') continue;
    next();
    while (!j.AtEnd() && Blank(j.c())) next();
    if (j.AtEnd() || (j.c() != '"' && j.c() != '\'')) continue;
    const uint32_t quote = j.c();
    std::string value;
    for (next(); !j.AtEnd() && j.c() != quote; next())
      if (value.size() < kKept) value += Ascii(j.c());
    if (!j.AtEnd()) next();
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
  tag.empty = !j.AtEnd() && previous == '/';
  return tag;
}

// The next tag from `at` on, past text, comments, CDATA sections, processing instructions and
// broken tags: `at` is left at its '<' and `tag` read. False at the end of the level.
bool NextTag(Cursor& at, Tag& tag) {
  for (at.SkipTo('<'); !at.AtEnd(); at.SkipTo('<')) {
    Cursor past = at;
    if (SkipUnread(at, past)) {
      at = past;
      continue;
    }
    tag = ReadTag(at);
    if (!tag.broken) return true;
    at = tag.end.begin() > at.begin() ? tag.end : Advanced(at, 1);
  }
  return false;
}

// Adds to `masks` the original bytes of the content of every field that stands at a password's
// place (IsPasswordPlace) of the message around it, whatever its element, on one level: the
// messages' classes are followed from their start and end tags.
void ScanPlaces(Cursor i, size_t textSize, Masks& masks) {
  struct Open {
    bool known;
    long long group, number;
  };
  std::vector<Open> messages;
  Tag tag(i);
  while (NextTag(i, tag)) {
    if (tag.end.AtEnd()) return;  // a start tag cut off: what would follow it is gone anyway
    i = Advanced(tag.end, 1);
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
    const size_t contentBegin = tag.end.end();
    size_t depth = 1;
    Tag inner(i);
    bool closed = false;
    while (!closed && NextTag(i, inner)) {
      if (inner.name == tag.name && !inner.empty && !inner.closing) ++depth;
      if (inner.name == tag.name && inner.closing && --depth == 0)
        closed = true;
      else
        i = inner.end.AtEnd() ? inner.end : Advanced(inner.end, 1);
    }
    if (!closed) {
      masks.Add(contentBegin, textSize);
      return;
    }
    masks.Add(contentBegin, i.begin());  // `i` is at the end tag, which the loop reads next
  }
}

// Whether some start tag "<m" of the level gives, as ScanPlaces reads it, the class of a message
// that has a password place: only then can ScanPlaces mask anything. Every "<m" counts, inside a
// comment or a broken tag too, so no level that ScanPlaces could mask from is passed over.
bool HoldsClassWithPasswords(Cursor i) {
  for (i.SkipTo('<'); !i.AtEnd(); i.SkipTo('<')) {
    const Cursor name = Advanced(i, 1);
    if (!name.AtEnd() && name.c() == 'm') {
      const Cursor after = Advanced(name, 1);
      if (after.AtEnd() || NameEnd(after.c())) {
        const Tag tag = ReadTag(i);
        if (tag.hasG && tag.hasN &&
            HasPasswordPlace(static_cast<int>(tag.g), static_cast<int>(tag.n)))
          return true;
      }
    }
    i.Next();
  }
  return false;
}

// The password elements and the password places of one level.
void ScanLevelFully(Cursor level, size_t textSize, Masks& masks) {
  ScanLevel(level, textSize, masks);
  if (HoldsClassWithPasswords(level)) ScanPlaces(level, textSize, masks);
}

// Whether `text` may hold markup at some level of escaping (two memchr calls).
bool MayHoldMarkup(const std::string& text) {
  return text.find('<') != std::string::npos || text.find('&') != std::string::npos;
}

std::string Scan(const std::string& text) {
  if (!MayHoldMarkup(text)) return text;
  Masks masks(text.size());
  ScanLevelFully(Cursor::Text(text), text.size(), masks);
  if (text.find('&') != std::string::npos) {
    // Level 1 into a stream of its own, every further level in place over it. The stream is
    // left uninitialised: only the bytes a level fills take memory.
    const std::unique_ptr<unsigned char[]> level(new unsigned char[text.size()]);
    bool changed, ampersand;
    size_t size = DecodeLevel(Cursor::Text(text), level.get(), changed, ampersand);
    for (int depth = 0; changed; ++depth) {
      if (depth == kMaxRedactionLevels) {
        return "[" + std::to_string(text.size()) + " bytes escaped more than " +
               std::to_string(kMaxRedactionLevels) + " times, not shown]";
      }
      ScanLevelFully(Cursor::Stream(level.get(), size), text.size(), masks);
      if (!ampersand) break;  // the next level would be this one
      size = DecodeLevel(Cursor::Stream(level.get(), size), level.get(), changed, ampersand);
    }
  }
  return masks.any() ? masks.Apply(text, kMask) : text;
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
