// ebs-host: a command-line host for the plug-in. It loads libEnterpriseApps.so with dlopen and
// calls OnMsgEnterpriseApps exactly as the platform does, and manages the managing-server
// stand-in's store (clients, virtual apps) directly.
//
// Exit status: 0 ok; 1 the answer carries an error code or the request was refused (nothing to
// save or copy, a store to copy into that is not empty); 2 usage error; 3 the plug-in, its log or
// a store cannot be used; 4 `diff` found drift; 129/130/143
// ended by SIGHUP, SIGINT or SIGTERM.
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "commands.h"
#include "ebs_version.h"
#include "help_text.h"
#include "host_names.h"
#include "interrupt.h"
#include "picture.h"
#include "base/file_io.h"
#include "platform/host/host_config.h"
#include "plugin_locator.h"
#include "store_location.h"
#include "terminal_text.h"

namespace {

// Global options that take a value: the word after them is not a command.
bool TakesValue(const std::string& arg) {
  return arg == "--plugin" || arg == "--store" || arg == "--log" || arg == "--output" ||
         arg == "-o";
}

// Checks the command words before CLI11 sees them, so that a typo gets a suggestion: the first
// word that is not an option must be a command, and the word after "clients" or "apps" one of
// theirs. `words` gets the command words found.
bool CheckCommandWords(const Global& g, int argc, char** argv,
                       const std::map<std::string, std::vector<std::string>>& commands,
                       std::vector<std::string>& words, int& status) {
  for (int i = 1; i < argc && words.size() < 2; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.rfind('-', 0) == 0) {
      if (TakesValue(arg)) ++i;
      continue;
    }
    const auto it = commands.find(words.empty() ? arg : words[0]);
    if (!words.empty() && (it == commands.end() || it->second.empty())) break;
    words.push_back(arg);
    if (it == commands.end()) break;
  }
  if (words.empty()) return true;
  std::vector<std::string> names;
  for (const auto& [name, sub] : commands) names.push_back(name);
  const auto unknown = [&](const std::string& what, const std::vector<std::string>& known) {
    const std::string near = NearestWord(what, known);
    status = Fail(
        g, kUsage,
        "unknown command '" + what + "'" + (near.empty() ? "" : " (did you mean '" + near + "'?)"),
        {}, -1, "see ebs-host --help");
    return false;
  };
  const auto it = commands.find(words[0]);
  if (it == commands.end()) return unknown(words[0], names);
  if (words.size() > 1 &&
      std::find(it->second.begin(), it->second.end(), words[1]) == it->second.end())
    return unknown(words[0] + " " + words[1], [&] {
      std::vector<std::string> full;
      for (const std::string& sub : it->second) full.push_back(words[0] + " " + sub);
      return full;
    }());
  return true;
}

// The value of the global option `name` ("--plugin PATH" or "--plugin=PATH") before CLI11 has
// parsed it: --plugin for --version, which ends the parse as soon as CLI11 meets it; --store, so
// that even a usage error masks its password.
std::string GlobalArg(int argc, char** argv, const std::string& name) {
  std::string value;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string arg = argv[i];
    if (arg == name && i + 1 < argc)
      value = argv[++i];
    else if (arg.rfind(name + "=", 0) == 0)
      value = arg.substr(name.size() + 1);
    else if (TakesValue(arg))
      ++i;
  }
  return value;
}

// Whether the option `name` is given, as "--name" or "--name=VALUE".
bool HasArg(int argc, char** argv, const std::string& name) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (argv[i] == name || std::string(argv[i]).rfind(name + "=", 0) == 0) return true;
  return false;
}

// The shape of the --json document (JsonKeys) of the command `words` names.
std::string JsonShape(const std::vector<std::string>& words, int argc, char** argv) {
  std::string shape;
  for (const std::string& word : words) shape += (shape.empty() ? "" : " ") + word;
  if (shape == "discover" && HasArg(argc, argv, "--save")) shape += " --save";
  if (shape == "diff" && HasArg(argc, argv, "--update")) shape += " --update";
  return shape;
}

// The usage error of a password option missing, or of both given; kOk when there is one.
int CheckPassword(const Global& g, const DiscoverArgs& args, const char* command) {
  const std::string help = std::string("see ebs-host ") + command + " --help";
  if (args.passwordFile.empty() && args.passwordEnv.empty())
    return Fail(g, kUsage, "missing --db-password-file FILE or --db-password-env VAR", {}, -1,
                help);
  if (!args.passwordFile.empty() && !args.passwordEnv.empty())
    return Fail(g, kUsage, "--db-password-file and --db-password-env: give only one", {}, -1, help);
  return kOk;
}

// A --format that is none of kFormats: a usage error naming them; kOk otherwise.
int CheckFormatWord(const Global& g, const std::string& format, const char* command) {
  if (std::find(kFormats.begin(), kFormats.end(), format) != kFormats.end()) return kOk;
  std::string known;
  for (const std::string& f : kFormats) known += (known.empty() ? "" : ", ") + f;
  return Fail(g, kUsage, "--format: '" + format + "' is none of " + known, {}, -1,
              std::string("see ebs-host ") + command + " --help");
}

// The whole number `text` (an id, a domain) into `value`; otherwise a usage error naming `what`.
// Read here rather than by CLI11, so that the error is in the same words whatever its version.
int WholeNumber(const Global& g, const std::string& text, const std::string& what,
                const char* command, int64_t& value) {
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (!text.empty() && error == std::errc() && at == end) return kOk;
  return Fail(g, kUsage,
              what + ": '" + text + "' is " +
                  (error == std::errc::result_out_of_range ? "out of range" : "not a whole number"),
              {}, -1, std::string("see ebs-host ") + command + " --help");
}

// The command words of the deepest command parsed: "apps show"; "" for ebs-host itself.
std::string ParsedWords(const CLI::App& app, const CLI::App** deepest) {
  std::string words;
  const CLI::App* at = &app;
  while (!at->get_subcommands().empty()) {
    at = at->get_subcommands().front();
    words += (words.empty() ? "" : " ") + at->get_name();
  }
  *deepest = at;
  return words;
}

// The usage error of what CLI11 left over or refused, in ebs-host's words: an unknown option with
// the nearest one of the command (its own and the global ones), an argument too many, a missing
// argument, option or command.
std::string UsageMessage(const CLI::App& command, const std::string& synopsis,
                         const std::vector<std::string>& extras, bool missing,
                         const std::string& refusal) {
  if (!extras.empty()) {
    const std::string& word = extras.front();
    if (word.size() < 2 || word[0] != '-') return "unexpected argument '" + word + "'";
    const std::string typed = word.substr(0, word.find('='));
    std::vector<std::string> known;
    for (const CLI::App* at = &command; at; at = at->get_parent())
      for (const CLI::Option* option : at->get_options()) {
        for (const std::string& s : option->get_snames()) known.push_back("-" + s);
        for (const std::string& l : option->get_lnames()) known.push_back("--" + l);
      }
    const std::string near = NearestWord(typed, known);
    return "unknown option '" + typed + "'" +
           (near.empty() ? "" : " (did you mean '" + near + "'?)");
  }
  if (missing) {
    for (const CLI::Option* option : command.get_options())
      if (option->get_required() && option->count() == 0)
        return "missing " + OptionUsage(*option) +
               (option->get_positional() ? "; usage: " + synopsis : "");
    if (command.get_require_subcommand_min() > 0 && command.get_subcommands().empty()) {
      std::string names;
      for (const CLI::App* sub : command.get_subcommands([](const CLI::App*) { return true; }))
        names += (names.empty() ? "" : "|") + sub->get_name();
      return "missing command: " + names;
    }
  }
  // CLI11's words for a value that is missing, when they are the ones known.
  const size_t colon = refusal.find(": ");
  if (refusal.rfind("-", 0) == 0 && colon != std::string::npos && refusal.size() > 8 &&
      refusal.compare(refusal.size() - 8, 8, " missing") == 0)
    return refusal.substr(0, colon) + " needs a value";
  return refusal;
}

// What the commands' options fill in. Only one command is parsed per run, so commands share the
// fields they have in common.
struct Args {
  std::string requestFile = "-";  // request
  DiscoverArgs discover;          // discover; the password, --sid and --db-user of diff
  CLI::Option* saveAs = nullptr;  // discover --save, to tell "--save ''" from no --save
  std::string configFile;         // save
  std::string name;               // save, clients add, clients remove
  std::string id;                 // delete, diff, apps show: ID or --app-id, read by WholeNumber
  bool update = false;            // diff
  std::vector<std::string> hosts;  // clients add
  std::string hive = "0";          // clients add
  std::string format = "text";     // apps show
  std::string to;                  // store copy
  std::string savedBy;             // store copy, apps list
  bool savedByGiven = false;       // to tell "--saved-by ''" from no --saved-by
  CLI::Option* store = nullptr;          // the global --store, bound to Global::store
  std::string htmlFile;            // report
};

// One command of ebs-host. Its options are bound to Args; once the command line is parsed, --xml
// is refused where the command has no XML form, then `run` checks the values left as text and
// runs the command. A group ("apps") has no `run`: one of its commands is required.
struct Command {
  const char* words;  // "apps show": the group's words, then the command's
  const char* summary;
  std::string synopsis;  // what its help shows after "Usage:"
  bool xml;              // --xml prints the answer's inner text
  void (*options)(CLI::App&, Args&);
  int (*run)(const Global&, Args&);
};

const char* const kFormatHelp =
    "text (the summary, default), dot (a Graphviz graph of the topology) or svg (that graph drawn "
    "by Graphviz's dot); not with --json or --xml";
const char* const kFormatType = "text|dot|svg";

// The app a command acts on: its argument ID, or --app-id ID.
void IdArgument(CLI::App& command, Args& a) {
  command.add_option("id,--app-id", a.id, "id of the virtual app")->required()->type_name("ID");
}

// The database password options of `discover` and `diff`: one of them is required (CheckPassword).
void PasswordOptions(CLI::App& command, DiscoverArgs& args) {
  command
      .add_option("--db-password-file", args.passwordFile,
                  "file whose first line is the password (- for standard input)")
      ->type_name("FILE");
  command
      .add_option("--db-password-env", args.passwordEnv,
                  "environment variable holding the password (removed from the environment "
                  "once read)")
      ->type_name("VAR");
}

void NoOptions(CLI::App&, Args&) {}

void SavedByOption(CLI::App& command, Args& a, const char* description) {
  command.add_option("--saved-by", a.savedBy, description)
      ->type_name("ROLE")
      ->each([&a](const std::string&) { a.savedByGiven = true; });
}

// The value of --saved-by: none when it is not given; a usage error when it is given empty.
int SavedBy(const Global& g, const Args& a, const char* command,
            std::optional<std::string>& role) {
  if (!a.savedByGiven) return kOk;
  if (a.savedBy.empty())
    return Fail(g, kUsage, "--saved-by: give the role (or account) that saved the apps", {}, -1,
                std::string("see ebs-host ") + command + " --help");
  role = a.savedBy;
  return kOk;
}

// The commands, each group before its own; the help lists them in this order.
const std::vector<Command>& Commands() {
  static const std::vector<Command> table = {
      {"request", "send a raw request envelope, print the answer", "ebs-host request [FILE|-]",
       true,
       [](CLI::App& c, Args& a) {
         c.add_option("file", a.requestFile, "request text file, or - for standard input (default)")
             ->type_name("FILE");
       },
       [](const Global& g, Args& a) { return RunRequest(g, a.requestFile); }},
      {"discover", "discover the EBS instance of a SID",
       std::string("ebs-host discover --sid SID --db-user USER (--db-password-file FILE | "
                   "--db-password-env VAR)\n    [--save NAME] [--format ") +
           kFormatType + "]",
       true,
       [](CLI::App& c, Args& a) {
         c.add_option("--sid", a.discover.sid, "SID of the database")->required()->type_name("SID");
         c.add_option("--db-user", a.discover.user, "database account")
             ->required()
             ->type_name("USER");
         PasswordOptions(c, a.discover);
         a.saveAs = c.add_option("--save", a.discover.saveAs,
                                 "save what was found as the virtual app NAME, in the same run")
                        ->type_name("NAME");
         c.add_option("--format", a.discover.format, kFormatHelp)->type_name(kFormatType);
       },
       [](const Global& g, Args& a) {
         a.discover.saveAsGiven = a.saveAs->count() > 0;
         if (int rc = CheckFormatWord(g, a.discover.format, "discover")) return rc;
         if (int rc = CheckPassword(g, a.discover, "discover")) return rc;
         return RunDiscover(g, a.discover);
       }},
      {"save", "save a discovered instance as a virtual app",
       "ebs-host save --config FILE --name NAME", true,
       [](CLI::App& c, Args& a) {
         c.add_option("--config", a.configFile, "what `discover --xml` or `apps show --xml` printed")
             ->required()
             ->type_name("FILE");
         c.add_option("--name", a.name, "name of the virtual app")->required()->type_name("NAME");
       },
       [](const Global& g, Args& a) { return RunSave(g, a.configFile, a.name); }},
      {"delete", "delete a virtual app", "ebs-host delete ID", true, IdArgument,
       [](const Global& g, Args& a) {
         int64_t id = 0;
         if (int rc = WholeNumber(g, a.id, "ID", "delete", id)) return rc;
         return RunDelete(g, id);
       }},
      {"diff",
       "discover a saved app's instance again and show how it drifted (exit 4 if it did)",
       "ebs-host diff ID (--db-password-file FILE | --db-password-env VAR)\n"
       "    [--sid SID] [--db-user USER] [--update]",
       false,
       [](CLI::App& c, Args& a) {
         IdArgument(c, a);
         c.add_option("--sid", a.discover.sid, "SID (default: the one it was discovered with)")
             ->type_name("SID");
         c.add_option("--db-user", a.discover.user,
                      "database account (default: the one it was discovered with)")
             ->type_name("USER");
         PasswordOptions(c, a.discover);
         c.add_flag("--update", a.update,
                    "after showing the drift, save the fresh discovery over the app");
       },
       [](const Global& g, Args& a) {
         DiffArgs diff;
         if (int rc = WholeNumber(g, a.id, "ID", "diff", diff.appId)) return rc;
         if (int rc = CheckPassword(g, a.discover, "diff")) return rc;
         diff.discover = a.discover;
         diff.update = a.update;
         return RunDiff(g, diff);
       }},
      {"clients", "clients of the managing server", "ebs-host clients add|list|remove ...", false,
       NoOptions, nullptr},
      {"clients add", "register a client",
       "ebs-host clients add --name NAME --host FQDN [--host FQDN ...] [--hive ID]", false,
       [](CLI::App& c, Args& a) {
         c.add_option("--name", a.name, "client name")->required()->type_name("NAME");
         c.add_option("--host", a.hosts, "fully qualified host name (repeatable)")
             ->required()
             ->type_name("FQDN");
         c.add_option("--hive", a.hive, "managed-domain id (0..2147483647, default 0)")
             ->type_name("ID");
       },
       [](const Global& g, Args& a) {
         int64_t domain = 0;
         if (int rc = WholeNumber(g, a.hive, "--hive", "clients add", domain)) return rc;
         return RunClientsAdd(g, a.name, a.hosts, domain);
       }},
      {"clients list", "list clients and their registry values", "ebs-host clients list", false,
       NoOptions, [](const Global& g, Args&) { return RunClientsList(g); }},
      {"clients remove", "remove a client", "ebs-host clients remove --name NAME", false,
       [](CLI::App& c, Args& a) {
         c.add_option("--name", a.name, "client name")->required()->type_name("NAME");
       },
       [](const Global& g, Args& a) { return RunClientsRemove(g, a.name); }},
      {"apps", "virtual apps of the managing server", "ebs-host apps list|show ...", false,
       NoOptions, nullptr},
      {"apps list", "list virtual apps, who saved each and its last diff",
       "ebs-host apps list [--saved-by ROLE]", false,
       [](CLI::App& c, Args& a) {
         SavedByOption(c, a, "only the apps that ROLE saved (a PostgreSQL role, or the account "
                             "that saved them into an SQLite store)");
       },
       [](const Global& g, Args& a) {
         std::optional<std::string> role;
         if (int rc = SavedBy(g, a, "apps list", role)) return rc;
         return RunAppsList(g, role);
       }},
      {"apps show", "show one virtual app",
       std::string("ebs-host apps show ID [--format ") + kFormatType + "]", true,
       [](CLI::App& c, Args& a) {
         IdArgument(c, a);
         c.add_option("--format", a.format, kFormatHelp)->type_name(kFormatType);
       },
       [](const Global& g, Args& a) {
         if (int rc = CheckFormatWord(g, a.format, "apps show")) return rc;
         int64_t id = 0;
         if (int rc = WholeNumber(g, a.id, "ID", "apps show", id)) return rc;
         return RunAppsShow(g, id, a.format);
       }},
      {"store", "the store of clients and virtual apps (--store, else $EBS_HOST_STORE)",
       "ebs-host store init|copy ...", false, NoOptions, nullptr},
      {"store init", "create the store's schema, or migrate an older one", "ebs-host store init",
       false, NoOptions, [](const Global& g, Args&) { return RunStoreInit(g); }},
      {"store copy",
       "copy everything of the store into another one, initialised and empty, keeping every id",
       "ebs-host store copy --to LOCATION [--saved-by ROLE]", false,
       [](CLI::App& c, Args& a) {
         c.add_option("--to", a.to,
                      "the store to copy into: a postgresql:// URI (without a password) or an "
                      "SQLite file")
             ->required()
             ->type_name("LOCATION");
         SavedByOption(c, a,
                       "every copied app saved by ROLE (the host's PostgreSQL role) instead of "
                       "the account recorded");
       },
       [](const Global& g, Args& a) {
         std::optional<std::string> role;
         if (int rc = SavedBy(g, a, "store copy", role)) return rc;
         return RunStoreCopy(g, a.to, role);
       }},
      {"report", "write an HTML page of every saved app: nodes, clients, drift, pictures",
       "ebs-host report --html FILE", false,
       [](CLI::App& c, Args& a) {
         c.add_option("--html", a.htmlFile,
                      "the page to write (created mode 0600, never through a link; - for where "
                      "the output goes)")
             ->required()
             ->type_name("FILE");
       },
       [](const Global& g, Args& a) { return RunReport(g, a.htmlFile); }},
  };
  return table;
}

// Adds the global options to `app` and every command of Commands() under it. `rows` gets the row
// of each command's CLI::App, and of `app` itself a row holding its synopsis alone.
void DefineCommands(CLI::App& app, Global& g, Args& a,
                    std::map<const CLI::App*, const Command*>& rows) {
  // Global options are taken before or after the command; what nobody takes is reported in Main,
  // with the nearest option.
  app.fallthrough();
  app.allow_extras();
  app.require_subcommand(1);
  app.set_help_flag("-h,--help", "print this help");
  static const Command self{
      "", "",
      "ebs-host [--plugin PATH] [--store LOCATION] [--json | --xml] [-v] [--log FILE] [-o FILE]\n"
      "    [--show-secrets] COMMAND\nebs-host --version | --help",
      false, NoOptions, nullptr};
  rows[&app] = &self;
  // CLI11 ends the parse when it meets --version; what is printed is made in Main.
  app.set_version_flag("--version", std::string(EBS_VERSION),
                       "print the versions of ebs-host and of the plug-in it would load");
  app.add_option("--plugin", g.plugin,
                 "the plug-in library (default: $EBS_HOST_PLUGIN, else the installed one, "
                 "else the build tree's)")
      ->type_name("PATH");
  a.store = app.add_option("--store", g.store,
                            "the store of clients and virtual apps: an SQLite file, or a "
                            "postgresql:// URI without a password (default: $EBS_HOST_STORE, else "
                            "store.db in the state directory)")
                ->type_name("LOCATION");
  app.add_flag("--json", g.json, "output for programs: one JSON document, also on failure");
  app.add_flag("--xml", g.xml, "output the raw inner message text (not with --json)");
  app.add_flag("-v,--verbose", g.verbose, "show the plug-in's log lines on standard error");
  app.add_option("--log", g.logFile,
                 "log file (default: $EBS_HOST_LOG, else "
                 "$XDG_STATE_HOME/ebs-host/ebs-host.log or ~/.local/state/ebs-host/ebs-host.log)")
      ->type_name("FILE");
  app.add_option("-o,--output", g.outputFile,
                 "write the output to FILE (created mode 0600, never through a link)")
      ->type_name("FILE");
  app.add_flag("--show-secrets", g.showSecrets, "print passwords instead of hiding them");

  std::map<std::string, CLI::App*> groups;
  for (const Command& row : Commands()) {
    const std::string words = row.words;
    const size_t space = words.rfind(' ');
    CLI::App* parent = space == std::string::npos ? &app : groups.at(words.substr(0, space));
    CLI::App* command = parent->add_subcommand(words.substr(space + 1), row.summary);
    if (!row.run) {
      command->require_subcommand(1);
      groups[words] = command;
    }
    row.options(*command, a);
    rows[command] = &row;
  }
}

// The words of each command, and of each group the words of its commands, as CheckCommandWords
// takes them.
std::map<std::string, std::vector<std::string>> CommandWords() {
  std::map<std::string, std::vector<std::string>> words;
  for (const Command& row : Commands()) {
    const std::string all = row.words;
    const size_t space = all.find(' ');
    if (space == std::string::npos)
      words[all];
    else
      words[all.substr(0, space)].push_back(all.substr(space + 1));
  }
  return words;
}

// --help of `command`, as text or as the --json document.
int PrintHelp(Global& g, const CLI::App& command, const std::string& synopsis) {
  const std::string text = HelpText(command, synopsis);
  if (!g.json) return Emit(g, text);
  g.jsonKeys = JsonKeys("--help");
  return EmitJson(g, {{"help", text}}, kOk);
}

// --version: ebs-host's and that of the plug-in it would load.
int PrintVersion(Global& g, int argc, char** argv) {
  const PluginChoice plugin = FindPlugin(GlobalArg(argc, argv, "--plugin"));
  if (!g.json) return Emit(g, VersionLine(plugin) + "\n");
  const std::string version = plugin.path.empty() ? "" : PluginVersion(plugin.path);
  g.jsonKeys = JsonKeys("--version");
  return EmitJson(g,
                  {{"version", EBS_VERSION},
                   {"plugin", plugin.path.empty() ? Json(nullptr) : Json(plugin.path)},
                   {"pluginVersion", version.empty() ? Json(nullptr) : Json(version)}},
                  kOk);
}

// --store as parsed: the store of the whole run, the plug-in's included, which reads it as
// EBS_HOST_STORE (host_config.h) on every request. Then g.store is the location in effect.
int UseStoreOption(Global& g, const CLI::Option& store) {
  if (store.count() > 0) {
    const auto refused = [&](const std::string& why) {
      return Fail(g, kUsage, "--store: " + why, {}, -1, "see ebs-host --help");
    };
    if (g.store.empty()) return refused("give an SQLite file or a postgresql:// URI");
    // It would show to every account (ps) and pass on to every process the run starts.
    if (CarriesPassword(g.store))
      return refused(MaskedLocation(g.store) +
                     " carries a password, which ebs-host never takes on its command line; keep "
                     "it in a password file (~/.pgpass, or PGPASSFILE)");
    ::setenv("EBS_HOST_STORE", g.store.c_str(), 1);
  }
  g.store = CurrentHostConfig().storePath;
  return kOk;
}

// Runs the command of `row` as parsed: --xml refused where it has no XML form, then its own run.
int RunCommand(Global& g, const Command& row, Args& args) {
  // The log's level unless EBS_HOST_LOG_LEVEL says: info (every line, message texts cut), debug
  // with -v.
  ::setenv("EBS_HOST_LOG_LEVEL", g.verbose ? "debug" : "info", 0);
  InstallInterruptHandling([&g](int signal) {
    const std::string message = std::string("interrupted by ") +
                                (signal == SIGINT    ? "SIGINT"
                                 : signal == SIGTERM ? "SIGTERM"
                                                     : "SIGHUP") +
                                "; the processes it started were ended";
    // Runs on the handling thread while the main thread prints nothing; Fail writes with
    // write(2), so no stream lock can hold it.
    if (Styled(STDERR_FILENO)) WriteAll(STDERR_FILENO, "\r\033[K");
    Fail(g, 128 + signal, message);
  });
  int status = kUsage;
  try {
    if (row.run && g.xml && !row.xml)
      status = Fail(g, kUsage,
                    std::string("--xml: `") + row.words + "` has no XML form (use --json)");
    else if (row.run)
      status = row.run(g, args);
  } catch (const std::exception& e) {
    status = Fail(g, kUnavailable, e.what());
  }
  WaitIfInterrupted();
  return status;
}

}  // namespace

static int Main(int argc, char** argv) {
  Global g;
  // Known before parsing, so that a usage error is a JSON document too, and masks the store's
  // password.
  g.json = HasArg(argc, argv, "--json");
  g.store = HasArg(argc, argv, "--store") ? GlobalArg(argc, argv, "--store")
                                          : CurrentHostConfig().storePath;
  CLI::App app{
      "ebs-host: loads the EBS enterprise-applications plug-in and calls it as the "
      "platform does; manages the managing-server stand-in's store."};
  Args args;
  std::map<const CLI::App*, const Command*> rows;
  DefineCommands(app, g, args, rows);

  int status = kOk;
  std::vector<std::string> words;
  if (!CheckCommandWords(g, argc, argv, CommandWords(), words, status)) return status;
  g.jsonKeys = JsonKeys(JsonShape(words, argc, argv));

  bool helpAsked = false, versionAsked = false, missing = false;
  std::string refusal;  // why CLI11 refused the command line
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    helpAsked = true;
  } catch (const CLI::CallForVersion&) {
    versionAsked = true;
  } catch (const CLI::RequiredError& e) {
    missing = true;
    refusal = e.what();
  } catch (const CLI::ParseError& e) {
    refusal = e.what();
  }
  const CLI::App* command = nullptr;
  const std::string parsed = ParsedWords(app, &command);
  const Command& row = *rows.at(command);
  if (helpAsked) return PrintHelp(g, *command, row.synopsis);
  if (versionAsked) return PrintVersion(g, argc, argv);
  const std::vector<std::string> extras = app.remaining(true);
  if (!refusal.empty() || !extras.empty())
    return Fail(g, kUsage,
                UsageMessage(*command, row.synopsis.substr(0, row.synopsis.find('\n')), extras,
                             missing, refusal),
                {}, -1, "see ebs-host" + (parsed.empty() ? "" : " " + parsed) + " --help");
  if (int rc = UseStoreOption(g, *args.store)) return rc;
  g.plugin = FindPlugin(g.plugin).path;
  return RunCommand(g, row, args);
}

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "ebs-host: " << Shown(e.what()) << "\n";
  } catch (...) {
    std::cerr << "ebs-host: unexpected failure\n";
  }
  return kUnavailable;
}
