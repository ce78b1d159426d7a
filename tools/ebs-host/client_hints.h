// Nodes whose host has no client on the managing server, and what fixes that. Discovery looks a
// node's client up by the fully qualified name <host>.<domain of its context file>; the domain
// is not part of the answer, so the name looked up is taken from the call's log line "Unable to
// fetch client ID for Client host name [<fqdn>]" when there is one (the last one for the host
// wins). Pure; thread-safe.
#pragma once

#include <string>
#include <vector>

#include "call_log.h"
#include "messages/catalogue.h"

struct MissingClient {
  std::string host;  // the node's host name as the answer has it
  std::string fqdn;  // the name the lookup used; empty when unknown
};

// Every host (once) of a database or application node without a client.
std::vector<MissingClient> NodesWithoutClient(Msg<Hux::OraEBSConfig> config,
                                              const std::vector<LogLine>& lines);

// "warning: ..." naming the host and the name looked up (both as terminal_text.h shows them),
// and the command that registers it, shell-quoted; no command when `clients add` would refuse
// the names (they are not host names).
std::string MissingClientWarning(const MissingClient& missing);

// Whether the configuration has at least one database or application node.
bool HasNodes(Msg<Hux::OraEBSConfig> config);

// Calls `visit` on every database node (Msg<Hux::OraEBSDBNode>), then on every application node
// (Msg<Hux::OraEBSAppNode>): `visit` takes either.
template <class Visit>
void ForEachNode(Msg<Hux::OraEBSConfig> config, Visit visit) {
  auto dbNodes = config.child(Hux::OraEBSConfig::dbTier, Create::No)
                     .list(Hux::OraEBSDBTier::dbNodes, Create::No);
  for (size_t i = 0; i < dbNodes.size(); ++i) visit(dbNodes.at(i));
  auto appNodes = config.child(Hux::OraEBSConfig::appTier, Create::No)
                      .list(Hux::OraEBSAppTier::appNodes, Create::No);
  for (size_t i = 0; i < appNodes.size(); ++i) visit(appNodes.at(i));
}

// The name of a node's client; empty when it has none.
template <class Node>
std::string ClientOf(Msg<Node> node) {
  return node.child(Node::client, Create::No).get(NqEntities::ClientEntity::clientName);
}
