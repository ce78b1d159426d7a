#include "platform/message/xml_text.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/text.h"

namespace {

// Length of the UTF-8 sequence at p[0..n) of a character that XML 1.0 can carry and that is not
// ASCII, or 0 when there is none.
size_t CarriedSequence(const unsigned char* p, size_t n) {
  uint32_t cp = 0;
  const size_t length = Utf8Character(p, n, cp);
  return cp < 0x80 || cp == 0xFFFE || cp == 0xFFFF ? 0 : length;
}

}  // namespace

bool AppendXmlCharacterData(std::string& out, const std::string& s) {
  // What each ASCII byte is to the writer: kept, escaped, or not carried at all.
  enum : unsigned char { kKept, kAmp, kLt, kGt, kCr, kRefused };
  static constexpr struct Table {
    unsigned char of[0x80];
    constexpr Table() : of() {
      for (int c = 0; c < 0x20; ++c) of[c] = kRefused;
      of[unsigned{'\t'}] = of[unsigned{'\n'}] = kKept;
      of[unsigned{'\r'}] = kCr;
      of[unsigned{'&'}] = kAmp;
      of[unsigned{'<'}] = kLt;
      of[unsigned{'>'}] = kGt;
    }
  } kTable;
  static constexpr std::string_view kEscapes[] = {"", "&amp;", "&lt;", "&gt;", "&#13;"};
  const auto* const begin = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t run = 0;
  for (size_t i = 0; i < n;) {
    const unsigned c = begin[i];
    if (c >= 0x80) {
      const size_t length = CarriedSequence(begin + i, n - i);
      if (length == 0) return false;
      i += length;
      continue;
    }
    const unsigned char what = kTable.of[c];
    if (what == kKept) {
      ++i;
      continue;
    }
    if (what == kRefused) return false;
    out.append(s.data() + run, i - run);
    out.append(kEscapes[what]);
    run = ++i;
  }
  out.append(s.data() + run, n - run);
  return true;
}
