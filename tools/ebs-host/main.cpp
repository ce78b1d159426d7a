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
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <utility>

#include "commands.h"
#include "host_names.h"
#include "interrupt.h"
#include "picture.h"
#include "platform/file_io.h"
#include "plugin_locator.h"

namespace {

// Global options that take a value: the word after them is not a command.
bool TakesValue(const std::string& arg) {
  return arg == "--plugin" || arg == "--log" || arg == "--output" || arg == "-o";
}

// Checks the command words before CLI11 sees them, so that a typo gets a suggestion: the first
// word that is not an option must be a command, and the word after "clients" or "apps" one of
// theirs.
bool CheckCommandWords(const Global& g, int argc, char** argv,
                       const std::map<std::string, std::vector<std::string>>& commands,
                       int& status) {
  std::vector<std::string> words;
  for (int i = 1; i < argc && words.size() < 2; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.rfind('-', 0) == 0) {
      if (TakesValue(arg)) ++i;
      continue;
    }
    words.push_back(arg);
    const auto it = commands.find(words[0]);
    if (it == commands.end() || it->second.empty()) break;
  }
  if (words.empty()) return true;
  std::vector<std::string> names;
  for (const auto& [name, sub] : commands) names.push_back(name);
  const auto unknown = [&](const std::string& what, const std::vector<std::string>& known) {
    const std::string near = NearestWord(what, known);
    status =
        Fail(g, kUsage,
             "unknown command '" + what + "'" +
                 (near.empty() ? "" : " (did you mean '" + near + "'?)") + "; see ebs-host --help");
    return false;
  };
  const auto it = commands.find(words[0]);
  if (it == commands.end()) return unknown(words[0], names);
  if (words.size() > 1 && !it->second.empty() &&
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

bool HasArg(int argc, char** argv, const char* flag) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    if (std::strcmp(argv[i], flag) == 0) return true;
  return false;
}

// The database password options of `discover` and `diff`: one of them is required.
void AddPasswordOptions(CLI::App* command, DiscoverArgs& args) {
  auto* file = command->add_option("--db-password-file", args.passwordFile,
                                   "file whose first line is the password");
  file->excludes(command->add_option("--db-password-env", args.passwordEnv,
                                     "environment variable holding the password (removed from "
                                     "the environment once read)"));
}

void RequirePassword(const DiscoverArgs& args) {
  if (args.passwordFile.empty() && args.passwordEnv.empty())
    throw CLI::RequiredError("--db-password-file or --db-password-env");
}

// Refuses --xml for a command that has no XML form.
int NoXml(const Global& g, const char* command) {
  return Fail(g, kUsage, std::string("--xml: `") + command + "` has no XML form (use --json)");
}

}  // namespace

static int Main(int argc, char** argv) {
  Global g;
  // Known before parsing, so that a usage error is a JSON document too.
  g.json = HasArg(argc, argv, "--json");

  CLI::App app{
      "ebs-host: loads the EBS enterprise-applications plug-in and calls it as the "
      "platform does; manages the managing-server stand-in's store."};
  app.fallthrough();
  app.require_subcommand(1);
  app.set_version_flag(
      "--version", [argc, argv] { return VersionLine(FindPlugin(PluginArg(argc, argv))); },
      "print the versions of ebs-host and of the plug-in it would load");
  app.add_option("--plugin", g.plugin,
                 "the plug-in library (default: $EBS_HOST_PLUGIN, else the installed one, "
                 "else the build tree's)");
  auto* jsonFlag = app.add_flag("--json", g.json, "output for programs: one JSON document");
  app.add_flag("--xml", g.xml, "output the raw inner message text")->excludes(jsonFlag);
  app.add_flag("-v,--verbose", g.verbose, "show the plug-in's log lines on standard error");
  app.add_option("--log", g.logFile,
                 "log file (default: $EBS_HOST_LOG, else "
                 "$XDG_STATE_HOME/ebs-host/ebs-host.log or ~/.local/state/ebs-host/ebs-host.log)");
  app.add_option("-o,--output", g.outputFile,
                 "write the output to FILE (created mode 0600, never through a link)");
  app.add_flag("--show-secrets", g.showSecrets, "print passwords instead of hiding them");

  std::function<int()> run;

  std::string requestFile = "-";
  auto* request = app.add_subcommand("request", "send a raw request envelope, print the answer");
  request->add_option("file", requestFile, "request text file, or - for standard input");
  request->callback([&] { run = [&] { return RunRequest(g, requestFile); }; });

  DiscoverArgs discoverArgs;
  auto* discover = app.add_subcommand("discover", "discover the EBS instance of a SID");
  discover->add_option("--sid", discoverArgs.sid, "SID of the database")->required();
  discover->add_option("--db-user", discoverArgs.user, "database account")->required();
  AddPasswordOptions(discover, discoverArgs);
  auto* saveAs =
      discover->add_option("--save", discoverArgs.saveAs,
                           "save what was found as the virtual app NAME, in the same run");
  const char* formatHelp =
      "text (the summary, default), dot (a Graphviz graph of the topology) or svg (that graph "
      "drawn by Graphviz's dot); not with --json or --xml";
  discover->add_option("--format", discoverArgs.format, formatHelp)->check(CLI::IsMember(kFormats));
  discover->callback([&] {
    RequirePassword(discoverArgs);
    discoverArgs.saveAsGiven = saveAs->count() > 0;
    run = [&] { return RunDiscover(g, discoverArgs); };
  });

  std::string configFile, name;
  auto* save = app.add_subcommand("save", "save a discovered instance as a virtual app");
  save->add_option("--config", configFile, "what `discover --xml` or `apps show --xml` printed")
      ->required();
  save->add_option("--name", name, "name of the virtual app")->required();
  save->callback([&] { run = [&] { return RunSave(g, configFile, name); }; });

  int64_t appId = 0;
  auto* del = app.add_subcommand("delete", "delete a virtual app");
  del->add_option("--app-id", appId, "id of the virtual app")->required();
  del->callback([&] { run = [&] { return RunDelete(g, appId); }; });

  DiffArgs diffArgs;
  auto* diff = app.add_subcommand(
      "diff", "discover a saved app's instance again and show how it drifted (exit 4 if it did)");
  diff->add_option("app-id", diffArgs.appId, "id of the virtual app")->required();
  diff->add_option("--sid", diffArgs.discover.sid, "SID (default: the one it was discovered with)");
  diff->add_option("--db-user", diffArgs.discover.user,
                   "database account (default: the one it was discovered with)");
  AddPasswordOptions(diff, diffArgs.discover);
  diff->add_flag("--update", diffArgs.update,
                 "after showing the drift, save the fresh discovery over the app");
  diff->callback([&] {
    RequirePassword(diffArgs.discover);
    run = [&] { return g.xml ? NoXml(g, "diff") : RunDiff(g, diffArgs); };
  });

  auto* clients = app.add_subcommand("clients", "clients of the managing server");
  clients->require_subcommand(1);
  std::string clientName;
  std::vector<std::string> hosts;
  int64_t hive = 0;
  auto* clientsAdd = clients->add_subcommand("add", "register a client");
  clientsAdd->add_option("--name", clientName, "client name")->required();
  clientsAdd->add_option("--host", hosts, "fully qualified host name (repeatable)")->required();
  clientsAdd->add_option("--hive", hive, "managed-domain id (0..2147483647)");
  clientsAdd->callback([&] {
    run = [&] {
      return g.xml ? NoXml(g, "clients add") : RunClientsAdd(g, clientName, hosts, hive);
    };
  });
  clients->add_subcommand("list", "list clients and their registry values")->callback([&] {
    run = [&] { return g.xml ? NoXml(g, "clients list") : RunClientsList(g); };
  });
  auto* clientsRemove = clients->add_subcommand("remove", "remove a client");
  clientsRemove->add_option("--name", clientName, "client name")->required();
  clientsRemove->callback([&] {
    run = [&] { return g.xml ? NoXml(g, "clients remove") : RunClientsRemove(g, clientName); };
  });

  auto* apps = app.add_subcommand("apps", "virtual apps of the managing server");
  apps->require_subcommand(1);
  apps->add_subcommand("list", "list virtual apps")->callback([&] {
    run = [&] { return g.xml ? NoXml(g, "apps list") : RunAppsList(g); };
  });
  int64_t showId = 0;
  auto* appsShow = apps->add_subcommand("show", "show one virtual app");
  appsShow->add_option("id", showId, "id of the virtual app")->required();
  std::string showFormat = "text";
  appsShow->add_option("--format", showFormat, formatHelp)->check(CLI::IsMember(kFormats));
  appsShow->callback([&] { run = [&] { return RunAppsShow(g, showId, showFormat); }; });

  // The command words, as defined above.
  const auto all = [](const CLI::App*) { return true; };
  std::map<std::string, std::vector<std::string>> commands;
  for (const CLI::App* command : std::as_const(app).get_subcommands(all)) {
    std::vector<std::string>& words = commands[command->get_name()];
    for (const CLI::App* sub : command->get_subcommands(all)) words.push_back(sub->get_name());
  }
  int status = kOk;
  if (!CheckCommandWords(g, argc, argv, commands, status)) return status;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    // The help to read is that of the command given, as far as it was recognised.
    std::string help = "ebs-host";
    for (const CLI::App* at = &app; !at->get_subcommands().empty();) {
      at = at->get_subcommands().front();
      help += " " + at->get_name();
    }
    return Fail(g, kUsage, e.what(), {"see " + help + " --help"});
  }
  g.plugin = FindPlugin(g.plugin).path;

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
    std::cerr << "ebs-host: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "ebs-host: unexpected failure\n";
  }
  return kUnavailable;
}
