// ebs-host as a person or a script meets it: exit statuses, one JSON document per run, the
// store left alone by commands that only read, one store for the whole run (--store), its
// initialisation and copy, private output files, input checks, the causes printed under a failed
// answer, and the log: only a log is written, quiet by default, bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <thread>

#include "cli_host.h"
#include "support/plugin.h"

namespace {

namespace fs = std::filesystem;

// What `--json apps list` prints for an empty store.
constexpr const char* kNoApps = "{\n  \"apps\": [],\n  \"error\": null,\n  \"exitStatus\": 0\n}\n";

// A usage error says what is wrong and how to put it right: the nearest command or option to a
// mistyped one (within two edits, so a typo two edits away gets it and one three away does not),
// the value or argument that is missing, then the help to read on a line of its own.
TEST(HostCliOutput, UsageErrorsNameTheNearestCommand) {
  HostSandbox sandbox;
  const struct {
    const char* args;
    const char* message;  // the first line on standard error
    const char* help;     // the second; none: `message` is a part of standard error
  } cases[] = {
      {"discovr --sid X", "unknown command 'discovr' (did you mean 'discover'?)", "ebs-host"},
      {"dscovr --sid X", "unknown command 'dscovr' (did you mean 'discover'?)", "ebs-host"},
      {"dscvr --sid X", "unknown command 'dscvr'", "ebs-host"},  // three edits: too far
      // A command word that is a prefix of a command.
      {"app list", "unknown command 'app' (did you mean 'apps'?)", "ebs-host"},
      // Sub-commands are checked too, global options before them skipped.
      {"--plugin /x.so apps lst", "unknown command 'apps lst' (did you mean 'apps list'?)",
       "ebs-host"},
      {"clients rmove --name x", "unknown command 'clients rmove' (did you mean 'clients remove'?)",
       "ebs-host"},
      {"clients lsit", "unknown command 'clients lsit' (did you mean 'clients list'?)", "ebs-host"},
      {"clients rmv --name x", "unknown command 'clients rmv'", "ebs-host"},
      // Nothing near: no suggestion.
      {"zzzzzzzz", "unknown command 'zzzzzzzz'", "ebs-host"},
      // Options: the command's own and the global ones, typed before or after the command.
      {"--jsno apps list", "unknown option '--jsno' (did you mean '--json'?)",
       "ebs-host apps list"},
      {"apps list --jsno", "unknown option '--jsno' (did you mean '--json'?)",
       "ebs-host apps list"},
      {"--sjno apps list", "unknown option '--sjno'", "ebs-host apps list"},
      {"discover --sdi PROD", "unknown option '--sdi' (did you mean '--sid'?)",
       "ebs-host discover"},
      {"apps show 1 --fromat=dot", "unknown option '--fromat' (did you mean '--format'?)",
       "ebs-host apps show"},
      {"apps show 1 --frmta dot", "unknown option '--frmta'", "ebs-host apps show"},
      // Arguments and values.
      {"delete", "missing ID; usage: ebs-host delete ID", "ebs-host delete"},
      {"delete 1 2", "unexpected argument '2'", "ebs-host delete"},
      {"clients", "missing command: add|list|remove", "ebs-host clients"},
      {"discover --db-user u --db-password-env P", "missing --sid SID", "ebs-host discover"},
      {"discover --sid X --db-user u", "missing --db-password-file FILE or --db-password-env VAR",
       "ebs-host discover"},
      {"apps show 1 --format pdf", "--format: 'pdf' is none of text, dot, svg",
       "ebs-host apps show"},
      {"clients add --name a --host a.com --hive x", "--hive: 'x' is not a whole number",
       "ebs-host clients add"},
      {"apps show --app-id", "--app-id needs a value", "ebs-host apps show"},
      {"apps show first", "ID: 'first' is not a whole number", "ebs-host apps show"},
      {"delete 99999999999999999999", "ID: '99999999999999999999' is out of range",
       "ebs-host delete"},
      {"--xml clients list", "`clients list` has no XML form", nullptr},
      {"--xml apps list", "`apps list` has no XML form", nullptr},
      {"save --config /dev/null --name ''", "a virtual app needs a name", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    HostRun r = Host(c.args);
    EXPECT_EQ(r.status, 2);
    if (c.help)
      EXPECT_EQ(r.err, "ebs-host: " + std::string(c.message) + "\n  see " + c.help + " --help\n");
    else
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  HostRun version = Host("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("ebs-host ", 0), 0u) << version.out;
  EXPECT_FALSE(fs::exists(sandbox.storePath()));
}

// The global options are taken after the command and between its words as well as before it.
TEST(HostCliOutput, GlobalOptionsGoAnywhere) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string out = dir.file("out.txt");
  const struct {
    std::string args;
    int status;
    const char* says;  // part of standard output, or of the --output file
  } cases[] = {
      {"apps list --json", 0, "\"apps\": []"},
      {"apps --json list", 0, "\"apps\": []"},
      {"clients list -o " + out, 0, "No clients."},
      {"clients list --output=" + out, 0, "No clients."},
      {"apps list --plugin /nonexistent.so --show-secrets", 0, "No virtual apps."},
      {"apps list --version", 0, "ebs-host "},
      {"apps list --help", 0, "Usage: ebs-host apps list"},
      {"delete 5 --json --log " + out, 1, "\"appId\": 5"},  // the log in another file
      {"apps show 1 --xml", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    ::unlink(out.c_str());
    HostRun r = Host(c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    const bool toFile =
        c.args.find(" -o ") != std::string::npos || c.args.find("--output=") != std::string::npos;
    EXPECT_NE((toFile ? ReadFile(out) : r.out).find(c.says), std::string::npos) << r.out << r.err;
  }
  EXPECT_EQ(sandbox.log().find("[Delete]"), std::string::npos);  // it went to --log
}

// The exit status of every kind of outcome, as it is and under --json: 0 ok; 1 the answer
// carries an error code or the request was refused; 2 usage; 3 the plug-in or the store cannot
// be used. Under --json the output is one JSON document; a failure's has an error object whose
// code is the answer's error code, else the exit status. A store that is not a store fails
// every command, naming it, and nothing is done in its stead (discover does not even call the
// plug-in).
TEST(HostCliOutput, ExitStatusesAndTheirJsonDocument) {
  HostSandbox sandbox;
  TempDir dir;
  WriteFile(dir.file("notastore"), "plain text\n");
  WriteFile(dir.file("config.xml"), Discovered("", "app01"));
  WriteFile(dir.file("peoplesoft.xml"), Envelope(2, "<m g=\"22\" n=\"505\"/>"));
  WriteFile(dir.file("typeless.xml"), Envelope(1, "<m g=\"22\" n=\"505\"/>"));
  WriteFile(dir.file("nothing.xml"), Envelope(1, "<m g=\"22\" n=\"505\"><i x=\"1\">9</i></m>"));
  const std::string badStore = "EBS_HOST_STORE=" + dir.file("notastore") + " PW=x";
  const std::string notAStore = dir.file("notastore");
  struct Case {
    std::string what;
    std::string args, env;
    int status;
    int64_t code;      // of the error object; unused for status 0
    std::string says;  // part of the failure's message
  };
  std::vector<Case> cases = {
      {"an answer with error code 0", "request " + dir.file("nothing.xml"), "", 0, 0, ""},
      {"a refused request", "request " + dir.file("peoplesoft.xml"), "", 1, -1, ""},
      {"an answer with error code 520", "request " + dir.file("typeless.xml"), "", 1, 520, ""},
      {"the server refuses the delete", "delete --app-id 77", "", 1, 520, ""},
      {"an unknown app", "apps show 77", "", 1, 1, "77"},
      {"an unknown client", "clients remove --name nobody", "", 1, 1, "nobody"},
      {"an unknown command", "discovr", "", 2, 2, "discover"},
      {"a missing argument", "delete", "", 2, 2, "ID"},
      {"a bad host name", "clients add --name a --host a_b", "", 2, 2, "a_b"},
      {"--xml where there is no XML form (and with --json)", "--xml apps list", "", 2, 2, ""},
      {"a password on the command line is not an option",
       "discover --sid X --db-user u --db-password secret", "", 2, 2, ""},
      {"no plug-in", "--plugin /nonexistent.so delete --app-id 1", "", 3, 3, "/nonexistent.so"},
      {"a plug-in named by the environment", "delete --app-id 1", "EBS_HOST_PLUGIN=/nonexistent.so",
       3, 3, "/nonexistent.so"},
      {"a store that is a directory", "clients list", "EBS_HOST_STORE=" + dir.path(), 3, 3,
       dir.path()},
  };
  // Every command fails on it.
  for (const std::string& args : std::vector<std::string>{
           "clients list", "clients add --name a --host a.example.com", "clients remove --name a",
           "apps list", "apps show 1", "delete --app-id 1",
           "save --name X --config " + dir.file("config.xml"),
           "discover --sid PROD --db-user apps --db-password-env PW"})
    cases.push_back({"not a store: " + args, args, badStore, 3, 3, notAStore});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HostRun r = Host(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (c.status != 0) {
      EXPECT_FALSE(r.err.empty());
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    HostRun json = Host("--json " + c.args, c.env);
    EXPECT_EQ(json.status, c.status) << json.out << json.err;
    const nlohmann::json doc = OneDocument(json.out);
    ASSERT_TRUE(doc.is_object()) << json.out;
    if (c.status == 0) {
      EXPECT_TRUE(doc["error"].is_null()) << json.out;
      continue;
    }
    ASSERT_TRUE(doc.contains("error")) << json.out;
    if (c.code >= 0) {
      EXPECT_EQ(doc["error"]["code"], c.code) << json.out;
    }
    ASSERT_TRUE(doc["error"]["message"].is_string());
    EXPECT_NE(doc["error"]["message"].get<std::string>().find(c.says), std::string::npos)
        << json.out;
    EXPECT_TRUE(doc["error"]["causes"].is_array());
  }
  EXPECT_EQ(ReadFile(notAStore), "plain text\n");
  EXPECT_EQ(sandbox.log().find("Discover"), std::string::npos) << sandbox.log();
}

TEST(HostCliOutput, ReadOnlyCommandsNeverCreateTheStore) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string store = dir.file("a/b/store.db");
  const std::string env = "EBS_HOST_STORE=" + store;
  const struct {
    const char* args;
    int status;
    const char* out;
  } cases[] = {
      {"clients list", 0, "No clients.\n"}, {"apps list", 0, "No virtual apps.\n"},
      {"--json apps list", 0, kNoApps},     {"apps show 1", 1, ""},
      {"clients remove --name x", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    HostRun r = Host(c.args, env);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_FALSE(fs::exists(dir.file("a")));
  }
  // A command that writes does create it.
  EXPECT_EQ(Host("clients add --name c --host c.example.com", env).status, 0);
  EXPECT_TRUE(fs::exists(store));
}

// `sqlite3 PATH` with `input` on its standard input: its output.
std::string Sqlite(const std::string& path, const std::string& input) {
  std::string out, err;
  EXPECT_EQ(NqProcess::run("printf '%s\n' " + ShellWord(input) + " | sqlite3 " + ShellWord(path),
                           &out, &err, 30000),
            0)
      << err;
  return out;
}

// --store names the store of the whole run: ebs-host's own opens and the plug-in's (a save sets
// the nodes' registry values, and ebs-host reads them back), over EBS_HOST_STORE.
TEST(HostCliStore, TheStoreOptionIsTheStoreOfTheWholeRun) {
  HostSandbox sandbox;  // EBS_HOST_STORE: its store.db
  TempDir dir;
  const std::string store = "--store " + dir.file("other.db") + " ";
  WriteFile(dir.file("found.xml"), Discovered("dbclient", "app01"));
  ASSERT_EQ(Host(store + "clients add --name dbclient --host db01.example.com").status, 0);
  HostRun save = Host(store + "save --name P --config " + dir.file("found.xml"));
  EXPECT_EQ(save.status, 0) << save.err;
  EXPECT_NE(save.out.find("client dbclient: Huxwire/nCollectClientConfig = 1"), std::string::npos)
      << save.out;
  EXPECT_NE(Host("apps list", "EBS_HOST_STORE=" + dir.file("other.db")).out.find("P "),
            std::string::npos);
  EXPECT_FALSE(fs::exists(sandbox.storePath()));
  HostRun empty = Host("--store '' apps list");
  EXPECT_EQ(empty.status, 2);
  EXPECT_NE(empty.err.find("--store: give an SQLite file or a postgresql:// URI"),
            std::string::npos)
      << empty.err;
}

// store init creates a store or migrates an older one in place; store copy copies everything
// (ids, savers, metadata, drift checks, registry values) into an initialised, empty store, and
// refuses anything else; apps list shows the saver and the last diff, and filters by saver.
TEST(HostCliStore, InitMigratesAndCopyKeepsEverything) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string v3 = dir.file("v3.db"), copy = dir.file("copy.db"), other = dir.file("o.db");
  const auto in = [](const std::string& store) { return "--store " + store + " "; };
  Sqlite(v3, ReadFile(EBS_SOURCE_DIR "/tests/testdata/store-v3.sql"));
  for (const std::string& store : {v3, copy, other}) {
    HostRun init = Host(in(store) + "store init");
    EXPECT_EQ(init.out, "store " + store + " is ready (schema version 4)\n") << init.err;
    EXPECT_EQ(Sqlite(store, "PRAGMA user_version;"), "4\n");
  }
  const nlohmann::json init = OneDocument(Host("--json " + in(copy) + "store init").out);
  EXPECT_EQ(init["backend"], "sqlite");
  EXPECT_EQ(init["schemaVersion"], 4);
  EXPECT_EQ(Host(in(dir.path()) + "store init").status, 3);  // a directory

  // A saver (this account) and a drift check besides the fixture's metadata and registry.
  const passwd* account = ::getpwuid(::geteuid());
  ASSERT_TRUE(account);
  const std::string me = account->pw_name;
  WriteFile(dir.file("found.xml"), Discovered("ebsdb01", "app01"));
  ASSERT_EQ(Host(in(v3) + "save --name P --config " + dir.file("found.xml")).status, 0);
  Sqlite(v3, "INSERT INTO app_drift VALUES (1, '2026-12-07T05:00:00Z', 1, 1, 0, 2, 7);");

  HostRun copied = Host(in(v3) + "store copy --to " + copy);
  EXPECT_EQ(copied.out, "Copied 2 clients, 3 virtual apps and 2 registry values from " + v3 +
                            " to " + copy + "\n")
      << copied.err;
  for (const char* read : {"apps list", "clients list", "apps show 1", "apps show 4"})
    EXPECT_EQ(Host("--json " + in(copy) + read).out, Host("--json " + in(v3) + read).out) << read;
  const nlohmann::json listed = OneDocument(Host("--json " + in(copy) + "apps list").out);
  EXPECT_EQ(listed["apps"][0]["lastDiff"],
            (nlohmann::json{{"checkedAt", "2026-12-07T05:00:00Z"}, {"drift", true},
                            {"changed", 1}, {"added", 0}, {"removed", 2}, {"changes", 7}}));
  EXPECT_EQ(listed["apps"][1]["savedBy"], nullptr);
  EXPECT_EQ(listed["apps"][2]["savedBy"], me);
  EXPECT_EQ(Host(in(copy) + "apps list").out,
            "ID  NAME  TYPE  SAVED                 SAVED BY  LAST DIFF\n"
            "1   VIS   64    2026-12-06T16:41:42Z  -         2026-12-07T05:00Z drift (1 changed, "
            "0 added, 2 removed)\n"
            "2   TEST  64    2026-12-06T16:41:43Z  -         -\n"
            "4   P     64    " +
                listed["apps"][2]["updatedAt"].get<std::string>() + "  " + me +
                std::string(std::max<size_t>(me.size(), 8) - me.size() + 2, ' ') + "-\n");

  // --saved-by: every app that saver, and the list filtered by it.
  EXPECT_EQ(Host(in(v3) + "store copy --saved-by host_a --to " + other).status, 0);
  EXPECT_EQ(OneDocument(Host("--json " + in(other) + "apps list --saved-by host_a").out)["apps"]
                .size(),
            3u);
  EXPECT_EQ(Host(in(other) + "apps list --saved-by " + me).out,
            "No virtual apps saved by " + me + ".\n");
  EXPECT_EQ(OneDocument(Host("--json " + in(copy) + "apps list --saved-by " + me).out)["apps"]
                .size(),
            1u);

  ::symlink(v3.c_str(), dir.file("link.db").c_str());
  const struct {
    std::string args;
    int status;
    std::string err;  // the first line
  } refusals[] = {
      {in(v3) + "store copy --to " + copy, 1,
       "refusing to copy into " + copy + ": it holds 2 clients and 3 virtual apps"},
      {in(v3) + "store copy --to " + v3, 2, "--to: " + v3 + " is the store being copied"},
      {in(v3) + "store copy --to " + dir.file("link.db"), 2, "is the store being copied"},
      {in(v3) + "store copy --to " + dir.file("none.db"), 3, "there is no store at"},
      {in(dir.file("none.db")) + "store copy --to " + copy, 1, "nothing to copy"},
      {"store copy --to " + copy + " --saved-by ''", 2, "--saved-by: give the role"},
      {"apps list --saved-by ''", 2, "--saved-by: give the role"},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.args);
    HostRun r = Host(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir.file("none.db")));
}

// clients add takes host names only, a host once in any case; list shows them, remove once.
TEST(HostCliOutput, ClientsAreCheckedListedAndRemoved) {
  HostSandbox sandbox;
  const std::string label63(63, 'a');
  const struct {
    std::string args;
    int status;
  } cases[] = {
      {"--name '' --host a.example.com", 2},
      {"--name a --host a_b.example.com", 2},       // underscore
      {"--name a --host -a.example.com", 2},        // label starts with '-'
      {"--name a --host a-.example.com", 2},        // label ends with '-'
      {"--name a --host a..example.com", 2},        // empty label
      {"--name a --host a.example.com.", 2},        // trailing dot
      {"--name a --host " + label63 + "a.com", 2},  // label of 64
      {"--name a --host 'a b.com'", 2},
      {"--name a --host a.com --hive -1", 2},
      {"--name a --host a.com --hive 2147483648", 2},
      {"--name a --host a.com --hive 99999999999999999999", 2},
      // The largest accepted values.
      {"--name a --host " + label63 + ".example.com --hive 2147483647", 0},
      {"--name b --host 1-b.example.com --host B2 --host b2-vip.example.com", 0},
      {"--name dup --host b2", 1},  // a host of another client, in other case
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    HostRun r = Host("clients add " + c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
  }
  HostRun list = Host("--json clients list");
  const nlohmann::json doc = OneDocument(list.out);
  ASSERT_TRUE(doc["clients"].is_array()) << list.out;
  EXPECT_EQ(doc["clients"].size(), 2u);
  EXPECT_NE(list.out.find("\"name\": \"b\""), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("b2-vip.example.com"), std::string::npos);
  EXPECT_EQ(Host("clients remove --name b").status, 0);
  EXPECT_EQ(Host("clients remove --name b").status, 1);
}

TEST(HostCliOutput, OutputFilesArePrivateAndNeverFollowLinks) {
  HostSandbox sandbox;
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string out = dir.file("out.json");
  const mode_t old = ::umask(0);
  HostRun r = Host("--json apps list --output " + out);
  ::umask(old);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::status(out).permissions(), fs::perms(0600));
  EXPECT_EQ(ReadFile(out), kNoApps);
  // A failure under --json goes there too; the file does not keep the previous run's output.
  HostRun failed = Host("--json apps show 42 -o " + out);
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
  const nlohmann::json doc = OneDocument(ReadFile(out));
  ASSERT_TRUE(doc.contains("error")) << ReadFile(out);
  EXPECT_EQ(doc["exitStatus"], 1);

  // An existing file of ours that others could read is closed to them and replaced.
  WriteFile(dir.file("old"), "old content that is longer\n");
  ::chmod(dir.file("old").c_str(), 0644);
  ASSERT_EQ(Host("--json apps list -o " + dir.file("old")).status, 0);
  EXPECT_EQ(fs::status(dir.file("old")).permissions(), fs::perms(0600));
  EXPECT_EQ(ReadFile(dir.file("old")), kNoApps);

  WriteFile(dir.file("victim"), "precious\n");
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  // A second name of our own file: writing to it would change the file under its first name.
  ASSERT_EQ(::link(dir.file("victim").c_str(), dir.file("second").c_str()), 0);
  std::vector<std::string> refusedNames = {"link", "fifo", "second"};
  WriteFile(dir.file("theirs"), "theirs\n");
  if (::geteuid() == 0) {  // only root can give a file to another account
    ASSERT_EQ(::chown(dir.file("theirs").c_str(), 65534, 65534), 0);
    refusedNames.push_back("theirs");
  }
  // The same for the page of `report --html`.
  for (const std::string& name : refusedNames)
    for (const char* command : {"apps list --output ", "report --html "}) {
      SCOPED_TRACE(command + name);
      HostRun refused = Host(command + dir.file(name));
      EXPECT_EQ(refused.status, 3);
      EXPECT_NE(refused.err.find(dir.file(name)), std::string::npos) << refused.err;
    }
  EXPECT_EQ(ReadFile(dir.file("victim")), "precious\n");
  EXPECT_EQ(ReadFile(dir.file("theirs")), "theirs\n");
  // When the file is refused under --json, the failure goes to standard output, one document.
  HostRun refused = Host("--json apps list -o " + dir.file("fifo"));
  EXPECT_EQ(refused.status, 3);
  const nlohmann::json why = OneDocument(refused.out);
  ASSERT_TRUE(why.contains("error")) << refused.out;
  EXPECT_NE(why["error"]["message"].get<std::string>().find(dir.file("fifo")), std::string::npos);
}

// A signal ends ebs-host while its standard output is blocked (a reader that does not read):
// the main thread waits in write(2), and nothing may stand between the signal and the end.
TEST(HostCliOutput, SignalEndsAHostBlockedOnItsOutput) {
  HostSandbox sandbox;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    while (::write(out[1], block.data(), block.size()) > 0) {
    }
    while (::write(out[1], block.data(), 1) > 0) {
    }
    ::fcntl(out[1], F_SETFL, 0);  // full, and blocking for the host
    const pid_t host = ::fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::execl(EBS_HOST_TOOL, "ebs-host", "--json", "apps", "list", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    // Blocked in write(2) on its standard output (syscall 1, first argument 1).
    const std::string syscall = "/proc/" + std::to_string(host) + "/syscall";
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ReadFile(syscall).rfind("1 0x1 ", 0) != 0 && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadFile(syscall).rfind("1 0x1 ", 0), 0u) << ReadFile(syscall);
    ::kill(host, signal);
    int status = 0;
    const bool ended = ReapWithin(host, status, 5);
    ::close(out[0]);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
  }
}

// The log: quiet by default (a file under the state directory, nothing on standard error),
// -v shows the call's lines, --log names another file; commands that call no plug-in make none.
TEST(HostCliOutput, LogIsQuietByDefaultAndShownWithVerbose) {
  HostSandbox sandbox;
  TempDir state;
  const std::string env = "env -u EBS_HOST_LOG XDG_STATE_HOME=" + state.path();
  const std::string log = state.file("ebs-host/ebs-host.log");
  EXPECT_EQ(Host("apps list", env).status, 0);
  EXPECT_FALSE(fs::exists(state.file("ebs-host")));

  HostRun quiet = Host("delete --app-id 5", env);
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.err.find("DEBUG"), std::string::npos) << quiet.err;
  EXPECT_EQ(fs::status(log).permissions(), fs::perms(0600));
  EXPECT_NE(ReadFile(log).find("[Delete]"), std::string::npos);

  HostRun verbose = Host("-v delete --app-id 5", env);
  EXPECT_NE(verbose.err.find(" DEBUG "), std::string::npos) << verbose.err;
  EXPECT_NE(verbose.err.find("[Delete]"), std::string::npos);

  const std::string other = state.file("other.log");
  EXPECT_EQ(Host("--log " + other + " delete --app-id 5", env).status, 1);
  EXPECT_NE(ReadFile(other).find("[Delete]"), std::string::npos);
  // A link planted at the log's place is refused, not written through.
  WriteFile(state.file("victim"), "");
  ASSERT_EQ(::symlink(state.file("victim").c_str(), state.file("linked.log").c_str()), 0);
  EXPECT_EQ(Host("--log " + state.file("linked.log") + " delete --app-id 5", env).status, 3);
  // So is a second name of a file (the plug-in would refuse it too, and the causes would go).
  ASSERT_EQ(::link(state.file("victim").c_str(), state.file("second.log").c_str()), 0);
  HostRun second = Host("--log " + state.file("second.log") + " delete --app-id 5", env);
  EXPECT_EQ(second.status, 3);
  EXPECT_NE(second.err.find("has 2 hard links"), std::string::npos) << second.err;
  EXPECT_EQ(ReadFile(state.file("victim")), "");
}

// The log and the store share one state directory, found by the same rules: without an absolute
// XDG_STATE_HOME, both are under $HOME/.local/state/ebs-host.
TEST(HostCliOutput, LogAndStoreShareTheStateDirectory) {
  HostSandbox sandbox;
  TempDir home;
  for (const char* state : {"", "relative/state"}) {
    SCOPED_TRACE(state);
    fs::remove_all(home.file(".local"));
    const std::string env = std::string("env -u EBS_HOST_LOG -u EBS_HOST_STORE HOME=") +
                            home.path() + " XDG_STATE_HOME=" + state;
    EXPECT_EQ(Host("clients add --name c --host c.example.com", env).status, 0);
    EXPECT_EQ(Host("delete --app-id 5", env).status, 1);
    EXPECT_TRUE(fs::is_regular_file(home.file(".local/state/ebs-host/store.db")));
    EXPECT_NE(ReadFile(home.file(".local/state/ebs-host/ebs-host.log")).find("[Delete]"),
              std::string::npos);
  }
}

// The ERROR lines that the plug-in logs during a failed call are printed under the error, once
// each; lines of other processes and of earlier calls are not. The failure: a store in a place
// where it cannot be made, so the server fails to save.
TEST(HostCliOutput, CausesFollowAFailedAnswer) {
  HostSandbox sandbox;
  TempDir dir;
  WriteFile(dir.file("config.xml"), Discovered("dbclient", "app01"));
  WriteFile(sandbox.logPath(),
            "2026-01-01T00:00:00.000000Z ERROR 1 [Other] a line of another process\n");
  const std::string env = "EBS_HOST_STORE=/proc/nonexistent/store.db";
  HostRun r = Host("save --name P --config " + dir.file("config.xml"), env);
  EXPECT_EQ(r.status, 1);
  const size_t error = r.err.find("ebs-host: error 520: Virtual app save request failed\n");
  ASSERT_NE(error, std::string::npos) << r.err;
  const std::string expected =
      "\n  cause: The managing server refused the request: managing server store failed: cannot "
      "open store /proc/nonexistent/store.db";
  EXPECT_NE(r.err.find(expected, error), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("another process"), std::string::npos);
  const std::string cause = "  cause: The managing server refused";
  EXPECT_EQ(r.err.find(cause), r.err.rfind(cause)) << r.err;

  const nlohmann::json doc =
      OneDocument(Host("--json save --name P --config " + dir.file("config.xml"), env).out);
  ASSERT_TRUE(doc.is_object());
  ASSERT_TRUE(doc["error"]["causes"].is_array()) << doc.dump();
  size_t directory = 0;
  for (const auto& text : doc["error"]["causes"])
    directory += text.get<std::string>().rfind("The managing server refused", 0) == 0;
  EXPECT_EQ(directory, 1u) << doc.dump();
}

// What save refuses and warns about, and what it takes: the output of discover --xml and of
// apps show --xml alike.
TEST(HostCliOutput, SaveGuardsAndRoundTrip) {
  HostSandbox sandbox;
  TempDir dir;
  ASSERT_EQ(Host("clients add --name dbclient --host db01.example.com").status, 0);

  // A failed discovery's output: no node at all.
  Hux::OraEBSReqResp failed;
  View(failed).set(Hux::OraEBSReqResp::messageType, 2);
  View(failed)
      .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
      .set(Hux::OraEBSConfig::appsVersion, "");
  WriteFile(dir.file("failed.xml"), failed.serialized());
  HostRun refused = Host("save --name F --config " + dir.file("failed.xml"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("no database node and no application node"), std::string::npos)
      << refused.err;

  WriteFile(dir.file("found.xml"), Discovered("dbclient", "app01"));
  HostRun save = Host("--json save --name P --config " + dir.file("found.xml"));
  ASSERT_EQ(save.status, 0) << save.out << save.err;
  const nlohmann::json doc = OneDocument(save.out);
  ASSERT_TRUE(doc.is_object()) << save.out;
  const int64_t id = doc["appId"];
  EXPECT_GT(id, 0);
  ASSERT_EQ(doc["missingClients"].size(), 1u) << save.out;
  EXPECT_EQ(doc["missingClients"][0]["host"], "app01");
  HostRun human = Host("save --name P --config " + dir.file("found.xml"));
  EXPECT_NE(human.err.find("warning: node app01 has no client"), std::string::npos) << human.err;
  EXPECT_NE(human.err.find("ebs-host clients add --name app01 --host 'app01.<domain>'"),
            std::string::npos)
      << human.err;

  // apps show --xml, saved again: the same configuration under another name; no password.
  HostRun shown = Host("--xml apps show " + std::to_string(id));
  ASSERT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out.find("login-secret"), std::string::npos);
  WriteFile(dir.file("shown.xml"), shown.out);
  ASSERT_EQ(Host("save --name Q --config " + dir.file("shown.xml")).status, 0);
  HostRun list = Host("apps list");
  EXPECT_NE(list.out.find("Q "), std::string::npos) << list.out;
  EXPECT_EQ(list.out.rfind("ID  NAME  TYPE  SAVED", 0), 0u) << list.out;

  // Services are shown once per node.
  HostRun show = Host("apps show " + std::to_string(id));
  EXPECT_NE(show.out.find("services     batch, web entry\n"), std::string::npos) << show.out;
}

// --log and EBS_HOST_LOG naming a file that is not a log (a system file, by mistake): refused,
// untouched. An empty file, or a log already, is appended to.
TEST(HostLogFile, OnlyALogIsAppendedTo) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string request = UnknownTypeRequest(dir);
  const std::string passwd = "root:x:0:0:root:/root:/bin/bash\n";
  const std::string file = dir.file("file");
  for (const std::string& how : {"--log " + file + " request " + request, "request " + request}) {
    SCOPED_TRACE(how);
    WriteFile(file, passwd);
    ::chmod(file.c_str(), 0600);
    HostRun r = Host(how, "EBS_HOST_LOG=" + file);
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find(file + " is not a log of this program"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), passwd);
    WriteFile(file, "");
    EXPECT_EQ(Host(how, "EBS_HOST_LOG=" + file).status, 1);
    EXPECT_EQ(Host(how, "EBS_HOST_LOG=" + file).status, 1) << "a log of ours is used again";
    EXPECT_EQ(Count(ReadFile(file), "Unknown Enterprise Application type ["), 2u);
  }
}

// The log by default: every line, message texts cut at 1 KiB; -v (or EBS_HOST_LOG_LEVEL) debug,
// whole. It is renamed to FILE.1 when full, replacing the older one without following a link.
TEST(HostLogFile, TheLogIsQuietAndBounded) {
  HostSandbox sandbox;
  TempDir dir;
  const std::string request = UnknownTypeRequest(dir, 4000);
  const std::string env = "env -u EBS_HOST_LOG_LEVEL";
  EXPECT_EQ(Host("request " + request, env).status, 1);
  EXPECT_GE(Count(sandbox.log(), " bytes cut]"), 1u) << sandbox.log();
  const size_t quiet = sandbox.log().size();
  EXPECT_LT(quiet, 3000u);
  EXPECT_EQ(Host("-v request " + request, env).status, 1);
  EXPECT_GT(sandbox.log().size() - quiet, 4000u) << "debug keeps the message texts whole";

  const std::string older = sandbox.logPath() + ".1", victim = dir.file("victim");
  WriteFile(victim, "");
  ASSERT_EQ(::symlink(victim.c_str(), older.c_str()), 0);
  const std::string bounded = env + " EBS_HOST_LOG_MAX_SIZE=3000";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Host("request " + request, bounded).status, 1);
  struct stat st {};
  ASSERT_EQ(::lstat(older.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link is replaced, not followed";
  EXPECT_EQ(ReadFile(victim), "");
  EXPECT_LE(sandbox.log().size(), 3000u);
  EXPECT_NE(sandbox.log().find("Unknown Enterprise Application type"), std::string::npos);
}

}  // namespace
