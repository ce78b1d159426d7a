#include "cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <map>
#include <sstream>

#include "base/file_io.h"
#include "private_file.h"
#include "store_location.h"
#include "terminal_text.h"

std::string Dump(const Json& j) {
  return JsonForTerminal(j.dump(2, ' ', false, Json::error_handler_t::replace));
}

Json ErrorJson(int64_t code, const std::string& message, const std::vector<std::string>& causes) {
  return {{"code", code}, {"message", message}, {"causes", causes}};
}

const std::vector<std::string>& JsonKeys(const std::string& shape) {
  // What a call of the plug-in answered: its result, the answer's error code and message, and the
  // inner answer message; then `more`.
  const auto answer = [](std::initializer_list<const char*> more) {
    std::vector<std::string> all = {"result", "errorCode", "errorMessage", "answer"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  static const std::map<std::string, std::vector<std::string>> keys = {
      {"request", answer({})},
      {"discover", answer({"missingClients"})},
      {"discover --save", {"discover", "save"}},
      {"save", answer({"appId", "name", "missingClients"})},
      {"delete", answer({"appId"})},
      {"diff",
       {"drift", "changes", "runEditionNow", "appId", "name", "sid", "savedAt", "recorded",
        "recordError"}},
      {"diff --update", {"diff", "save"}},
      {"clients add", {"id", "name", "hiveId", "hosts", "registry"}},
      {"clients list", {"clients"}},
      {"clients remove", {"removed"}},
      {"apps list", {"apps"}},
      {"apps show",
       {"id", "name", "type", "updatedAt", "discovery", "ebsConfig", "savedBy", "lastDiff"}},
      {"store init", {"store", "backend", "schemaVersion", "done"}},
      {"store copy", {"from", "to", "clients", "apps", "registryValues", "savedBy"}},
      {"report",
       {"file", "backend", "apps", "savers", "appsWithDrift", "nodesWithoutClient", "pictures"}},
      {"--help", {"help"}},
      {"--version", {"version", "plugin", "pluginVersion"}},
  };
  static const std::vector<std::string> none;
  const auto it = keys.find(shape);
  return it == keys.end() ? none : it->second;
}

Json Shaped(const Json& body, const std::vector<std::string>& keys) {
  Json out = Json::object();
  for (const std::string& key : keys) {
    const auto it = body.is_object() ? body.find(key) : body.end();
    out[key] = it == body.end() ? Json(nullptr) : *it;
  }
  return out;
}

namespace {

std::string Document(const Global& g, const Json& body, int status, const Json& error) {
  Json doc = Shaped(body, g.jsonKeys);
  doc["error"] = error;
  doc["exitStatus"] = status;
  return Dump(doc) + "\n";
}

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

int Fail(const Global& g, int status, const std::string& said,
         const std::vector<std::string>& told, int64_t code, const std::string& help) {
  // Words from the store or a library may name the store's location, password and all.
  const std::string message = WithoutPassword(said, g.store);
  std::vector<std::string> causes;
  for (const std::string& cause : told) causes.push_back(WithoutPassword(cause, g.store));
  if (g.json) {
    Json error = ErrorJson(code >= 0 ? code : status, message, causes);
    std::string unwritable;
    // Where the output goes; standard output when the --output file itself cannot be written.
    if (!WriteOutput(g, Document(g, nullptr, status, error), unwritable)) {
      if (!unwritable.empty() && unwritable != message) error["causes"].push_back(unwritable);
      WriteAll(STDOUT_FILENO, Document(g, nullptr, status, error));
    }
    return status;
  }
  // Messages and causes carry values of instances, the store and the log: shown escaped.
  std::string text = "ebs-host: " + Shown(message) + "\n";
  for (const std::string& cause : causes) text += "  cause: " + Shown(cause) + "\n";
  if (!help.empty()) text += "  " + help + "\n";
  WriteAll(STDERR_FILENO, text);
  return status;
}

int EmitJson(const Global& g, const Json& body, int status, const Json& error) {
  std::string unwritable;
  if (!WriteOutput(g, Document(g, body, status, error), unwritable))
    return Fail(g, kUnavailable, unwritable);
  return status;
}

int Emit(const Global& g, const std::string& text) {
  std::string error;
  if (!WriteOutput(g, text, error)) return Fail(g, kUnavailable, error);
  return kOk;
}

bool ReadInput(const std::string& path, std::string& text, std::string& error) {
  // Read straight into `text`, sized from the file when it is one: a request may be hundreds of
  // megabytes, and a stream would hold a second copy.
  const bool standardInput = path.empty() || path == "-";
  const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path;
    return false;
  }
  text.clear();
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    text.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  bool failed = false;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  const int readError = errno;
  if (!standardInput) ::close(fd);
  if (failed) {
    error = "cannot read " + (standardInput ? std::string("standard input") : path) + ": " +
            std::strerror(readError);
    return false;
  }
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
  std::vector<std::vector<std::string>> cells{header};
  for (const auto& row : rows) {
    cells.emplace_back();
    for (const std::string& cell : row) cells.back().push_back(Shown(cell));
  }
  std::vector<size_t> width(header.size());
  for (const auto& row : cells)
    for (size_t c = 0; c < row.size() && c < width.size(); ++c)
      width[c] = std::max(width[c], ShownWidth(row[c]));
  const bool styled = OutputStyled(g);
  std::string out;
  for (size_t r = 0; r < cells.size(); ++r) {
    std::string text;
    for (size_t c = 0; c < cells[r].size() && c < width.size(); ++c) {
      text += cells[r][c];
      if (c + 1 < cells[r].size()) text += std::string(width[c] - ShownWidth(cells[r][c]) + 2, ' ');
    }
    out += r == 0 && styled ? "\033[1m" + text + "\033[0m\n" : text + "\n";
  }
  return out;
}
