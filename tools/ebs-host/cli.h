// What every command of ebs-host shares: the exit statuses, the global options, and the one way
// results and failures reach the person or program that runs it. With --json, exactly one JSON
// document goes to standard output (or the --output file), failures included: the command's own
// keys (JsonKeys), each null when it has no value, then "error" (null, or {code, message,
// causes}) and "exitStatus". Otherwise failures go to standard error as "ebs-host: <message>"
// with one "  cause: <text>" line per cause and, for a usage error, the help to read. Not
// thread-safe: the main thread prints, with write(2) rather than streams, so that the interrupt
// farewell (interrupt.h) may print the one failure from its own thread while the main thread is
// inside the plug-in.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

// kDrift: `diff` found the live instance drifted from the saved app.
enum Exit : int { kOk = 0, kAnswerError = 1, kUsage = 2, kUnavailable = 3, kDrift = 4 };

struct Global {
  std::string plugin;
  std::string logFile;     // --log: overrides EBS_HOST_LOG and the state directory's log
  std::string outputFile;  // --output: where the command's output goes instead of stdout
  bool json = false;
  bool xml = false;
  bool verbose = false;      // -v: the plug-in's log lines of the call on standard error
  bool showSecrets = false;  // --show-secrets: passwords printed as they are
  // The store's location in effect (--store, else EBS_HOST_STORE, else the default): a password
  // it carries is masked in every failure printed (store_location.h).
  std::string store;
  // The keys of the command's --json document (JsonKeys), set as soon as the command is known.
  std::vector<std::string> jsonKeys;
};

using Json = nlohmann::ordered_json;

// The document as the output prints it: indented, invalid UTF-8 replaced, and the characters a
// terminal acts upon written as \u escapes (JsonForTerminal).
std::string Dump(const Json& j);

// The error object of a JSON document: {"code", "message", "causes"}.
Json ErrorJson(int64_t code, const std::string& message, const std::vector<std::string>& causes);

// The keys of a command's --json document, in order, before the "error" and "exitStatus" that
// every document ends with. `shape`: the command's words ("apps show"), "discover --save" and
// "diff --update" for those forms, "--help", "--version"; any other (a usage error before the
// command is known) has none.
const std::vector<std::string>& JsonKeys(const std::string& shape);

// `body` with exactly `keys`, in their order: null where `body` has no value.
Json Shaped(const Json& body, const std::vector<std::string>& keys);

// Prints the command's --json document: Shaped(body, g.jsonKeys), "error" (`error`, null on
// success) and "exitStatus" (`status`). Returns `status`, or exit 3 printed when the output
// cannot be written.
int EmitJson(const Global& g, const Json& body, int status, const Json& error = nullptr);

// Prints a failure and returns `status`. For people, `message` and `causes` are shown escaped
// (terminal_text.h), so they may carry any value; in every form, a password of g.store they
// carry is masked. `code` is the answer's error code when there is
// one, else the exit status. `help`, for a usage error, says where to read more ("see ebs-host diff
// --help"): a line of its own for people, left out of the JSON document. The JSON document goes
// where Emit writes (standard output when the --output file cannot be written, with that reason
// among the causes).
int Fail(const Global& g, int status, const std::string& message,
         const std::vector<std::string>& causes = {}, int64_t code = -1,
         const std::string& help = "");

// The command's output: standard output, or the --output file (created mode 0600, never through
// a link). Returns kOk, or the failure already printed (exit 3 when the file cannot be written).
int Emit(const Global& g, const std::string& text);

// Reads a file, or standard input for "" or "-".
bool ReadInput(const std::string& path, std::string& text, std::string& error);

// Whether what is written to `fd` may carry ANSI escapes: a terminal, and NO_COLOR unset.
bool Styled(int fd);

// Whether the command's output may: Styled(standard output), and no --output file.
bool OutputStyled(const Global& g);

// A table for people: a header row, then the cells of `rows` as Shown (terminal_text.h) makes
// them, columns aligned on the widest cell as a terminal shows it, the header bold when
// OutputStyled(g).
std::string Table(const Global& g, const std::vector<std::string>& header,
                  const std::vector<std::vector<std::string>>& rows);
