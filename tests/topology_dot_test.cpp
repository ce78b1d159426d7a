// The picture of a topology: the structure of the graph, hostile instance values, Graphviz's dot
// drawing it, which dot is run and how its failures are said, --format and report in ebs-host.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "cli_host.h"
#include "svg_render.h"
#include "topology_dot.h"

namespace {

// One database node (client "dbclient", unless `dbHost` is empty: no database node) and an
// application node per host, {host, client ("" for none), edition, its path, edition, ...}.
Hux::OraEBSConfig Config(const std::vector<std::vector<std::string>>& apps,
                         const std::string& dbHost = "db01") {
  Hux::OraEBSConfig config;
  auto cfg = View(config);
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  if (!dbHost.empty()) {
    auto n = db.list(Hux::OraEBSDBTier::dbNodes, Create::Yes).append();
    n.set(Hux::OraEBSDBNode::hostName, dbHost);
    n.set(Hux::OraEBSDBNode::oracleHome, "/u01/oracle/19.0.0");
    n.list(Hux::OraEBSDBNode::dataDirectories, Create::Yes) = {"/u02/data", "/u03/data"};
    n.child(Hux::OraEBSDBNode::client, Create::Yes)
        .set(NqEntities::ClientEntity::clientName, "dbclient");
  }
  for (const auto& spec : apps) {
    auto n = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes)
                 .list(Hux::OraEBSAppTier::appNodes, Create::Yes)
                 .append();
    n.set(Hux::OraEBSAppNode::hostName, spec[0]);
    n.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes) = {Hux::Batch, Hux::WebEntry, Hux::Batch};
    if (!spec[1].empty())
      n.child(Hux::OraEBSAppNode::client, Create::Yes)
          .set(NqEntities::ClientEntity::clientName, spec[1]);
    for (size_t i = 2; i + 1 < spec.size(); i += 2) {
      auto x = n.list(Hux::OraEBSAppNode::contexts, Create::Yes).append();
      x.set(Hux::OraEBSContext::fileEditionName, spec[i]);
      x.set(Hux::OraEBSContext::contextFilePath, spec[i + 1]);
    }
  }
  return config;
}

// The statement of node `name`, on its one line ("" when there is none).
std::string NodeLine(const std::string& dot, const std::string& name) {
  for (const std::string& line : Split(dot))
    if (line.find("    " + name + " [") == 0) return line;
  return "";
}

TEST(TopologyDot, ClustersNodesEditionsClientsAndEdges) {
  auto config = Config({{"app01", "appclient", "run", "/fs1/a.xml", "patch", "/fs2/a.xml"},
                        {"app02", "", "run", "/fs1/b.xml"}});
  const std::string dot = TopologyDot(View(config));
  SCOPED_TRACE(dot);
  // Each node in the cluster of its tier.
  const size_t db = dot.find("subgraph cluster_db {"), apps = dot.find("subgraph cluster_apps {");
  EXPECT_LT(db, dot.find("    db0 ["));
  EXPECT_LT(dot.find("    db0 ["), apps);
  EXPECT_LT(apps, dot.find("    app0 ["));
  EXPECT_LT(dot.find("    app1 ["), dot.find(" -> "));
  const std::string db0 = NodeLine(dot, "db0"), app0 = NodeLine(dot, "app0");
  for (const char* path : {"/u01/oracle/19.0.0", "/u02/data", "/u03/data", "dbclient"})
    EXPECT_NE(db0.find(path), std::string::npos) << path;
  // A row per file edition with its own path; the services once each.
  EXPECT_LT(app0.find("<B>run</B>"), app0.find("/fs1/a.xml"));
  EXPECT_LT(app0.find("/fs1/a.xml"), app0.find("<B>patch</B>"));
  EXPECT_LT(app0.find("<B>patch</B>"), app0.find("/fs2/a.xml"));
  EXPECT_EQ(Count(app0, "batch, web entry<"), 1u);
  // The client, or the mark of its absence, in the node's own box.
  EXPECT_EQ(app0.find(kNoClientMark), std::string::npos);
  EXPECT_NE(NodeLine(dot, "app1").find(std::string("<B>") + kNoClientMark), std::string::npos);
  EXPECT_EQ(Count(dot, " -> "), 2u);
  EXPECT_NE(dot.find("  app1 -> db0 [lhead=cluster_db];\n"), std::string::npos);

  // No node at all: each tier says so, and nothing points anywhere.
  auto none = Config({}, "");
  const std::string empty = TopologyDot(View(none));
  EXPECT_NE(NodeLine(empty, "db_none").find("no database node"), std::string::npos) << empty;
  EXPECT_NE(NodeLine(empty, "app_none").find("no application node"), std::string::npos);
  EXPECT_EQ(Count(empty, " -> "), 0u);
}

TEST(TopologyDot, EscapesEveryValueForItsLabel) {
  const struct {
    std::string value, text;
  } cases[] = {
      {"<B>x</B> >]; a [", "&lt;B&gt;x&lt;/B&gt; &gt;]; a ["},  // markup, the label's end
      {"a&b \"q\" 'a' &lt;", "a&amp;b &quot;q&quot; &#39;a&#39; &amp;lt;"},
      // Control characters (XML allows none, even as references), NUL and DEL.
      {std::string("a\nb\t\0\x7f", 6), "a&#65533;b&#65533;&#65533;&#65533;"},
      // UTF-8 as references, so the graph is ASCII.
      {"M\xc3\xbcller \xe2\x82\xac \xf0\x9f\x98\x80", "M&#252;ller &#8364; &#128512;"},
      // Not UTF-8: a stray byte, an overlong '/', a surrogate, a cut sequence; then a C1
      // control and a non-character.
      {"\xff|\xc0\xaf|\xed\xa0\x80|\xe2\x82",
       "&#65533;|&#65533;&#65533;|&#65533;&#65533;&#65533;|"
       "&#65533;&#65533;"},
      {"\xc2\x85\xef\xbf\xbe", "&#65533;&#65533;"},
  };
  for (const auto& c : cases) EXPECT_EQ(DotHtmlText(c.value), c.text) << c.value;
}

// What Graphviz's dot says besides the SVG: "" when it draws `dot` without a warning (a bad
// attribute, an unknown HTML element, text that is not UTF-8 all make it speak).
std::string DrawnSilently(const std::string& dot, std::string& svg) {
  NqCommand command{
      {FindDot("/usr/bin:/bin", nullptr).path, "-Tsvg"}, {"PATH=/usr/bin:/bin"}, -1, dot};
  std::string err;
  const int rc = NqProcess::Execute(command, &svg, &err);
  err = std::regex_replace(err, std::regex("Fontconfig[^\n]*\n"), "");  // its cache, not the graph
  return rc == 0 ? err : "exit status " + std::to_string(rc) + ": " + err;
}

// Hostile values everywhere a value goes: no statement more, and dot draws exactly the nodes and
// edges of a plain configuration, silently.
TEST(TopologyDot, HostileValuesAddNoStatement) {
  const std::string bad = "x\"]; evil [label=\"y\"]; }\n>]; a -> b; <<TABLE>\\\xff\xc3\xa9";
  auto config = Config({{bad, bad, bad, bad}, {"app02", ""}}, bad);
  View(config).set(Hux::OraEBSConfig::appsVersion, bad);
  View(config).child(Hux::OraEBSConfig::dbTier, Create::Yes).set(Hux::OraEBSDBTier::dbSid, bad);
  auto plain = Config({{"app01", "c", "run", "/p"}, {"app02", ""}});
  const std::string dot = TopologyDot(View(config));
  SCOPED_TRACE(dot);
  EXPECT_EQ(Split(dot).size(), Split(TopologyDot(View(plain))).size());
  EXPECT_EQ(Count(dot, " -> "), 2u);
  EXPECT_EQ(dot.find("<<TABLE>"), std::string::npos);
  for (char c : dot) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << int(c);

  if (FindDot("/usr/bin:/bin", nullptr).path.empty())
    GTEST_SKIP() << "Graphviz is not installed (" << kInstallGraphviz << ")";
  std::string svg;
  EXPECT_EQ(DrawnSilently(dot, svg), "");
  EXPECT_EQ(Count(svg, "class=\"node\""), 3u);
  EXPECT_EQ(Count(svg, "class=\"edge\""), 2u);
  EXPECT_EQ(Count(svg, "class=\"cluster\""), 2u);
  plain = Config({}, "");  // the placeholders of empty tiers
  EXPECT_EQ(DrawnSilently(TopologyDot(View(plain)), svg), "");
}

// What runs is the file that was judged: a name swapped after the check runs nothing else.
TEST(SvgRender, RunsTheFileItJudgedEvenWhenTheNameIsSwapped) {
  TempDir dir;
  FakeDot(dir, "echo judged");
  DotProgram dot = FindDot(dir.path(), nullptr);
  ASSERT_GE(dot.fd.get(), 0);
  WriteFile(dir.file("other"), "#!/bin/sh\necho swapped\n");
  ::chmod(dir.file("other").c_str(), 0755);
  ASSERT_EQ(::rename(dir.file("other").c_str(), dir.file("dot").c_str()), 0);
  NqCommand command{{dot.path}, {"PATH=/usr/bin:/bin"}, -1, "", 5000, dot.fd.get()};
  std::string out, err;
  EXPECT_EQ(NqProcess::Execute(command, &out, &err), 0) << err;
  EXPECT_EQ(out, "judged\n");
}

// dot gets PATH, LANG and the effective user's own home, nothing of the caller's environment:
// no fonts.conf of another account through FONTCONFIG_FILE, XDG_CONFIG_HOME or HOME.
TEST(SvgRender, DotGetsAFixedEnvironment) {
  TempDir dir;
  FakeDot(dir, "env | sort");
  ScopedEnv path("PATH", dir.path());
  ScopedEnv home("HOME", "/home/someone-else");
  ScopedEnv fonts("FONTCONFIG_FILE", "/home/someone-else/fonts.conf");
  ScopedEnv xdg("XDG_CONFIG_HOME", "/home/someone-else/.config");
  std::string svg, error;
  ASSERT_EQ(RenderSvg("digraph { a }", svg, error), SvgResult::kRendered) << error;
  const std::string ownHome = ::getpwuid(::geteuid())->pw_dir;
  EXPECT_EQ(svg, "HOME=" + ownHome + "\nLANG=C.UTF-8\nPATH=/usr/bin:/bin\nPWD=/\n");
}

TEST(SvgRender, DotFailuresAreSaidAndNoPictureIsCut) {
  const struct {
    const char* script;
    long timeoutMillis;
    SvgResult result;
    const char* error;
  } cases[] = {
      {"echo 'syntax error in line 3' >&2; exit 1", 5000, SvgResult::kFailed,
       "failed (exit status 1): syntax error in line 3"},
      {"exec sleep 30", 300, SvgResult::kFailed, "timed out"},
      {"head -c 5000000 /dev/zero", 20000, SvgResult::kFailed, "larger than 4 MiB"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    FakeDot(dir, c.script);
    ScopedEnv path("PATH", dir.path());
    std::string svg, error;
    EXPECT_EQ(RenderSvg("digraph { a }", svg, error, c.timeoutMillis), c.result) << c.script;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(svg, "");
  }
}

// --format in ebs-host: a usage error naming the fix with --json, --xml or --save; svg without
// Graphviz exit 3 naming the package, before any work; the graph where the output goes.
TEST(HostCliFormat, FormatOptionAndItsConflicts) {
  HostSandbox sandbox;
  TempDir dir, noDot;
  WriteFile(dir.file("found.xml"), Discovered("", "app01"));
  const auto saved =
      OneDocument(Host("--json save --name P --config " + dir.file("found.xml")).out);
  const std::string show = "apps show " + std::to_string(saved.value("appId", 0)) + " --format ";
  const std::string discover = "discover --sid P --db-user u --db-password-env UNSET --format ";
  const struct {
    std::string args, path;
    int status;
    const char* err;
  } cases[] = {
      {"--xml " + show + "svg", "", 2, "drop --xml for the picture"},
      {show + "png", "", 2, "--format"},
      {discover + "dot --save N", "", 2, "apps show ID --format dot"},
      {show + "svg", noDot.path(), 3, "apt-get install graphviz"},
      {discover + "svg", noDot.path(), 3, "apt-get install graphviz"},  // no password read yet
  };
  for (const auto& c : cases) {
    HostRun r = Host(c.args, c.path.empty() ? "" : "PATH=" + c.path);
    EXPECT_EQ(r.status, c.status) << c.args << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << r.err;
  }
  const auto json = OneDocument(Host("--json " + show + "dot").out);
  EXPECT_EQ(json["exitStatus"], 2) << json;

  ASSERT_EQ(Host("-o " + dir.file("p.dot") + " " + show + "dot").status, 0);
  EXPECT_NE(NodeLine(ReadFile(dir.file("p.dot")), "app0").find(kNoClientMark), std::string::npos);
}

// report --html draws what it can: without a usable dot, or with one that fails, the page is
// still written (exit 0) and says why, in the JSON document and in the picture's place; nodes
// without a client are counted.
TEST(HostCliFormat, ReportSaysWhyAPictureIsMissing) {
  HostSandbox sandbox;
  TempDir dir, noDot, failing;
  FakeDot(failing, "echo broken >&2; exit 3");
  WriteFile(dir.file("found.xml"), Discovered("", "app01"));
  ASSERT_EQ(Host("save --name P --config " + dir.file("found.xml")).status, 0);
  const struct {
    std::string path, why;
  } cases[] = {
      {noDot.path(), "pictures need Graphviz's dot, which was not found: apt-get install graphviz"},
      {failing.path(), "the picture cannot be drawn: " + failing.file("dot") +
                           " -Tsvg failed (exit status 3): broken"},
  };
  for (const auto& c : cases) {
    const HostRun r = Host("--json report --html " + dir.file("p.html"), "PATH=" + c.path);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto doc = OneDocument(r.out);
    EXPECT_EQ(doc["pictures"], nlohmann::json({{"drawn", 0}, {"notDrawn", 1}, {"why", c.why}}));
    EXPECT_EQ(doc["nodesWithoutClient"], 2);  // a client without a name is none
    EXPECT_EQ(Count(ReadFile(dir.file("p.html")), "Graphviz&#39;s dot, which was not found"),
              c.path == noDot.path() ? 2u : 0u);
  }
}

}  // namespace
