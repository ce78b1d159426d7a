// Text form of messages: the writer and the SAX2 reader. The format is documented in
// docs/message-format.md.
#include <charconv>
#include <limits>
#include <set>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/Base64.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "platform/message.h"
#include "platform/message_field.h"
#include "platform/xerces_platform.h"

namespace {

// True when `s` is UTF-8 made only of characters that XML 1.0 can carry.
bool XmlCarries(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    unsigned c = p[i];
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++i;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE ||
        cp == 0xFFFF)
      return false;
    i += extra + 1;
  }
  return true;
}

void AppendEscaped(std::string& out, const std::string& s) {
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
}

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

void AppendFieldOpen(std::string& out, const char* tag, short index, short number, unsigned fieldId,
                     bool base64 = false) {
  out += '<';
  out += tag;
  out += " x=\"";
  out += std::to_string(index);
  out += '"';
  if (number != 0) {
    out += " n=\"";
    out += std::to_string(number);
    out += '"';
  }
  if (fieldId != 0) {
    out += " id=\"";
    out += std::to_string(fieldId);
    out += '"';
  }
  if (base64) out += " enc=\"base64\"";
  out += '>';
}

}  // namespace

class MessageTextWriter {
 public:
  static void Write(const PXMessageBase& m, std::string& out) {
    out += "<m g=\"";
    out += std::to_string(m.group_);
    out += "\" n=\"";
    out += std::to_string(m.number_);
    out += "\">";
    for (const auto& [index, fp] : m.fields_) {
      const PXMessageBase::Field& f = *fp;
      switch (f.kind) {
        case FieldKind::Int:
          AppendFieldOpen(out, "i", index, f.number, f.fieldId);
          out += std::to_string(f.i);
          out += "</i>";
          break;
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
          out += "</o>";
          break;
        case FieldKind::ObjectList:
          AppendFieldOpen(out, "lo", index, f.number, f.fieldId);
          if (f.lo)
            for (const PXMessageBase& e : *f.lo) Write(e, out);
          out += "</lo>";
          break;
        case FieldKind::IntList:
          AppendFieldOpen(out, "li", index, f.number, f.fieldId);
          if (f.li)
            for (int64_t v : *f.li) {
              out += "<v>";
              out += std::to_string(v);
              out += "</v>";
            }
          out += "</li>";
          break;
        case FieldKind::StringList:
          AppendFieldOpen(out, "ls", index, f.number, f.fieldId);
          if (f.ls)
            for (const std::string& v : *f.ls) WriteValue(out, v);
          out += "</ls>";
          break;
      }
    }
    out += "</m>";
  }

 private:
  static void WriteString(std::string& out, const char* tag, short index, short number,
                          unsigned fieldId, const std::string& value) {
    const bool plain = XmlCarries(value);
    AppendFieldOpen(out, tag, index, number, fieldId, !plain);
    if (plain)
      AppendEscaped(out, value);
    else
      out += Base64Encode(value);
    out += "</";
    out += tag;
    out += '>';
  }

  static void WriteValue(std::string& out, const std::string& value) {
    if (XmlCarries(value)) {
      out += "<v>";
      AppendEscaped(out, value);
    } else {
      out += "<v enc=\"base64\">";
      out += Base64Encode(value);
    }
    out += "</v>";
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

class MessageTextReader : public xercesc::DefaultHandler {
 public:
  MessageTextReader(PXMessageBase& root, bool anyClass) : root_(root), anyClass_(anyClass) {}

  bool failed() const { return failed_; }
  bool complete() const { return complete_; }

  void startElement(const XMLCh*, const XMLCh*, const XMLCh* qname,
                    const xercesc::Attributes& attrs) override {
    if (failed_) return;
    const std::u16string_view name(qname);
    Frame* top = stack_.empty() ? nullptr : &stack_.back();
    if (top && !IsBlank(top->text)) return Fail();
    if (name == u"m") {
      if (depth_ >= PXMessageBase::kMaxDepth) return Fail();
      int group, number;
      bool hasGroup = Attr(attrs, u"g", group), hasNumber = Attr(attrs, u"n", number);
      if (!hasGroup || !hasNumber) {
        if (top || hasGroup || hasNumber) return Fail();  // only the root may omit both
        group = root_.group_;
        number = root_.number_;
      }
      PXMessageBase* target = nullptr;
      if (!top) {
        if (complete_) return Fail();
        if (anyClass_) {
          root_.group_ = group;
          root_.number_ = number;
        } else if (group != root_.group_ || number != root_.number_) {
          return Fail();
        }
        target = &root_;
      } else if (top->kind == Frame::ObjectField && top->field->o == nullptr) {
        top->field->o = new PXMessageBase(group, number);
        target = top->field->o;
      } else if (top->kind == Frame::ObjectList) {
        top->field->lo->emplace_back(group, number);
        target = &top->field->lo->back();
      } else {
        return Fail();
      }
      ++depth_;
      stack_.push_back(Frame{Frame::Message, target});
      return;
    }
    if (name == u"v") {
      if (!top || (top->kind != Frame::IntList && top->kind != Frame::StringList)) return Fail();
      Frame value{Frame::Value, nullptr};
      value.field = top->field;
      if (!Encoding(attrs, value.base64)) return Fail();
      if (value.base64 && top->kind == Frame::IntList) return Fail();
      stack_.push_back(std::move(value));
      return;
    }
    if (!top || top->kind != Frame::Message) return Fail();
    FieldKind kind;
    Frame::Kind frameKind;
    if (name == u"i") {
      kind = FieldKind::Int, frameKind = Frame::Scalar;
    } else if (name == u"s") {
      kind = FieldKind::String, frameKind = Frame::Scalar;
    } else if (name == u"pw") {
      kind = FieldKind::Password, frameKind = Frame::Scalar;
    } else if (name == u"o") {
      kind = FieldKind::Object, frameKind = Frame::ObjectField;
    } else if (name == u"lo") {
      kind = FieldKind::ObjectList, frameKind = Frame::ObjectList;
    } else if (name == u"li") {
      kind = FieldKind::IntList, frameKind = Frame::IntList;
    } else if (name == u"ls") {
      kind = FieldKind::StringList, frameKind = Frame::StringList;
    } else {
      return Fail();
    }
    int index = 0, number = 0;
    long long fieldId = 0;
    if (!Attr(attrs, u"x", index) || index < -32768 || index > 32767) return Fail();
    if (Present(attrs, u"n") && (!Attr(attrs, u"n", number) || number < -32768 || number > 32767))
      return Fail();
    if (Present(attrs, u"id") &&
        (!Attr(attrs, u"id", fieldId) || fieldId < 0 || fieldId > 0xFFFFFFFFLL))
      return Fail();
    auto& slot = top->message->fields_[static_cast<short>(index)];
    if (slot) return Fail();  // a field index appears once per message
    slot = std::make_unique<PXMessageBase::Field>();
    slot->kind = kind;
    slot->number = static_cast<short>(number);
    slot->fieldId = static_cast<unsigned>(fieldId);
    if (kind == FieldKind::ObjectList) slot->lo = new std::vector<PXMessageBase>();
    if (kind == FieldKind::IntList) slot->li = new std::vector<int64_t>();
    if (kind == FieldKind::StringList) slot->ls = new std::vector<std::string>();
    Frame frame{frameKind, nullptr};
    frame.field = slot.get();
    if (!Encoding(attrs, frame.base64)) return Fail();
    if (frame.base64 && kind != FieldKind::String && kind != FieldKind::Password) return Fail();
    stack_.push_back(std::move(frame));
  }

  void endElement(const XMLCh*, const XMLCh*, const XMLCh*) override {
    if (failed_ || stack_.empty()) return;
    Frame& top = stack_.back();
    switch (top.kind) {
      case Frame::Message:
        if (!IsBlank(top.text)) return Fail();
        --depth_;
        break;
      case Frame::Scalar: {
        PXMessageBase::Field& f = *top.field;
        std::string value;
        if (!Decode(top, value)) return Fail();
        if (f.kind == FieldKind::Int) {
          if (!ParseInt(value, f.i)) return Fail();
        } else if (f.kind == FieldKind::String) {
          f.s = std::move(value);
        } else {
          f.p = new pstring(value);
          WipeString(value);
        }
        break;
      }
      case Frame::ObjectField:
        if (!IsBlank(top.text) || top.field->o == nullptr) return Fail();
        break;
      case Frame::ObjectList:
      case Frame::IntList:
      case Frame::StringList:
        if (!IsBlank(top.text)) return Fail();
        break;
      case Frame::Value: {
        std::string value;
        if (!Decode(top, value)) return Fail();
        if (top.field->kind == FieldKind::IntList) {
          int64_t v;
          if (!ParseInt(value, v)) return Fail();
          top.field->li->push_back(v);
        } else {
          top.field->ls->push_back(std::move(value));
        }
        break;
      }
    }
    stack_.pop_back();
    if (stack_.empty()) complete_ = true;
  }

  void characters(const XMLCh* chars, const XMLSize_t length) override {
    if (failed_) return;
    if (stack_.empty()) return Fail();
    stack_.back().text.append(chars, length);
  }

  void ignorableWhitespace(const XMLCh*, const XMLSize_t) override {}

  void startDTD(const XMLCh*, const XMLCh*, const XMLCh*) override { Fail(); }
  void startEntity(const XMLCh*) override { Fail(); }

  void warning(const xercesc::SAXParseException&) override {}
  void error(const xercesc::SAXParseException&) override { Fail(); }
  void fatalError(const xercesc::SAXParseException&) override { Fail(); }

 private:
  struct Frame {
    enum Kind { Message, Scalar, ObjectField, ObjectList, IntList, StringList, Value };
    Frame(Kind k, PXMessageBase* m) : kind(k), message(m) {}
    Kind kind;
    PXMessageBase* message;
    PXMessageBase::Field* field = nullptr;
    bool base64 = false;
    std::u16string text;
  };

  void Fail() { failed_ = true; }

  static bool IsBlank(const std::u16string& text) {
    for (char16_t c : text)
      if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') return false;
    return true;
  }

  static bool Present(const xercesc::Attributes& attrs, const char16_t* name) {
    return attrs.getValue(name) != nullptr;
  }

  template <class T>
  static bool Attr(const xercesc::Attributes& attrs, const char16_t* name, T& value) {
    const XMLCh* raw = attrs.getValue(name);
    if (!raw) return false;
    std::string text = Utf16ToUtf8(raw);
    long long parsed = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
    if (parsed < static_cast<long long>(std::numeric_limits<T>::min()) ||
        parsed > static_cast<long long>(std::numeric_limits<T>::max()))
      return false;
    value = static_cast<T>(parsed);
    return true;
  }

  static bool Encoding(const xercesc::Attributes& attrs, bool& base64) {
    base64 = false;
    const XMLCh* raw = attrs.getValue(u"enc");
    if (!raw) return true;
    if (std::u16string_view(raw) != u"base64") return false;
    base64 = true;
    return true;
  }

  static bool Decode(Frame& frame, std::string& value) {
    value = Utf16ToUtf8(frame.text.data(), frame.text.size());
    if (!frame.text.empty() && value.empty()) return false;
    if (!frame.base64) return true;
    std::string decoded;
    bool ok = Base64Decode(value, decoded);
    WipeString(value);
    value = std::move(decoded);
    return ok;
  }

  static bool ParseInt(const std::string& text, int64_t& value) {
    size_t b = text.find_first_not_of(" \t\n\r");
    size_t e = text.find_last_not_of(" \t\n\r");
    if (b == std::string::npos) return false;
    auto [end, ec] = std::from_chars(text.data() + b, text.data() + e + 1, value);
    return ec == std::errc() && end == text.data() + e + 1;
  }

  PXMessageBase& root_;
  const bool anyClass_;
  std::vector<Frame> stack_;
  int depth_ = 0;
  bool failed_ = false;
  bool complete_ = false;
};

bool PXMessageBase::unserialize(const std::string& text) { return unserializeText(text, false); }

bool PXMessageBase::unserializeAnyClass(const std::string& text) {
  return unserializeText(text, true);
}

bool PXMessageBase::unserializeText(const std::string& text, bool anyClass) {
  clear();
  if (text.size() > kMaxTextBytes || DeclaresDocumentType(text) || !EnsureXercesPlatform())
    return false;
  PXMessageBase parsed(group_, number_);
  bool ok = false;
  try {
    MessageTextReader handler(parsed, anyClass);
    std::unique_ptr<xercesc::SAX2XMLReader> reader(xercesc::XMLReaderFactory::createXMLReader());
    xercesc::SecurityManager security;
    security.setEntityExpansionLimit(16);
    reader->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
    reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(xercesc::XMLUni::fgXercesLoadExternalDTD, false);
    reader->setFeature(xercesc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader->setProperty(xercesc::XMLUni::fgXercesSecurityManager, &security);
    reader->setContentHandler(&handler);
    reader->setErrorHandler(&handler);
    reader->setLexicalHandler(&handler);
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                                      "message");
    source.setCopyBufToStream(false);
    // The format is UTF-8: an encoding declared or guessed from the first bytes (UTF-16, EBCDIC)
    // is not followed, so every text the reader accepts is one the log's redaction can read.
    source.setEncoding(u"UTF-8");
    xercesc::XMLPScanToken token;
    if (reader->parseFirst(source, token)) {
      while (!handler.failed() && reader->parseNext(token)) {
      }
      if (handler.failed()) reader->parseReset(token);
    }
    ok = !handler.failed() && handler.complete() && reader->getErrorCount() == 0;
  } catch (...) {
    ok = false;
  }
  if (ok) *this = std::move(parsed);
  return ok;
}

bool PXMessageBase::unserialize(const char* text) {
  return unserialize(text ? std::string(text) : std::string());
}
