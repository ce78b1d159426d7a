#include "cli.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/file_io.h"
#include "private_file.h"

std::string Dump(const Json& j) { return j.dump(2, ' ', false, Json::error_handler_t::replace); }

Json ErrorJson(int64_t code, const std::string& message, const std::vector<std::string>& causes) {
  return {{"code", code}, {"message", message}, {"causes", causes}};
}

namespace {

// Writes `text` to the --output file, or to standard output without one.
bool WriteOutput(const Global& g, const std::string& text, std::string& error) {
  if (g.outputFile.empty() || g.outputFile == "-") return WriteAll(STDOUT_FILENO, text);
  const int fd = OpenPrivateFile(g.outputFile, FileMode::Truncate, error);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  if (::close(fd) != 0 || !written) {
    error = "cannot write " + g.outputFile;
    return false;
  }
  return true;
}

}  // namespace

int Fail(const Global& g, int status, const std::string& message,
         const std::vector<std::string>& causes, int64_t code) {
  if (g.json) {
    Json error = ErrorJson(code >= 0 ? code : status, message, causes);
    const std::string text = Dump(Json{{"error", error}, {"exitStatus", status}}) + "\n";
    std::string unwritable;
    // Where the output goes; standard output when the --output file itself cannot be written.
    if (!WriteOutput(g, text, unwritable)) {
      if (!unwritable.empty() && unwritable != message) error["causes"].push_back(unwritable);
      WriteAll(STDOUT_FILENO, Dump(Json{{"error", error}, {"exitStatus", status}}) + "\n");
    }
    return status;
  }
  std::string text = "ebs-host: " + message + "\n";
  for (const std::string& cause : causes) text += "  cause: " + cause + "\n";
  WriteAll(STDERR_FILENO, text);
  return status;
}

int Emit(const Global& g, const std::string& text) {
  std::string error;
  if (!WriteOutput(g, text, error)) return Fail(g, kUnavailable, error);
  return kOk;
}

bool ReadInput(const std::string& path, std::string& text, std::string& error) {
  std::ostringstream s;
  if (path.empty() || path == "-") {
    s << std::cin.rdbuf();
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      error = "cannot read " + path;
      return false;
    }
    s << in.rdbuf();
  }
  text = s.str();
  return true;
}

bool Styled(int fd) {
  const char* noColor = std::getenv("NO_COLOR");
  return ::isatty(fd) && !(noColor && *noColor);
}

bool OutputStyled(const Global& g) {
  return (g.outputFile.empty() || g.outputFile == "-") && Styled(STDOUT_FILENO);
}

std::string Table(const Global& g, const std::vector<std::string>& header,
                  const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) width[c] = header[c].size();
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size() && c < width.size(); ++c)
      width[c] = std::max(width[c], row[c].size());
  const bool styled = OutputStyled(g);
  std::string out;
  const auto line = [&](const std::vector<std::string>& cells, bool bold) {
    std::string text;
    for (size_t c = 0; c < cells.size() && c < width.size(); ++c) {
      text += cells[c];
      if (c + 1 < cells.size()) text += std::string(width[c] - cells[c].size() + 2, ' ');
    }
    out += bold && styled ? "\033[1m" + text + "\033[0m\n" : text + "\n";
  };
  line(header, true);
  for (const auto& row : rows) line(row, false);
  return out;
}
