// The database-tier reader: a realistic context file field by field, then the rules one by one.
#include <gtest/gtest.h>

#include "support/context_reader.h"
#include "support/worker_access.h"  // LogLines, TestData

namespace {

using Node = Hux::OraEBSDBNode;
using Tier = Hux::OraEBSDBTier;

Msg<Tier> DBTier(ContextReader& reader) {
  return reader.Config().child(Hux::OraEBSConfig::dbTier, Create::Yes);
}

// Reads `text` and returns the tier's only node.
Msg<Node> ReadDB(ContextReader& reader, const std::string& text) {
  reader.Read(text, true);
  MsgList<Node> nodes = DBTier(reader).list(Tier::dbNodes, Create::Yes);
  EXPECT_EQ(nodes.size(), 1u);
  return nodes.at(0);
}

TEST(DBTier, RealisticContextFileThenAnEmptyOne) {
  HostSandbox sandbox;
  ContextReader reader;
  reader.AddClient("ebsdb01.corp.example.com", "ebsdb01-client", 1201, 7);
  // The request already held a tier with a node, a SID and a password for the database owner.
  auto given = DBTier(reader);
  given.list(Tier::dbNodes, Create::Yes).append().set(Node::hostName, "old");
  given.set(Tier::dbSid, "VISSID");
  given.child(Tier::osUser, Create::Yes).set(UserCredentials::password, "kept-password");

  Msg<Node> node = ReadDB(reader, TestData("db_VIS_ebsdb01.xml"));
  auto tier = DBTier(reader);
  // The service names replace the SID.
  EXPECT_EQ(Values(tier, {&Tier::dbName, &Tier::dbSid, &Tier::dbPort, &Tier::osGroup}),
            "VIS|VIS,ebs_VIS|1521|dba");
  auto owner = tier.child(Tier::osUser, Create::No);
  EXPECT_EQ(owner.get(UserCredentials::userName), "oracle");
  EXPECT_EQ(owner.get(UserCredentials::password).getPlainPassword().str(), "kept-password");

  const std::string home = "/u01/app/oracle/product/19.0.0/dbhome_1";
  EXPECT_EQ(Values(node, {&Node::dbName, &Node::hostName, &Node::appsVersion, &Node::oracleHome,
                          &Node::dbPort, &Node::contextName, &Node::contextFilePath,
                          &Node::osGroup, &Node::tempDirectory, &Node::platform}),
            "VIS|ebsdb01|12.2.12|" + home + "|1521|VIS_ebsdb01|" + home +
                "/appsutil/VIS_ebsdb01.xml|dba|/usr/tmp|LINUX_X86-64");
  EXPECT_EQ(node.list(Node::dataDirectories, Create::No),
            std::vector<std::string>{"/u02/oradata/VIS"});
  EXPECT_EQ(node.get(Node::baseDirectory), "/u01/app/oracle");
  EXPECT_EQ(node.child(Node::osUser, Create::No).get(UserCredentials::userName), "oracle");
  auto client = node.child(Node::client, Create::No);
  EXPECT_EQ(client.get(NqEntities::ClientEntity::clientName) + "|" +
                std::to_string(client.get(NqEntities::ClientEntity::clientId)) + "|" +
                std::to_string(client.get(NqEntities::ClientEntity::hiveId)),
            "ebsdb01-client|1201|7");
  EXPECT_EQ(node.raw().fields().size(), 14u);  // nothing else is written into the node

  EXPECT_EQ(LogLines(sandbox.log(), "ProcessDBTierTags"),
            Split("Enter|DB SID VIS|Service Name VIS,ebs_VIS|Host Name ebsdb01|"
                  "Domain Name corp.example.com|Platform LINUX_X86-64|DB User oracle|"
                  "DB Group dba|DB Version 19.0.0|DB Context Name VIS_ebsdb01|"
                  "DB Context File Path /u01/app/oracle/product/19.0.0/dbhome_1/appsutil/"
                  "VIS_ebsdb01.xml|DB Base /u01/app/oracle|"
                  "DB Home /u01/app/oracle/product/19.0.0/dbhome_1|DB Data Dir /u02/oradata/VIS",
                  '|'));

  // A file with nothing but a host that is not s_hostname: the node and the tier values are
  // replaced with empty ones, and the empty host and domain are looked up as ".", which no client
  // is.
  node = ReadDB(reader, "<oa_context><oa_host><host>plain</host></oa_host></oa_context>");
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
  EXPECT_EQ(Values(DBTier(reader), {&Tier::dbName, &Tier::dbSid, &Tier::dbPort, &Tier::osGroup}),
            "|||");
  EXPECT_EQ(DBTier(reader).child(Tier::osUser, Create::No).get(UserCredentials::userName), "");
  EXPECT_EQ(reader.lookups.back(), ".");
}

TEST(DBTier, Rules) {
  ContextReader reader;
  // Of the s_hostname hosts at any depth the last wins; other names and letter case do not match.
  Msg<Node> node = ReadDB(reader, R"(<oa_context><oa_host>
      <host oa_var="s_hostname">first</host><host oa_var="s_virtual_hostname">virtual</host>
      <sub><host oa_var="s_hostname">second</host></sub><host oa_var="S_HOSTNAME">upper</host>
      <domain>d.example</domain></oa_host></oa_context>)");
  EXPECT_EQ(node.get(Node::hostName), "second");

  // Environments: the last of each type wins, its values at any depth; the winner gives no data
  // files, so they are empty rather than the first's; types compare exactly; a second list of
  // environments is not counted.
  node = ReadDB(reader, R"(<oa_context><oa_environments>
      <oa_environment type="rapid_install"><APPS_BASE>/b1</APPS_BASE><db_datfiles>/d1</db_datfiles></oa_environment>
      <oa_environment type="db_home"><ORACLE_HOME>/h1</ORACLE_HOME></oa_environment>
      <oa_environment type="rapid_install"><APPS_BASE>/b2</APPS_BASE></oa_environment>
      <oa_environment type="Rapid_Install"><APPS_BASE>/b3</APPS_BASE><db_datfiles>/d3</db_datfiles></oa_environment>
      <oa_environment type="db_home"><x><ORACLE_HOME>/h2</ORACLE_HOME></x></oa_environment>
      <oa_environment type="DB_HOME"><ORACLE_HOME>/h3</ORACLE_HOME></oa_environment>
    </oa_environments><oa_environments>
      <oa_environment type="db_home"><ORACLE_HOME>/h4</ORACLE_HOME></oa_environment>
    </oa_environments></oa_context>)");
  EXPECT_EQ(node.get(Node::baseDirectory), "/b2");
  EXPECT_EQ(node.list(Node::dataDirectories, Create::No), std::vector<std::string>{""});
  EXPECT_EQ(node.get(Node::oracleHome), "/h2");

  // The release: the last s_apps_version option at any depth within oa_system only.
  node = ReadDB(reader, R"(<oa_context><oa_system>
      <config_option oa_var="s_apps_version">12.1.3</config_option>
      <deep><config_option oa_var="s_apps_version">12.2.10</config_option></deep>
      <config_option oa_var="S_APPS_VERSION">9.9</config_option></oa_system>
    <oa_host><config_option oa_var="s_apps_version">0.0</config_option></oa_host></oa_context>)");
  EXPECT_EQ(node.get(Node::appsVersion), "12.2.10");
}

}  // namespace
