#include "platform/message/message_reader.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>

#include "platform/message/base64.h"
#include "platform/message/message_field.h"
#include "platform/message/pstring.h"
#include "platform/message/reader_pool.h"

namespace {

// A decimal integer of ASCII digits with an optional leading '-', nothing else, within the
// range of long long (the rules of std::from_chars).
template <class Char>
bool ParseDecimal(const Char* p, size_t n, long long& value) {
  const bool negative = n > 0 && p[0] == '-';
  size_t i = negative ? 1 : 0;
  if (i == n) return false;
  // Accumulated as a negative number, whose range holds every value of long long.
  constexpr long long kMin = std::numeric_limits<long long>::min();
  long long v = 0;
  for (; i < n; ++i) {
    const Char c = p[i];
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    if (v < (kMin + digit) / 10) return false;
    v = v * 10 - digit;
  }
  if (!negative) {
    if (v == kMin) return false;
    v = -v;
  }
  value = v;
  return true;
}

bool IsBlankChar(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsBlank(const std::string& text) {
  for (char c : text)
    if (!IsBlankChar(c)) return false;
  return true;
}

// An integer value of an element: a decimal with blanks around it.
bool ParseIntText(const std::string& text, int64_t& value) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlankChar(text[b])) ++b;
  while (e > b && IsBlankChar(text[e - 1])) --e;
  long long parsed = 0;
  if (!ParseDecimal(text.data() + b, e - b, parsed)) return false;
  value = parsed;
  return true;
}

// An attribute value that must be a decimal within [min, max]; leading zeros do not count.
bool ParseAttr(const XMLCh* raw, long long min, long long max, long long& value) {
  const std::u16string_view text(raw);
  long long parsed = 0;
  if (!ParseDecimal(text.data(), text.size(), parsed) || parsed < min || parsed > max)
    return false;
  value = parsed;
  return true;
}

// The attributes of the format, each read once from the element's list.
struct ElementAttributes {
  const XMLCh* g = nullptr;
  const XMLCh* n = nullptr;
  const XMLCh* x = nullptr;
  const XMLCh* id = nullptr;
  const XMLCh* enc = nullptr;

  explicit ElementAttributes(const xercesc::Attributes& attrs) {
    const XMLSize_t count = attrs.getLength();
    for (XMLSize_t i = 0; i < count; ++i) {
      const XMLCh* name = attrs.getQName(i);
      const XMLCh** slot = nullptr;
      if (name[0] == u'\0') continue;
      if (name[1] == u'\0') {
        slot = name[0] == u'g' ? &g : name[0] == u'n' ? &n : name[0] == u'x' ? &x : nullptr;
      } else if (std::u16string_view(name) == u"id") {
        slot = &id;
      } else if (std::u16string_view(name) == u"enc") {
        slot = &enc;
      }
      if (slot) *slot = attrs.getValue(i);  // other attributes are not read
    }
  }

  // Whether the element's encoding is valid; `base64` tells which it is.
  bool Encoding(bool& base64) const {
    base64 = enc != nullptr;
    return !enc || std::u16string_view(enc) == u"base64";
  }
};

}  // namespace

// Thrown by the reader's handler at the first thing that makes the text invalid.
struct StopReading {};

class MessageTextReader : public xercesc::DefaultHandler {
 public:
  // `sizeHint` is the size of the text read: no value is longer.
  MessageTextReader(PXMessageBase& root, bool anyClass, size_t sizeHint)
      : root_(root), anyClass_(anyClass), sizeHint_(sizeHint) {
    stack_.reserve(16);
  }

  bool failed() const { return failed_; }
  bool complete() const { return complete_; }

  void startElement(const XMLCh*, const XMLCh*, const XMLCh* qname,
                    const xercesc::Attributes& attrs) override {
    if (failed_) return;
    // Text may stand only inside a value: before a child element it must be blank.
    if (highSurrogate_ || !IsBlank(text_)) return Fail();
    text_.clear();
    Frame* top = stack_.empty() ? nullptr : &stack_.back();
    const ElementAttributes attributes(attrs);
    const char16_t c0 = qname[0], c1 = c0 ? qname[1] : u'\0', c2 = c1 ? qname[2] : u'\0';
    if (c0 == u'm' && c1 == u'\0') return StartMessage(top, attributes);
    if (c0 == u'v' && c1 == u'\0') {
      if (!top || (top->kind != Frame::IntList && top->kind != Frame::StringList)) return Fail();
      Frame value{Frame::Value, nullptr};
      value.field = top->field;
      if (!attributes.Encoding(value.base64)) return Fail();
      if (value.base64 && top->kind == Frame::IntList) return Fail();
      stack_.push_back(value);
      return;
    }
    if (!top || top->kind != Frame::Message) return Fail();
    FieldKind kind;
    Frame::Kind frameKind;
    if (c1 == u'\0' && c0 == u'i') {
      kind = FieldKind::Int, frameKind = Frame::Scalar;
    } else if (c1 == u'\0' && c0 == u's') {
      kind = FieldKind::String, frameKind = Frame::Scalar;
    } else if (c1 == u'\0' && c0 == u'o') {
      kind = FieldKind::Object, frameKind = Frame::ObjectField;
    } else if (c2 != u'\0' || c1 == u'\0') {
      return Fail();
    } else if (c0 == u'p' && c1 == u'w') {
      kind = FieldKind::Password, frameKind = Frame::Scalar;
    } else if (c0 == u'l' && c1 == u'o') {
      kind = FieldKind::ObjectList, frameKind = Frame::ObjectList;
    } else if (c0 == u'l' && c1 == u'i') {
      kind = FieldKind::IntList, frameKind = Frame::IntList;
    } else if (c0 == u'l' && c1 == u's') {
      kind = FieldKind::StringList, frameKind = Frame::StringList;
    } else {
      return Fail();
    }
    long long index = 0, number = 0, fieldId = 0;
    if (!attributes.x || !ParseAttr(attributes.x, -32768, 32767, index)) return Fail();
    if (attributes.n && !ParseAttr(attributes.n, -32768, 32767, number)) return Fail();
    if (attributes.id && !ParseAttr(attributes.id, 0, 0xFFFFFFFFLL, fieldId)) return Fail();
    Frame frame{frameKind, nullptr};
    if (!attributes.Encoding(frame.base64)) return Fail();
    if (frame.base64 && kind != FieldKind::String && kind != FieldKind::Password) return Fail();
    // Fields are written in index order: a new last field is placed without a search.
    auto& slot = top->message->slot(static_cast<short>(index));
    if (slot) return Fail();  // a field index appears once per message
    slot = std::make_unique<PXMessageBase::Field>();
    slot->kind = kind;
    slot->number = static_cast<short>(number);
    slot->fieldId = static_cast<unsigned>(fieldId);
    if (kind == FieldKind::ObjectList) slot->lo = new std::vector<PXMessageBase>();
    if (kind == FieldKind::IntList) slot->li = new std::vector<int64_t>();
    if (kind == FieldKind::StringList) slot->ls = new std::vector<std::string>();
    frame.field = slot.get();
    stack_.push_back(frame);
  }

  void endElement(const XMLCh*, const XMLCh*, const XMLCh*) override {
    if (failed_ || stack_.empty()) return;
    if (highSurrogate_) return Fail();  // a character cut in half
    Frame& top = stack_.back();
    switch (top.kind) {
      case Frame::Message:
        if (!IsBlank(text_)) return Fail();
        --depth_;
        break;
      case Frame::Scalar: {
        PXMessageBase::Field& f = *top.field;
        if (f.kind == FieldKind::Int) {
          if (!ParseIntText(text_, f.i)) return Fail();
          break;
        }
        std::string value;
        if (!Decode(top.base64, value)) return Fail();
        if (f.kind == FieldKind::String) {
          f.s = std::move(value);
        } else {
          f.p = new pstring(value);
          WipeString(value);
        }
        break;
      }
      case Frame::ObjectField:
        if (!IsBlank(text_) || top.field->o == nullptr) return Fail();
        break;
      case Frame::ObjectList:
      case Frame::IntList:
      case Frame::StringList:
        if (!IsBlank(text_)) return Fail();
        break;
      case Frame::Value: {
        if (top.field->kind == FieldKind::IntList) {
          int64_t v;
          if (!ParseIntText(text_, v)) return Fail();
          top.field->li->push_back(v);
          break;
        }
        std::string value;
        if (!Decode(top.base64, value)) return Fail();
        top.field->ls->push_back(std::move(value));
        break;
      }
    }
    WipeText();
    stack_.pop_back();
    if (stack_.empty()) complete_ = true;
  }

  void characters(const XMLCh* chars, const XMLSize_t length) override {
    if (failed_) return;
    if (stack_.empty()) return Fail();
    // A large value takes at once all the room it can need (a value is never longer than the
    // text), so that it is not copied as it grows; pages it does not fill are never touched.
    if (text_.size() + 3 * length > text_.capacity() && text_.size() > kGrowFrom)
      text_.reserve(std::max(sizeHint_, text_.size() + 3 * length));
    if (!AppendUtf8(chars, length)) Fail();
  }

  void ignorableWhitespace(const XMLCh*, const XMLSize_t) override {}

  void startDTD(const XMLCh*, const XMLCh*, const XMLCh*) override { Fail(); }
  void startEntity(const XMLCh*) override { Fail(); }

  void warning(const xercesc::SAXParseException&) override {}
  void error(const xercesc::SAXParseException&) override { Fail(); }
  void fatalError(const xercesc::SAXParseException&) override { Fail(); }

  ~MessageTextReader() override { WipeText(); }

 private:
  struct Frame {
    enum Kind { Message, Scalar, ObjectField, ObjectList, IntList, StringList, Value };
    Frame(Kind k, PXMessageBase* m) : kind(k), message(m) {}
    Kind kind;
    PXMessageBase* message;
    PXMessageBase::Field* field = nullptr;
    bool base64 = false;
  };

  void StartMessage(Frame* top, const ElementAttributes& attributes) {
    if (depth_ >= PXMessageBase::kMaxDepth) return Fail();
    long long group = 0, number = 0;
    const bool hasGroup = attributes.g && ParseAttr(attributes.g, INT_MIN, INT_MAX, group);
    const bool hasNumber = attributes.n && ParseAttr(attributes.n, INT_MIN, INT_MAX, number);
    if (!hasGroup || !hasNumber) {
      if (top || hasGroup || hasNumber) return Fail();  // only the root may omit both
      group = root_.group_;
      number = root_.number_;
    }
    PXMessageBase* target = nullptr;
    if (!top) {
      if (complete_) return Fail();
      if (anyClass_) {
        root_.group_ = static_cast<int>(group);
        root_.number_ = static_cast<int>(number);
      } else if (group != root_.group_ || number != root_.number_) {
        return Fail();
      }
      target = &root_;
    } else if (top->kind == Frame::ObjectField && top->field->o == nullptr) {
      top->field->o = new PXMessageBase(static_cast<int>(group), static_cast<int>(number));
      target = top->field->o;
    } else if (top->kind == Frame::ObjectList) {
      top->field->lo->emplace_back(static_cast<int>(group), static_cast<int>(number));
      target = &top->field->lo->back();
    } else {
      return Fail();
    }
    ++depth_;
    stack_.push_back(Frame{Frame::Message, target});
  }

  // Stops the parse: the reader unwinds to unserializeText, which refuses the text.
  void Fail() {
    failed_ = true;
    throw StopReading();
  }

  // Appends the UTF-16 `chars` to the text in UTF-8; false at a surrogate without its pair (a
  // pair may come split over two calls). Written in place: the text is lengthened by the most
  // the characters can take (three bytes per unit), then cut to what they took.
  bool AppendUtf8(const XMLCh* chars, size_t length) {
    const size_t start = text_.size();
    // ASCII, the most common text, goes in as it is, in no more room than it takes.
    size_t ascii = 0;
    while (!highSurrogate_ && ascii < length && chars[ascii] < 0x80) ++ascii;
    if (ascii == length && !highSurrogate_) {
      text_.resize(start + length);
      std::copy(chars, chars + length, &text_[start]);
      return true;
    }
    text_.resize(start + 3 * length);
    char* const begin = &text_[0];
    char* out = begin + start;
    bool ok = true;
    for (size_t i = 0; i < length; ++i) {
      uint32_t c = chars[i];
      if (c < 0x80 && !highSurrogate_) {
        *out++ = static_cast<char>(c);
        continue;
      }
      if (highSurrogate_) {
        if (c < 0xDC00 || c > 0xDFFF) {
          ok = false;
          break;
        }
        c = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (c - 0xDC00);
        highSurrogate_ = 0;
      } else if (c >= 0xD800 && c <= 0xDBFF) {
        highSurrogate_ = c;
        continue;
      } else if (c >= 0xDC00 && c <= 0xDFFF) {
        ok = false;
        break;
      }
      if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
      } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      }
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    text_.resize(static_cast<size_t>(out - begin));
    return ok;
  }

  // The text of the closing element, decoded from base64 when `base64`; the text is then empty.
  bool Decode(bool base64, std::string& value) {
    if (!base64) {
      value = std::move(text_);
      text_.clear();
      return true;
    }
    const bool ok = Base64Decode(text_, value);
    WipeText();
    return ok;
  }

  // The text buffer may have held a password.
  void WipeText() {
    std::fill(text_.begin(), text_.end(), '\0');
    text_.clear();
  }

  // Values up to this size grow as strings do.
  static constexpr size_t kGrowFrom = 1u << 20;

  PXMessageBase& root_;
  const bool anyClass_;
  const size_t sizeHint_;
  std::vector<Frame> stack_;
  // Text of the innermost open element since its start or its last child's end, in UTF-8; a
  // high surrogate whose pair has not come yet.
  std::string text_;
  uint32_t highSurrogate_ = 0;
  int depth_ = 0;
  bool failed_ = false;
  bool complete_ = false;
};

bool ReadMessageText(const std::string& text, bool anyClass, PXMessageBase& root) {
  try {
    MessageTextReader handler(root, anyClass, text.size());
    std::unique_ptr<PooledReader> pooled = Readers().Take();
    xercesc::SAX2XMLReader& reader = *pooled->reader;
    reader.setContentHandler(&handler);
    reader.setErrorHandler(&handler);
    reader.setLexicalHandler(&handler);
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                                      "message");
    source.setCopyBufToStream(false);
    // The format is UTF-8: an encoding declared or guessed from the first bytes (UTF-16, EBCDIC)
    // is not followed, so every text the reader accepts is one the log's redaction can read.
    source.setEncoding(u"UTF-8");
    bool reusable = true;
    try {
      reader.parse(source);
    } catch (const StopReading&) {
      // The reader unwound: it serves the next text.
    } catch (...) {
      reusable = false;  // its state is unknown, and the text is refused
    }
    const bool ok =
        reusable && !handler.failed() && handler.complete() && reader.getErrorCount() == 0;
    reader.setContentHandler(nullptr);
    reader.setErrorHandler(nullptr);
    reader.setLexicalHandler(nullptr);
    if (reusable) Readers().Give(std::move(pooled));
    return ok;
  } catch (...) {
    return false;
  }
}
