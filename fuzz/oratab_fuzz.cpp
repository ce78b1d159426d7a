// Arbitrary text through the instance-table reader: no crash, and every record keeps its
// promises: entries have a SID and a home, no field holds a separator or a line end.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "discovery/oratab.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  const std::vector<OratabLine> records = ParseOratab(text);
  if (records.size() > lines) std::abort();
  for (const OratabLine& r : records) {
    for (const std::string* field : {&r.sid, &r.home, &r.text})
      if (field->find('\n') != std::string::npos) std::abort();
    if (r.text.find(':') != std::string::npos) std::abort();
    if (r.kind == OratabLine::Kind::Invalid) continue;
    if (r.sid.empty() || r.home.empty()) std::abort();
    if (r.sid.find(':') != std::string::npos || r.home.find(':') != std::string::npos) std::abort();
    if ((r.kind == OratabLine::Kind::Starred) != (r.sid[0] == '*')) std::abort();
  }
  return 0;
}
