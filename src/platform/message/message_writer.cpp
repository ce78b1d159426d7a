// The writer of the message text (docs/message-format.md): PXMessageBase::serialize. A message
// is written in one pass into the caller's string; each short piece of markup (a tag with its
// numbers) is put together on the stack and goes in with one append. A string value goes in as
// XML character data when XML can carry it, in base64 otherwise.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/message/base64.h"
#include "platform/message/message.h"
#include "platform/message/message_field.h"
#include "platform/message/xerces_platform.h"
#include "platform/message/xml_text.h"

namespace {

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
    if (!AppendXmlCharacterData(out, value)) {
      out.resize(start);
      AppendFieldOpen(out, tag, index, number, fieldId, true);
      out += Base64Encode(value);
    }
    AppendClose(out, tag);
  }

  static void WriteValue(std::string& out, const std::string& value) {
    const size_t start = out.size();
    out.append("<v>", 3);
    if (!AppendXmlCharacterData(out, value)) {
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
