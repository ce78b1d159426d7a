#include "svg_render.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>

#include "platform/process.h"
#include "trusted_path.h"

std::string FindDot(const std::string& searchPath, std::string* why) {
  std::istringstream dirs(searchPath);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty() || dir[0] != '/') continue;
    // The directory's own name, with links resolved, so that the file runs under the name
    // `dot` (Debian's dot is a link to a program that acts on the name it is called by).
    const std::string realDir = RealPath(dir);
    if (realDir.empty()) continue;
    const std::string candidate = (realDir == "/" ? "" : realDir) + "/dot";
    const std::string target = RealPath(candidate);
    struct stat st {};
    if (target.empty() || ::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(target.c_str(), X_OK) != 0)
      continue;
    // The directory holds the name; the file it leads to is what runs.
    std::string untrusted = SwappableBy(realDir);
    if (untrusted.empty()) untrusted = SwappableBy(candidate);
    if (untrusted.empty()) return candidate;
    if (why) *why = untrusted;
  }
  return "";
}

std::string FindDotOnPath(std::string* why) {
  const char* path = std::getenv("PATH");
  return FindDot(path && *path ? path : "/usr/bin:/bin", why);
}

SvgResult RenderSvg(const std::string& dot, std::string& svg, std::string& error,
                    long timeoutMillis) {
  svg.clear();
  std::string untrusted;
  const std::string program = FindDotOnPath(&untrusted);
  if (program.empty()) {
    error = "Graphviz's dot is not installed (" + std::string(kInstallGraphviz) + ")" +
            (untrusted.empty() ? "" : "; one was found but not used: " + untrusted);
    return SvgResult::kNoGraphviz;
  }
  NqCommand command;
  command.argv = {program, "-Tsvg"};
  command.env = {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8"};
  // Fontconfig keeps its cache under the home directory; without one it still works, slower.
  if (const char* home = std::getenv("HOME"); home && *home)
    command.env.push_back(std::string("HOME=") + home);
  command.input = dot;
  command.timeoutMillis = timeoutMillis;
  std::string err;
  const int rc = NqProcess::Execute(command, &svg, &err);
  if (rc != 0) {
    svg.clear();
    while (!err.empty() && err.back() == '\n') err.pop_back();
    error = program + " -Tsvg failed (exit status " + std::to_string(rc) + ")" +
            (err.empty() ? "" : ": " + err);
    return SvgResult::kFailed;
  }
  if (svg.size() >= NqProcess::kMaxKeptBytes) {
    svg.clear();
    error = "the picture is larger than " + std::to_string(NqProcess::kMaxKeptBytes >> 20) +
            " MiB; --format dot gives the graph to render by other means";
    return SvgResult::kFailed;
  }
  return SvgResult::kRendered;
}
