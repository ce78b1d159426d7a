#include "topology_view.h"

#include <cstdint>
#include <string>
#include <unordered_set>

#include "terminal_text.h"

namespace {

// A value of the configuration as a terminal may show it; "-" when empty.
std::string OrDash(const std::string& s) { return s.empty() ? "-" : Shown(s); }

template <class N>
std::string ClientText(Msg<N> node) {
  if (!node.isSet(N::client)) return "none";
  auto client = node.child(N::client, Create::No);
  const std::string name = client.get(NqEntities::ClientEntity::clientName);
  if (name.empty()) return "none";
  return Shown(name) + " (id " + std::to_string(client.get(NqEntities::ClientEntity::clientId)) +
         ", domain " + std::to_string(client.get(NqEntities::ClientEntity::hiveId)) + ")";
}

}  // namespace

std::vector<int64_t> ServiceKinds(Msg<Hux::OraEBSAppNode> node) {
  std::vector<int64_t> kinds;
  std::unordered_set<int64_t> seen;
  for (int64_t kind : node.list(Hux::OraEBSAppNode::nodeTypes, Create::No))
    if (seen.insert(kind).second) kinds.push_back(kind);
  return kinds;
}

void PrintTopology(std::ostream& out, Msg<Hux::OraEBSConfig> cfg) {
  out << "EBS release      " << OrDash(cfg.get(Hux::OraEBSConfig::appsVersion)) << "\n";
  auto app = cfg.child(Hux::OraEBSConfig::virtualApp, Create::No);
  if (cfg.isSet(Hux::OraEBSConfig::virtualApp)) {
    out << "Virtual app      " << OrDash(app.get(NqEntities::AppEntity::appName));
    if (app.isSet(NqEntities::AppEntity::appId))
      out << " (id " << app.get(NqEntities::AppEntity::appId) << ")";
    out << "\n";
  }

  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::No);
  out << "\nDatabase tier    " << OrDash(db.get(Hux::OraEBSDBTier::dbName)) << "  service "
      << OrDash(db.get(Hux::OraEBSDBTier::dbSid)) << "  port "
      << OrDash(db.get(Hux::OraEBSDBTier::dbPort)) << "  owner "
      << OrDash(db.child(Hux::OraEBSDBTier::osUser, Create::No).get(UserCredentials::userName))
      << ":" << OrDash(db.get(Hux::OraEBSDBTier::osGroup)) << "\n";
  auto dbNodes = db.list(Hux::OraEBSDBTier::dbNodes, Create::No);
  for (size_t i = 0; i < dbNodes.size(); ++i) {
    auto n = dbNodes.at(i);
    out << "  node " << OrDash(n.get(Hux::OraEBSDBNode::hostName)) << "  ["
        << OrDash(n.get(Hux::OraEBSDBNode::platform)) << "]  client " << ClientText(n) << "\n";
    out << "    context      " << OrDash(n.get(Hux::OraEBSDBNode::contextName)) << "  "
        << OrDash(n.get(Hux::OraEBSDBNode::contextFilePath)) << "\n";
    out << "    oracle home  " << OrDash(n.get(Hux::OraEBSDBNode::oracleHome)) << "\n";
    out << "    base         " << OrDash(n.get(Hux::OraEBSDBNode::baseDirectory)) << "\n";
    for (const std::string& d : n.list(Hux::OraEBSDBNode::dataDirectories, Create::No))
      out << "    data files   " << OrDash(d) << "\n";
  }

  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::No);
  auto appNodes = tier.list(Hux::OraEBSAppTier::appNodes, Create::No);
  out << "\nApplication tier " << appNodes.size() << " node(s)  first host "
      << OrDash(tier.get(Hux::OraEBSAppTier::hostName)) << "  owner "
      << OrDash(tier.child(Hux::OraEBSAppTier::osUser, Create::No).get(UserCredentials::userName))
      << ":" << OrDash(tier.get(Hux::OraEBSAppTier::osGroup)) << "\n";
  for (size_t i = 0; i < appNodes.size(); ++i) {
    auto n = appNodes.at(i);
    out << "  node " << OrDash(n.get(Hux::OraEBSAppNode::hostName)) << "  ["
        << OrDash(n.get(Hux::OraEBSAppNode::platform)) << "]  client " << ClientText(n) << "\n";
    out << "    services    ";
    const std::vector<int64_t> types = ServiceKinds(n);
    if (types.empty()) out << " -";
    for (size_t t = 0; t < types.size(); ++t) out << (t ? ", " : " ") << NodeTypeName(types[t]);
    out << "\n";
    out << "    apps base    " << OrDash(n.get(Hux::OraEBSAppNode::appsBase)) << "\n";
    auto contexts = n.list(Hux::OraEBSAppNode::contexts, Create::No);
    for (size_t c = 0; c < contexts.size(); ++c) {
      auto x = contexts.at(c);
      out << "    context      " << OrDash(x.get(Hux::OraEBSContext::contextName)) << "  "
          << OrDash(x.get(Hux::OraEBSContext::fileEditionName)) << "  "
          << OrDash(x.get(Hux::OraEBSContext::contextFilePath)) << "\n";
    }
  }
}
