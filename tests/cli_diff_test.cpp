// ebs-host diff against the simulated instance PROD (tests/fake-oracle): a saved app compared
// with a fresh discovery after the instance changed as it does between backups (a cutover, hosts
// added and retired, services stopped, clients registered), in both output forms; --update
// making the saved app current; the SID and user taken from what the save recorded; each result
// recorded with the app. With the instance at hand, also the --json document of every command,
// as it succeeds and as it fails.
#include <gtest/gtest.h>

#include <functional>

#include "cli_host.h"
#include "ebs_version.h"
#include "support/fake_oracle.h"

namespace {

constexpr const char* kPassword = "Diff-Pa55-9z";
constexpr const char* kContexts = "fnd_oam_context_files";

class HostDiff : public ::testing::Test {
 public:
  void SetUp() override {
    std::string why;
    if (!FakeOracle::Usable(&why)) GTEST_SKIP() << why;
  }

  // A fresh sandbox and instance, run edition FS1, saved as PROD-EBS (id 1) by discover --save
  // with clients for ebsdb01 and ebsapp01 only.
  void SaveInstance() {
    // The old sandbox first: it puts back the environment it found.
    oracle.reset();
    sandbox.reset();
    sandbox = std::make_unique<DiscoverySandbox>();
    oracle = std::make_unique<FakeOracle>("dbhome_diff",
                                          EBS_SOURCE_DIR "/tests/fake-oracle/sandbox/load.sql");
    oracle->Set("db_password", kPassword);
    sandbox->SetOratab("PROD:" + oracle->home() + ":N\n");
    Cutover("fs1");
    ASSERT_EQ(Host("clients add --name ebsdb01 --host ebsdb01.example.com").status, 0);
    ASSERT_EQ(Host("clients add --name ebsapp01 --host ebsapp01.example.com").status, 0);
    HostRun saved = Host(
        "discover --sid PROD --db-user apps --db-password-env EBS_TEST_PW --save PROD-EBS", Env());
    ASSERT_EQ(saved.status, 0) << saved.err;
    ASSERT_NE(saved.out.find("(id 1)"), std::string::npos) << saved.out;
  }

  // A run of the fake installation's cutover to `edition`; a change of its context files.
  void Cutover(const std::string& edition) {
    Run(ShellWord(EBS_SOURCE_DIR "/tests/fake-oracle/cutover.sh") + " " +
        ShellWord(oracle->home()) + " " + edition);
  }
  // A context file for application host `host` (NODE_NAME ebsapp03), a copy of ebsapp02's in
  // XML `version`.
  void AddHost(const std::string& host, const std::string& version = "1.0") {
    Sql(std::string("INSERT INTO ") + kContexts + " (NAME, PATH, TEXT, NODE_NAME, CTX_TYPE) " +
        "SELECT 'PROD_ebsapp03', PATH, replace(replace(TEXT, '''1.0''', '''" + version +
        "'''), 'ebsapp02', '" + host + "'), 'ebsapp03', 'A' FROM " + kContexts +
        " WHERE NODE_NAME = 'ebsapp02'");
  }
  void Sql(const std::string& sql) {
    Run("sqlite3 " + ShellWord(oracle->home() + "/fake/context.db") + " " + ShellWord(sql));
  }
  static void Run(const std::string& command) {
    std::string out, err;
    ASSERT_EQ(NqProcess::run(command, &out, &err, 30000), 0) << command << ": " << err;
  }

  static std::string Env() { return std::string("EBS_TEST_PW=") + kPassword; }
  static HostRun Diff(const std::string& options = "", const std::string& args = "") {
    return Host(options + " diff 1 --db-password-env EBS_TEST_PW" + args, Env());
  }

  std::unique_ptr<DiscoverySandbox> sandbox;
  std::unique_ptr<FakeOracle> oracle;
};

// Whether the document's changes hold one with every member of `expected`.
bool HasChange(const nlohmann::json& doc, const nlohmann::json& expected) {
  if (!doc.contains("changes")) return false;
  for (const auto& change : doc["changes"]) {
    bool all = true;
    for (const auto& [key, value] : expected.items())
      all = all && change.contains(key) && change[key] == value;
    if (all) return true;
  }
  return false;
}

TEST_F(HostDiff, EachKindOfDriftIsReportedInBothForms) {
  using nlohmann::json;
  const struct {
    const char* what;
    std::function<void(HostDiff&)> change;
    int status;
    std::string text;  // in the output for people
    json expected;     // a change of the --json document; null: none at all
  } cases[] = {
      {"unchanged", [](HostDiff&) {}, 0,
       "no drift: the live instance matches virtual app PROD-EBS (id 1)\n", nullptr},
      {"a cutover to fs2", [](HostDiff& t) { t.Cutover("fs2"); }, 4,
       "  runEdition: FS1 -> FS2\n\nfile systems swapped: run edition now FS2\n",
       json{{"host", "ebsapp02"}, {"field", "runEdition"}, {"old", "FS1"}, {"new", "FS2"}}},
      {"a new application host", [](HostDiff& t) { t.AddHost("ebsapp03"); }, 4,
       "application node ebsapp03: added\n",
       json{{"scope", "appNode"}, {"host", "ebsapp03"}, {"change", "added"}}},
      {"a retired application host",
       [](HostDiff& t) {
         t.Sql(std::string("DELETE FROM ") + kContexts + " WHERE NODE_NAME = 'ebsapp02'");
       },
       4, "application node ebsapp02: removed\n",
       json{{"scope", "appNode"}, {"host", "ebsapp02"}, {"change", "removed"}}},
      {"batch stopped on one host",
       [](HostDiff& t) {
         t.Sql(std::string("UPDATE ") + kContexts +
               " SET TEXT = replace(TEXT, 's_batch_status\">enabled', 's_batch_status\">disabled') "
               "WHERE NODE_NAME = 'ebsapp02'");
       },
       4,
       "application node ebsapp02: changed\n  services: web applications, batch -> web "
       "applications\n",
       json{{"host", "ebsapp02"}, {"field", "services"}, {"new", "web applications"}}},
      {"a client registered since the save",
       [](HostDiff&) {
         ASSERT_EQ(Host("clients add --name ebsapp02 --host ebsapp02.example.com").status, 0);
       },
       4, "  client: none -> ebsapp02 (id 3)\n",
       json{
           {"host", "ebsapp02"}, {"field", "client"}, {"old", "none"}, {"new", "ebsapp02 (id 3)"}}},
      // A host named, through XML 1.1's character references, to hide text, forge a line and
      // reorder what follows: shown escaped, kept as it is for programs.
      {"a host whose name acts upon a terminal",
       [](HostDiff& t) { t.AddHost("ebsapp03&#x1B;[8m&#xD;drift: none&#x9B;&#x202E;", "1.1"); }, 4,
       "application node ebsapp03\\e[8m\\rdrift: none\\u009b\\u202e: added\n",
       json{{"scope", "appNode"},
            {"host", "ebsapp03\033[8m\rdrift: none\u009b\u202e"},
            {"change", "added"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SaveInstance();
    if (HasFatalFailure()) return;
    c.change(*this);
    // The SID and user come from what the save recorded.
    HostRun text = Diff();
    EXPECT_EQ(text.status, c.status) << text.out << text.err;
    EXPECT_NE(text.out.find(c.text), std::string::npos) << text.out;
    HostRun doc = Diff("--json");
    EXPECT_EQ(doc.status, c.status) << doc.err;
    const json j = OneDocument(doc.out);
    ASSERT_TRUE(j.is_object()) << doc.out;
    EXPECT_EQ(j["drift"], c.status != 0);
    EXPECT_EQ(j["sid"], "PROD");
    // Said in words only for a cutover.
    const bool swapped = c.text.find("swapped") != std::string::npos;
    EXPECT_EQ(j["runEditionNow"], swapped ? json("FS2") : json(nullptr)) << j.dump(1);
    if (c.expected.is_null())
      EXPECT_TRUE(j["changes"].empty()) << j.dump(1);
    else
      EXPECT_TRUE(HasChange(j, c.expected)) << j.dump(1);
    for (const HostRun* r : {&text, &doc}) {
      EXPECT_EQ((r->out + r->err).find(kPassword), std::string::npos);
      // Nothing that a terminal acts upon: ESC, CR, the C1 CSI, an override.
      for (const char* raw : {"\033", "\r", "\xc2\x9b", "\xe2\x80\xae"})
        EXPECT_EQ((r->out + r->err).find(raw), std::string::npos) << r->out << r->err;
    }
  }
}

// --update saves the fresh discovery over the app, after the drift, in one document for
// programs; the next diff finds none, and the app's metadata says when it was discovered.
TEST_F(HostDiff, UpdateMakesTheNextDiffClean) {
  SaveInstance();
  if (HasFatalFailure()) return;
  Cutover("fs2");
  ASSERT_EQ(Host("clients add --name ebsapp02 --host ebsapp02.example.com").status, 0);
  HostRun update = Diff("--json", " --update");
  EXPECT_EQ(update.status, 4) << update.err;
  const nlohmann::json j = OneDocument(update.out);
  ASSERT_TRUE(j.is_object()) << update.out;
  EXPECT_EQ(j["diff"]["runEditionNow"], "FS2");
  EXPECT_EQ(j["save"]["appId"], 1);
  EXPECT_EQ(j["save"]["result"], 0);

  HostRun again = Diff();
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_NE(again.out.find("no drift"), std::string::npos) << again.out;
  HostRun show = Host("--json apps show 1");
  const nlohmann::json app = OneDocument(show.out);
  ASSERT_TRUE(app.is_object()) << show.out;
  EXPECT_EQ(app["discovery"]["sid"], "PROD");
  EXPECT_EQ(app["discovery"]["dbUser"], "apps");
  EXPECT_EQ(app["discovery"]["pluginVersion"], EBS_VERSION);
  EXPECT_EQ(show.out.find(kPassword), std::string::npos);

  // Nothing to update: nothing is saved.
  HostRun clean = Diff("", " --update");
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_EQ(clean.out.find("Saved virtual app"), std::string::npos) << clean.out;
}

// Each diff's result is recorded with its app, as its verdict counts it; after --update, the
// drift found before it. A store that refuses the record leaves the result and its exit status
// as they were, with a note (text) or "recorded": false and the reason (--json).
TEST_F(HostDiff, EachResultIsRecordedWithTheApp) {
  SaveInstance();
  if (HasFatalFailure()) return;
  const auto lastDiff = [] {
    return OneDocument(Host("--json apps list").out)["apps"][0]["lastDiff"];
  };
  EXPECT_EQ(lastDiff(), nullptr);
  Cutover("fs2");
  HostRun text = Diff();
  EXPECT_EQ(text.status, 4) << text.err;
  nlohmann::json last = lastDiff();
  ASSERT_TRUE(last.is_object());
  EXPECT_EQ(last["drift"], true);
  const std::string counted = std::to_string(last["changed"].get<int>()) + " changed, " +
                              std::to_string(last["added"].get<int>()) + " added, " +
                              std::to_string(last["removed"].get<int>()) + " removed (" +
                              std::to_string(last["changes"].get<int>()) + " changes)";
  EXPECT_NE(text.out.find("drift found: " + counted), std::string::npos) << text.out;
  EXPECT_NE(Host("apps list").out.find(" drift (" + counted.substr(0, counted.find(" ("))),
            std::string::npos);

  HostRun update = Diff("--json", " --update");
  EXPECT_EQ(update.status, 4) << update.err;
  EXPECT_EQ(OneDocument(update.out)["diff"]["recorded"], true) << update.out;
  EXPECT_EQ(lastDiff()["drift"], true);
  HostRun clean = Diff("--json");
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(OneDocument(clean.out)["recorded"], true);
  last = lastDiff();
  EXPECT_EQ(last["drift"], false);
  EXPECT_EQ(last["changes"], 0);

  Run("sqlite3 " + ShellWord(sandbox->storePath()) +
      " \"CREATE TRIGGER refuse BEFORE INSERT ON app_drift "
      "BEGIN SELECT RAISE(ABORT, 'checks are kept elsewhere'); END;\"");
  HostRun noted = Diff();
  EXPECT_EQ(noted.status, 0);
  EXPECT_NE(noted.out.find("no drift"), std::string::npos) << noted.out;
  EXPECT_NE(noted.err.find("note: the result of this diff was not recorded in the store: "),
            std::string::npos)
      << noted.err;
  const nlohmann::json refused = OneDocument(Diff("--json").out);
  EXPECT_EQ(refused["drift"], false);
  EXPECT_EQ(refused["recorded"], false);
  EXPECT_NE(refused["recordError"].get<std::string>().find("checks are kept elsewhere"),
            std::string::npos)
      << refused;
}

// What diff cannot do, and how it says so: no such app (refused), an app saved from a file
// without the SID and user to discover it with (a usage error naming the options), a
// discovery that fails (as discover reports it).
TEST_F(HostDiff, RefusalsAndFailuresHaveTheirExitStatus) {
  SaveInstance();
  if (HasFatalFailure()) return;
  TempDir dir;
  WriteFile(dir.file("prod.xml"), Host("--xml apps show 1").out);
  ASSERT_EQ(Host("save --config " + dir.file("prod.xml") + " --name FROM-FILE").status, 0);
  const struct {
    const char* what;
    std::string args;
    std::function<void(HostDiff&)> before;
    int status;
    std::string err;
  } cases[] = {
      {"an unknown app", "diff 9 --db-password-env EBS_TEST_PW", nullptr, 1,
       "no virtual app with id 9"},
      {"saved from a file: no SID", "diff 2 --db-password-env EBS_TEST_PW", nullptr, 2,
       "give --sid SID"},
      {"saved from a file: no user", "diff 2 --sid PROD --db-password-env EBS_TEST_PW", nullptr, 2,
       "give --db-user USER"},
      {"a wrong password", "diff 1 --db-password-env EBS_TEST_PW",
       [](HostDiff& t) { t.oracle->Set("db_password", "another"); }, 1, "error 520"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.before) c.before(*this);
    HostRun r = Host(c.args, Env());
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  // Given both, an app saved from a file is compared like any other.
  oracle->Set("db_password", kPassword);
  HostRun given = Host("diff 2 --sid PROD --db-user apps --db-password-env EBS_TEST_PW", Env());
  EXPECT_EQ(given.status, 0) << given.out << given.err;
}

// Under --json every command prints exactly one document, whatever the outcome: the command's
// keys in their order, null where there is no value, then "error" (null exactly when the exit
// status is 0) and "exitStatus". The forms that nest two documents (discover --save, diff
// --update) have the keys of their parts in them.
TEST_F(HostDiff, EveryCommandPrintsOneDocumentOfItsKeys) {
  SaveInstance();
  if (HasFatalFailure()) return;
  using Keys = std::vector<std::string>;
  const Keys answer = {"result", "errorCode", "errorMessage", "answer"};
  const auto with = [](Keys keys, const Keys& more) {
    keys.insert(keys.end(), more.begin(), more.end());
    return keys;
  };
  const Keys discover = with(answer, {"missingClients"});
  const Keys save = with(answer, {"appId", "name", "missingClients"});
  const Keys diff = {"drift", "changes", "runEditionNow", "appId", "name",
                     "sid",   "savedAt", "recorded",      "recordError"};
  const Keys appsShow = {"id",        "name",      "type",    "updatedAt",
                         "discovery", "ebsConfig", "savedBy", "lastDiff"};
  const Keys storeCopy = {"from", "to", "clients", "apps", "registryValues", "savedBy"};
  const Keys client = {"id", "name", "hiveId", "hosts", "registry"};
  const Keys report = {"file",          "backend",           "apps",    "savers",
                       "appsWithDrift", "nodesWithoutClient", "pictures"};
  TempDir dir;
  WriteFile(dir.file("nothing.xml"), Envelope(1, "<m g=\"22\" n=\"505\"><i x=\"1\">9</i></m>"));
  WriteFile(dir.file("peoplesoft.xml"), Envelope(2, "<m g=\"22\" n=\"505\"/>"));
  WriteFile(dir.file("prod.xml"), Host("--xml apps show 1").out);
  WriteFile(dir.file("nodeless.xml"), "<m g=\"22\" n=\"504\"><s x=\"1\">12.2</s></m>");
  WriteFile(dir.file("notastore"), "plain text\n");
  const std::string badStore = "EBS_HOST_STORE=" + dir.file("notastore");
  const std::string password = " --db-password-env EBS_TEST_PW";
  const std::string found = "discover --sid PROD --db-user apps" + password;
  const std::string missing = "discover --sid PRDO --db-user apps" + password;
  const struct {
    std::string args, env;
    int status;
    Keys keys;
    Keys first = {}, second = {};  // the keys of the two nested documents; empty: null
  } cases[] = {
      {"request " + dir.file("nothing.xml"), "", 0, answer},
      {"request " + dir.file("peoplesoft.xml"), "", 1, answer},  // refused
      {"request a b", "", 2, answer},                            // an argument too many
      {found, "", 0, discover},
      {missing, "", 1, discover},  // no such SID in the oratab
      {"discover --sid PROD", "", 2, discover},
      {found + " --save COPY", "", 0, {"discover", "save"}, discover, save},
      {missing + " --save COPY", "", 1, {"discover", "save"}, discover},
      {"save --name FROM-FILE --config " + dir.file("prod.xml"), "", 0, save},
      {"save --name NONE --config " + dir.file("nodeless.xml"), "", 1, save},
      {"delete 3", "", 0, with(answer, {"appId"})},  // FROM-FILE
      {"delete --app-id 77", "", 1, with(answer, {"appId"})},
      {"diff 1" + password, "", 0, diff},
      {"diff 9" + password, "", 1, diff},
      {"diff 1 --update" + password, "", 0, {"diff", "save"}, diff},
      {"diff 9 --update" + password, "", 1, {"diff", "save"}},
      {"clients add --name c9 --host c9.example.com", "", 0, client},
      {"clients add --name c9 --host c9.example.com", "", 1, client},  // a second time
      {"clients list", "", 0, {"clients"}},
      {"clients list", badStore, 3, {"clients"}},
      {"clients remove --name c9", "", 0, {"removed"}},
      {"clients remove --name c9", "", 1, {"removed"}},
      {"apps list", "", 0, {"apps"}},
      {"apps list", badStore, 3, {"apps"}},
      {"apps show 1", "", 0, appsShow},
      {"apps show 77", "", 1, appsShow},
      {"apps show --format pdf 1", "", 2, appsShow},
      {"store init", "", 0, {"store", "backend", "schemaVersion", "done"}},
      {"store init", badStore, 3, {"store", "backend", "schemaVersion", "done"}},
      {"store copy --to " + dir.file("copy.db"), "", 3, storeCopy},  // not initialised
      {"--store " + dir.file("copy.db") + " store init", "", 0,
       {"store", "backend", "schemaVersion", "done"}},
      {"store copy --to " + dir.file("copy.db"), "", 0, storeCopy},
      {"store copy --to " + dir.file("copy.db"), "", 1, storeCopy},  // not empty any more
      {"report --html " + dir.file("fleet.html"), "", 0, report},
      {"report --html -", "", 2, report},  // the page and the document both on stdout
      {"report --html " + dir.file("fleet.html"), badStore, 3, report},
      {"report --html " + dir.file("no/such/dir.html"), "", 3, report},
      {"--help", "", 0, {"help"}},
      {"apps show --help", "", 0, {"help"}},
      {"--version", "", 0, {"version", "plugin", "pluginVersion"}},
      {"dscvr", "", 2, {}},  // no command: the document of the usage error alone
  };
  bool after = false;
  for (const auto& c : cases) {
    // --json before the command in one case, after it in the next.
    after = !after;
    const std::string args = after ? c.args + " --json" : "--json " + c.args;
    SCOPED_TRACE(args);
    HostRun r = Host(args, c.env + " " + Env());
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    // In the order printed.
    const auto doc = nlohmann::ordered_json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << r.out;
    const auto keysOf = [](const nlohmann::ordered_json& j) {
      Keys keys;
      for (const auto& [key, value] : j.items()) keys.push_back(key);
      return keys;
    };
    EXPECT_EQ(keysOf(doc), with(c.keys, {"error", "exitStatus"})) << r.out;
    EXPECT_EQ(doc["exitStatus"], r.status);
    EXPECT_EQ(doc["error"].is_null(), r.status == 0) << r.out;
    if (!doc["error"].is_null()) {
      EXPECT_TRUE(doc["error"]["code"].is_number()) << r.out;
      EXPECT_TRUE(doc["error"]["message"].is_string()) << r.out;
      EXPECT_TRUE(doc["error"]["causes"].is_array()) << r.out;
    }
    if (c.keys.size() == 2 && c.keys[1] == "save") {
      // A part without keys is null.
      for (const auto& [key, expected] :
           {std::pair(c.keys[0], c.first), std::pair(c.keys[1], c.second)})
        EXPECT_TRUE(expected.empty() ? doc[key].is_null() : keysOf(doc[key]) == expected)
            << key << ": " << r.out;
    }
  }
}

}  // namespace
