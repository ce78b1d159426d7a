#include "discovery/export_file.h"

#include <algorithm>

#include "base/file_at.h"
#include "base/text.h"

namespace {

std::string_view Before(std::string_view text, size_t comma) {
  return comma == std::string_view::npos ? text : text.substr(0, comma);
}

std::string_view After(std::string_view text, size_t comma) {
  return comma == std::string_view::npos ? text : text.substr(comma + 1);
}

}  // namespace

std::vector<ExportRecord> ParseExport(std::string_view text) {
  std::vector<ExportRecord> records;
  for (const std::string_view line : SplitView(text, '\n')) {
    if (line.size() < 2) continue;
    ExportRecord record;
    size_t comma = line.find(',');
    record.name = Before(line, comma);
    const std::string_view rest = After(line, comma);
    comma = rest.find(',');
    record.type = Before(rest, comma);
    record.context = After(rest, comma);
    records.push_back(record);
  }
  return records;
}

Result<std::string> ReadExportFile(int dirFd, const char* name, const std::string& shownPath,
                                   uid_t owner, const std::string& ownerName,
                                   const std::string& sid) {
  FileRead read;
  if (Status s = ReadRegularFileAt(dirFd, name, kMaxExportBytes, &read); !s.ok)
    return Status::Error("Cannot read the export file " + shownPath + ": " + s.message);
  const std::string& text = read.content;
  if (read.st.st_uid != owner || read.st.st_nlink != 1)
    return Status::Error("The export file " + shownPath + " belongs to user id " +
                         std::to_string(static_cast<int>(read.st.st_uid)) + " with " +
                         std::to_string(static_cast<int>(read.st.st_nlink)) + " links, not to " +
                         ownerName + " with one");
  // Every record ends with two line feeds: anything else was cut short.
  if (text.empty())
    return Status::Error("The export file " + shownPath +
                         " is empty: fnd_oam_context_files of SID [" + sid +
                         "] gave no context file");
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\n\n") != 0)
    return Status::Error("The export file " + shownPath + " ends inside a record (" +
                         std::to_string(text.size()) + " bytes): the export was cut short");
  if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) > kMaxExportLines)
    return Status::Error("The export file " + shownPath + " has more than " +
                         std::to_string(kMaxExportLines) +
                         " lines; no instance has that many context files");
  return std::move(read.content);
}
