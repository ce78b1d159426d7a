// Arbitrary text through the export-file reader: no crash, every record points into the text,
// holds no line feed, name and type hold no comma, and the context is the end of its line.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "discovery/export_file.h"

namespace {

bool Inside(std::string_view part, std::string_view text) {
  return part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const ExportRecord& r : ParseExport(text)) {
    for (std::string_view part : {r.name, r.type, r.context}) {
      if (!Inside(part, text) || part.find('\n') != std::string_view::npos) std::abort();
    }
    const char* end = r.context.data() + r.context.size();
    if (end != text.data() + text.size() && *end != '\n') std::abort();
    if (r.name.find(',') != std::string_view::npos || r.type.find(',') != std::string_view::npos)
      std::abort();
  }
  return 0;
}
