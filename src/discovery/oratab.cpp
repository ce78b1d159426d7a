#include "discovery/oratab.h"

#include "base/text.h"

namespace {

// Splits at runs of ':' like strtok: no empty fields.
std::vector<std::string_view> Fields(std::string_view line, size_t wanted) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (fields.size() < wanted) {
    pos = line.find_first_not_of(':', pos);
    if (pos == std::string_view::npos) break;
    size_t end = line.find(':', pos);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

}  // namespace

std::vector<OratabLine> ParseOratab(std::string_view text) {
  std::vector<OratabLine> lines;
  for (std::string_view line : SplitView(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    line.remove_prefix(first);

    OratabLine record;
    const std::vector<std::string_view> fields = Fields(line, 2);
    if (fields.size() < 2) {
      record.kind = OratabLine::Kind::Invalid;
      record.text = std::string(line.substr(0, line.find(':')));
    } else {
      record.kind = fields[0][0] == '*' ? OratabLine::Kind::Starred : OratabLine::Kind::Entry;
      record.sid = std::string(fields[0]);
      record.home = std::string(fields[1]);
    }
    lines.push_back(std::move(record));
  }
  return lines;
}
