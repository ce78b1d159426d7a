// Reader of a database-tier context file: the database node and the values of the tier.
#include "worker/NqEBSInterface.h"

namespace {

// The temporary directory of a database node is not read from the file.
constexpr const char* kDBTempDirectory = "/usr/tmp";

}  // namespace

int NqEBSInterface::ProcessDBTierTags() {
  static const char* const kLabel = "ProcessDBTierTags";
  try {
    EvDebug::Debug(logContext, kLabel, "Enter");

    const std::string dbName = getChildValue("oa_context", 0, "global_db_name", 0);
    const std::string serviceNames = getChildValue("oa_context", 0, "service_names", 0);

    // The host is the text of the last "host" element that names itself s_hostname.
    std::string hostName;
    const int hosts = getChildCount("oa_host", 0, "host");
    for (int i = 0; i < hosts; ++i) {
      if (getChildAttribute("oa_host", 0, "host", i, "oa_var") == "s_hostname")
        hostName = getChildValue("oa_host", 0, "host", i);
    }

    const std::string platform = getChildValue("oa_host", 0, "platform", 0);
    const std::string domain = getChildValue("oa_host", 0, "domain", 0);
    const std::string dbUser = getChildValue("oa_host", 0, "dbuser", 0);
    const std::string dbGroup = getChildValue("oa_host", 0, "dbgroup", 0);
    const std::string dbVersion = getChildValue("oa_system", 0, "compatible", 0);
    const std::string contextName = getChildValue("oa_context", 0, "oa_context_name", 0);
    const std::string contextFilePath = getChildValue("oa_context", 0, "oa_context_file_loc", 0);
    const std::string dbPort = getChildValue("oa_db_server", 0, "dbport", 0);

    // Environments: the last one of each type wins. The type is read within the first list of
    // environments, the values from the environment of the same position in the whole document.
    std::string baseDirectory, oracleHome, dataDirectory;
    const int environments = getChildCount("oa_environments", 0, "oa_environment");
    for (int j = 0; j < environments; ++j) {
      const std::string type = getChildAttribute("oa_environments", 0, "oa_environment", j, "type");
      if (type == "rapid_install") {
        baseDirectory = getChildValue("oa_environment", j, "APPS_BASE", 0);
        dataDirectory = getChildValue("oa_environment", j, "db_datfiles", 0);
      } else if (type == "db_home") {
        oracleHome = getChildValue("oa_environment", j, "ORACLE_HOME", 0);
      }
    }

    std::string appsVersion;
    const int options = getChildCount("oa_system", 0, "config_option");
    for (int i = 0; i < options; ++i) {
      if (getChildAttribute("oa_system", 0, "config_option", i, "oa_var") == "s_apps_version")
        appsVersion = getChildValue("oa_system", 0, "config_option", i);
    }

    if (valueOverBound) return 1;  // the file is refused

    EvDebug::Debug(logContext, kLabel, "DB SID %s", dbName.c_str());
    EvDebug::Debug(logContext, kLabel, "Service Name %s", serviceNames.c_str());
    EvDebug::Debug(logContext, kLabel, "Host Name %s", hostName.c_str());
    EvDebug::Debug(logContext, kLabel, "Domain Name %s", domain.c_str());
    EvDebug::Debug(logContext, kLabel, "Platform %s", platform.c_str());
    EvDebug::Debug(logContext, kLabel, "DB User %s", dbUser.c_str());
    EvDebug::Debug(logContext, kLabel, "DB Group %s", dbGroup.c_str());
    EvDebug::Debug(logContext, kLabel, "DB Version %s", dbVersion.c_str());
    EvDebug::Debug(logContext, kLabel, "DB Context Name %s", contextName.c_str());
    EvDebug::Debug(logContext, kLabel, "DB Context File Path %s", contextFilePath.c_str());
    EvDebug::Debug(logContext, kLabel, "DB Base %s", baseDirectory.c_str());
    EvDebug::Debug(logContext, kLabel, "DB Home %s", oracleHome.c_str());
    EvDebug::Debug(logContext, kLabel, "DB Data Dir %s", dataDirectory.c_str());

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

    PXMessageBase& clientSlot = node.child(Node::client, Create::Yes).raw();
    NqEntities::ClientEntity client(clientSlot);
    GetClientForHost(hostName + "." + domain, &client);
    clientSlot = client;

    using Tier = Hux::OraEBSDBTier;
    auto tier = View(request)
                    .child(Hux::OraEBSReqResp::ebsConfig, Create::Yes)
                    .child(Hux::OraEBSConfig::dbTier, Create::Yes);
    MsgList<Node> nodes = tier.list(Tier::dbNodes, Create::Yes);
    nodes.clear();
    nodes.append(nodeMessage);
    tier.set(Tier::dbName, dbName);
    tier.set(Tier::dbSid, serviceNames);
    tier.set(Tier::dbPort, dbPort);
    tier.child(Tier::osUser, Create::Yes).set(UserCredentials::userName, dbUser);
    tier.set(Tier::osGroup, dbGroup);
  } catch (const std::exception& e) {
    // Only running out of memory can get here; the file's values are then incomplete.
    EvDebug::Debug(logContext, kLabel, "Failed to read the context file: %s", e.what());
  } catch (...) {
    EvDebug::Debug(logContext, kLabel, "Failed to read the context file");
  }
  return 0;
}
