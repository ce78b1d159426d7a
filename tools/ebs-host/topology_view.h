// Readable summaries for people: the topology of an EBS configuration (database tier and nodes,
// application nodes with their contexts, service kinds and clients).
#pragma once

#include <ostream>

#include "messages/catalogue.h"

void PrintTopology(std::ostream& out, Msg<Hux::OraEBSConfig> config);
// The name of one service kind value ("web entry", "batch", ...).
const char* NodeTypeName(int64_t value);
