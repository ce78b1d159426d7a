// Renders DOT text to SVG with Graphviz's `dot`, for `--format svg`. The program is run without a
// shell (argv only, the DOT text on its standard input, a small fixed environment) under a time
// limit, and only from a place no other account can change: a `dot` found in a directory of the
// search path whose every component, and the file it resolves to, belong to root or the
// effective user and are writable by nobody else. Errors are values; nothing throws.
// Thread-safe.
#pragma once

#include <string>

enum class SvgResult {
  kRendered,
  kNoGraphviz,  // no trusted `dot` on the search path; `error` says how to get one
  kFailed,      // dot failed, timed out or wrote more than can be kept; `error` says which
};

// How Graphviz is installed; shown whenever `dot` is missing.
inline constexpr const char* kInstallGraphviz = "apt-get install graphviz";

// The absolute path of the first trusted `dot` in the ':'-separated `searchPath` (relative
// entries skipped); "" when there is none, with `why` naming the last untrusted one found.
std::string FindDot(const std::string& searchPath, std::string* why);

// FindDot on $PATH, else on /usr/bin:/bin.
std::string FindDotOnPath(std::string* why);

// `dot` as FindDotOnPath finds it, run on `dot` with -Tsvg; at most `timeoutMillis`.
SvgResult RenderSvg(const std::string& dot, std::string& svg, std::string& error,
                    long timeoutMillis = 30000);
