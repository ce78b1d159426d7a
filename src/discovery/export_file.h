// The export file that the database writes for a discovery: one line per context file,
// "NAME,CTX_TYPE,TEXT" with the line feeds of TEXT turned into blanks, each followed by an empty
// line. ParseExport is a pure function over the text (no file access, thread-safe); the records
// point into the text given and live as long as it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

struct ExportRecord {
  std::string_view name;     // the context name
  std::string_view type;     // "D" for a database-tier context file, anything else: application
  std::string_view context;  // the context file's XML text
};

// Lines end at a line feed (a last line may lack it); lines shorter than 2 bytes are skipped.
// The name is the part before the first comma, the type the part between the first and the
// second, the context everything after the second. Where a comma is missing, the part before
// it and the part after it are both the whole remaining text. Carriage returns are kept.
std::vector<ExportRecord> ParseExport(std::string_view text);

// A large instance exports a few dozen context files of some hundred kilobytes each, each one
// line followed by an empty one. Far more lines would cost a record, a parse and log lines each.
inline constexpr size_t kMaxExportBytes = 256u << 20;
inline constexpr size_t kMaxExportLines = 20000;

// The text of the export file `name` in the run directory `dirFd`, named `shownPath` in errors,
// that the database of `ownerName` (uid `owner`) wrote for the SID `sid`: a regular file (no
// link) of the owner with one name, at most kMaxExportBytes and kMaxExportLines, not empty, and
// ending with a whole record. The error says which of these failed.
Result<std::string> ReadExportFile(int dirFd, const char* name, const std::string& shownPath,
                                   uid_t owner, const std::string& ownerName,
                                   const std::string& sid);
