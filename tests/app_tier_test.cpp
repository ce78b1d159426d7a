// The application-tier reader: two realistic context files field by field, then the merging and
// lookup rules one by one.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "support/worker_access.h"

namespace {

using Node = Hux::OraEBSAppNode;
using Tier = Hux::OraEBSAppTier;
using Context = Hux::OraEBSContext;
using Client = NqEntities::ClientEntity;

Msg<Hux::OraEBSConfig> Config(NqEBSInterface& worker) {
  return View(NqEBSInterfaceTest::Request(worker)).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
}
Msg<Tier> AppTier(NqEBSInterface& worker) {
  return Config(worker).child(Hux::OraEBSConfig::appTier, Create::No);
}
MsgList<Node> Nodes(NqEBSInterface& worker) {
  return AppTier(worker).list(Tier::appNodes, Create::No);
}

void Read(NqEBSInterface& worker, const std::string& text) {
  ASSERT_TRUE(worker.initParser(text));
  EXPECT_EQ(worker.ProcessAppTierTags(), 0);
}

struct ContextValues {
  std::string edition, host, applTop, oadTop, webHome, toolsHome, name, path, configHome;
};

void ExpectContext(Msg<Context> c, const ContextValues& v) {
  EXPECT_EQ(c.get(Context::fileEditionName), v.edition);
  EXPECT_EQ(c.get(Context::hostName), v.host);
  EXPECT_EQ(c.get(Context::applTop), v.applTop);
  EXPECT_EQ(c.get(Context::oadTop), v.oadTop);
  EXPECT_EQ(c.get(Context::webOracleHome), v.webHome);
  EXPECT_EQ(c.get(Context::toolsOracleHome), v.toolsHome);
  EXPECT_EQ(c.get(Context::contextName), v.name);
  EXPECT_EQ(c.get(Context::contextFilePath), v.path);
  EXPECT_EQ(c.get(Context::configHome), v.configHome);
  EXPECT_EQ(c.raw().fields().size(), 9u);
}

ContextValues RealisticContext(const std::string& host, const std::string& edition) {
  const std::string base = "/u01/app/VIS/" + edition;
  const std::string inst = base + "/inst/apps/VIS_" + host;
  std::string upper = edition;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
  return {upper,
          host,
          base + "/EBSapps/appl",
          base + "/EBSapps/appl/ad/12.0.0",
          base + "/FMW_Home/webtier",
          base + "/EBSapps/10.1.2",
          "VIS_" + host,
          inst + "/appl/admin/VIS_" + host + ".xml",
          inst};
}

TEST(AppTier, RealisticContextFiles) {
  HostSandbox sandbox;
  AddClient(sandbox, "apps01-client", {"apps01.corp.example.com"}, 3, 42);
  NqEBSInterface worker;
  Read(worker, TestData("app_VIS_apps01.xml"));
  Read(worker, TestData("app_VIS_apps02.xml"));

  EXPECT_EQ(Config(worker).get(Hux::OraEBSConfig::appsVersion), "12.2.12");
  auto tier = AppTier(worker);
  EXPECT_EQ(tier.get(Tier::hostName), "apps01");
  EXPECT_EQ(tier.child(Tier::osUser, Create::No).get(UserCredentials::userName), "applmgr");
  EXPECT_EQ(tier.get(Tier::osGroup), "oinstall");

  MsgList<Node> nodes = Nodes(worker);
  ASSERT_EQ(nodes.size(), 2u);
  struct Expected {
    std::string host, edition;
    std::vector<int64_t> kinds;
    std::string clientName;
    int64_t clientId, hiveId;
  } expected[] = {
      // root, web_admin, "web entry", web_applications enabled; batch disabled; other enabled.
      {"apps01",
       "fs1",
       {Hux::Root, Hux::WebAdmin, Hux::WebEntry, Hux::WebApplications, Hux::Other},
       "apps01-client",
       42,
       3},
      // web_entry is no known kind, "Enabled" is not enabled, batch twice.
      {"apps02", "fs2", {Hux::Root, Hux::Batch, Hux::Batch}, "", 0, 0},
  };
  for (size_t i = 0; i < 2; ++i) {
    const Expected& e = expected[i];
    SCOPED_TRACE(e.host);
    Msg<Node> node = nodes.at(i);
    const std::string base = "/u01/app/VIS/" + e.edition;
    EXPECT_EQ(node.get(Node::appsBase), "/u01/app/VIS");
    EXPECT_EQ(node.get(Node::hostName), e.host);
    EXPECT_EQ(node.get(Node::appsVersion), "12.2.12");
    EXPECT_EQ(node.get(Node::configHome), base + "/inst/apps/VIS_" + e.host);
    EXPECT_EQ(node.get(Node::platform), "LINUX_X86-64");
    EXPECT_EQ(node.child(Node::osUser, Create::No).get(UserCredentials::userName), "applmgr");
    EXPECT_EQ(node.get(Node::osGroup), "oinstall");
    EXPECT_EQ(node.get(Node::applTmp), "/usr/tmp/VIS");
    EXPECT_EQ(node.list(Node::nodeTypes, Create::No), e.kinds);
    MsgList<Context> contexts = node.list(Node::contexts, Create::No);
    ASSERT_EQ(contexts.size(), 1u);
    ExpectContext(contexts.at(0), RealisticContext(e.host, e.edition));
    auto client = node.child(Node::client, Create::No);
    EXPECT_EQ(client.get(Client::clientName), e.clientName);
    EXPECT_EQ(client.get(Client::clientId), e.clientId);
    EXPECT_EQ(client.get(Client::hiveId), e.hiveId);
  }
  EXPECT_EQ(LogLines(sandbox.log(), "GetClientForHost"),
            (std::vector<std::string>{
                "Client Name [apps01-client], Client Id [42], HV ID [3]",
                "Unable to fetch client ID for Client host name [apps02.corp.example.com]"}));
}

// A small application-tier context file.
struct AppFile {
  std::string host = "<host>h1</host>";
  std::string domain = "<domain>d.example</domain>";
  std::string user = "<appsuser>applmgr</appsuser>";
  std::string group = "<appsgroup>oinstall</appsgroup>";
  std::string edition = "<file_edition_name>fs1</file_edition_name>";
  std::string options = R"(<config_option oa_var="s_apps_version">12.2.9</config_option>)";
  std::string environments =
      R"(<oa_environment type="rapid_install"><APPS_BASE>/base</APPS_BASE></oa_environment>)";
  std::string groups =
      R"(<oa_service_group type="root"><oa_service_group_status>enabled</oa_service_group_status></oa_service_group>)";
  std::string extra;

  std::string Text() const {
    return "<oa_context><oa_context_name>ctx</oa_context_name><oa_host>" + host + domain + user +
           group + "<platform>LINUX</platform></oa_host><oa_system_config>" + edition + options +
           "</oa_system_config><oa_environments>" + environments +
           "</oa_environments><oa_service_group_list>" + groups + "</oa_service_group_list>" +
           extra + "</oa_context>";
  }
};

std::string Group(const std::string& type, const std::string& status) {
  return "<oa_service_group type=\"" + type + "\"><oa_service_group_status>" + status +
         "</oa_service_group_status></oa_service_group>";
}

TEST(AppTier, Rules) {
  struct Case {
    const char* what;
    std::vector<AppFile> files;
    std::function<void(NqEBSInterface&, const std::string& log)> check;
  } cases[] = {
      {"file edition: missing, empty and lower case",
       {[] {
          AppFile f;
          f.edition = "";
          return f;
        }(),
        [] {
          AppFile f;
          f.edition = "<file_edition_name/>";
          return f;
        }(),
        [] {
          AppFile f;
          f.edition = "<file_edition_name>fs2-Patch</file_edition_name>";
          return f;
        }()},
       [](NqEBSInterface& w, const std::string&) {
         MsgList<Context> c = Nodes(w).at(0).list(Node::contexts, Create::No);
         ASSERT_EQ(c.size(), 3u);
         EXPECT_EQ(c.at(0).get(Context::fileEditionName), "FS1");
         EXPECT_EQ(c.at(1).get(Context::fileEditionName), "FS1");
         EXPECT_EQ(c.at(2).get(Context::fileEditionName), "FS2-PATCH");
       }},
      {"two files of one host: one node, contexts in file order, later scalars, all kinds",
       {[] {
          AppFile f;
          f.groups = Group("root", "enabled") + Group("batch", "enabled");
          return f;
        }(),
        [] {
          AppFile f;
          f.edition = "<file_edition_name>fs2</file_edition_name>";
          f.user = "<appsuser>other</appsuser>";
          f.environments = "";  // the node's appsBase is overwritten with the empty value
          f.groups = Group("root", "enabled");
          return f;
        }()},
       [](NqEBSInterface& w, const std::string&) {
         ASSERT_EQ(Nodes(w).size(), 1u);
         Msg<Node> node = Nodes(w).at(0);
         MsgList<Context> c = node.list(Node::contexts, Create::No);
         ASSERT_EQ(c.size(), 2u);
         EXPECT_EQ(c.at(0).get(Context::fileEditionName), "FS1");
         EXPECT_EQ(c.at(1).get(Context::fileEditionName), "FS2");
         EXPECT_EQ(node.child(Node::osUser, Create::No).get(UserCredentials::userName), "other");
         EXPECT_TRUE(node.isSet(Node::appsBase));
         EXPECT_EQ(node.get(Node::appsBase), "");
         EXPECT_EQ(node.list(Node::nodeTypes, Create::No),
                   (std::vector<int64_t>{Hux::Root, Hux::Batch, Hux::Root}));
         // The tier keeps the first file's user.
         EXPECT_EQ(AppTier(w).child(Tier::osUser, Create::No).get(UserCredentials::userName),
                   "applmgr");
       }},
      {"hosts differing in letter case are two nodes; the tier's host is the first",
       {AppFile{},
        [] {
          AppFile f;
          f.host = "<host>H1</host>";
          return f;
        }()},
       [](NqEBSInterface& w, const std::string&) {
         ASSERT_EQ(Nodes(w).size(), 2u);
         EXPECT_EQ(Nodes(w).at(0).get(Node::hostName), "h1");
         EXPECT_EQ(Nodes(w).at(1).get(Node::hostName), "H1");
         EXPECT_EQ(AppTier(w).get(Tier::hostName), "h1");
       }},
      {"tier values come from the first file that gives them",
       {[] {
          AppFile f;
          f.host = "";
          f.group = "";
          return f;
        }(),
        [] {
          AppFile f;
          f.host = "<host>h2</host>";
          f.user = "<appsuser>second</appsuser>";
          f.group = "<appsgroup>g2</appsgroup>";
          return f;
        }(),
        [] {
          AppFile f;
          f.host = "<host>h3</host>";
          f.group = "<appsgroup>g3</appsgroup>";
          return f;
        }()},
       [](NqEBSInterface& w, const std::string&) {
         ASSERT_EQ(Nodes(w).size(), 3u);
         EXPECT_EQ(AppTier(w).get(Tier::hostName), "h2");
         EXPECT_EQ(AppTier(w).get(Tier::osGroup), "g2");
         EXPECT_EQ(AppTier(w).child(Tier::osUser, Create::No).get(UserCredentials::userName),
                   "applmgr");
       }},
      {"no host value: the node of the empty host is reused; lookups '.' + domain",
       {[] {
          AppFile f;
          f.host = "";
          return f;
        }(),
        [] {
          AppFile f;
          f.host = "<host/>";
          return f;
        }()},
       [](NqEBSInterface& w, const std::string& log) {
         ASSERT_EQ(Nodes(w).size(), 1u);
         EXPECT_EQ(Nodes(w).at(0).list(Node::contexts, Create::No).size(), 2u);
         EXPECT_EQ(LogLines(log, "GetClientForHost"),
                   std::vector<std::string>(
                       2, "Unable to fetch client ID for Client host name [.d.example]"));
       }},
      {"an empty domain: the lookup name ends in '.'",
       {[] {
         AppFile f;
         f.domain = "";
         return f;
       }()},
       [](NqEBSInterface&, const std::string& log) {
         EXPECT_NE(log.find("Client host name [h1.]"), std::string::npos);
       }},
      {"the first host element wins whatever its attributes; descendants at any depth",
       {[] {
         AppFile f;
         f.host =
             R"(<x><host oa_var="s_virtual_hostname">virt</host></x><host oa_var="s_hostname">real</host>)";
         return f;
       }()},
       [](NqEBSInterface& w, const std::string&) {
         EXPECT_EQ(Nodes(w).at(0).get(Node::hostName), "virt");
       }},
      {"service groups: only exact kinds with the exact status 'enabled'",
       {[] {
         AppFile f;
         f.groups = Group("web_entry", "enabled") + Group("web_applications", "Enabled") +
                    Group("web_admin", "disabled") + Group("Root", "enabled") +
                    Group("other", "enabled") + Group("web entry", "enabled") +
                    Group("batch", " enabled") + Group("forms", "enabled") +
                    Group("web_applications", "enabled") + Group("web_admin", "enabled");
         return f;
       }()},
       [](NqEBSInterface& w, const std::string&) {
         EXPECT_EQ(Nodes(w).at(0).list(Node::nodeTypes, Create::No),
                   (std::vector<int64_t>{Hux::Other, Hux::WebEntry, Hux::WebApplications,
                                         Hux::WebAdmin}));
       }},
      {"the release: the last s_apps_version option wins; a file without one empties the node's",
       {[] {
          AppFile f;
          f.options = R"(<config_option oa_var="s_apps_version">12.2.8</config_option>
                         <config_option oa_var="s_other">x</config_option>
                         <n><config_option oa_var="s_apps_version">12.2.9</config_option></n>
                         <config_option oa_var="S_APPS_VERSION">1.0</config_option>)";
          return f;
        }(),
        [] {
          AppFile f;
          f.options = "";
          f.extra =
              R"(<oa_system><config_option oa_var="s_apps_version">0.0</config_option></oa_system>)";
          return f;
        }()},
       [](NqEBSInterface& w, const std::string&) {
         EXPECT_EQ(Config(w).get(Hux::OraEBSConfig::appsVersion), "12.2.9");
         EXPECT_TRUE(Nodes(w).at(0).isSet(Node::appsVersion));
         EXPECT_EQ(Nodes(w).at(0).get(Node::appsVersion), "");
       }},
      {"environments: the last of a type wins; unknown types change nothing",
       {[] {
         AppFile f;
         f.environments =
             R"(<oa_environment type="applsys"><APPLTMP>/t1</APPLTMP><APPL_TOP>/at1</APPL_TOP></oa_environment>
                <oa_environment type="web_home"><ORACLE_HOME>/web</ORACLE_HOME></oa_environment>
                <oa_environment type="tools_home"><ORACLE_HOME>/tools</ORACLE_HOME></oa_environment>
                <oa_environment type="fmw_home"><ORACLE_HOME>/fmw</ORACLE_HOME><APPS_BASE>/fmwbase</APPS_BASE></oa_environment>
                <oa_environment type="adovars"><OAD_TOP>/oad</OAD_TOP></oa_environment>
                <oa_environment type="applsys"><APPLTMP>/t2</APPLTMP></oa_environment>
                <oa_environment type="Web_Home"><ORACLE_HOME>/case</ORACLE_HOME></oa_environment>)";
         return f;
       }()},
       [](NqEBSInterface& w, const std::string&) {
         Msg<Node> node = Nodes(w).at(0);
         EXPECT_EQ(node.get(Node::appsBase), "");
         EXPECT_EQ(node.get(Node::applTmp), "/t2");
         Msg<Context> c = node.list(Node::contexts, Create::No).at(0);
         EXPECT_EQ(c.get(Context::applTop), "");
         EXPECT_EQ(c.get(Context::webOracleHome), "/web");
         EXPECT_EQ(c.get(Context::toolsOracleHome), "/tools");
         EXPECT_EQ(c.get(Context::oadTop), "/oad");
       }},
      {"types and kinds come from the first list, values and statuses by position in the file",
       {[] {
         AppFile f;
         // Elements of the same names ahead of the lists shift the positions counted over the
         // whole file; a second list is not counted at all.
         f.host =
             R"(<host>h1</host><oa_environment type="stray"><APPS_BASE>/stray</APPS_BASE></oa_environment>
                     <oa_service_group type="stray"><oa_service_group_status>disabled</oa_service_group_status></oa_service_group>)";
         f.environments =
             R"(<oa_environment type="rapid_install"><APPS_BASE>/listed</APPS_BASE></oa_environment>)";
         f.groups = Group("root", "enabled") + Group("batch", "disabled");
         f.extra =
             R"(<oa_environments><oa_environment type="rapid_install"><APPS_BASE>/second</APPS_BASE></oa_environment></oa_environments>
                      <oa_service_group_list>)" +
             Group("other", "enabled") + "</oa_service_group_list>";
         return f;
       }()},
       [](NqEBSInterface& w, const std::string&) {
         Msg<Node> node = Nodes(w).at(0);
         EXPECT_EQ(node.get(Node::appsBase), "/stray");
         // root reads the stray group's status (disabled), batch the root group's (enabled).
         EXPECT_EQ(node.list(Node::nodeTypes, Create::No), std::vector<int64_t>{Hux::Batch});
       }},
      {"no parent elements: empty values, one node and one context all the same",
       {[] {
         AppFile f;
         f.host = f.domain = f.user = f.group = f.edition = f.options = f.environments = f.groups =
             "";
         return f;
       }()},
       [](NqEBSInterface& w, const std::string&) {
         ASSERT_EQ(Nodes(w).size(), 1u);
         Msg<Node> node = Nodes(w).at(0);
         EXPECT_EQ(node.get(Node::hostName), "");
         EXPECT_FALSE(node.isSet(Node::nodeTypes));
         EXPECT_TRUE(node.child(Node::client, Create::No).raw().empty());
         ExpectContext(node.list(Node::contexts, Create::No).at(0),
                       {"FS1", "", "", "", "", "", "ctx", "", ""});
         EXPECT_FALSE(Config(w).isSet(Hux::OraEBSConfig::appsVersion));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostSandbox sandbox;
    NqEBSInterface worker;
    for (const AppFile& f : c.files) Read(worker, f.Text());
    c.check(worker, sandbox.log());
  }
}

TEST(AppTier, AKnownNodeKeepsItsClientWhenALaterLookupFails) {
  HostSandbox sandbox;
  AddClient(sandbox, "c1", {"h1.d.example"}, 5, 77);
  NqEBSInterface worker;
  AppFile first;
  Read(worker, first.Text());
  AppFile second;
  second.domain = "<domain>elsewhere.example</domain>";
  Read(worker, second.Text());
  auto client = Nodes(worker).at(0).child(Node::client, Create::No);
  EXPECT_EQ(client.get(Client::clientName), "c1");
  EXPECT_EQ(client.get(Client::clientId), 77);
  EXPECT_EQ(client.get(Client::hiveId), 5);
}

// The lookups stay cheap on large files: tens of thousands of options and service groups.
TEST(AppTier, LargeFilesAreReadInLinearTime) {
  HostSandbox sandbox;
  ScopedEnv quiet("EBS_HOST_LOG_LEVEL", "off");
  AppFile f;
  f.options.clear();
  for (int i = 0; i < 20000; ++i)
    f.options += "<config_option oa_var=\"s_o" + std::to_string(i) + "\">v</config_option>";
  f.options += R"(<config_option oa_var="s_apps_version">12.2.13</config_option>)";
  f.groups.clear();
  for (int i = 0; i < 5000; ++i) f.groups += Group(i % 2 ? "batch" : "forms", "enabled");
  NqEBSInterface worker;
  const auto start = std::chrono::steady_clock::now();
  Read(worker, f.Text());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(Config(worker).get(Hux::OraEBSConfig::appsVersion), "12.2.13");
  EXPECT_EQ(Nodes(worker).at(0).list(Node::nodeTypes, Create::No).size(), 2500u);
}

}  // namespace
