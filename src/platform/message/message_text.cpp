// Text form of messages: the writer and the SAX2 reader. The format is documented in
// docs/message-format.md.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/Base64.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "platform/message/message.h"
#include "platform/message/message_field.h"
#include "base/text.h"
#include "platform/message/xerces_platform.h"

namespace {

// Length of the UTF-8 sequence at p[0..n) of a character that XML 1.0 can carry and that is not
// ASCII, or 0 when there is none.
size_t CarriedSequence(const unsigned char* p, size_t n) {
  uint32_t cp = 0;
  const size_t length = Utf8Character(p, n, cp);
  return cp < 0x80 || cp == 0xFFFE || cp == 0xFFFF ? 0 : length;
}

// Appends `s` with the characters that XML would not keep as they are escaped; the runs between
// them go in at once. Returns false, with `out` partly written, when `s` is not UTF-8 made only of
// characters that XML 1.0 can carry.
bool AppendEscaped(std::string& out, const std::string& s) {
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
    const char* escape;
    switch (c) {
      case '&':
        escape = "&amp;";
        break;
      case '<':
        escape = "&lt;";
        break;
      case '>':
        escape = "&gt;";
        break;
      case '\r':
        escape = "&#13;";
        break;
      case '\t':
      case '\n':
        ++i;
        continue;
      default:
        if (c < 0x20) return false;
        ++i;
        continue;
    }
    out.append(s.data() + run, i - run);
    out.append(escape);
    run = ++i;
  }
  out.append(s.data() + run, n - run);
  return true;
}

// A short piece of markup (a tag with its numbers) put together on the stack, so that it goes
// into the text with one append.
class Piece {
 public:
  template <size_t N>
  Piece& operator<<(const char (&literal)[N]) {
    return Add(literal, N - 1);
  }
  Piece& Add(const char* text, size_t length) {
    std::memcpy(end_, text, length);
    end_ += length;
    return *this;
  }
  Piece& operator<<(long long value) {
    end_ = std::to_chars(end_, end_ + 24, value).ptr;
    return *this;
  }
  void AppendTo(std::string& out) const {
    out.append(buffer_, static_cast<size_t>(end_ - buffer_));
  }

 private:
  // The longest piece: a field's open tag with three numbers and the encoding, or an integer
  // field whole.
  char buffer_[128];
  char* end_ = buffer_;
};

std::string Base64Encode(const std::string& s) {
  if (s.empty()) return std::string();
  XMLSize_t length = 0;
  XMLByte* encoded =
      xercesc::Base64::encode(reinterpret_cast<const XMLByte*>(s.data()), s.size(), &length);
  if (!encoded) return std::string();
  std::string out;
  out.reserve(length);
  for (XMLSize_t i = 0; i < length; ++i) {
    if (encoded[i] != '\n') out += static_cast<char>(encoded[i]);
  }
  xercesc::XMLPlatformUtils::fgMemoryManager->deallocate(encoded);
  return out;
}

bool Base64Decode(const std::string& s, std::string& out) {
  out.clear();
  std::string compact;
  for (char c : s)
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') compact += c;
  if (compact.empty()) return true;
  XMLSize_t length = 0;
  XMLByte* decoded = xercesc::Base64::decode(reinterpret_cast<const XMLByte*>(compact.c_str()),
                                             &length, xercesc::XMLPlatformUtils::fgMemoryManager,
                                             xercesc::Base64::Conf_RFC2045);
  if (!decoded) return false;
  out.assign(reinterpret_cast<const char*>(decoded), length);
  xercesc::XMLPlatformUtils::fgMemoryManager->deallocate(decoded);
  return true;
}

// Whether the prolog of `text` (before its first element) holds a document type declaration.
// The reader's DTD handler sees only declarations with an internal subset.
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

// The longest markup the reader takes. The parser keeps a tag, a comment, a CDATA section or a
// processing instruction whole, in UTF-16 and in buffers that grow by doubling, so one as large as
// the text would take several times its size; the format's tags are short, and a value is
// character data, which the parser hands over in pieces.
constexpr size_t kMaxTagBytes = 64u << 10;
constexpr size_t kMaxSectionBytes = 1u << 20;

// Whether every tag, comment, CDATA section and processing instruction of `text` is within those
// bounds. One pass: the text between markup holds no '<' and is skipped at once.
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

// `tag` is "i", "s", "pw", "o", "lo", "li" or "ls".
void AddFieldOpen(Piece& piece, const char* tag, short index, short number, unsigned fieldId,
                  bool base64 = false) {
  piece << "<";
  piece.Add(tag, tag[1] ? 2 : 1);
  piece << " x=\"" << index;
  if (number != 0) piece << "\" n=\"" << number;
  if (fieldId != 0) piece << "\" id=\"" << static_cast<long long>(fieldId);
  if (base64)
    piece << "\" enc=\"base64\">";
  else
    piece << "\">";
}

void AppendFieldOpen(std::string& out, const char* tag, short index, short number, unsigned fieldId,
                     bool base64 = false) {
  Piece piece;
  AddFieldOpen(piece, tag, index, number, fieldId, base64);
  piece.AppendTo(out);
}

void AppendClose(std::string& out, const char* tag) {
  Piece piece;
  piece << "</";
  piece.Add(tag, tag[1] ? 2 : 1);
  piece << ">";
  piece.AppendTo(out);
}

}  // namespace

class MessageTextWriter {
 public:
  static void Write(const PXMessageBase& m, std::string& out) {
    (Piece() << "<m g=\"" << m.group_ << "\" n=\"" << m.number_ << "\">").AppendTo(out);
    for (const auto& [index, fp] : m.fields_) {
      const PXMessageBase::Field& f = *fp;
      switch (f.kind) {
        case FieldKind::Int: {
          Piece piece;
          AddFieldOpen(piece, "i", index, f.number, f.fieldId);
          (piece << static_cast<long long>(f.i) << "</i>").AppendTo(out);
          break;
        }
        case FieldKind::String:
          WriteString(out, "s", index, f.number, f.fieldId, f.s);
          break;
        case FieldKind::Password:
          WriteString(out, "pw", index, f.number, f.fieldId,
                      f.p ? f.p->getPlainPassword().str() : std::string());
          break;
        case FieldKind::Object:
          AppendFieldOpen(out, "o", index, f.number, f.fieldId);
          if (f.o) Write(*f.o, out);
          out.append("</o>", 4);
          break;
        case FieldKind::ObjectList:
          AppendFieldOpen(out, "lo", index, f.number, f.fieldId);
          if (f.lo)
            for (const PXMessageBase& e : *f.lo) Write(e, out);
          out.append("</lo>", 5);
          break;
        case FieldKind::IntList:
          AppendFieldOpen(out, "li", index, f.number, f.fieldId);
          if (f.li)
            for (int64_t v : *f.li)
              (Piece() << "<v>" << static_cast<long long>(v) << "</v>").AppendTo(out);
          out.append("</li>", 5);
          break;
        case FieldKind::StringList:
          AppendFieldOpen(out, "ls", index, f.number, f.fieldId);
          if (f.ls)
            for (const std::string& v : *f.ls) WriteValue(out, v);
          out.append("</ls>", 5);
          break;
      }
    }
    out.append("</m>", 4);
  }

 private:
  // The value as text when XML can carry it, in base64 otherwise.
  static void WriteString(std::string& out, const char* tag, short index, short number,
                          unsigned fieldId, const std::string& value) {
    const size_t start = out.size();
    AppendFieldOpen(out, tag, index, number, fieldId);
    if (!AppendEscaped(out, value)) {
      out.resize(start);
      AppendFieldOpen(out, tag, index, number, fieldId, true);
      out += Base64Encode(value);
    }
    AppendClose(out, tag);
  }

  static void WriteValue(std::string& out, const std::string& value) {
    const size_t start = out.size();
    out.append("<v>", 3);
    if (!AppendEscaped(out, value)) {
      out.resize(start);
      out.append("<v enc=\"base64\">", 16);
      out += Base64Encode(value);
    }
    out.append("</v>", 4);
  }
};

void PXMessageBase::serialize(std::string& out, bool) const {
  out.clear();
  EnsureXercesPlatform();
  MessageTextWriter::Write(*this, out);
}

std::string PXMessageBase::serialized() const {
  std::string out;
  serialize(out, false);
  return out;
}

// ---------------------------------------------------------------------------------------------

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
    auto& fields = top->message->fields_;
    const short key = static_cast<short>(index);
    auto& slot = fields.empty() || fields.rbegin()->first < key
                     ? fields.emplace_hint(fields.end(), key, nullptr)->second
                     : fields[key];
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

namespace {

// A SAX2 reader set up for message texts, with the security manager it uses.
struct PooledReader {
  xercesc::SecurityManager security;
  std::unique_ptr<xercesc::SAX2XMLReader> reader;

  PooledReader() : reader(xercesc::XMLReaderFactory::createXMLReader()) {
    security.setEntityExpansionLimit(16);
    reader->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
    reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(xercesc::XMLUni::fgXercesLoadExternalDTD, false);
    reader->setFeature(xercesc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader->setProperty(xercesc::XMLUni::fgXercesSecurityManager, &security);
    // Character data comes in pieces of this size, not as one buffer of the whole value.
    reader->setInputBufferSize(64u << 10);
  }
  ~PooledReader() { reader.reset(); }  // before the security manager it points to
};

// Readers kept between texts. A reader serves one parse at a time: a text read from inside
// another's handler (or on another thread) takes a reader of its own, so in steady state every
// thread reuses one. The pool is first made after the Xerces platform is initialised, so as a
// function-local static it is destroyed before the platform terminates.
class ReaderPool {
 public:
  std::unique_ptr<PooledReader> Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<PooledReader> r = std::move(idle_.back());
        idle_.pop_back();
        return r;
      }
    }
    return std::make_unique<PooledReader>();
  }

  void Give(std::unique_ptr<PooledReader> r) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(r));
  }

 private:
  static constexpr size_t kMaxIdle = 16;
  std::mutex mutex_;
  std::vector<std::unique_ptr<PooledReader>> idle_;
};

ReaderPool& Readers() {
  static ReaderPool pool;
  return pool;
}

}  // namespace

bool PXMessageBase::unserialize(const std::string& text) { return unserializeText(text, false); }

bool PXMessageBase::unserializeAnyClass(const std::string& text) {
  return unserializeText(text, true);
}

bool PXMessageBase::unserializeText(const std::string& text, bool anyClass) {
  clear();
  // A text no longer than a tag may be cannot break the bounds of markup: it is not scanned.
  if (text.size() > kMaxTextBytes || DeclaresDocumentType(text) ||
      (text.size() > kMaxTagBytes && !MarkupWithinBounds(text)) || !EnsureXercesPlatform())
    return false;
  PXMessageBase parsed(group_, number_);
  bool ok = false;
  try {
    MessageTextReader handler(parsed, anyClass, text.size());
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
    ok = reusable && !handler.failed() && handler.complete() && reader.getErrorCount() == 0;
    reader.setContentHandler(nullptr);
    reader.setErrorHandler(nullptr);
    reader.setLexicalHandler(nullptr);
    if (reusable) Readers().Give(std::move(pooled));
  } catch (...) {
    ok = false;
  }
  if (ok) *this = std::move(parsed);
  return ok;
}

bool PXMessageBase::unserialize(const char* text) {
  return unserialize(text ? std::string(text) : std::string());
}
