#include "topology_dot.h"

#include <cstdint>
#include <vector>

#include "messages/node_types.h"
#include "topology_view.h"

namespace {

constexpr const char* kReplacement = "&#65533;";
constexpr const char* kHeaderColour = "#dde6f0";
constexpr const char* kMissingColour = "#f4cccc";
constexpr const char* kTableOpen =
    "<TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\">";

// The code point of the UTF-8 sequence at `s[i]` and its length; length 0 when the bytes there
// are not one well-formed sequence (overlong, surrogate, beyond U+10FFFF, cut short).
uint32_t DecodeUtf8(std::string_view s, size_t i, size_t& length) {
  const auto lead = static_cast<unsigned char>(s[i]);
  uint32_t cp = 0, least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, least = 0x10000;
  } else {
    length = 0;
    return 0;
  }
  if (i + length > s.size()) length = 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[i + k]);
    if ((next & 0xC0) != 0x80) {
      length = 0;
      break;
    }
    cp = cp << 6 | (next & 0x3F);
  }
  if (length == 0 || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) length = 0;
  return cp;
}

std::string Text(const std::string& value) { return value.empty() ? "-" : DotHtmlText(value); }

// One row of a node's table: a name and its value (already label text).
std::string Row(const char* name, const std::string& value, const char* colour = nullptr) {
  std::string row = "<TR><TD ALIGN=\"LEFT\">";
  row += name;
  row += "</TD><TD ALIGN=\"LEFT\" BALIGN=\"LEFT\"";
  if (colour) row += std::string(" BGCOLOR=\"") + colour + "\"";
  return row + ">" + value + "</TD></TR>";
}

std::string Header(const std::string& host, const std::string& platform) {
  return std::string("<TR><TD COLSPAN=\"2\" BGCOLOR=\"") + kHeaderColour + "\"><B>" + Text(host) +
         "</B>" + (platform.empty() ? "" : " [" + DotHtmlText(platform) + "]") + "</TD></TR>";
}

template <class N>
std::string ClientRow(Msg<N> node) {
  auto client = node.child(N::client, Create::No);
  const std::string name = client.get(NqEntities::ClientEntity::clientName);
  if (!node.isSet(N::client) || name.empty())
    return Row("client", std::string("<B>") + kNoClientMark + "</B>", kMissingColour);
  return Row("client", DotHtmlText(name) + " (id " +
                           std::to_string(client.get(NqEntities::ClientEntity::clientId)) +
                           ", domain " +
                           std::to_string(client.get(NqEntities::ClientEntity::hiveId)) + ")");
}

// Lines of one cell, the empty ones left out; "-" when none is left.
std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines)
    if (!line.empty()) out += (out.empty() ? "" : "<BR/>") + line;
  return out.empty() ? "-" : out;
}

std::string Labelled(const char* name, const std::string& value) {
  return value.empty() ? std::string() : std::string(name) + " " + DotHtmlText(value);
}

std::string DbNodeLabel(Msg<Hux::OraEBSDBNode> n) {
  std::string t = kTableOpen;
  t += Header(n.get(Hux::OraEBSDBNode::hostName), n.get(Hux::OraEBSDBNode::platform));
  t += Row("context", Lines({DotHtmlText(n.get(Hux::OraEBSDBNode::contextName)),
                             DotHtmlText(n.get(Hux::OraEBSDBNode::contextFilePath))}));
  t += Row("Oracle home", Text(n.get(Hux::OraEBSDBNode::oracleHome)));
  t += Row("base", Text(n.get(Hux::OraEBSDBNode::baseDirectory)));
  std::vector<std::string> data;
  for (const std::string& d : n.list(Hux::OraEBSDBNode::dataDirectories, Create::No))
    data.push_back(Text(d));
  t += Row("data files", Lines(data));
  t += ClientRow(n);
  return t + "</TABLE>";
}

std::string AppNodeLabel(Msg<Hux::OraEBSAppNode> n) {
  std::string t = kTableOpen;
  t += Header(n.get(Hux::OraEBSAppNode::hostName), n.get(Hux::OraEBSAppNode::platform));
  std::string services;
  for (int64_t k : ServiceKinds(n))
    services += (services.empty() ? "" : ", ") + std::string(NodeTypeName(k));
  t += Row("services", services.empty() ? "-" : services);
  t += Row("apps base", Text(n.get(Hux::OraEBSAppNode::appsBase)));
  auto contexts = n.list(Hux::OraEBSAppNode::contexts, Create::No);
  for (size_t c = 0; c < contexts.size(); ++c) {
    auto x = contexts.at(c);
    const std::string edition = x.get(Hux::OraEBSContext::fileEditionName);
    t += "<TR><TD ALIGN=\"LEFT\"><B>" + Text(edition) +
         "</B></TD><TD ALIGN=\"LEFT\" BALIGN=\"LEFT\">" +
         Lines({DotHtmlText(x.get(Hux::OraEBSContext::contextName)),
                DotHtmlText(x.get(Hux::OraEBSContext::contextFilePath)),
                Labelled("APPL_TOP", x.get(Hux::OraEBSContext::applTop)),
                Labelled("config home", x.get(Hux::OraEBSContext::configHome))}) +
         "</TD></TR>";
  }
  t += ClientRow(n);
  return t + "</TABLE>";
}

std::string Placeholder(const char* text) {
  return std::string("[label=<<I>") + text + "</I>>, shape=box, style=dashed]";
}

}  // namespace

std::string DotHtmlText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&#39;";
          break;
        default:
          if (c < 0x20 || c == 0x7F)
            out += kReplacement;
          else
            out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    size_t length = 0;
    const uint32_t cp = DecodeUtf8(s, i, length);
    if (length == 0) {  // one stray byte at a time
      out += kReplacement;
      ++i;
      continue;
    }
    // C1 controls and the two non-characters that XML does not allow.
    if (cp < 0xA0 || cp == 0xFFFE || cp == 0xFFFF)
      out += kReplacement;
    else
      out += "&#" + std::to_string(cp) + ";";
    i += length;
  }
  return out;
}

std::string TopologyDot(Msg<Hux::OraEBSConfig> cfg) {
  std::string title = "EBS release " + Text(cfg.get(Hux::OraEBSConfig::appsVersion));
  if (cfg.isSet(Hux::OraEBSConfig::virtualApp)) {
    auto app = cfg.child(Hux::OraEBSConfig::virtualApp, Create::No);
    title += " &#183; virtual app " + Text(app.get(NqEntities::AppEntity::appName));
    if (app.isSet(NqEntities::AppEntity::appId))
      title += " (id " + std::to_string(app.get(NqEntities::AppEntity::appId)) + ")";
  }
  std::string dot = "digraph ebs {\n";
  dot +=
      "  graph [compound=true, rankdir=LR, ranksep=1.0, fontname=\"Helvetica\", fontsize=12, "
      "labelloc=t, labeljust=l, label=<" +
      title + ">];\n";
  dot += "  node [shape=plaintext, fontname=\"Helvetica\", fontsize=10];\n";
  dot += "  edge [color=\"#4a6fa5\", arrowsize=0.7];\n";

  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::No);
  dot += "  subgraph cluster_db {\n";
  dot += "    graph [style=rounded, color=\"#8c8c8c\", label=<<B>Database tier</B>&#160;" +
         Text(db.get(Hux::OraEBSDBTier::dbName)) + " &#183; service " +
         Text(db.get(Hux::OraEBSDBTier::dbSid)) + " &#183; port " +
         Text(db.get(Hux::OraEBSDBTier::dbPort)) + " &#183; owner " +
         Text(db.child(Hux::OraEBSDBTier::osUser, Create::No).get(UserCredentials::userName)) +
         ":" + Text(db.get(Hux::OraEBSDBTier::osGroup)) + ">];\n";
  auto dbNodes = db.list(Hux::OraEBSDBTier::dbNodes, Create::No);
  for (size_t i = 0; i < dbNodes.size(); ++i)
    dot += "    db" + std::to_string(i) + " [label=<" + DbNodeLabel(dbNodes.at(i)) + ">];\n";
  // Edges need a node to end at, also when the configuration has no database node.
  const std::string target = dbNodes.size() ? "db0" : "db_none";
  if (!dbNodes.size()) dot += "    db_none " + Placeholder("no database node") + ";\n";
  dot += "  }\n";

  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::No);
  auto appNodes = tier.list(Hux::OraEBSAppTier::appNodes, Create::No);
  dot += "  subgraph cluster_apps {\n";
  dot += "    graph [style=rounded, color=\"#8c8c8c\", label=<<B>Application tier</B>&#160;" +
         std::to_string(appNodes.size()) + " node(s) &#183; owner " +
         Text(tier.child(Hux::OraEBSAppTier::osUser, Create::No).get(UserCredentials::userName)) +
         ":" + Text(tier.get(Hux::OraEBSAppTier::osGroup)) + ">];\n";
  for (size_t i = 0; i < appNodes.size(); ++i)
    dot += "    app" + std::to_string(i) + " [label=<" + AppNodeLabel(appNodes.at(i)) + ">];\n";
  if (!appNodes.size()) dot += "    app_none " + Placeholder("no application node") + ";\n";
  dot += "  }\n";

  for (size_t i = 0; i < appNodes.size(); ++i)
    dot += "  app" + std::to_string(i) + " -> " + target + " [lhead=cluster_db];\n";
  return dot + "}\n";
}
