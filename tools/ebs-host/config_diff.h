// Drift between a saved EBS configuration and a fresh discovery of the same instance: the
// configuration's own fields, the database tier and its nodes (keyed by host name), the
// application tier and its nodes (keyed by host name), each application node's contexts (keyed
// by file edition), service kinds (as sets) and each node's client. Passwords and the virtual
// app (which only the saved one names) are not compared. Also the run edition of each
// application node, so that a cutover reads as one: the run edition is the edition whose context
// has the node's own configuration home (the node's values are those of the context file the
// database holds last, which AutoConfig uploads on the run file system). Pure; thread-safe on
// distinct messages; work linear (n log n) in the size of the two configurations.
#pragma once

#include <string>
#include <vector>

#include "messages/catalogue.h"

enum class DriftScope { Config, DbTier, DbNode, AppTier, AppNode };
enum class DriftKind { Added, Removed, Changed };

struct DriftChange {
  DriftScope scope;
  std::string host;     // the node's host name; empty for the configuration and the tiers
  std::string edition;  // the context's file edition; empty for anything but a context
  DriftKind kind;
  std::string field;          // catalogue name ("configHome", "services", "client", "runEdition");
                              // empty for a node or context added or removed
  std::string before, after;  // Changed only; "none" for a missing client, "-" for empty text
};

struct ConfigDrift {
  std::vector<DriftChange> changes;  // configuration, database side, application side, in order
  // After a cutover, the run edition that every application node now has: set when a node's run
  // edition changed and all nodes agree; otherwise empty (each node's change says its own).
  std::string swappedTo;
  bool any() const { return !changes.empty(); }
};

ConfigDrift CompareConfigs(Msg<Hux::OraEBSConfig> saved, Msg<Hux::OraEBSConfig> fresh);

// The edition whose context has the node's configuration home; empty when no context has it.
std::string RunEdition(Msg<Hux::OraEBSAppNode> node);

// "database node", "application node", ...
const char* DriftScopeName(DriftScope scope);
// "added", "removed", "changed".
const char* DriftKindName(DriftKind kind);
