// The fleet report of `ebs-host report --html`: one self-contained HTML page of every saved app
// (who saved it and when, how it was discovered, its nodes and their clients, its last drift
// check, its topology picture) under a summary of the whole store.
//
// The page loads nothing and runs nothing: a Content-Security-Policy allows only its inline style
// and data: images; it has no script and no event attribute. Every value of the store is
// untrusted text and reaches the page only through HtmlText. A picture is the SVG that Graphviz
// drew, shown as an <img> of a data: URI: an image document runs no script, loads no resource and
// takes no input, so nothing inside the SVG can act on the page (its labels are escaped by
// topology_dot.h as well). Pure functions of their arguments; thread-safe once the XML platform
// is initialised (the pictures' base64, platform/message/base64.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "messages/catalogue.h"
#include "platform/server/store.h"

// A database or application node of an app, and the client registered for its host.
struct FleetNode {
  const char* tier = "database";  // "database" or "application"
  std::string host;
  std::string client;  // empty: no client
  int64_t clientId = 0, domain = 0;
};

struct FleetApp {
  AppRecord record;  // its `config` is not read
  std::optional<AppMetadata> metadata;
  std::vector<FleetNode> nodes;
  std::string svg;          // the topology drawn by dot; empty when not drawn
  std::string pictureNote;  // why there is no picture (when `svg` is empty)
};

struct FleetReport {
  std::string generatedAt;   // UTC, e.g. 2026-12-07T05:00:00Z
  std::string backend;       // "sqlite" or "postgresql"; never the store's location
  std::string picturesNote;  // why no app has a picture, said once at the top; "" when drawn
  std::vector<FleetApp> apps;
};

struct FleetSummary {
  size_t apps = 0, drifted = 0, nodesWithoutClient = 0, pictures = 0;
  std::vector<std::string>
      savers;  // each once, sorted; "unknown" for apps saved before it was kept
};

// What a saver shows when the store does not know it.
inline constexpr const char* kUnknownSaver = "unknown";

// The nodes of a configuration: every database node, then every application node, each with the
// client its configuration names (the one `apps show` shows).
std::vector<FleetNode> FleetNodes(Msg<Hux::OraEBSConfig> config);

FleetSummary Summarise(const FleetReport& report);

// The whole page.
std::string FleetReportHtml(const FleetReport& report);

// `value` as HTML text or attribute value: &, <, >, ", ', = and ` as character references; control
// characters (C0, DEL, C1) and the bidirectional controls as visible escapes ("\n", "\x1b",
// "\u202e", as terminal_text.h writes them); a byte that is not part of well-formed UTF-8 as
// U+FFFD.
std::string HtmlText(std::string_view value);
