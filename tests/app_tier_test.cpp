// The application-tier reader: two realistic context files field by field, then the merging and
// lookup rules one by one.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>

#include "support/context_reader.h"
#include "support/worker_access.h"  // TestData

namespace {

using Node = Hux::OraEBSAppNode;
using Tier = Hux::OraEBSAppTier;
using Context = Hux::OraEBSContext;
using Client = NqEntities::ClientEntity;

Msg<Tier> AppTier(ContextReader& reader) {
  return reader.Config().child(Hux::OraEBSConfig::appTier, Create::No);
}
MsgList<Node> Nodes(ContextReader& reader) {
  return AppTier(reader).list(Tier::appNodes, Create::No);
}
std::vector<std::string> Hosts(ContextReader& reader) {
  std::vector<std::string> hosts;
  for (size_t i = 0; i < Nodes(reader).size(); ++i)
    hosts.push_back(Nodes(reader).at(i).get(Node::hostName));
  return hosts;
}

void Read(ContextReader& reader, const std::string& text) { reader.Read(text, false); }

TEST(AppTier, RealisticContextFiles) {
  ContextReader reader;
  reader.AddClient("apps01.corp.example.com", "apps01-client", 42, 3);
  Read(reader, TestData("app_VIS_apps01.xml"));
  Read(reader, TestData("app_VIS_apps02.xml"));

  EXPECT_EQ(reader.Config().get(Hux::OraEBSConfig::appsVersion), "12.2.12");
  auto tier = AppTier(reader);
  EXPECT_EQ(Values(tier, {&Tier::hostName, &Tier::osGroup}), "apps01|oinstall");
  EXPECT_EQ(tier.child(Tier::osUser, Create::No).get(UserCredentials::userName), "applmgr");

  ASSERT_EQ(Hosts(reader), (std::vector<std::string>{"apps01", "apps02"}));
  // apps01: root, web_admin, "web entry", web_applications and other enabled, batch disabled.
  // apps02: web_entry is no known kind, "Enabled" is not enabled, batch twice; it has no client.
  const std::vector<int64_t> kinds[] = {
      {Hux::Root, Hux::WebAdmin, Hux::WebEntry, Hux::WebApplications, Hux::Other},
      {Hux::Root, Hux::Batch, Hux::Batch}};
  for (size_t i = 0; i < 2; ++i) {
    const std::string host = i ? "apps02" : "apps01", edition = i ? "fs2" : "fs1";
    SCOPED_TRACE(host);
    Msg<Node> node = Nodes(reader).at(i);
    const std::string base = "/u01/app/VIS/" + edition;
    const std::string inst = base + "/inst/apps/VIS_" + host;
    EXPECT_EQ(Values(node, {&Node::appsBase, &Node::appsVersion, &Node::configHome, &Node::platform,
                            &Node::osGroup, &Node::applTmp}),
              "/u01/app/VIS|12.2.12|" + inst + "|LINUX_X86-64|oinstall|/usr/tmp/VIS");
    EXPECT_EQ(node.child(Node::osUser, Create::No).get(UserCredentials::userName), "applmgr");
    EXPECT_EQ(node.list(Node::nodeTypes, Create::No), kinds[i]);
    auto client = node.child(Node::client, Create::No);
    EXPECT_EQ(client.get(Client::clientName) + std::to_string(client.get(Client::clientId)) +
                  std::to_string(client.get(Client::hiveId)),
              i ? "00" : "apps01-client423");

    MsgList<Context> contexts = node.list(Node::contexts, Create::No);
    ASSERT_EQ(contexts.size(), 1u);
    Msg<Context> c = contexts.at(0);
    EXPECT_EQ(Values(c, {&Context::fileEditionName, &Context::hostName, &Context::applTop,
                         &Context::oadTop, &Context::webOracleHome, &Context::toolsOracleHome,
                         &Context::contextName, &Context::contextFilePath, &Context::configHome}),
              (i ? "FS2|" : "FS1|") + host + "|" + base + "/EBSapps/appl|" + base +
                  "/EBSapps/appl/ad/12.0.0|" + base + "/FMW_Home/webtier|" + base +
                  "/EBSapps/10.1.2|VIS_" + host + "|" + inst + "/appl/admin/VIS_" + host +
                  ".xml|" + inst);
    EXPECT_EQ(c.raw().fields().size(), 9u);
  }
}

// A small application-tier context file; `parts` replaces parts of the default one by name.
std::string AppFile(std::map<std::string, std::string> parts = {}) {
  const std::map<std::string, std::string> defaults = {
      {"host", "<host>h1</host>"},
      {"domain", "<domain>d.example</domain>"},
      {"user", "<appsuser>applmgr</appsuser>"},
      {"group", "<appsgroup>oinstall</appsgroup>"},
      {"edition", "<file_edition_name>fs1</file_edition_name>"},
      {"options", R"(<config_option oa_var="s_apps_version">12.2.9</config_option>)"},
      {"environments",
       R"(<oa_environment type="rapid_install"><APPS_BASE>/base</APPS_BASE></oa_environment>)"},
      {"groups",
       "<oa_service_group type=\"root\"><oa_service_group_status>enabled"
       "</oa_service_group_status></oa_service_group>"},
      {"extra", ""}};
  for (const auto& [name, value] : parts)
    if (!defaults.count(name)) ADD_FAILURE() << "no part " << name;
  parts.insert(defaults.begin(), defaults.end());  // keeps the given parts
  return "<oa_context><oa_context_name>ctx</oa_context_name><oa_host>" + parts["host"] +
         parts["domain"] + parts["user"] + parts["group"] +
         "<platform>LINUX</platform></oa_host><oa_system_config>" + parts["edition"] +
         parts["options"] + "</oa_system_config><oa_environments>" + parts["environments"] +
         "</oa_environments><oa_service_group_list>" + parts["groups"] +
         "</oa_service_group_list>" + parts["extra"] + "</oa_context>";
}

std::string Group(const std::string& type, const std::string& status) {
  return "<oa_service_group type=\"" + type + "\"><oa_service_group_status>" + status +
         "</oa_service_group_status></oa_service_group>";
}

TEST(AppTier, Rules) {
  struct Case {
    const char* what;
    std::vector<std::string> files;
    std::function<void(ContextReader&)> check;
  } cases[] = {
      // One node, contexts in file order, edition FS1 by default and upper-cased, later values
      // replace earlier ones even when empty, kinds added, the client kept when the later lookup
      // fails, the tier's user from the first file.
      {"two files of one host",
       {AppFile(
            {{"edition", ""}, {"groups", Group("root", "enabled") + Group("batch", "enabled")}}),
        AppFile({{"edition", "<file_edition_name>fs2-Patch</file_edition_name>"},
                 {"user", "<appsuser>other</appsuser>"},
                 {"environments", ""},
                 {"domain", "<domain>elsewhere.example</domain>"}})},
       [](ContextReader& w) {
         ASSERT_EQ(Hosts(w), std::vector<std::string>{"h1"});
         Msg<Node> node = Nodes(w).at(0);
         MsgList<Context> c = node.list(Node::contexts, Create::No);
         ASSERT_EQ(c.size(), 2u);
         EXPECT_EQ(c.at(0).get(Context::fileEditionName), "FS1");
         EXPECT_EQ(c.at(1).get(Context::fileEditionName), "FS2-PATCH");
         EXPECT_EQ(node.child(Node::osUser, Create::No).get(UserCredentials::userName), "other");
         EXPECT_EQ(node.get(Node::appsBase), "");
         EXPECT_EQ(node.list(Node::nodeTypes, Create::No),
                   (std::vector<int64_t>{Hux::Root, Hux::Batch, Hux::Root}));
         EXPECT_EQ(node.child(Node::client, Create::No).get(Client::clientId), 77);
         EXPECT_EQ(AppTier(w).child(Tier::osUser, Create::No).get(UserCredentials::userName),
                   "applmgr");
       }},
      // The first host element at any depth whatever its attributes, letter case counts, no host
      // is the empty host; the tier's values come from the first file that gives them.
      {"nodes by host",
       {AppFile({{"host", ""}, {"group", ""}}),
        AppFile({{"host", R"(<x><host oa_var="s_virtual_hostname">h2</host></x>
                             <host oa_var="s_hostname">real</host>)"},
                 {"group", "<appsgroup>g2</appsgroup>"}}),
        AppFile(
            {{"host", "<host>H2</host>"}, {"group", "<appsgroup>g3</appsgroup>"}, {"domain", ""}}),
        AppFile({{"host", "<host/>"}})},
       [](ContextReader& w) {
         ASSERT_EQ(Hosts(w), (std::vector<std::string>{"", "h2", "H2"}));
         EXPECT_EQ(Nodes(w).at(0).list(Node::contexts, Create::No).size(), 2u);
         EXPECT_EQ(AppTier(w).get(Tier::hostName), "h2");
         EXPECT_EQ(AppTier(w).get(Tier::osGroup), "g2");
         EXPECT_EQ(w.lookups,
                   (std::vector<std::string>{".d.example", "h2.d.example", "H2.", ".d.example"}));
       }},
      {"service groups of exact kinds, status exactly 'enabled'; the last environment of a type",
       {AppFile(
           {{"groups", Group("web_entry", "enabled") + Group("web_applications", "Enabled") +
                           Group("web_admin", "disabled") + Group("Root", "enabled") +
                           Group("other", "enabled") + Group("web entry", "enabled") +
                           Group("batch", " enabled") + Group("forms", "enabled") +
                           Group("web_applications", "enabled") + Group("web_admin", "enabled")},
            {"environments", R"(
            <oa_environment type="applsys"><APPLTMP>/t1</APPLTMP><APPL_TOP>/at1</APPL_TOP></oa_environment>
            <oa_environment type="web_home"><ORACLE_HOME>/web</ORACLE_HOME></oa_environment>
            <oa_environment type="tools_home"><ORACLE_HOME>/tools</ORACLE_HOME></oa_environment>
            <oa_environment type="fmw_home"><ORACLE_HOME>/fmw</ORACLE_HOME><APPS_BASE>/fmwbase</APPS_BASE></oa_environment>
            <oa_environment type="adovars"><OAD_TOP>/oad</OAD_TOP></oa_environment>
            <oa_environment type="applsys"><APPLTMP>/t2</APPLTMP></oa_environment>
            <oa_environment type="Web_Home"><ORACLE_HOME>/case</ORACLE_HOME></oa_environment>)"}})},
       [](ContextReader& w) {
         Msg<Node> node = Nodes(w).at(0);
         EXPECT_EQ(node.list(Node::nodeTypes, Create::No),
                   (std::vector<int64_t>{Hux::Other, Hux::WebEntry, Hux::WebApplications,
                                         Hux::WebAdmin}));
         EXPECT_EQ(Values(node, {&Node::appsBase, &Node::applTmp}), "|/t2");
         EXPECT_EQ(Values(node.list(Node::contexts, Create::No).at(0),
                          {&Context::applTop, &Context::webOracleHome, &Context::toolsOracleHome,
                           &Context::oadTop}),
                   "|/web|/tools|/oad");
       }},
      // The last s_apps_version option at any depth in oa_system_config wins; a file without one
      // empties the node's and keeps the configuration's.
      {"the release",
       {AppFile({{"options", R"(<config_option oa_var="s_apps_version">12.2.8</config_option>
                         <config_option oa_var="s_other">x</config_option>
                         <n><config_option oa_var="s_apps_version">12.2.9</config_option></n>
                         <config_option oa_var="S_APPS_VERSION">1.0</config_option>)"}}),
        AppFile({{"options", ""},
                 {"extra", R"(<oa_system><config_option oa_var="s_apps_version">0.0</config_option>
                              </oa_system>)"}})},
       [](ContextReader& w) {
         EXPECT_EQ(w.Config().get(Hux::OraEBSConfig::appsVersion), "12.2.9");
         EXPECT_EQ(Nodes(w).at(0).get(Node::appsVersion), "");
       }},
      // Types and kinds come from the first list, values and statuses by position in the whole
      // file: elements of those names ahead of the lists shift them; a second list is not counted.
      {"positions over the whole file",
       {AppFile(
           {{"host",
             R"(<host>h1</host><oa_environment type="stray"><APPS_BASE>/stray</APPS_BASE></oa_environment>)" +
                 Group("stray", "disabled")},
            {"environments",
             R"(<oa_environment type="rapid_install"><APPS_BASE>/listed</APPS_BASE></oa_environment>)"},
            {"groups", Group("root", "enabled") + Group("batch", "disabled")},
            {"extra",
             R"(<oa_environments><oa_environment type="rapid_install"><APPS_BASE>/second</APPS_BASE>
                </oa_environment></oa_environments><oa_service_group_list>)" +
                 Group("other", "enabled") + "</oa_service_group_list>"}})},
       [](ContextReader& w) {
         Msg<Node> node = Nodes(w).at(0);
         EXPECT_EQ(node.get(Node::appsBase), "/stray");
         // root reads the stray group's status (disabled), batch the root group's (enabled).
         EXPECT_EQ(node.list(Node::nodeTypes, Create::No), std::vector<int64_t>{Hux::Batch});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ContextReader reader;
    reader.AddClient("h1.d.example", "c1", 77, 5);
    for (const std::string& f : c.files) Read(reader, f);
    c.check(reader);
  }
}

}  // namespace
