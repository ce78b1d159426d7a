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

// "warning: ..." naming the host, the name looked up and the command that registers it.
std::string MissingClientWarning(const MissingClient& missing);

// Whether the configuration has at least one database or application node.
bool HasNodes(Msg<Hux::OraEBSConfig> config);
