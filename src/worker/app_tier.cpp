// Reader of an application-tier context file: merges the file's host into the application tier
// (one node per distinct host, one context record per file, the enabled service groups as kinds).
#include <cstdint>
#include <vector>

#include "worker/NqEBSInterface.h"

namespace {

// The edition of a file that names none.
constexpr const char* kDefaultFileEdition = "fs1";

// The node kind of a service group "type", or 0 for a kind that is not recorded.
int32_t ServiceGroupKind(const std::string& type) {
  static const struct {
    const char* type;
    Hux::OraEBSNodeType kind;
  } kKinds[] = {
      {"root", Hux::Root},
      {"web_admin", Hux::WebAdmin},
      {"web entry", Hux::WebEntry},  // written with a blank in context files
      {"web_applications", Hux::WebApplications},
      {"batch", Hux::Batch},
      {"other", Hux::Other},
  };
  for (const auto& k : kKinds)
    if (type == k.type) return k.kind;
  return 0;
}

std::string UpperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

int NqEBSInterface::ProcessAppTierTags() {
  try {
    const std::string host = getChildValue("oa_host", 0, "host", 0);
    const std::string domain = getChildValue("oa_host", 0, "domain", 0);
    const std::string appsUser = getChildValue("oa_host", 0, "appsuser", 0);
    const std::string appsGroup = getChildValue("oa_host", 0, "appsgroup", 0);
    const std::string platform = getChildValue("oa_host", 0, "platform", 0);
    std::string fileEdition = getChildValue("oa_system_config", 0, "file_edition_name", 0);
    const std::string contextName = getChildValue("oa_context", 0, "oa_context_name", 0);
    const std::string contextFilePath = getChildValue("oa_context", 0, "oa_context_file_loc", 0);

    if (fileEdition.empty()) fileEdition = kDefaultFileEdition;
    fileEdition = UpperCase(fileEdition);

    std::string appsVersion;  // the last s_apps_version option wins
    const int options = getChildCount("oa_system_config", 0, "config_option");
    for (int j = 0; j < options; ++j) {
      if (getChildAttribute("oa_system_config", 0, "config_option", j, "oa_var") ==
          "s_apps_version")
        appsVersion = getChildValue("oa_system_config", 0, "config_option", j);
    }

    // Environments: the last one of each type wins. The type is read within the first list of
    // environments, the values from the environment of the same position in the whole document.
    std::string appsBase, toolsOracleHome, webOracleHome, applTmp, applTop, oadTop;
    const int environments = getChildCount("oa_environments", 0, "oa_environment");
    for (int k = 0; k < environments; ++k) {
      const std::string type = getChildAttribute("oa_environments", 0, "oa_environment", k, "type");
      if (type == "rapid_install") {
        appsBase = getChildValue("oa_environment", k, "APPS_BASE", 0);
      } else if (type == "tools_home") {
        toolsOracleHome = getChildValue("oa_environment", k, "ORACLE_HOME", 0);
      } else if (type == "web_home") {
        webOracleHome = getChildValue("oa_environment", k, "ORACLE_HOME", 0);
      } else if (type == "applsys") {
        applTmp = getChildValue("oa_environment", k, "APPLTMP", 0);
        applTop = getChildValue("oa_environment", k, "APPL_TOP", 0);
      } else if (type == "adovars") {
        oadTop = getChildValue("oa_environment", k, "OAD_TOP", 0);
      }
    }

    const std::string configHome = getChildValue("oa_shared_config", 0, "config_home", 0);

    // Enabled service groups of a known kind, in file order, duplicates kept. The kind is read
    // within the first service group list, the status from the group of the same position in the
    // whole document.
    std::vector<int64_t> kinds;
    const int groups = getChildCount("oa_service_group_list", 0, "oa_service_group");
    for (int g = 0; g < groups; ++g) {
      const int32_t kind = ServiceGroupKind(
          getChildAttribute("oa_service_group_list", 0, "oa_service_group", g, "type"));
      if (kind == 0) continue;
      if (getChildValue("oa_service_group", g, "oa_service_group_status", 0) == "enabled")
        kinds.push_back(kind);
    }

    if (valueOverBound) return 1;  // the file is refused

    auto config = View(request).child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
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
    MsgList<Node> nodes = tier.list(Tier::appNodes, Create::Yes);
    if (appNodesIndexed != &nodes.raw() || appNodesCount != nodes.size()) {
      // Not the list indexed last (a new request, or nodes that came with it): indexed again,
      // the first node of a host being the one a file merges into.
      appNodeByHost.clear();
      for (size_t n = 0; n < nodes.size(); ++n)
        appNodeByHost.emplace(nodes.at(n).get(Node::hostName), n);
      appNodesIndexed = &nodes.raw();
    }
    const auto [at, added] = appNodeByHost.emplace(host, nodes.size());
    Msg<Node> node = added ? nodes.append() : nodes.at(at->second);
    appNodesCount = nodes.size();
    node.set(Node::appsBase, appsBase);
    node.set(Node::hostName, host);
    node.set(Node::appsVersion, appsVersion);
    node.set(Node::configHome, configHome);
    node.set(Node::platform, platform);
    node.child(Node::osUser, Create::Yes).set(UserCredentials::userName, appsUser);
    node.set(Node::osGroup, appsGroup);
    node.set(Node::applTmp, applTmp);

    PXMessageBase& clientSlot = node.child(Node::client, Create::Yes).raw();
    NqEntities::ClientEntity client(clientSlot);
    GetClientForHost(host + "." + domain, &client);
    clientSlot = client;

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
  } catch (const std::exception& e) {
    // Only running out of memory can get here; the file's values are then incomplete.
    EvDebug::Debug(logContext, "ProcessAppTierTags", "Failed to read the context file: %s",
                   e.what());
  } catch (...) {
    EvDebug::Debug(logContext, "ProcessAppTierTags", "Failed to read the context file");
  }
  return 0;
}
