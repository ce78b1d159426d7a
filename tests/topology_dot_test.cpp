// The picture of a topology: the structure of the Graphviz graph (clusters, one box per node, a
// row per file edition, the client or its absence, edges to the database), the escaping of
// hostile instance values, that Graphviz's dot draws it, how dot is found and how its failures
// are reported, and --format as `ebs-host` takes it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "cli_host.h"
#include "support/fake_oracle.h"
#include "support/plugin.h"
#include "svg_render.h"
#include "topology_dot.h"

namespace {

struct AppNodeSpec {
  std::string host, client;                                   // no client when empty
  std::vector<std::pair<std::string, std::string>> editions;  // edition, context file path
};

// A configuration with one database node (client "dbclient") and the given application nodes.
Hux::OraEBSConfig Config(const std::vector<AppNodeSpec>& nodes, const std::string& dbHost = "db01",
                         bool withDbNode = true) {
  Hux::OraEBSConfig config;
  auto cfg = View(config);
  cfg.set(Hux::OraEBSConfig::appsVersion, "12.2.10");
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  db.set(Hux::OraEBSDBTier::dbName, "PROD");
  if (withDbNode) {
    auto n = db.list(Hux::OraEBSDBTier::dbNodes, Create::Yes).append();
    n.set(Hux::OraEBSDBNode::hostName, dbHost);
    n.set(Hux::OraEBSDBNode::oracleHome, "/u01/oracle/19.0.0");
    n.list(Hux::OraEBSDBNode::dataDirectories, Create::Yes) = {"/u02/oradata/PROD",
                                                               "/u03/oradata/PROD"};
    n.child(Hux::OraEBSDBNode::client, Create::Yes)
        .set(NqEntities::ClientEntity::clientName, "dbclient");
  }
  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes);
  for (const AppNodeSpec& spec : nodes) {
    auto n = tier.list(Hux::OraEBSAppTier::appNodes, Create::Yes).append();
    n.set(Hux::OraEBSAppNode::hostName, spec.host);
    n.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes) = {Hux::Batch, Hux::WebEntry, Hux::Batch};
    if (!spec.client.empty())
      n.child(Hux::OraEBSAppNode::client, Create::Yes)
          .set(NqEntities::ClientEntity::clientName, spec.client);
    for (const auto& [edition, path] : spec.editions) {
      auto x = n.list(Hux::OraEBSAppNode::contexts, Create::Yes).append();
      x.set(Hux::OraEBSContext::fileEditionName, edition);
      x.set(Hux::OraEBSContext::contextFilePath, path);
    }
  }
  return config;
}

// The statement line of node `name` ("" when there is none).
std::string NodeLine(const std::string& dot, const std::string& name) {
  for (const std::string& line : Split(dot))
    if (line.find("    " + name + " [") == 0) return line;
  return "";
}

// The text between "subgraph <cluster> {" and the closing line of that cluster.
std::string Cluster(const std::string& dot, const std::string& cluster) {
  const size_t start = dot.find("subgraph " + cluster + " {\n");
  if (start == std::string::npos) return "";
  return dot.substr(start, dot.find("\n  }\n", start) - start);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool HaveDot() { return !FindDot("/usr/bin:/bin", nullptr).empty(); }

// What Graphviz's dot says of `dot` besides the SVG: "" when it draws it without a warning (a bad
// attribute, an unknown HTML element, text that is not UTF-8 all make it speak).
std::string DrawnSilently(const std::string& dot, std::string& svg) {
  NqCommand command;
  command.argv = {FindDot("/usr/bin:/bin", nullptr), "-Tsvg"};
  command.env = {"PATH=/usr/bin:/bin"};
  command.input = dot;
  command.timeoutMillis = 30000;
  std::string err;
  const int rc = NqProcess::Execute(command, &svg, &err);
  // Fontconfig may complain of a missing cache directory: not dot's word on the graph.
  err = std::regex_replace(err, std::regex("Fontconfig[^\n]*\n"), "");
  return rc == 0 ? err : "exit status " + std::to_string(rc) + ": " + err;
}

TEST(TopologyDot, ClustersNodesEditionsClientsAndEdges) {
  auto config = Config({{"app01",
                         "appclient",
                         {{"run", "/u01/fs1/inst/apps/PROD_app01.xml"},
                          {"patch", "/u01/fs2/inst/apps/PROD_app01.xml"}}},
                        {"app02", "", {{"run", "/u01/fs1/inst/apps/PROD_app02.xml"}}}});
  const std::string dot = TopologyDot(View(config));
  SCOPED_TRACE(dot);
  ASSERT_EQ(dot.rfind("digraph ebs {\n", 0), 0u);
  const std::string db = Cluster(dot, "cluster_db"), apps = Cluster(dot, "cluster_apps");
  // Each node in the cluster of its tier, and only there.
  EXPECT_NE(db.find("    db0 ["), std::string::npos);
  EXPECT_EQ(db.find("app0"), std::string::npos);
  EXPECT_NE(apps.find("    app0 ["), std::string::npos);
  EXPECT_NE(apps.find("    app1 ["), std::string::npos);
  // The database node: Oracle home and each data directory.
  const std::string db0 = NodeLine(dot, "db0");
  for (const char* path : {"/u01/oracle/19.0.0", "/u02/oradata/PROD", "/u03/oradata/PROD"})
    EXPECT_NE(db0.find(path), std::string::npos) << path;
  // One row per file edition, each with its own paths; services once each.
  const std::string app0 = NodeLine(dot, "app0");
  EXPECT_EQ(Count(app0, "<B>run</B>"), 1u);
  EXPECT_EQ(Count(app0, "<B>patch</B>"), 1u);
  EXPECT_LT(app0.find("/u01/fs1/"), app0.find("<B>patch</B>"));
  EXPECT_GT(app0.find("/u01/fs2/"), app0.find("<B>patch</B>"));
  EXPECT_EQ(Count(app0, "batch, web entry"), 1u);
  // The client, or the mark of its absence, in the node's own box.
  EXPECT_NE(app0.find("appclient"), std::string::npos);
  EXPECT_EQ(app0.find(kNoClientMark), std::string::npos);
  EXPECT_NE(NodeLine(dot, "app1").find(std::string("<B>") + kNoClientMark + "</B>"),
            std::string::npos);
  EXPECT_EQ(db0.find(kNoClientMark), std::string::npos);
  // One edge from every application node to the database tier.
  EXPECT_EQ(Count(dot, " -> "), 2u);
  EXPECT_NE(dot.find("  app0 -> db0 [lhead=cluster_db];\n"), std::string::npos);
  EXPECT_NE(dot.find("  app1 -> db0 [lhead=cluster_db];\n"), std::string::npos);

  // No node at all: each tier says so, and nothing points anywhere.
  auto none = Config({}, "", false);
  const std::string empty = TopologyDot(View(none));
  EXPECT_NE(NodeLine(empty, "db_none").find("no database node"), std::string::npos) << empty;
  EXPECT_NE(NodeLine(empty, "app_none").find("no application node"), std::string::npos) << empty;
  EXPECT_EQ(Count(empty, " -> "), 0u) << empty;
}

TEST(TopologyDot, EscapesEveryValueForItsLabel) {
  const struct {
    const char* value;
    const char* text;
  } cases[] = {
      // Markup and the end of the label.
      {"<B>x</B>", "&lt;B&gt;x&lt;/B&gt;"},
      {">]; evil [", "&gt;]; evil ["},
      {"a&b \"q\" 'a'", "a&amp;b &quot;q&quot; &#39;a&#39;"},
      // An entity of its own is shown as written, not taken as one.
      {"&lt;", "&amp;lt;"},
      // Control characters (XML allows none of them, even as references) and DEL.
      {"a\nb\r\tc\x7f", "a&#65533;b&#65533;&#65533;c&#65533;"},
      // UTF-8: characters as references, so the graph is ASCII.
      {"M\xc3\xbcller", "M&#252;ller"},
      {"\xe2\x82\xac \xf0\x9f\x98\x80", "&#8364; &#128512;"},
      // Bytes that are not UTF-8: a stray byte, an overlong '/', a surrogate, a cut sequence.
      {"\xff", "&#65533;"},
      {"\xc0\xaf", "&#65533;&#65533;"},
      {"\xed\xa0\x80", "&#65533;&#65533;&#65533;"},
      {"x\xe2\x82", "x&#65533;&#65533;"},
      // A C1 control and a non-character.
      {"\xc2\x85\xef\xbf\xbe", "&#65533;&#65533;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(DotHtmlText(c.value), c.text);
  }
  // A NUL inside a value.
  EXPECT_EQ(DotHtmlText(std::string("a\0b", 3)), "a&#65533;b");
}

// Hostile values in every place a value goes: the graph keeps its statements, and dot draws
// exactly the nodes and edges of a plain configuration, with the values as text.
TEST(TopologyDot, HostileValuesAddNoStatement) {
  const std::string hostile = "x\"]; evil [label=\"y\"]; }\n>]; a -> b; <<TABLE>\\\xff\xc3\xa9";
  auto config = Config({{hostile, hostile, {{hostile, hostile}}}, {"app02", "", {}}}, hostile);
  auto cfg = View(config);
  cfg.set(Hux::OraEBSConfig::appsVersion, hostile);
  cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes).set(Hux::OraEBSDBTier::dbSid, hostile);
  cfg.child(Hux::OraEBSConfig::virtualApp, Create::Yes)
      .set(NqEntities::AppEntity::appName, hostile);
  const std::string dot = TopologyDot(cfg);
  auto plainConfig = Config({{"app01", "c", {{"run", "/p"}}}, {"app02", "", {}}});
  const std::string plain = TopologyDot(View(plainConfig));
  SCOPED_TRACE(dot);
  EXPECT_EQ(Split(dot).size(), Split(plain).size());
  EXPECT_EQ(Count(dot, " -> "), 2u);
  for (const std::string& line : Split(dot)) {
    if (line.find("label=<") == std::string::npos) continue;
    // Inside a label no raw quote, brace or angle bracket of the value survives: every '<' opens
    // a tag of ours.
    EXPECT_EQ(line.find("<<TABLE>"), std::string::npos);
    EXPECT_EQ(line.find("evil [label=\""), std::string::npos);
  }
  for (char c : dot) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);

  if (!HaveDot()) GTEST_SKIP() << "Graphviz is not installed (" << kInstallGraphviz << ")";
  std::string svg;
  EXPECT_EQ(DrawnSilently(dot, svg), "");
  EXPECT_EQ(Count(svg, "class=\"node\""), 3u);  // db0, app0, app1
  EXPECT_EQ(Count(svg, "class=\"edge\""), 2u);
  EXPECT_EQ(Count(svg, "class=\"cluster\""), 2u);
  EXPECT_NE(svg.find("evil [label="), std::string::npos);  // as text, quotes drawn as entities
}

TEST(TopologyDot, GraphvizDrawsItWithoutAWord) {
  if (!HaveDot()) GTEST_SKIP() << "Graphviz is not installed (" << kInstallGraphviz << ")";
  auto twoNodes = Config({{"app01", "appclient", {{"run", "/u01/fs1/a.xml"}}},
                          {"app02", "", {{"run", "/u01/fs1/b.xml"}}}});
  auto none = Config({}, "", false);
  const struct {
    const char* name;
    Hux::OraEBSConfig* config;
    size_t nodes, edges;
  } cases[] = {
      {"two application nodes and a database node", &twoNodes, 3, 2},
      {"the placeholders of empty tiers", &none, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string svg;
    EXPECT_EQ(DrawnSilently(TopologyDot(View(*c.config)), svg), "");
    EXPECT_EQ(Count(svg, "class=\"node\""), c.nodes);
    EXPECT_EQ(Count(svg, "class=\"edge\""), c.edges);
  }
}

// A `dot` for the tests: a shell script in `dir` (made mode 0755).
void FakeDot(const TempDir& dir, const std::string& body) {
  WriteFile(dir.file("dot"), "#!/bin/sh\n" + body + "\n");
  ::chmod(dir.file("dot").c_str(), 0755);
  ::chmod(dir.path().c_str(), 0755);
}

TEST(SvgRender, FindsOnlyADotNoOtherAccountCanChange) {
  TempDir open, plain, notExecutable, linked;
  FakeDot(open, "exit 0");
  ::chmod(open.path().c_str(), 0777);  // anyone may put a `dot` there
  FakeDot(plain, "exit 0");
  FakeDot(notExecutable, "exit 0");
  ::chmod(notExecutable.file("dot").c_str(), 0644);
  ::chmod(linked.path().c_str(), 0755);
  ASSERT_EQ(::symlink(plain.file("dot").c_str(), linked.file("dot").c_str()), 0);
  const struct {
    std::string searchPath;
    std::string found;  // "" when none
    const char* why;    // part of what is said of the one refused, if any
  } cases[] = {
      {plain.path(), plain.file("dot"), ""},
      // A directory writable by all is passed over for a later one.
      {open.path() + ":" + plain.path(), plain.file("dot"), "may be changed by another account"},
      {open.path(), "", "may be changed by another account"},
      // Relative entries (the working directory) and files that cannot run are skipped.
      {".:relative:" + notExecutable.path(), "", ""},
      // A link runs under its own name (Debian's dot acts on the name it is called by).
      {linked.path(), linked.file("dot"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.searchPath);
    std::string why;
    EXPECT_EQ(FindDot(c.searchPath, &why), c.found);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

TEST(SvgRender, DotFailuresAreReportedNotShownAsPictures) {
  const struct {
    const char* name;
    std::string script;
    long timeoutMillis;
    SvgResult result;
    const char* error;  // part of the error
  } cases[] = {
      {"renders", "cat >/dev/null; echo '<svg/>'", 5000, SvgResult::kRendered, ""},
      {"refuses the graph", "echo 'syntax error in line 3' >&2; exit 1", 5000, SvgResult::kFailed,
       "failed (exit status 1): syntax error in line 3"},
      {"hangs", "exec sleep 30", 300, SvgResult::kFailed, "timed out"},
      // More than can be kept: a cut SVG is never printed.
      {"floods", "head -c 5000000 /dev/zero", 20000, SvgResult::kFailed, "larger than 4 MiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FakeDot(dir, c.script);
    ScopedEnv path("PATH", dir.path());
    std::string svg, error;
    EXPECT_EQ(RenderSvg("digraph { a }", svg, error, c.timeoutMillis), c.result);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (c.result != SvgResult::kRendered) {
      EXPECT_EQ(svg, "");
    }
  }
  TempDir empty;
  ScopedEnv path("PATH", empty.path());
  std::string svg, error;
  EXPECT_EQ(RenderSvg("digraph { a }", svg, error), SvgResult::kNoGraphviz);
  EXPECT_NE(error.find(kInstallGraphviz), std::string::npos) << error;
}

// --format as ebs-host takes it: with --json, --xml or --save a usage error naming the fix,
// svg without Graphviz exit 3 naming the package, the graph on standard output or in --output.
TEST(HostCliFormat, FormatOptionAndItsConflicts) {
  HostSandbox sandbox;
  TempDir dir, noDot;
  WriteFile(dir.file("found.xml"), Discovered("", "app01"));
  const nlohmann::json saved =
      OneDocument(Host("--json save --name P --config " + dir.file("found.xml")).out);
  ASSERT_TRUE(saved.is_object());
  const std::string id = std::to_string(saved["appId"].get<int64_t>());
  const std::string noGraphviz = "PATH=" + noDot.path();
  const struct {
    std::string args, env;
    int status;
    const char* err;  // part of standard error
  } cases[] = {
      {"--xml apps show " + id + " --format svg", "", 2, "drop --xml for the picture"},
      {"apps show " + id + " --format png", "", 2, "--format"},
      {"discover --sid P --db-user u --db-password-env X --format dot --save N", "", 2,
       "apps show ID --format dot"},
      {"apps show " + id + " --format svg", noGraphviz, 3, "apt-get install graphviz"},
      // Checked before the discovery starts: no password is even read.
      {"discover --sid P --db-user u --db-password-env UNSET --format svg", noGraphviz, 3,
       "apt-get install graphviz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    HostRun r = Host(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // --json keeps its one document for the usage error.
  HostRun json = Host("apps show " + id + " --format dot --json");
  const nlohmann::json doc = OneDocument(json.out);
  EXPECT_EQ(doc["exitStatus"], 2) << json.out;
  EXPECT_NE(doc["error"]["message"].get<std::string>().find("drop --json for the picture"),
            std::string::npos)
      << json.out;

  HostRun dot = Host("apps show " + id + " --format dot");
  EXPECT_EQ(dot.status, 0) << dot.err;
  EXPECT_EQ(dot.out.rfind("digraph ebs {", 0), 0u) << dot.out;
  EXPECT_NE(NodeLine(dot.out, "app0").find(kNoClientMark), std::string::npos) << dot.out;
  ASSERT_EQ(Host("-o " + dir.file("p.dot") + " apps show " + id + " --format dot").status, 0);
  EXPECT_EQ(ReadFile(dir.file("p.dot")), dot.out);
  if (!HaveDot()) GTEST_SKIP() << "Graphviz is not installed (" << kInstallGraphviz << ")";
  HostRun svg = Host("-o " + dir.file("p.svg") + " apps show " + id + " --format svg");
  EXPECT_EQ(svg.status, 0) << svg.err;
  EXPECT_NE(ReadFile(dir.file("p.svg")).find("<svg"), std::string::npos);
}

// The simulated instance PROD discovered straight into a picture: its three nodes, none with a
// client yet (each marked, each warned of on standard error), both file editions, no password.
TEST(HostCliFormat, DiscoverDrawsTheInstanceFound) {
  std::string why;
  if (!FakeOracle::Usable(&why)) GTEST_SKIP() << why;
  const std::string password = "Dot-Pa55-3k";
  FakeOracle oracle("dbhome_dot", EBS_SOURCE_DIR "/tests/fake-oracle/sandbox/load.sql");
  oracle.Set("db_password", password);
  DiscoverySandbox sandbox;
  sandbox.SetOratab("PROD:" + oracle.home() + ":N\n");
  const std::string discover =
      " discover --sid PROD --db-user apps --db-password-env EBS_TEST_PW --format ";
  HostRun r = Host(discover + "dot", "EBS_TEST_PW=" + password);
  ASSERT_EQ(r.status, 0) << r.err;
  SCOPED_TRACE(r.out);
  EXPECT_EQ(r.out.rfind("digraph ebs {", 0), 0u);
  for (const char* node : {"db0", "app0", "app1"})
    EXPECT_NE(NodeLine(r.out, node).find(kNoClientMark), std::string::npos) << node;
  EXPECT_EQ(Count(r.out, " -> "), 2u);
  EXPECT_EQ(Count(NodeLine(r.out, "app0"), "<B>FS1</B>"), 1u);
  EXPECT_EQ(Count(NodeLine(r.out, "app0"), "<B>FS2</B>"), 1u);
  EXPECT_EQ(Count(r.err, "has no client"), 3u) << r.err;
  EXPECT_EQ((r.out + r.err).find(password), std::string::npos);

  if (!HaveDot()) GTEST_SKIP() << "Graphviz is not installed (" << kInstallGraphviz << ")";
  const std::string svg = sandbox.dir().file("prod.svg");
  HostRun drawn = Host("-o " + svg + discover + "svg", "EBS_TEST_PW=" + password);
  EXPECT_EQ(drawn.status, 0) << drawn.err;
  EXPECT_EQ(drawn.out, "");
  EXPECT_EQ(Count(ReadFile(svg), "class=\"node\""), 3u);
}

}  // namespace
