#include "help_text.h"

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <utility>
#include <vector>

namespace {

constexpr size_t kWidth = 79;       // of a line
constexpr size_t kNameColumn = 26;  // where descriptions start
constexpr const char* kIndent = "  ";

// `text` wrapped at word boundaries to lines of at most kWidth, each after `indent` spaces; the
// first line's indent is what `first` already holds.
std::string Wrapped(std::string first, const std::string& text, size_t indent) {
  std::string out;
  std::string line = std::move(first);
  if (line.size() < indent) line.resize(indent, ' ');
  bool empty = true;  // no word on this line yet
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!empty && line.size() + 1 + word.size() > kWidth) {
      out += line + "\n";
      line.assign(indent, ' ');
      empty = true;
    }
    line += (empty ? "" : " ") + word;
    empty = false;
  }
  return out + line + "\n";
}

// One row of a section: the name, then the description in its column (on the next line when the
// name reaches into it).
std::string Row(const std::string& name, const std::string& description) {
  std::string first = kIndent + name;
  if (first.size() + 2 > kNameColumn) return first + "\n" + Wrapped("", description, kNameColumn);
  return Wrapped(first, description, kNameColumn);
}

std::string Section(const char* heading,
                    const std::vector<std::pair<std::string, std::string>>& rows) {
  if (rows.empty()) return "";
  std::string out = std::string("\n") + heading + "\n";
  for (const auto& [name, description] : rows) out += Row(name, description);
  return out;
}

// An option as its names and placeholder: "-o, --output FILE", "--json".
std::string Written(const CLI::Option& option) {
  std::string names;
  for (const std::string& s : option.get_snames()) names += (names.empty() ? "-" : ", -") + s;
  for (const std::string& l : option.get_lnames()) names += (names.empty() ? "--" : ", --") + l;
  return option.get_expected_max() == 0 ? names : names + " " + option.get_type_name();
}

}  // namespace

std::string OptionUsage(const CLI::Option& option) {
  return option.get_positional() ? option.get_type_name() : Written(option);
}

std::string HelpText(const CLI::App& command, const std::string& synopsis) {
  std::string out = command.get_description() + "\n\nUsage: ";
  std::istringstream lines(synopsis);
  bool first = true;
  for (std::string line; std::getline(lines, line); first = false)
    out += (first ? "" : "       ") + line + "\n";

  std::vector<std::pair<std::string, std::string>> commands, arguments, options;
  for (const CLI::App* sub : command.get_subcommands([](const CLI::App*) { return true; }))
    commands.emplace_back(sub->get_name(), sub->get_description());
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_positional())
      arguments.emplace_back(option->get_type_name(), option->get_description());
    if (!option->nonpositional()) continue;
    std::string description = option->get_description();
    // An argument that may also be given as an option says so once, under Arguments.
    if (option->get_positional()) description = "the same as " + option->get_type_name();
    options.emplace_back(Written(*option), description);
  }
  // The help option last: what the command does comes first.
  std::stable_partition(options.begin(), options.end(),
                        [](const auto& row) { return row.first.rfind("-h, --help", 0) != 0; });
  out += Section("Commands:", commands);
  out += Section("Arguments:", arguments);
  out += Section("Options:", options);
  if (command.get_parent())
    out += "\nThe global options of `ebs-host --help` go before or after the command.\n";
  return out;
}
