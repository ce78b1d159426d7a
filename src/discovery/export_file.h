// The export file that the database writes for a discovery: one line per context file,
// "NAME,CTX_TYPE,TEXT" with the line feeds of TEXT turned into blanks, each followed by an empty
// line. ParseExport is a pure function over the text (no file access, thread-safe); the records
// point into the text given and live as long as it.
#pragma once

#include <string_view>
#include <vector>

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
