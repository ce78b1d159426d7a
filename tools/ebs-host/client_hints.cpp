#include "client_hints.h"

#include <algorithm>

#include "host_names.h"
#include "terminal_text.h"

namespace {

// The plug-in's own log line for a host without a client (label GetClientForHost); its text is
// fixed, and it names the host name the lookup used.
constexpr const char* kLookupFailed = "Unable to fetch client ID for Client host name [";

template <class N>
void Check(Msg<N> node, const std::vector<std::string>& lookedUp, std::vector<MissingClient>& out) {
  if (!ClientOf(node).empty()) return;
  MissingClient missing{node.get(N::hostName), ""};
  for (const std::string& name : lookedUp)
    if (name.compare(0, missing.host.size() + 1, missing.host + ".") == 0) missing.fqdn = name;
  const bool seen = std::any_of(out.begin(), out.end(),
                                [&](const MissingClient& m) { return m.host == missing.host; });
  if (!seen) out.push_back(std::move(missing));
}

}  // namespace

std::vector<MissingClient> NodesWithoutClient(Msg<Hux::OraEBSConfig> config,
                                              const std::vector<LogLine>& lines) {
  std::vector<std::string> lookedUp;
  for (const LogLine& line : lines)
    if (line.text.rfind(kLookupFailed, 0) == 0 && line.text.back() == ']')
      lookedUp.push_back(
          line.text.substr(std::char_traits<char>::length(kLookupFailed),
                           line.text.size() - std::char_traits<char>::length(kLookupFailed) - 1));
  std::vector<MissingClient> out;
  ForEachNode(config, [&](auto node) { Check(node, lookedUp, out); });
  return out;
}

std::string MissingClientWarning(const MissingClient& m) {
  const std::string host = m.host.empty() ? "(no host name)" : Shown(m.host);
  std::string text = "warning: node " + host + " has no client: ";
  text += m.fqdn.empty() ? "discovery looks it up as " + host + ".<domain of its context file>"
                         : "none is registered under " + Shown(m.fqdn);
  // A command is suggested only where `clients add` takes it: a host name as a client's name
  // and, looked up or to be completed, as its host.
  if (!IsHostName(m.host) || (!m.fqdn.empty() && !IsHostName(m.fqdn)))
    return text + "; its name is no host name, so no client can be registered for it";
  return text + "; register it with: " +
         ShellCommand({"ebs-host", "clients", "add", "--name", m.host, "--host",
                       m.fqdn.empty() ? m.host + ".<domain>" : m.fqdn});
}

bool HasNodes(Msg<Hux::OraEBSConfig> config) {
  bool any = false;
  ForEachNode(config, [&](auto) { any = true; });
  return any;
}
