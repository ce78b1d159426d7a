// The log's redaction against the message reader. The input chooses how a login message with a
// known password is written (every character of markup and password as itself, a named,
// decimal or hexadecimal reference with leading zeros, in any case; the password as text or
// CDATA) and how often it is wrapped as the string of another message (each level escaped the
// same random ways, or put in CDATA), and whether the line around it lets the message parse as
// a whole. After redaction, unwrapping the line with the reader must never give the password
// back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/message/message.h"
#include "platform/message/pstring.h"
#include "messages/redact.h"

namespace {

const char* const kSecret = "S3cr3t-Pw";

struct Choices {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  unsigned next() { return at < size ? data[at++] : 0; }
};

std::string Reference(unsigned char c, Choices& choose) {
  const unsigned how = choose.next();
  const std::string zeros(how >> 5, '0');
  char buf[16];
  switch (how % 3) {
    case 0:
      std::snprintf(buf, sizeof buf, "&#%s%u;", zeros.c_str(), c);
      return buf;
    case 1:
      std::snprintf(buf, sizeof buf, how & 8 ? "&#x%s%X;" : "&#x%s%x;", zeros.c_str(), c);
      return buf;
    default:
      switch (c) {
        case '<':
          return "&lt;";
        case '>':
          return "&gt;";
        case '&':
          return "&amp;";
        case '"':
          return "&quot;";
        case '\'':
          return "&apos;";
      }
      return std::string(1, static_cast<char>(c));
  }
}

// `text` as element content that the reader gives back as `text`.
std::string Escape(const std::string& text, Choices& choose) {
  std::string out;
  for (unsigned char c : text) {
    const bool must = c == '<' || c == '&' || c == '\r';
    out += must || choose.next() % 4 == 0 ? Reference(c, choose)
                                          : std::string(1, static_cast<char>(c));
  }
  return out;
}

std::string Content(const std::string& text, Choices& choose) {
  if (choose.next() % 3 == 0 && text.find("]]>") == std::string::npos)
    return "<![CDATA[" + text + "]]>";
  return Escape(text, choose);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Choices choose{data, size};
  const int depth = static_cast<int>(choose.next() % 4);
  const bool parsesWhole = choose.next() % 2;
  std::string text = "<m g=\"20\" n=\"0\"><s x=\"1\">apps</s><pw x=\"2\">" +
                     Content(kSecret, choose) + "</pw></m>";
  for (int level = 0; level < depth; ++level)
    text = "<m g=\"1\" n=\"1\"><s x=\"1\">" + Content(text, choose) + "</s></m>";
  const std::string prefix = "Input XML [", suffix = parsesWhole ? "]" : "] </m>";
  std::string redacted = RedactPasswords(prefix + text + suffix);

  // Unwrap with the reader as a consumer of the log would.
  if (redacted.compare(0, prefix.size(), prefix) != 0 ||
      redacted.size() < prefix.size() + suffix.size() ||
      redacted.compare(redacted.size() - suffix.size(), suffix.size(), suffix) != 0)
    return 0;
  text = redacted.substr(prefix.size(), redacted.size() - prefix.size() - suffix.size());
  for (int level = 0; level < depth; ++level) {
    PXMessageBase wrapper(0, 0);
    if (!wrapper.unserializeAnyClass(text)) return 0;
    text = wrapper.getstring(1, 0, 0, 0);
  }
  PXMessageBase login(0, 0);
  if (!login.unserializeAnyClass(text)) return 0;
  if ((*login.getpstringobject(2, 0, 0, 0))->getPlainPassword().str() == kSecret) std::abort();
  return 0;
}
