// The database-tier reader: a realistic context file field by field, then the rules one by one.
#include <gtest/gtest.h>

#include <functional>

#include "support/worker_access.h"

namespace {

using Node = Hux::OraEBSDBNode;
using Tier = Hux::OraEBSDBTier;

Msg<Tier> DBTier(NqEBSInterface& worker) {
  return View(NqEBSInterfaceTest::Request(worker))
      .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
      .child(Hux::OraEBSConfig::dbTier, Create::No);
}

TEST(DBTier, RealisticContextFile) {
  HostSandbox sandbox;
  AddClient(sandbox, "ebsdb01-client", {"EBSDB01.corp.example.com"}, 7, 1201);
  NqEBSInterface worker;
  // The request already held a tier with two nodes and a password for the database owner.
  auto given = View(NqEBSInterfaceTest::Request(worker))
                   .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
                   .child(Hux::OraEBSConfig::dbTier, Create::Yes);
  given.list(Tier::dbNodes, Create::Yes).append().set(Node::hostName, "old1");
  given.list(Tier::dbNodes, Create::Yes).append().set(Node::hostName, "old2");
  given.set(Tier::dbSid, "VISSID");
  given.child(Tier::osUser, Create::Yes).set(UserCredentials::password, "kept-password");

  ASSERT_TRUE(worker.initParser(TestData("db_VIS_ebsdb01.xml")));
  EXPECT_EQ(worker.ProcessDBTierTags(), 0);

  auto tier = DBTier(worker);
  EXPECT_EQ(tier.get(Tier::dbName), "VIS");
  EXPECT_EQ(tier.get(Tier::dbSid), "VIS,ebs_VIS");  // the service names replace the SID
  EXPECT_EQ(tier.get(Tier::dbPort), "1521");
  EXPECT_EQ(tier.get(Tier::osGroup), "dba");
  EXPECT_EQ(tier.child(Tier::osUser, Create::No).get(UserCredentials::userName), "oracle");
  EXPECT_EQ(
      tier.child(Tier::osUser, Create::No).get(UserCredentials::password).getPlainPassword().str(),
      "kept-password");

  MsgList<Node> nodes = tier.list(Tier::dbNodes, Create::No);
  ASSERT_EQ(nodes.size(), 1u);
  Msg<Node> node = nodes.at(0);
  const std::string home = "/u01/app/oracle/product/19.0.0/dbhome_1";
  EXPECT_EQ(node.get(Node::dbName), "VIS");
  EXPECT_EQ(node.get(Node::hostName), "ebsdb01");
  EXPECT_EQ(node.get(Node::appsVersion), "12.2.12");
  EXPECT_EQ(node.get(Node::oracleHome), home);
  EXPECT_EQ(node.get(Node::dbPort), "1521");
  EXPECT_EQ(node.get(Node::contextName), "VIS_ebsdb01");
  EXPECT_EQ(node.get(Node::contextFilePath), home + "/appsutil/VIS_ebsdb01.xml");
  EXPECT_EQ(node.get(Node::osGroup), "dba");
  EXPECT_EQ(node.get(Node::tempDirectory), "/usr/tmp");
  EXPECT_EQ(node.get(Node::platform), "LINUX_X86-64");
  EXPECT_EQ(node.list(Node::dataDirectories, Create::No),
            std::vector<std::string>{"/u02/oradata/VIS"});
  EXPECT_EQ(node.get(Node::baseDirectory), "/u01/app/oracle");
  EXPECT_EQ(node.child(Node::osUser, Create::No).get(UserCredentials::userName), "oracle");
  auto client = node.child(Node::client, Create::No);
  EXPECT_EQ(client.get(NqEntities::ClientEntity::clientName), "ebsdb01-client");
  EXPECT_EQ(client.get(NqEntities::ClientEntity::clientId), 1201);
  EXPECT_EQ(client.get(NqEntities::ClientEntity::hiveId), 7);
  // Nothing else is written into the node.
  EXPECT_EQ(node.raw().fields().size(), 14u);

  const std::vector<std::string> expected = {
      "Enter",
      "DB SID VIS",
      "Service Name VIS,ebs_VIS",
      "Host Name ebsdb01",
      "Domain Name corp.example.com",
      "Platform LINUX_X86-64",
      "DB User oracle",
      "DB Group dba",
      "DB Version 19.0.0",
      "DB Context Name VIS_ebsdb01",
      "DB Context File Path " + home + "/appsutil/VIS_ebsdb01.xml",
      "DB Base /u01/app/oracle",
      "DB Home " + home,
      "DB Data Dir /u02/oradata/VIS",
  };
  EXPECT_EQ(LogLines(sandbox.log(), "ProcessDBTierTags"), expected);
  EXPECT_EQ(LogLines(sandbox.log(), "GetClientForHost"),
            std::vector<std::string>{"Client Name [ebsdb01-client], Client Id [1201], HV ID [7]"});
}

// One small document per rule; `check` looks at the tier after reading it.
TEST(DBTier, Rules) {
  struct Case {
    const char* what;
    std::string text;
    std::function<void(Msg<Tier>, Msg<Node>, const std::string& log)> check;
  } cases[] = {
      {"of the s_hostname hosts the last wins; other names and letter case do not match",
       R"(<oa_context><oa_host>
            <host oa_var="s_hostname">first</host>
            <host oa_var="s_virtual_hostname">virtual</host>
            <sub><host oa_var="s_hostname">second</host></sub>
            <host oa_var="S_HOSTNAME">upper</host>
            <domain>d.example</domain></oa_host></oa_context>)",
       [](Msg<Tier>, Msg<Node> node, const std::string& log) {
         EXPECT_EQ(node.get(Node::hostName), "second");
         EXPECT_NE(log.find("Client host name [second.d.example]"), std::string::npos);
       }},
      {"no s_hostname host: empty host, looked up as '.' and the domain",
       R"(<oa_context><oa_host><host>plain</host><domain>d.example</domain></oa_host></oa_context>)",
       [](Msg<Tier>, Msg<Node> node, const std::string& log) {
         EXPECT_EQ(node.get(Node::hostName), "");
         EXPECT_TRUE(node.isSet(Node::hostName));
         EXPECT_NE(log.find("Unable to fetch client ID for Client host name [.d.example]"),
                   std::string::npos);
         EXPECT_NE(log.find("[ProcessDBTierTags] Host Name \n"), std::string::npos);
       }},
      {"an empty domain leaves the lookup name ending in '.'",
       R"(<oa_context><oa_host><host oa_var="s_hostname">db1</host></oa_host></oa_context>)",
       [](Msg<Tier>, Msg<Node>, const std::string& log) {
         EXPECT_NE(log.find("Client host name [db1.]"), std::string::npos);
       }},
      {"environments: the last of each type wins; types compare exactly",
       R"(<oa_context><oa_environments>
            <oa_environment type="rapid_install"><APPS_BASE>/b1</APPS_BASE><db_datfiles>/d1</db_datfiles></oa_environment>
            <oa_environment type="db_home"><ORACLE_HOME>/h1</ORACLE_HOME></oa_environment>
            <oa_environment type="rapid_install"><APPS_BASE>/b2</APPS_BASE></oa_environment>
            <oa_environment type="Rapid_Install"><APPS_BASE>/b3</APPS_BASE><db_datfiles>/d3</db_datfiles></oa_environment>
            <oa_environment type="db_home"><x><ORACLE_HOME>/h2</ORACLE_HOME></x></oa_environment>
            <oa_environment type="DB_HOME"><ORACLE_HOME>/h3</ORACLE_HOME></oa_environment>
          </oa_environments></oa_context>)",
       [](Msg<Tier>, Msg<Node> node, const std::string&) {
         EXPECT_EQ(node.get(Node::baseDirectory), "/b2");
         // The winning environment gives no data files: they are empty, not those of the first.
         EXPECT_EQ(node.list(Node::dataDirectories, Create::No), std::vector<std::string>{""});
         EXPECT_EQ(node.get(Node::oracleHome), "/h2");
       }},
      {"environments outside the first list are not counted",
       R"(<oa_context><oa_environments><oa_environment type="db_home"><ORACLE_HOME>/h1</ORACLE_HOME></oa_environment></oa_environments>
          <oa_environments><oa_environment type="db_home"><ORACLE_HOME>/h2</ORACLE_HOME></oa_environment></oa_environments></oa_context>)",
       [](Msg<Tier>, Msg<Node> node, const std::string&) {
         EXPECT_EQ(node.get(Node::oracleHome), "/h1");
       }},
      {"the release: the last s_apps_version option within oa_system",
       R"(<oa_context><oa_system><config_option oa_var="s_apps_version">12.1.3</config_option>
            <deep><config_option oa_var="s_apps_version">12.2.10</config_option></deep>
            <config_option oa_var="S_APPS_VERSION">9.9</config_option><compatible>19.0.0</compatible></oa_system>
          <oa_host><config_option oa_var="s_apps_version">0.0</config_option></oa_host></oa_context>)",
       [](Msg<Tier>, Msg<Node> node, const std::string& log) {
         EXPECT_EQ(node.get(Node::appsVersion), "12.2.10");
         EXPECT_NE(log.find("DB Version 19.0.0"), std::string::npos);
       }},
      {"no parent elements at all: every value empty, the node is stored all the same",
       "<oa_context/>",
       [](Msg<Tier> tier, Msg<Node> node, const std::string&) {
         for (auto f : {&Node::dbName, &Node::hostName, &Node::appsVersion, &Node::oracleHome,
                        &Node::dbPort, &Node::contextName, &Node::contextFilePath, &Node::osGroup,
                        &Node::platform, &Node::baseDirectory}) {
           SCOPED_TRACE(f->name);
           EXPECT_TRUE(node.isSet(*f));
           EXPECT_EQ(node.get(*f), "");
         }
         EXPECT_EQ(node.get(Node::tempDirectory), "/usr/tmp");
         EXPECT_EQ(node.list(Node::dataDirectories, Create::No), std::vector<std::string>{""});
         EXPECT_TRUE(node.isSet(Node::client));
         EXPECT_TRUE(node.child(Node::client, Create::No).raw().empty());
         EXPECT_EQ(tier.get(Tier::dbName), "");
         EXPECT_EQ(tier.child(Tier::osUser, Create::No).get(UserCredentials::userName), "");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostSandbox sandbox;
    NqEBSInterface worker;
    ASSERT_TRUE(worker.initParser(c.text));
    EXPECT_EQ(worker.ProcessDBTierTags(), 0);
    auto tier = DBTier(worker);
    MsgList<Node> nodes = tier.list(Tier::dbNodes, Create::No);
    ASSERT_EQ(nodes.size(), 1u);
    c.check(tier, nodes.at(0), sandbox.log());
  }
}

TEST(DBTier, EachFileReplacesTheNodeAndTheTierValues) {
  HostSandbox sandbox;
  NqEBSInterface worker;
  ASSERT_TRUE(worker.initParser(TestData("db_VIS_ebsdb01.xml")));
  worker.ProcessDBTierTags();
  ASSERT_TRUE(worker.initParser(
      R"(<oa_context><global_db_name>PROD</global_db_name><oa_host><host oa_var="s_hostname">db2</host>
         <dbuser>oraprod</dbuser></oa_host></oa_context>)"));
  worker.ProcessDBTierTags();
  auto tier = DBTier(worker);
  ASSERT_EQ(tier.list(Tier::dbNodes, Create::No).size(), 1u);
  EXPECT_EQ(tier.list(Tier::dbNodes, Create::No).at(0).get(Node::hostName), "db2");
  EXPECT_EQ(tier.get(Tier::dbName), "PROD");
  EXPECT_EQ(tier.get(Tier::dbPort), "");  // overwritten even with an empty value
  EXPECT_EQ(tier.get(Tier::osGroup), "");
  EXPECT_EQ(tier.child(Tier::osUser, Create::No).get(UserCredentials::userName), "oraprod");
}

}  // namespace
