#include "fleet_report.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "client_hints.h"
#include "platform/message/base64.h"
#include "platform/message/xerces_platform.h"
#include "terminal_text.h"
#include "topology_dot.h"

namespace {

// The longest data: URI a browser is sure to take (Chromium refuses URLs past 2 MiB).
constexpr size_t kMaxDataUri = 2u << 20;

// The page's look: readable on a phone (one column, tables scroll in their own box), printable
// (no backgrounds, one app per page where it fits). Nothing in it comes from the store.
const char* const kStyle = R"(
:root{--fg:#1d2329;--muted:#5b6670;--line:#d5dbe1;--warn-bg:#fff4d6;--warn-fg:#6b4400;
--ok-fg:#1f6f3a;--drift-fg:#9b1c1c;--card:#ffffff;--page:#f3f5f7}
*{box-sizing:border-box}
body{margin:0;background:var(--page);color:var(--fg);
font:15px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",sans-serif}
header,main{max-width:1100px;margin:0 auto;padding:0 16px}
header{padding-top:20px}
h1{font-size:1.5rem;margin:0 0 4px}
h2{font-size:1.2rem;margin:0;overflow-wrap:anywhere}
h3{font-size:.95rem;margin:18px 0 6px;color:var(--muted);text-transform:uppercase;letter-spacing:.04em}
.meta{color:var(--muted);margin:0 0 14px}
.summary{display:grid;grid-template-columns:repeat(auto-fit,minmax(150px,1fr));gap:10px;margin:0 0 12px;padding:0}
.summary div{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:10px 12px}
.summary dt{color:var(--muted);font-size:.85rem}
.summary dd{margin:0;font-size:1.6rem;font-weight:600}
.summary dd.small{font-size:.95rem;font-weight:400;overflow-wrap:anywhere}
.notice{background:var(--warn-bg);color:var(--warn-fg);border:1px solid #e8c36a;border-radius:6px;
padding:8px 12px;margin:8px 0;overflow-wrap:anywhere}
nav ul{list-style:none;padding:0;margin:8px 0 16px;display:flex;flex-wrap:wrap;gap:6px}
nav a{display:inline-block;padding:3px 10px;border:1px solid var(--line);border-radius:14px;
background:var(--card);color:inherit;text-decoration:none;max-width:100%;overflow-wrap:anywhere}
article{background:var(--card);border:1px solid var(--line);border-radius:10px;padding:16px;margin:0 0 18px}
.id{color:var(--muted);font-weight:400;font-size:.9rem}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:4px 14px;margin:10px 0 0}
dl.facts dt{color:var(--muted)}
dl.facts dd{margin:0;overflow-wrap:anywhere}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%}
th,td{text-align:left;padding:6px 8px;border-bottom:1px solid var(--line);vertical-align:top;overflow-wrap:break-word}
td:first-child{white-space:nowrap}
th{font-size:.85rem;color:var(--muted);font-weight:600}
.badge{display:inline-block;border-radius:4px;padding:0 6px;font-weight:600;white-space:nowrap}
.badge.warn{background:var(--warn-bg);color:var(--warn-fg);border:1px solid #e8c36a}
.badge.drift{color:var(--drift-fg);border:1px solid var(--drift-fg)}
.badge.ok{color:var(--ok-fg);border:1px solid var(--ok-fg)}
tr.missing td{background:var(--warn-bg)}
figure{margin:0;overflow-x:auto}
figure img{max-width:100%;height:auto;display:block}
footer{max-width:1100px;margin:0 auto;padding:0 16px 24px;color:var(--muted);font-size:.85rem}
@media (max-width:600px){body{font-size:14px}header,main{padding:0 10px}article{padding:12px}
dl.facts{grid-template-columns:1fr}dl.facts dd{margin-bottom:6px}
figure img{max-width:none}}
@media print{body{background:none;font-size:11pt}nav{display:none}
article{border:none;border-radius:0;padding:0;break-before:page}
article:first-of-type{break-before:auto}
.summary div{border:1px solid #999}.notice,tr.missing td,.badge.warn{background:none}
.scroll,figure{overflow:visible}tr,figure{break-inside:avoid}}
)";

// The character reference of a character that HTML text or an attribute may not hold as it is;
// null for the others. '=' and '`' too: no text reads as an attribute, even to a naive filter.
const char* Entity(uint32_t cp) {
  switch (cp) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    case '=':
      return "&#61;";
    case '`':
      return "&#96;";
    default:
      return nullptr;
  }
}

std::string Count(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Fact(const char* name, const std::string& html) {
  return std::string("<dt>") + name + "</dt><dd>" + html + "</dd>";
}

// A value of the store, "unknown" when empty.
std::string Known(const std::string& value) {
  return value.empty() ? "<i>unknown</i>" : HtmlText(value);
}

std::string DiscoveryHtml(const std::optional<AppMetadata>& m) {
  if (!m) return "<i>not recorded</i>";
  if (m->sid.empty() && m->dbUser.empty() && m->discoveredAt.empty())
    return "<i>unknown (saved from a configuration file)</i>";
  return "SID " + Known(m->sid) + " as " + Known(m->dbUser) + " at " + Known(m->discoveredAt);
}

std::string DriftHtml(const std::optional<DriftCheck>& d) {
  if (!d) return "<i>never checked</i>";
  std::string html =
      d->drift
          ? "<span class=\"badge drift\">&#9888; drift</span> " + std::to_string(d->changed) +
                " changed, " + std::to_string(d->added) + " added, " + std::to_string(d->removed) +
                " removed (" + Count(static_cast<size_t>(d->changes), "change", "changes") + ")"
          : std::string("<span class=\"badge ok\">no drift</span>");
  return html + ", checked at " + Known(d->checkedAt);
}

std::string NodesHtml(const std::vector<FleetNode>& nodes) {
  if (nodes.empty()) return "<p><i>no database or application node</i></p>";
  std::string html =
      "<div class=\"scroll\"><table><thead><tr><th>Tier</th><th>Host</th><th>Client</th></tr>"
      "</thead><tbody>";
  for (const FleetNode& n : nodes) {
    const bool missing = n.client.empty();
    html += missing ? "<tr class=\"missing\">" : "<tr>";
    html += std::string("<td>") + n.tier + "</td><td>" + Known(n.host) + "</td><td>";
    if (missing)
      html +=
          "<span class=\"badge warn\">&#9888; no client</span> register one with "
          "<code>ebs-host clients add</code>";
    else
      html += HtmlText(n.client) + " <span class=\"id\">(id " + std::to_string(n.clientId) +
              ", domain " + std::to_string(n.domain) + ")</span>";
    html += "</td></tr>";
  }
  return html + "</tbody></table></div>";
}

std::string PictureHtml(const FleetApp& app) {
  if (app.svg.empty())
    return "<p class=\"notice\">" +
           HtmlText(app.pictureNote.empty() ? "no picture" : app.pictureNote) + "</p>";
  std::string error;
  if (!EnsureXercesPlatform(&error))
    return "<p class=\"notice\">" + HtmlText("the picture cannot be encoded: " + error) + "</p>";
  const std::string uri = "data:image/svg+xml;base64," + Base64Encode(app.svg);
  if (uri.size() > kMaxDataUri)
    return "<p class=\"notice\">the picture is too large to show inline (" +
           std::to_string(uri.size() >> 10) + " KiB); <code>ebs-host apps show " +
           std::to_string(app.record.id) + " --format svg</code> writes it to a file</p>";
  // The base64 alphabet and the MIME type hold no character that ends an attribute.
  return "<figure><img src=\"" + uri + "\" alt=\"topology of " + HtmlText(app.record.name) +
         "\"></figure>";
}

const char* TierOf(Msg<Hux::OraEBSDBNode>) { return "database"; }
const char* TierOf(Msg<Hux::OraEBSAppNode>) { return "application"; }

template <class Node>
FleetNode NodeOf(Msg<Node> node) {
  FleetNode n;
  n.tier = TierOf(node);
  n.host = node.get(Node::hostName);
  n.client = ClientOf(node);
  auto client = node.child(Node::client, Create::No);
  n.clientId = client.get(NqEntities::ClientEntity::clientId);
  n.domain = client.get(NqEntities::ClientEntity::hiveId);
  return n;
}

std::string AppHtml(const FleetApp& app) {
  const AppRecord& r = app.record;
  std::string html = "<article id=\"app-" + std::to_string(r.id) + "\"><h2>" + HtmlText(r.name) +
                     " <span class=\"id\">id " + std::to_string(r.id) + "</span></h2>";
  html += "<dl class=\"facts\">";
  html += Fact("Saved by", r.savedBy.empty() ? std::string("<i>") + kUnknownSaver + "</i>"
                                             : HtmlText(r.savedBy));
  html += Fact("Saved at", Known(r.updatedAt));
  html += Fact("Discovered", DiscoveryHtml(app.metadata));
  html += Fact("Last drift check", DriftHtml(r.lastDiff));
  html += "</dl><h3>Nodes</h3>" + NodesHtml(app.nodes);
  html += "<h3>Topology</h3>" + PictureHtml(app);
  return html + "</article>\n";
}

}  // namespace

std::string HtmlText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  const auto* p = reinterpret_cast<const unsigned char*>(value.data());
  for (size_t i = 0; i < value.size();) {
    uint32_t cp = 0;
    const size_t n = Utf8Character(p + i, value.size() - i, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
      continue;
    }
    if (const char* entity = Entity(cp))
      out += entity;
    else if (ShownAsEscape(cp))  // shown as the terminal shows it: \e, \x01, \u202e
      out += Shown(value.substr(i, n));
    else
      out.append(value.data() + i, n);
    i += n;
  }
  return out;
}

std::vector<FleetNode> FleetNodes(Msg<Hux::OraEBSConfig> config) {
  std::vector<FleetNode> nodes;
  ForEachNode(config, [&nodes](auto node) { nodes.push_back(NodeOf(node)); });
  return nodes;
}

FleetSummary Summarise(const FleetReport& report) {
  FleetSummary s;
  std::set<std::string> savers;
  for (const FleetApp& app : report.apps) {
    ++s.apps;
    savers.insert(app.record.savedBy.empty() ? kUnknownSaver : app.record.savedBy);
    if (app.record.lastDiff && app.record.lastDiff->drift) ++s.drifted;
    if (!app.svg.empty()) ++s.pictures;
    s.nodesWithoutClient += static_cast<size_t>(std::count_if(
        app.nodes.begin(), app.nodes.end(), [](const FleetNode& n) { return n.client.empty(); }));
  }
  s.savers.assign(savers.begin(), savers.end());
  return s;
}

std::string FleetReportHtml(const FleetReport& report) {
  const FleetSummary s = Summarise(report);
  std::string savers;
  for (const std::string& saver : s.savers)
    savers += (savers.empty() ? "" : ", ") + HtmlText(saver);
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'\">\n"
      "<meta name=\"referrer\" content=\"no-referrer\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>EBS fleet report</title>\n<style>";
  html += kStyle;
  html +=
      "</style></head><body>\n<header><h1>EBS fleet report</h1><p class=\"meta\">Generated at " +
      HtmlText(report.generatedAt) + " (UTC) from the " + HtmlText(report.backend) +
      " store</p>\n<dl class=\"summary\">";
  html += "<div><dt>Apps</dt><dd>" + std::to_string(s.apps) + "</dd></div>";
  html += "<div><dt>Apps with drift</dt><dd>" + std::to_string(s.drifted) + "</dd></div>";
  html += "<div><dt>Nodes without a client</dt><dd>" + std::to_string(s.nodesWithoutClient) +
          "</dd></div>";
  html += "<div><dt>Saved by (" + std::to_string(s.savers.size()) + ")</dt><dd class=\"small\">" +
          (savers.empty() ? "-" : savers) + "</dd></div></dl>\n";
  if (!report.picturesNote.empty())
    html += "<p class=\"notice\">&#9888; " + HtmlText(report.picturesNote) + "</p>\n";
  if (s.nodesWithoutClient > 0)
    html += "<p class=\"notice\">&#9888; " + Count(s.nodesWithoutClient, "node has", "nodes have") +
            " no client: the platform protects nothing on a host until a client is registered "
            "for it (ebs-host clients add)</p>\n";
  if (!report.apps.empty()) {
    html += "<nav><ul>";
    for (const FleetApp& app : report.apps)
      html += "<li><a href=\"#app-" + std::to_string(app.record.id) + "\">" +
              HtmlText(app.record.name) + "</a></li>";
    html += "</ul></nav>\n";
  }
  html += "</header>\n<main>\n";
  if (report.apps.empty()) html += "<p>The store holds no virtual app.</p>\n";
  for (const FleetApp& app : report.apps) html += AppHtml(app);
  return html +
         "</main>\n<footer>Made by ebs-host report; it loads nothing and runs no script."
         "</footer>\n</body></html>\n";
}
