// The Oracle instance table (/etc/oratab) as text: one entry per line, "SID:ORACLE_HOME:FLAG".
// ParseOratab is a pure function over the text: it keeps nothing, touches no file and is
// thread-safe. It never fails; what a line lacks shows in the kind of its record.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct OratabLine {
  enum class Kind {
    Entry,    // a SID and an Oracle home
    Invalid,  // fewer than two fields
    Starred,  // a SID beginning with "*" (a placeholder entry), skipped by lookups
  };
  Kind kind = Kind::Invalid;
  std::string sid;   // field 1
  std::string home;  // field 2
  // For Invalid lines: the line from its first non-blank character up to its first ":" (the
  // whole rest of the line when it has none).
  std::string text;
};

// One record per line that is neither empty, nor blank, nor a comment ("#" after leading
// blanks and tabs), in file order. Lines end at a line feed; neither it nor a carriage return
// before it belongs to the line, however long the line is. Fields are separated by runs of ":";
// a leading ":" is skipped, so no field is ever empty. Fields after the second are ignored.
std::vector<OratabLine> ParseOratab(std::string_view text);
