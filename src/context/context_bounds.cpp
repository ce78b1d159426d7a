#include "context/context_bounds.h"

#include <array>
#include <memory>
#include <string>
#include <unordered_set>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>

#include "base/text.h"
#include "platform/message/xerces_platform.h"

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The bytes that end a name in a tag: blanks, '/', '>', '=' and '<'.
struct NameEnds {
  bool at[256] = {};
  constexpr NameEnds() {
    for (unsigned char c : {' ', '\t', '\r', '\n', '/', '>', '=', '<'}) at[c] = true;
  }
};
constexpr NameEnds kNameEnds;

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
  return text.size() - at >= prefix.size() && text.compare(at, prefix.size(), prefix) == 0;
}

// Byte patterns that make the parser read a text in an encoding where '<' is not 0x3C. A text
// of UTF-8 or of an 8-bit superset of ASCII never starts with a NUL byte; the wide ones without
// a byte order mark do (UTF-16 and UCS-4 big-endian).
bool WideOrEbcdic(std::string_view text) {
  static const std::string_view kStarts[] = {
      {"\xFE\xFF", 2}, {"\xFF\xFE", 2}, {"\x00", 1}, {"\x3C\x00", 2}, {"\x4C\x6F\xA7\x94", 4},
  };
  for (std::string_view start : kStarts)
    if (StartsWith(text, 0, start)) return true;
  return false;
}

// The encoding named by the XML declaration, or "".
std::string_view DeclaredEncoding(std::string_view text) {
  if (StartsWith(text, 0, "\xEF\xBB\xBF")) text.remove_prefix(3);
  if (!StartsWith(text, 0, "<?xml")) return {};
  const size_t end = text.find("?>");
  const std::string_view declaration = text.substr(0, end);
  size_t at = declaration.find("encoding");
  if (at == std::string_view::npos) return {};
  at = declaration.find_first_of("\"'", at);
  if (at == std::string_view::npos) return {};
  const size_t close = declaration.find(declaration[at], at + 1);
  if (close == std::string_view::npos) return {};
  return declaration.substr(at + 1, close - at - 1);
}

// Encodings known to read every ASCII byte as itself, without asking the parser.
bool KnownAsciiCompatible(std::string_view encoding) {
  const std::string upper = AsciiUpper(encoding);
  static const std::string_view kPrefixes[] = {
      "UTF-8", "UTF8", "US-ASCII", "ASCII", "ISO-8859", "ISO8859", "LATIN", "WINDOWS-125", "CP125"};
  for (std::string_view prefix : kPrefixes)
    if (StartsWith(upper, 0, prefix)) return true;
  return false;
}

// Whether the parser, reading `encoding`, sees each byte of markup as the ASCII character it is:
// the probe's bytes must decode one to one to themselves. Besides the characters of markup the
// probe holds the sequences that would switch a stateful encoding (ISO-2022-JP and -KR, HZ,
// UTF-7) away from ASCII. False for an encoding the parser does not know.
bool MarkupIsAscii(std::string_view encoding) {
  static constexpr char kProbe[] =
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!-- - -->]><![CDATA[]]><a b='c' d=\"e\"/>&#x3C;"
      " \t\r\n\x1B$)C\x0E<>\x0F\x1B$B<>\x1B(B~{<>~}+ADw-";
  constexpr size_t kLength = sizeof kProbe - 1;
  if (encoding.size() > 64 || !EnsureXercesPlatform()) return false;
  try {
    const std::string name(encoding);
    xercesc::XMLTransService::Codes code = xercesc::XMLTransService::Ok;
    const std::unique_ptr<xercesc::XMLTranscoder> decoder(
        xercesc::XMLPlatformUtils::fgTransService->makeNewTranscoderFor(name.c_str(), code,
                                                                        kLength + 1));
    if (!decoder || code != xercesc::XMLTransService::Ok) return false;
    XMLCh decoded[kLength + 1];
    unsigned char sizes[kLength + 1];
    XMLSize_t eaten = 0;
    const XMLSize_t count =
        decoder->transcodeFrom(reinterpret_cast<const XMLByte*>(kProbe), kLength, decoded,
                               kLength + 1, eaten, sizes);
    if (count != kLength || eaten != kLength) return false;
    for (size_t i = 0; i < kLength; ++i)
      if (decoded[i] != static_cast<unsigned char>(kProbe[i])) return false;
    return true;
  } catch (...) {
    return false;  // bytes the encoding cannot hold
  }
}

// Whether the prolog of `text` holds a document type declaration with an internal subset
// (`<!DOCTYPE r [ ... ]>`). Only a reference to an external DTD is read, and that DTD never is.
bool InternalSubset(std::string_view text) {
  size_t i = StartsWith(text, 0, "\xEF\xBB\xBF") ? 3 : 0;
  for (;;) {
    i = text.find_first_not_of(" \t\r\n", i);
    if (i == std::string_view::npos) return false;
    const std::string_view close = StartsWith(text, i, "<?")     ? "?>"
                                   : StartsWith(text, i, "<!--") ? "-->"
                                                                 : "";
    if (close.empty()) break;
    i = text.find(close, i + 2);
    if (i == std::string_view::npos) return false;
    i += close.size();
  }
  if (!StartsWith(text, i, "<!DOCTYPE")) return false;
  // The name and the external identifier up to '>' or '[', outside the quoted literals.
  for (i += 9; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '>') return false;
    if (c == '[') return true;
    if (c == '"' || c == '\'') {
      i = text.find(c, i + 1);
      if (i == std::string_view::npos) return false;  // the parser refuses it
    }
  }
  return false;
}

}  // namespace

Status CheckContextBounds(std::string_view text) {
  if (text.size() > kMaxContextBytes)
    return Status::Error(std::to_string(text.size()) + " bytes, over the bound of " +
                         std::to_string(kMaxContextBytes));
  const std::string_view encoding = DeclaredEncoding(text);
  if (WideOrEbcdic(text) ||
      (!encoding.empty() && !KnownAsciiCompatible(encoding) && !MarkupIsAscii(encoding)))
    return Status::Error("an encoding other than UTF-8 or an 8-bit superset of ASCII");
  if (InternalSubset(text))
    return Status::Error("a document type declaration with an internal subset");

  std::unordered_set<std::string_view> names;
  // Names repeat: a small table of names already in the set spares most lookups in it.
  std::array<std::string_view, 64> seen{};
  size_t nodes = 0;
  auto count = [&](std::string_view name) {
    ++nodes;
    std::string_view& slot =
        seen[(name.size() * 31 + (name.empty() ? 0
                                               : static_cast<unsigned char>(name.back()) * 7 +
                                                     static_cast<unsigned char>(name[0]))) &
             (seen.size() - 1)];
    if (slot != name) {
      names.insert(name);
      slot = name;
    }
    return nodes <= kMaxContextNodes && names.size() <= kMaxContextNames;
  };
  auto over = [&] {
    return Status::Error(nodes > kMaxContextNodes
                             ? "more than " + std::to_string(kMaxContextNodes) +
                                   " elements and attributes (the bound)"
                             : "more than " + std::to_string(kMaxContextNames) +
                                   " distinct element and attribute names (the bound)");
  };
  auto nameEnd = [&](size_t from) {
    size_t i = from;
    while (i < text.size() && !kNameEnds.at[static_cast<unsigned char>(text[i])]) ++i;
    return i;
  };

  size_t i = 0;
  while ((i = text.find('<', i)) != std::string_view::npos) {
    std::string_view close;
    if (StartsWith(text, i, "<!--"))
      close = "-->";
    else if (StartsWith(text, i, "<![CDATA["))
      close = "]]>";
    else if (StartsWith(text, i, "<?"))
      close = "?>";
    if (!close.empty()) {
      const size_t end = text.find(close, i + 2);
      if (end == std::string_view::npos) break;  // the parser stops there too
      i = end + close.size();
      continue;
    }
    ++i;
    if (i >= text.size() || text[i] == '/' || text[i] == '!') continue;
    // A start tag: its name, then its attributes up to the first thing that is not one.
    size_t end = nameEnd(i);
    if (!count(text.substr(i, end - i))) return over();
    i = end;
    for (;;) {
      while (i < text.size() && Blank(text[i])) ++i;
      end = nameEnd(i);
      if (end == i) break;
      if (!count(text.substr(i, end - i))) return over();
      i = end;
      while (i < text.size() && Blank(text[i])) ++i;
      if (i >= text.size() || text[i] != '=') break;
      i = text.find_first_not_of(" \t\r\n", i + 1);
      if (i == std::string_view::npos || (text[i] != '"' && text[i] != '\'')) break;
      const size_t quote = text.find(text[i], i + 1);
      if (quote == std::string_view::npos) return Status::Ok();  // the parser stops there
      i = quote + 1;
    }
  }
  return Status::Ok();
}
