#include "platform/server/store_location.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/server/store.h"

namespace {

struct Span {
  size_t at, size;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` with %XX decoded; a % without two hex digits after it stays as it is.
std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() && text[i] == '%' ? HexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Where the passwords of a PostgreSQL URI stand, as libpq splits it: the user part ends at the
// first '@' unless a '/' comes first, its password after its first ':'; the parameters follow the
// first '?' after it, separated by '&', each name before its first '='.
std::vector<Span> PasswordSpans(const std::string& location) {
  std::vector<Span> spans;
  if (!ServerStore::IsPostgres(location)) return spans;
  const size_t start = location.find("://") + 3;
  size_t p = location.find_first_of("@/", start);
  size_t rest = start;
  if (p != std::string::npos && location[p] == '@') {
    const size_t colon = location.find(':', start);
    if (colon < p) spans.push_back({colon + 1, p - colon - 1});
    rest = p + 1;
  }
  const size_t query = location.find('?', rest);
  for (size_t a = query; a != std::string::npos && a < location.size();) {
    ++a;  // past '?' or '&'
    const size_t end = std::min(location.find('&', a), location.size());
    const size_t equals = location.find('=', a);
    if (equals < end) {
      std::string name = PercentDecoded(location.substr(a, equals - a));
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (name == "password") spans.push_back({equals + 1, end - equals - 1});
    }
    a = end < location.size() ? end : std::string::npos;
  }
  return spans;
}

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
}

}  // namespace

std::string MaskedLocation(const std::string& location) {
  std::string out = location;
  const std::vector<Span> spans = PasswordSpans(location);
  // From the last, so that the positions of the earlier ones stay.
  for (auto it = spans.rbegin(); it != spans.rend(); ++it) out.replace(it->at, it->size, "****");
  return out;
}

bool CarriesPassword(const std::string& location) {
  if (!ServerStore::IsPostgres(location)) return false;
  if (!PasswordSpans(location).empty()) return true;  // written as one, an empty one included
  // Any other place libpq reads one from.
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(location.c_str(), &error);
  PQfreemem(error);
  bool found = false;
  for (PQconninfoOption* o = options; o && o->keyword; ++o)
    found = found || (std::strcmp(o->keyword, "password") == 0 && o->val && *o->val);
  PQconninfoFree(options);
  return found;
}

std::string WithoutPassword(const std::string& text, const std::string& location) {
  std::string out = text;
  const std::vector<Span> spans = PasswordSpans(location);
  if (spans.empty()) return out;
  ReplaceAll(out, location, MaskedLocation(location));
  for (const Span& s : spans) {
    const std::string raw = location.substr(s.at, s.size);
    for (const std::string& password : {raw, PercentDecoded(raw)})
      if (password.size() >= 4) ReplaceAll(out, password, "****");
  }
  return out;
}
