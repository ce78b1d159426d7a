// The topology of an EBS configuration as a Graphviz graph, for `--format dot` (and, rendered by
// dot, `--format svg`): a cluster for the database tier with one box per database node (host,
// context, Oracle home, base, data directories), a cluster for the application tier with one box
// per application node (host, services, one row per file edition with its paths), the client of
// every node in its box (marked when the node has none), and an edge from each application node
// to the database tier.
//
// Pure functions of their arguments; thread-safe. Every value of the configuration is untrusted
// text: it only ever appears inside an HTML-like label, escaped by DotHtmlText, so no value can
// end its label or add a statement. Node names are made here (db0, app0, ...), never taken from
// the instance. The output is ASCII and its size is linear in the configuration's.
#pragma once

#include <string>
#include <string_view>

#include "messages/catalogue.h"

// What a node without a client shows in its client row.
inline constexpr const char* kNoClientMark = "no client";

std::string TopologyDot(Msg<Hux::OraEBSConfig> config);

// `value` as text of an HTML-like label: &, <, >, " and ' as entities, every other character
// outside printable ASCII as a numeric character reference, and control characters, non-
// characters and bytes that are not UTF-8 as U+FFFD.
std::string DotHtmlText(std::string_view value);
