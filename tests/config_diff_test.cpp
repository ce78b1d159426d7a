// The comparison behind `ebs-host diff`: what counts as drift between a saved configuration and
// a fresh discovery (nodes by host, contexts by edition, services as sets, clients), what does
// not (order, repeated service kinds, passwords, the saved app's own name), and a cutover read
// from the run editions.
#include "config_diff.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Cfg = Hux::OraEBSConfig;
using AppNode = Hux::OraEBSAppNode;
using Context = Hux::OraEBSContext;

// A context of `host` on file system `fs` ("fs1", "fs2").
void AddContext(Msg<AppNode> node, const std::string& host, const std::string& fs) {
  auto x = node.list(AppNode::contexts, Create::Yes).append();
  x.set(Context::fileEditionName, fs == "fs1" ? "FS1" : "FS2");
  x.set(Context::hostName, host);
  x.set(Context::configHome, "/u01/PROD/" + fs + "/inst/apps/PROD_" + host);
  x.set(Context::contextFilePath, "/u01/PROD/" + fs + "/inst/apps/PROD_" + host + "/PROD.xml");
}

// An application node as discovery leaves it: both editions, the node's values from `run`.
void AddAppNode(Msg<Cfg> cfg, const std::string& host, const std::string& run = "fs1") {
  auto node =
      cfg.child(Cfg::appTier, Create::Yes).list(Hux::OraEBSAppTier::appNodes, Create::Yes).append();
  node.set(AppNode::hostName, host);
  node.set(AppNode::configHome, "/u01/PROD/" + run + "/inst/apps/PROD_" + host);
  AddContext(node, host, "fs1");
  AddContext(node, host, "fs2");
  node.list(AppNode::nodeTypes, Create::Yes) = {Hux::WebApplications, Hux::Batch,
                                                Hux::WebApplications, Hux::Batch};
  node.child(AppNode::client, Create::Yes).set(NqEntities::ClientEntity::clientName, host);
}

// The instance PROD: a database node on ebsdb01 and application nodes on ebsapp01 and
// ebsapp02, run edition FS1.
Cfg Instance() {
  Cfg cfg;
  auto v = View(cfg);
  v.set(Cfg::appsVersion, "12.2.10");
  auto db = v.child(Cfg::dbTier, Create::Yes);
  db.set(Hux::OraEBSDBTier::dbPort, "1521");
  auto node = db.list(Hux::OraEBSDBTier::dbNodes, Create::Yes).append();
  node.set(Hux::OraEBSDBNode::hostName, "ebsdb01");
  node.list(Hux::OraEBSDBNode::dataDirectories, Create::Yes) = {"/u02/data"};
  AddAppNode(v, "ebsapp01");
  AddAppNode(v, "ebsapp02");
  return cfg;
}

auto AppNodes(Cfg& cfg) {
  return View(cfg).child(Cfg::appTier, Create::No).list(Hux::OraEBSAppTier::appNodes, Create::No);
}
Msg<AppNode> AppNodeAt(Cfg& cfg, size_t i) { return AppNodes(cfg).at(i); }
Msg<Hux::OraEBSDBNode> DbNode(Cfg& cfg) {
  return View(cfg)
      .child(Cfg::dbTier, Create::No)
      .list(Hux::OraEBSDBTier::dbNodes, Create::No)
      .at(0);
}

// One line per change: "<scope> <host> [<edition>] <kind> [<field>: <old> -> <new>]".
std::string Lines(const ConfigDrift& drift) {
  std::string out;
  for (const DriftChange& c : drift.changes) {
    out += std::string(DriftScopeName(c.scope)) + (c.host.empty() ? "" : " " + c.host) +
           (c.edition.empty() ? "" : " " + c.edition) + " " + DriftKindName(c.kind);
    if (c.kind == DriftKind::Changed) out += " " + c.field + ": " + c.before + " -> " + c.after;
    out += "\n";
  }
  return out;
}

// The lines of application node `host` moved from FS1 to FS2.
std::string SwappedLines(const std::string& host) {
  const std::string node = "application node " + host + " changed ";
  return node + "configHome: /u01/PROD/fs1/inst/apps/PROD_" + host +
         " -> /u01/PROD/fs2/inst/apps/PROD_" + host + "\n" + node + "runEdition: FS1 -> FS2\n";
}

TEST(ConfigDiff, ReportsWhatDriftedAndNothingElse) {
  const struct {
    const char* what;
    std::function<void(Cfg&)> change;  // made to the fresh discovery
    std::string lines, swappedTo;
  } cases[] = {
      {"nothing changed", [](Cfg&) {}, "", ""},
      // Order and repetition are how the answer is built, not drift.
      {"nodes, contexts and services in another order",
       [](Cfg& c) {
         std::swap(AppNodes(c).raw()[0], AppNodes(c).raw()[1]);
         auto contexts = AppNodeAt(c, 0).list(AppNode::contexts, Create::No);
         std::swap(contexts.raw()[0], contexts.raw()[1]);
         AppNodeAt(c, 0).list(AppNode::nodeTypes, Create::No) = {Hux::Batch, Hux::WebApplications};
       },
       "", ""},
      // Neither is part of the instance: the server keeps no password, only the saved one
      // names the app.
      {"a password and the virtual app",
       [](Cfg& c) {
         View(c)
             .child(Cfg::appTier, Create::Yes)
             .child(Hux::OraEBSAppTier::databaseLogin, Create::Yes)
             .set(UserCredentials::password, "secret");
         View(c).child(Cfg::virtualApp, Create::Yes).set(NqEntities::AppEntity::appName, "X");
       },
       "", ""},
      {"a cutover: every node's values now from FS2",
       [](Cfg& c) {
         for (size_t i : {0, 1}) {
           auto n = AppNodeAt(c, i);
           n.set(AppNode::configHome, "/u01/PROD/fs2/inst/apps/PROD_" + n.get(AppNode::hostName));
         }
       },
       SwappedLines("ebsapp01") + SwappedLines("ebsapp02"), "FS2"},
      // Half a cutover is no swap of the instance: each node says its own.
      {"only one node on FS2",
       [](Cfg& c) {
         AppNodeAt(c, 1).set(AppNode::configHome, "/u01/PROD/fs2/inst/apps/PROD_ebsapp02");
       },
       SwappedLines("ebsapp02"), ""},
      // By host, not by position: the first node goes.
      {"a host added, one retired",
       [](Cfg& c) {
         AppNodes(c).raw().erase(AppNodes(c).raw().begin());
         AddAppNode(View(c), "ebsapp03");
       },
       "application node ebsapp01 removed\napplication node ebsapp03 added\n", ""},
      {"a client registered since, and one gone",
       [](Cfg& c) {
         auto client = AppNodeAt(c, 0).child(AppNode::client, Create::No);
         client.set(NqEntities::ClientEntity::clientName, "");
         auto db = DbNode(c);
         db.child(Hux::OraEBSDBNode::client, Create::Yes)
             .set(NqEntities::ClientEntity::clientName, "ebsdb01");
         db.child(Hux::OraEBSDBNode::client, Create::Yes)
             .set(NqEntities::ClientEntity::clientId, 7);
       },
       "database node ebsdb01 changed client: none -> ebsdb01 (id 7)\n"
       "application node ebsapp01 changed client: ebsapp01 (id 0) -> none\n",
       ""},
      {"a context added, one changed, the database's port and data files",
       [](Cfg& c) {
         auto contexts = AppNodeAt(c, 1).list(AppNode::contexts, Create::No);
         contexts.at(0).set(Context::contextFilePath, "/moved.xml");
         contexts.append().set(Context::fileEditionName, "FS3");
         auto db = View(c).child(Cfg::dbTier, Create::No);
         db.set(Hux::OraEBSDBTier::dbPort, "1522");
         DbNode(c).list(Hux::OraEBSDBNode::dataDirectories, Create::No).push_back("/u03/data");
       },
       "database tier changed dbPort: 1521 -> 1522\n"
       "database node ebsdb01 changed dataDirectories: /u02/data -> /u02/data, /u03/data\n"
       "application node ebsapp02 FS1 changed contextFilePath: "
       "/u01/PROD/fs1/inst/apps/PROD_ebsapp02/PROD.xml -> /moved.xml\n"
       "application node ebsapp02 FS3 added\n",
       ""},
      // A database moved to another Oracle home (an upgrade) is drift of its node.
      {"the database's Oracle home",
       [](Cfg& c) { DbNode(c).set(Hux::OraEBSDBNode::oracleHome, "/u01/app/oracle/19.0.0"); },
       "database node ebsdb01 changed oracleHome: - -> /u01/app/oracle/19.0.0\n", ""},
      {"the release", [](Cfg& c) { View(c).set(Cfg::appsVersion, "12.2.12"); },
       "configuration changed appsVersion: 12.2.10 -> 12.2.12\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Cfg saved = Instance();
    Cfg fresh = Instance();
    c.change(fresh);
    const ConfigDrift drift = CompareConfigs(View(saved), View(fresh));
    EXPECT_EQ(Lines(drift), c.lines);
    EXPECT_EQ(drift.any(), !c.lines.empty());
    EXPECT_EQ(drift.swappedTo, c.swappedTo);
  }
}

}  // namespace
