// Renders DOT text to SVG with Graphviz's `dot`, for `--format svg`. The program is run without a
// shell (argv only, the DOT text on its standard input) under a time limit, and only from a place
// no other account can change: a `dot` in a directory of the search path that the rule of
// base/trusted_dir.h accepts (every directory, every link on the way and the file belong to root or
// the effective user and are writable by nobody else); what runs is the file that was judged,
// through its descriptor. Its environment is fixed: PATH, LANG and HOME (the effective user's
// home from the user database, else an empty private directory made for the run); nothing of the
// caller's (no FONTCONFIG_*, XDG_* or HOME of another account) reaches it. Errors are values;
// nothing throws. Thread-safe.
#pragma once

#include <cstddef>
#include <string>

#include "base/file_io.h"

enum class SvgResult {
  kRendered,
  kNoGraphviz,  // no trusted `dot` on the search path; `error` says how to get one
  kFailed,      // dot failed, timed out or wrote more than can be kept; `error` says which
};

// How much of dot's own words about a failure a person is shown.
inline constexpr size_t kMaxDotCauseBytes = 2000;

// How Graphviz is installed; shown whenever `dot` is missing.
inline constexpr const char* kInstallGraphviz = "apt-get install graphviz";

struct DotProgram {
  UniqueFd fd{-1};   // the judged file, open; -1 when none was found
  std::string path;  // its name on the search path, e.g. /usr/bin/dot; "" when none
};

// The first trusted `dot` in the ':'-separated `searchPath` (relative entries skipped); none, with
// `why` naming the last untrusted one found.
DotProgram FindDot(const std::string& searchPath, std::string* why);

// FindDot on $PATH, else on /usr/bin:/bin.
DotProgram FindDotOnPath(std::string* why);

// `dot` as FindDotOnPath finds it, run on `dot` with -Tsvg; at most `timeoutMillis`.
SvgResult RenderSvg(const std::string& dot, std::string& svg, std::string& error,
                    long timeoutMillis = 30000);
