// Readable summaries for people: the topology of an EBS configuration (database tier and nodes,
// application nodes with their contexts, service kinds and clients).
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "messages/catalogue.h"
#include "messages/node_types.h"  // NodeTypeName: the name of one service kind value

void PrintTopology(std::ostream& out, Msg<Hux::OraEBSConfig> config);
// The service kinds of an application node, each once, in the order first met (the answer keeps
// a kind once per context of the node). Linear in the node's list.
std::vector<int64_t> ServiceKinds(Msg<Hux::OraEBSAppNode> node);
