#include "context/tier_merge.h"

#include <cstdint>

#include "base/text.h"
#include "messages/node_types.h"
#include "platform/host/log.h"

namespace {

// The temporary directory of a database node is not read from the file.
constexpr const char* kDBTempDirectory = "/usr/tmp";
// The edition of an application-tier file that names none.
constexpr const char* kDefaultFileEdition = "fs1";

Status Refused() { return Status::Error("a value of the context file is over the bound"); }

// Fills the client of a node from the lookup of "<host>.<domain>".
void LookUpClient(PXMessageBase& clientSlot, const std::string& host, const std::string& domain,
                  const ClientLookup& lookup) {
  NqEntities::ClientEntity client(clientSlot);
  lookup(host + "." + domain, client);
  clientSlot = client;
}

// The text of the last `childName` element below `tagName` 0 whose oa_var is `var`, or "".
std::string LastOption(ContextDocument& d, const char* tagName, const char* childName,
                       const char* var) {
  std::string value;
  const int count = d.ChildCount(tagName, 0, childName);
  for (int i = 0; i < count; ++i)
    if (d.ChildAttribute(tagName, 0, childName, i, "oa_var") == var)
      value = d.ChildValue(tagName, 0, childName, i);
  return value;
}

}  // namespace

Msg<Hux::OraEBSAppNode> AppNodeIndex::NodeOf(MsgList<Hux::OraEBSAppNode> nodes,
                                             const std::string& host) {
  if (indexed_ != &nodes.raw() || count_ != nodes.size()) {
    // The first node of a host is the one a file merges into.
    byHost_.clear();
    for (size_t n = 0; n < nodes.size(); ++n)
      byHost_.emplace(nodes.at(n).get(Hux::OraEBSAppNode::hostName), n);
    indexed_ = &nodes.raw();
  }
  const auto [at, added] = byHost_.emplace(host, nodes.size());
  Msg<Hux::OraEBSAppNode> node = added ? nodes.append() : nodes.at(at->second);
  count_ = nodes.size();
  return node;
}

Status MergeDbTier(ContextDocument& d, Msg<Hux::OraEBSReqResp> request,
                   const ClientLookup& lookup) {
  static const char* const kLabel = "ProcessDBTierTags";
  EvEvent log;
  EvDebug::Debug(log, kLabel, "Enter");

  const std::string dbName = d.ChildValue("oa_context", 0, "global_db_name", 0);
  const std::string serviceNames = d.ChildValue("oa_context", 0, "service_names", 0);
  // The host is the text of the last "host" element that names itself s_hostname.
  const std::string hostName = LastOption(d, "oa_host", "host", "s_hostname");
  const std::string platform = d.ChildValue("oa_host", 0, "platform", 0);
  const std::string domain = d.ChildValue("oa_host", 0, "domain", 0);
  const std::string dbUser = d.ChildValue("oa_host", 0, "dbuser", 0);
  const std::string dbGroup = d.ChildValue("oa_host", 0, "dbgroup", 0);
  const std::string dbVersion = d.ChildValue("oa_system", 0, "compatible", 0);
  const std::string contextName = d.ChildValue("oa_context", 0, "oa_context_name", 0);
  const std::string contextFilePath = d.ChildValue("oa_context", 0, "oa_context_file_loc", 0);
  const std::string dbPort = d.ChildValue("oa_db_server", 0, "dbport", 0);

  // Environments: the last one of each type wins. The type is read within the first list of
  // environments, the values from the environment of the same position in the whole document.
  std::string baseDirectory, oracleHome, dataDirectory;
  const int environments = d.ChildCount("oa_environments", 0, "oa_environment");
  for (int j = 0; j < environments; ++j) {
    const std::string type = d.ChildAttribute("oa_environments", 0, "oa_environment", j, "type");
    if (type == "rapid_install") {
      baseDirectory = d.ChildValue("oa_environment", j, "APPS_BASE", 0);
      dataDirectory = d.ChildValue("oa_environment", j, "db_datfiles", 0);
    } else if (type == "db_home") {
      oracleHome = d.ChildValue("oa_environment", j, "ORACLE_HOME", 0);
    }
  }
  const std::string appsVersion = LastOption(d, "oa_system", "config_option", "s_apps_version");

  if (d.valueOverBound()) return Refused();

  EvDebug::Debug(log, kLabel, "DB SID %s", dbName.c_str());
  EvDebug::Debug(log, kLabel, "Service Name %s", serviceNames.c_str());
  EvDebug::Debug(log, kLabel, "Host Name %s", hostName.c_str());
  EvDebug::Debug(log, kLabel, "Domain Name %s", domain.c_str());
  EvDebug::Debug(log, kLabel, "Platform %s", platform.c_str());
  EvDebug::Debug(log, kLabel, "DB User %s", dbUser.c_str());
  EvDebug::Debug(log, kLabel, "DB Group %s", dbGroup.c_str());
  EvDebug::Debug(log, kLabel, "DB Version %s", dbVersion.c_str());
  EvDebug::Debug(log, kLabel, "DB Context Name %s", contextName.c_str());
  EvDebug::Debug(log, kLabel, "DB Context File Path %s", contextFilePath.c_str());
  EvDebug::Debug(log, kLabel, "DB Base %s", baseDirectory.c_str());
  EvDebug::Debug(log, kLabel, "DB Home %s", oracleHome.c_str());
  EvDebug::Debug(log, kLabel, "DB Data Dir %s", dataDirectory.c_str());

  using Node = Hux::OraEBSDBNode;
  Node nodeMessage;
  auto node = View(nodeMessage);
  node.set(Node::dbName, dbName);
  node.set(Node::hostName, hostName);
  node.set(Node::appsVersion, appsVersion);
  node.set(Node::oracleHome, oracleHome);
  node.set(Node::dbPort, dbPort);
  node.set(Node::contextName, contextName);
  node.set(Node::contextFilePath, contextFilePath);
  node.set(Node::osGroup, dbGroup);
  node.set(Node::tempDirectory, kDBTempDirectory);
  node.set(Node::platform, platform);
  node.list(Node::dataDirectories, Create::Yes).push_back(dataDirectory);
  node.set(Node::baseDirectory, baseDirectory);
  node.child(Node::osUser, Create::Yes).set(UserCredentials::userName, dbUser);
  LookUpClient(node.child(Node::client, Create::Yes).raw(), hostName, domain, lookup);

  using Tier = Hux::OraEBSDBTier;
  auto tier = request.child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
                  .child(Hux::OraEBSConfig::dbTier, Create::Yes);
  MsgList<Node> nodes = tier.list(Tier::dbNodes, Create::Yes);
  nodes.clear();
  nodes.append(nodeMessage);
  tier.set(Tier::dbName, dbName);
  tier.set(Tier::dbSid, serviceNames);
  tier.set(Tier::dbPort, dbPort);
  tier.child(Tier::osUser, Create::Yes).set(UserCredentials::userName, dbUser);
  tier.set(Tier::osGroup, dbGroup);
  return Status::Ok();
}

Status MergeAppTier(ContextDocument& d, Msg<Hux::OraEBSReqResp> request, AppNodeIndex& index,
                    const ClientLookup& lookup) {
  const std::string host = d.ChildValue("oa_host", 0, "host", 0);
  const std::string domain = d.ChildValue("oa_host", 0, "domain", 0);
  const std::string appsUser = d.ChildValue("oa_host", 0, "appsuser", 0);
  const std::string appsGroup = d.ChildValue("oa_host", 0, "appsgroup", 0);
  const std::string platform = d.ChildValue("oa_host", 0, "platform", 0);
  std::string fileEdition = d.ChildValue("oa_system_config", 0, "file_edition_name", 0);
  const std::string contextName = d.ChildValue("oa_context", 0, "oa_context_name", 0);
  const std::string contextFilePath = d.ChildValue("oa_context", 0, "oa_context_file_loc", 0);

  if (fileEdition.empty()) fileEdition = kDefaultFileEdition;
  fileEdition = AsciiUpper(fileEdition);
  const std::string appsVersion =
      LastOption(d, "oa_system_config", "config_option", "s_apps_version");

  // Environments: the last one of each type wins. The type is read within the first list of
  // environments, the values from the environment of the same position in the whole document.
  std::string appsBase, toolsOracleHome, webOracleHome, applTmp, applTop, oadTop;
  const int environments = d.ChildCount("oa_environments", 0, "oa_environment");
  for (int k = 0; k < environments; ++k) {
    const std::string type = d.ChildAttribute("oa_environments", 0, "oa_environment", k, "type");
    if (type == "rapid_install") {
      appsBase = d.ChildValue("oa_environment", k, "APPS_BASE", 0);
    } else if (type == "tools_home") {
      toolsOracleHome = d.ChildValue("oa_environment", k, "ORACLE_HOME", 0);
    } else if (type == "web_home") {
      webOracleHome = d.ChildValue("oa_environment", k, "ORACLE_HOME", 0);
    } else if (type == "applsys") {
      applTmp = d.ChildValue("oa_environment", k, "APPLTMP", 0);
      applTop = d.ChildValue("oa_environment", k, "APPL_TOP", 0);
    } else if (type == "adovars") {
      oadTop = d.ChildValue("oa_environment", k, "OAD_TOP", 0);
    }
  }

  const std::string configHome = d.ChildValue("oa_shared_config", 0, "config_home", 0);

  // Enabled service groups of a known kind, in file order, duplicates kept. The kind is read
  // within the first service group list, the status from the group of the same position in the
  // whole document.
  std::vector<int64_t> kinds;
  const int groups = d.ChildCount("oa_service_group_list", 0, "oa_service_group");
  for (int g = 0; g < groups; ++g) {
    const int32_t kind = NodeTypeOfServiceGroup(
        d.ChildAttribute("oa_service_group_list", 0, "oa_service_group", g, "type"));
    if (kind == 0) continue;
    if (d.ChildValue("oa_service_group", g, "oa_service_group_status", 0) == "enabled")
      kinds.push_back(kind);
  }

  if (d.valueOverBound()) return Refused();

  auto config = request.child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  using Tier = Hux::OraEBSAppTier;
  auto tier = config.child(Hux::OraEBSConfig::appTier, Create::Yes);
  // The tier's own values come from the first file that gives them.
  if (tier.get(Tier::hostName).empty()) tier.set(Tier::hostName, host);
  auto tierUser = tier.child(Tier::osUser, Create::Yes);
  if (tierUser.get(UserCredentials::userName).empty())
    tierUser.set(UserCredentials::userName, appsUser);
  if (tier.get(Tier::osGroup).empty()) tier.set(Tier::osGroup, appsGroup);

  // One node per host; a later file of the same host overwrites the node's values.
  using Node = Hux::OraEBSAppNode;
  Msg<Node> node = index.NodeOf(tier.list(Tier::appNodes, Create::Yes), host);
  node.set(Node::appsBase, appsBase);
  node.set(Node::hostName, host);
  node.set(Node::appsVersion, appsVersion);
  node.set(Node::configHome, configHome);
  node.set(Node::platform, platform);
  node.child(Node::osUser, Create::Yes).set(UserCredentials::userName, appsUser);
  node.set(Node::osGroup, appsGroup);
  node.set(Node::applTmp, applTmp);
  LookUpClient(node.child(Node::client, Create::Yes).raw(), host, domain, lookup);

  using Context = Hux::OraEBSContext;
  Msg<Context> context = node.list(Node::contexts, Create::Yes).append();
  context.set(Context::fileEditionName, fileEdition);
  context.set(Context::hostName, host);
  context.set(Context::applTop, applTop);
  context.set(Context::oadTop, oadTop);
  context.set(Context::webOracleHome, webOracleHome);
  context.set(Context::toolsOracleHome, toolsOracleHome);
  context.set(Context::contextName, contextName);
  context.set(Context::contextFilePath, contextFilePath);
  context.set(Context::configHome, configHome);

  if (!appsVersion.empty()) config.set(Hux::OraEBSConfig::appsVersion, appsVersion);
  if (!kinds.empty()) {
    std::vector<int64_t>& types = node.list(Node::nodeTypes, Create::Yes);
    types.insert(types.end(), kinds.begin(), kinds.end());
  }
  return Status::Ok();
}
