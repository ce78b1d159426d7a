// ebs-host: a command-line host for the plug-in. It loads libEnterpriseApps.so with dlopen and
// calls OnMsgEnterpriseApps exactly as the platform does, and manages the managing-server
// stand-in's store (clients, virtual apps) directly.
//
// Exit status: 0 ok; 1 the answer carries an error code or the request was refused; 2 usage
// error; 3 the plug-in, its log or the store cannot be used; 4 `diff` found drift; 129/130/143
// ended by SIGHUP, SIGINT or SIGTERM.
#include <unistd.h>
#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <system_error>
#include <utility>

#include "commands.h"
#include "ebs_version.h"
#include "help_text.h"
#include "host_names.h"
#include "interrupt.h"
#include "picture.h"
#include "base/file_io.h"
#include "plugin_locator.h"
#include "terminal_text.h"

namespace {

// Global options that take a value: the word after them is not a command.
bool TakesValue(const std::string& arg) {
  return arg == "--plugin" || arg == "--log" || arg == "--output" || arg == "-o";
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

// The value of --plugin (as "--plugin PATH" or "--plugin=PATH") before CLI11 has parsed it, for
// --version, which ends the parse as soon as CLI11 meets it.
std::string PluginArg(int argc, char** argv) {
  std::string value;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const std::string arg = argv[i];
    if (arg == "--plugin" && i + 1 < argc)
      value = argv[++i];
    else if (arg.rfind("--plugin=", 0) == 0)
      value = arg.substr(9);
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

// The database password options of `discover` and `diff`: one of them is required.
void AddPasswordOptions(CLI::App* command, DiscoverArgs& args) {
  command
      ->add_option("--db-password-file", args.passwordFile,
                   "file whose first line is the password (- for standard input)")
      ->type_name("FILE");
  command
      ->add_option("--db-password-env", args.passwordEnv,
                   "environment variable holding the password (removed from the environment "
                   "once read)")
      ->type_name("VAR");
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

// Refuses --xml for a command that has no XML form.
int NoXml(const Global& g, const char* command) {
  return Fail(g, kUsage, std::string("--xml: `") + command + "` has no XML form (use --json)");
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

}  // namespace

static int Main(int argc, char** argv) {
  Global g;
  // Known before parsing, so that a usage error is a JSON document too.
  g.json = HasArg(argc, argv, "--json");

  CLI::App app{
      "ebs-host: loads the EBS enterprise-applications plug-in and calls it as the "
      "platform does; manages the managing-server stand-in's store."};
  // Global options are taken before or after the command; what nobody takes is reported below,
  // with the nearest option.
  app.fallthrough();
  app.allow_extras();
  app.require_subcommand(1);
  app.set_help_flag("-h,--help", "print this help");
  // What each command's help shows after "Usage:".
  std::map<const CLI::App*, std::string> synopsis;
  synopsis[&app] =
      "ebs-host [--plugin PATH] [--json | --xml] [-v] [--log FILE] [-o FILE] [--show-secrets] "
      "COMMAND\nebs-host --version | --help";
  // CLI11 ends the parse when it meets --version; what is printed is made below.
  app.set_version_flag("--version", std::string(EBS_VERSION),
                       "print the versions of ebs-host and of the plug-in it would load");
  app.add_option("--plugin", g.plugin,
                 "the plug-in library (default: $EBS_HOST_PLUGIN, else the installed one, "
                 "else the build tree's)")
      ->type_name("PATH");
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

  std::function<int()> run;

  std::string requestFile = "-";
  auto* request = app.add_subcommand("request", "send a raw request envelope, print the answer");
  synopsis[request] = "ebs-host request [FILE|-]";
  request->add_option("file", requestFile, "request text file, or - for standard input (default)")
      ->type_name("FILE");
  request->callback([&] { run = [&] { return RunRequest(g, requestFile); }; });

  const char* formatHelp =
      "text (the summary, default), dot (a Graphviz graph of the topology) or svg (that graph "
      "drawn by Graphviz's dot); not with --json or --xml";
  const std::string formats = "text|dot|svg";

  DiscoverArgs discoverArgs;
  auto* discover = app.add_subcommand("discover", "discover the EBS instance of a SID");
  synopsis[discover] =
      "ebs-host discover --sid SID --db-user USER (--db-password-file FILE | --db-password-env "
      "VAR)\n    [--save NAME] [--format " +
      formats + "]";
  discover->add_option("--sid", discoverArgs.sid, "SID of the database")
      ->required()
      ->type_name("SID");
  discover->add_option("--db-user", discoverArgs.user, "database account")
      ->required()
      ->type_name("USER");
  AddPasswordOptions(discover, discoverArgs);
  auto* saveAs = discover
                     ->add_option("--save", discoverArgs.saveAs,
                                  "save what was found as the virtual app NAME, in the same run")
                     ->type_name("NAME");
  discover->add_option("--format", discoverArgs.format, formatHelp)->type_name(formats);
  discover->callback([&] {
    discoverArgs.saveAsGiven = saveAs->count() > 0;
    run = [&] {
      if (int rc = CheckFormatWord(g, discoverArgs.format, "discover")) return rc;
      if (int rc = CheckPassword(g, discoverArgs, "discover")) return rc;
      return RunDiscover(g, discoverArgs);
    };
  });

  std::string configFile, name;
  auto* save = app.add_subcommand("save", "save a discovered instance as a virtual app");
  synopsis[save] = "ebs-host save --config FILE --name NAME";
  save->add_option("--config", configFile, "what `discover --xml` or `apps show --xml` printed")
      ->required()
      ->type_name("FILE");
  save->add_option("--name", name, "name of the virtual app")->required()->type_name("NAME");
  save->callback([&] { run = [&] { return RunSave(g, configFile, name); }; });

  std::string appId;
  auto* del = app.add_subcommand("delete", "delete a virtual app");
  synopsis[del] = "ebs-host delete ID";
  del->add_option("id,--app-id", appId, "id of the virtual app")->required()->type_name("ID");
  del->callback([&] {
    run = [&] {
      int64_t id = 0;
      if (int rc = WholeNumber(g, appId, "ID", "delete", id)) return rc;
      return RunDelete(g, id);
    };
  });

  DiffArgs diffArgs;
  auto* diff = app.add_subcommand(
      "diff", "discover a saved app's instance again and show how it drifted (exit 4 if it did)");
  synopsis[diff] =
      "ebs-host diff ID (--db-password-file FILE | --db-password-env VAR)\n"
      "    [--sid SID] [--db-user USER] [--update]";
  std::string diffId;
  diff->add_option("id,--app-id", diffId, "id of the virtual app")->required()->type_name("ID");
  diff->add_option("--sid", diffArgs.discover.sid, "SID (default: the one it was discovered with)")
      ->type_name("SID");
  diff->add_option("--db-user", diffArgs.discover.user,
                   "database account (default: the one it was discovered with)")
      ->type_name("USER");
  AddPasswordOptions(diff, diffArgs.discover);
  diff->add_flag("--update", diffArgs.update,
                 "after showing the drift, save the fresh discovery over the app");
  diff->callback([&] {
    run = [&] {
      if (g.xml) return NoXml(g, "diff");
      if (int rc = WholeNumber(g, diffId, "ID", "diff", diffArgs.appId)) return rc;
      if (int rc = CheckPassword(g, diffArgs.discover, "diff")) return rc;
      return RunDiff(g, diffArgs);
    };
  });

  auto* clients = app.add_subcommand("clients", "clients of the managing server");
  synopsis[clients] = "ebs-host clients add|list|remove ...";
  clients->require_subcommand(1);
  std::string clientName;
  std::vector<std::string> hosts;
  std::string hive = "0";
  auto* clientsAdd = clients->add_subcommand("add", "register a client");
  synopsis[clientsAdd] =
      "ebs-host clients add --name NAME --host FQDN [--host FQDN ...] [--hive ID]";
  clientsAdd->add_option("--name", clientName, "client name")->required()->type_name("NAME");
  clientsAdd->add_option("--host", hosts, "fully qualified host name (repeatable)")
      ->required()
      ->type_name("FQDN");
  clientsAdd->add_option("--hive", hive, "managed-domain id (0..2147483647, default 0)")
      ->type_name("ID");
  clientsAdd->callback([&] {
    run = [&] {
      if (g.xml) return NoXml(g, "clients add");
      int64_t domain = 0;
      if (int rc = WholeNumber(g, hive, "--hive", "clients add", domain)) return rc;
      return RunClientsAdd(g, clientName, hosts, domain);
    };
  });
  auto* clientsList = clients->add_subcommand("list", "list clients and their registry values");
  synopsis[clientsList] = "ebs-host clients list";
  clientsList->callback(
      [&] { run = [&] { return g.xml ? NoXml(g, "clients list") : RunClientsList(g); }; });
  auto* clientsRemove = clients->add_subcommand("remove", "remove a client");
  synopsis[clientsRemove] = "ebs-host clients remove --name NAME";
  clientsRemove->add_option("--name", clientName, "client name")->required()->type_name("NAME");
  clientsRemove->callback([&] {
    run = [&] { return g.xml ? NoXml(g, "clients remove") : RunClientsRemove(g, clientName); };
  });

  auto* apps = app.add_subcommand("apps", "virtual apps of the managing server");
  synopsis[apps] = "ebs-host apps list|show ...";
  apps->require_subcommand(1);
  auto* appsList = apps->add_subcommand("list", "list virtual apps");
  synopsis[appsList] = "ebs-host apps list";
  appsList->callback([&] { run = [&] { return g.xml ? NoXml(g, "apps list") : RunAppsList(g); }; });
  std::string showId;
  auto* appsShow = apps->add_subcommand("show", "show one virtual app");
  synopsis[appsShow] = "ebs-host apps show ID [--format " + formats + "]";
  appsShow->add_option("id,--app-id", showId, "id of the virtual app")->required()->type_name("ID");
  std::string showFormat = "text";
  appsShow->add_option("--format", showFormat, formatHelp)->type_name(formats);
  appsShow->callback([&] {
    run = [&] {
      if (int rc = CheckFormatWord(g, showFormat, "apps show")) return rc;
      int64_t id = 0;
      if (int rc = WholeNumber(g, showId, "ID", "apps show", id)) return rc;
      return RunAppsShow(g, id, showFormat);
    };
  });

  // The command words, as defined above.
  const auto all = [](const CLI::App*) { return true; };
  std::map<std::string, std::vector<std::string>> commands;
  for (const CLI::App* command : std::as_const(app).get_subcommands(all)) {
    std::vector<std::string>& words = commands[command->get_name()];
    for (const CLI::App* sub : command->get_subcommands(all)) words.push_back(sub->get_name());
  }
  int status = kOk;
  std::vector<std::string> words;
  if (!CheckCommandWords(g, argc, argv, commands, words, status)) return status;
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
  const std::string help = "see ebs-host" + (parsed.empty() ? "" : " " + parsed) + " --help";
  if (helpAsked) {
    const std::string text = HelpText(*command, synopsis[command]);
    if (!g.json) return Emit(g, text);
    g.jsonKeys = JsonKeys("--help");
    return EmitJson(g, {{"help", text}}, kOk);
  }
  if (versionAsked) {
    const PluginChoice plugin = FindPlugin(PluginArg(argc, argv));
    if (!g.json) return Emit(g, VersionLine(plugin) + "\n");
    const std::string version = plugin.path.empty() ? "" : PluginVersion(plugin.path);
    g.jsonKeys = JsonKeys("--version");
    return EmitJson(g,
                    {{"version", EBS_VERSION},
                     {"plugin", plugin.path.empty() ? Json(nullptr) : Json(plugin.path)},
                     {"pluginVersion", version.empty() ? Json(nullptr) : Json(version)}},
                    kOk);
  }
  const std::vector<std::string> extras = app.remaining(true);
  if (!refusal.empty() || !extras.empty())
    return Fail(g, kUsage,
                UsageMessage(*command, synopsis[command].substr(0, synopsis[command].find('\n')),
                             extras, missing, refusal),
                {}, -1, help);
  g.plugin = FindPlugin(g.plugin).path;
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
  try {
    status = run ? run() : kUsage;
  } catch (const std::exception& e) {
    status = Fail(g, kUnavailable, e.what());
  }
  WaitIfInterrupted();
  return status;
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
