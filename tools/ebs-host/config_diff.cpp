#include "config_diff.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "messages/node_types.h"
#include "topology_view.h"

namespace {

std::string OrDash(const std::string& s) { return s.empty() ? "-" : s; }

// Collects the changes of one scope (a node, a tier, a context).
class Collector {
 public:
  Collector(std::vector<DriftChange>& out, DriftScope scope, std::string host = "",
            std::string edition = "")
      : out_(out), scope_(scope), host_(std::move(host)), edition_(std::move(edition)) {}

  void Field(const char* name, const std::string& before, const std::string& after) {
    if (before != after)
      out_.push_back(
          {scope_, host_, edition_, DriftKind::Changed, name, OrDash(before), OrDash(after)});
  }
  template <class H>
  void Text(Msg<H> saved, Msg<H> fresh, const StringField<H>& f) {
    Field(f.name, saved.get(f), fresh.get(f));
  }
  template <class H>
  void Texts(Msg<H> saved, Msg<H> fresh, std::initializer_list<const StringField<H>*> fields) {
    for (const StringField<H>* f : fields) Text(saved, fresh, *f);
  }
  template <class H>
  void User(Msg<H> saved, Msg<H> fresh, const ObjectField<H, UserCredentials>& f) {
    Field(f.name, saved.child(f, Create::No).get(UserCredentials::userName),
          fresh.child(f, Create::No).get(UserCredentials::userName));
  }
  void Presence(DriftKind kind) { out_.push_back({scope_, host_, edition_, kind, "", "", ""}); }

 private:
  std::vector<DriftChange>& out_;
  DriftScope scope_;
  std::string host_, edition_;
};

template <class Node>
std::string ClientText(Msg<Node> node) {
  auto client = node.child(Node::client, Create::No);
  const std::string name = client.get(NqEntities::ClientEntity::clientName);
  if (name.empty()) return "none";
  return name + " (id " + std::to_string(client.get(NqEntities::ClientEntity::clientId)) + ")";
}

// Items of a list keyed by `key`; of two with the same key, the first counts.
template <class C, class Key>
std::map<std::string, Msg<C>> Keyed(MsgList<C> items, Key key) {
  std::map<std::string, Msg<C>> out;
  for (size_t i = 0; i < items.size(); ++i) out.emplace(key(items.at(i)), items.at(i));
  return out;
}

// Calls `compare` on items in both, reports the others as added or removed; in key order.
template <class C, class Compare, class Presence>
void Match(const std::map<std::string, Msg<C>>& saved, const std::map<std::string, Msg<C>>& fresh,
           Compare compare, Presence presence) {
  for (const auto& [key, item] : saved) {
    const auto it = fresh.find(key);
    if (it == fresh.end())
      presence(key, DriftKind::Removed);
    else
      compare(key, item, it->second);
  }
  for (const auto& [key, item] : fresh)
    if (!saved.count(key)) presence(key, DriftKind::Added);
}

std::string ServiceSet(Msg<Hux::OraEBSAppNode> node) {
  const std::vector<int64_t>& kinds = node.list(Hux::OraEBSAppNode::nodeTypes, Create::No);
  const std::set<int64_t> set(kinds.begin(), kinds.end());
  std::string out;
  for (int64_t kind : set) out += (out.empty() ? "" : ", ") + std::string(NodeTypeName(kind));
  return out;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

void CompareDbNode(std::vector<DriftChange>& out, const std::string& host,
                   Msg<Hux::OraEBSDBNode> saved, Msg<Hux::OraEBSDBNode> fresh) {
  using N = Hux::OraEBSDBNode;
  Collector c(out, DriftScope::DbNode, host);
  c.Texts(saved, fresh,
          {&N::dbName, &N::appsVersion, &N::platform, &N::baseDirectory, &N::osGroup,
           &N::oracleHome, &N::dbPort, &N::tempDirectory, &N::contextName, &N::contextFilePath});
  c.User(saved, fresh, N::osUser);
  c.Field(N::dataDirectories.name, Joined(saved.list(N::dataDirectories, Create::No)),
          Joined(fresh.list(N::dataDirectories, Create::No)));
  c.Field(N::client.name, ClientText(saved), ClientText(fresh));
}

void CompareAppNode(std::vector<DriftChange>& out, const std::string& host,
                    Msg<Hux::OraEBSAppNode> saved, Msg<Hux::OraEBSAppNode> fresh) {
  using N = Hux::OraEBSAppNode;
  using X = Hux::OraEBSContext;
  Collector c(out, DriftScope::AppNode, host);
  c.Texts(saved, fresh,
          {&N::appsBase, &N::appsVersion, &N::configHome, &N::platform, &N::osGroup, &N::applTmp});
  c.User(saved, fresh, N::osUser);
  c.Field("runEdition", RunEdition(saved), RunEdition(fresh));
  c.Field("services", ServiceSet(saved), ServiceSet(fresh));
  c.Field(N::client.name, ClientText(saved), ClientText(fresh));
  const auto edition = [](Msg<X> x) { return x.get(X::fileEditionName); };
  Match(
      Keyed(saved.list(N::contexts, Create::No), edition),
      Keyed(fresh.list(N::contexts, Create::No), edition),
      [&](const std::string& name, Msg<X> before, Msg<X> after) {
        Collector(out, DriftScope::AppNode, host, name)
            .Texts(before, after,
                   {&X::hostName, &X::applTop, &X::oadTop, &X::webOracleHome, &X::toolsOracleHome,
                    &X::contextName, &X::contextFilePath, &X::configHome});
      },
      [&](const std::string& name, DriftKind kind) {
        Collector(out, DriftScope::AppNode, host, name).Presence(kind);
      });
}

}  // namespace

std::string RunEdition(Msg<Hux::OraEBSAppNode> node) {
  const std::string home = node.get(Hux::OraEBSAppNode::configHome);
  auto contexts = node.list(Hux::OraEBSAppNode::contexts, Create::No);
  if (home.empty()) return "";
  for (size_t i = 0; i < contexts.size(); ++i)
    if (contexts.at(i).get(Hux::OraEBSContext::configHome) == home)
      return contexts.at(i).get(Hux::OraEBSContext::fileEditionName);
  return "";
}

ConfigDrift CompareConfigs(Msg<Hux::OraEBSConfig> saved, Msg<Hux::OraEBSConfig> fresh) {
  using Cfg = Hux::OraEBSConfig;
  using Db = Hux::OraEBSDBTier;
  using App = Hux::OraEBSAppTier;
  ConfigDrift drift;
  std::vector<DriftChange>& out = drift.changes;
  Collector(out, DriftScope::Config).Text(saved, fresh, Cfg::appsVersion);

  auto savedDb = saved.child(Cfg::dbTier, Create::No);
  auto freshDb = fresh.child(Cfg::dbTier, Create::No);
  Collector db(out, DriftScope::DbTier);
  db.Texts(savedDb, freshDb, {&Db::dbName, &Db::dbSid, &Db::dbPort, &Db::osGroup});
  db.User(savedDb, freshDb, Db::osUser);
  const auto dbHost = [](Msg<Hux::OraEBSDBNode> n) { return n.get(Hux::OraEBSDBNode::hostName); };
  Match(
      Keyed(savedDb.list(Db::dbNodes, Create::No), dbHost),
      Keyed(freshDb.list(Db::dbNodes, Create::No), dbHost),
      [&](const std::string& host, auto before, auto after) {
        CompareDbNode(out, host, before, after);
      },
      [&](const std::string& host, DriftKind kind) {
        Collector(out, DriftScope::DbNode, host).Presence(kind);
      });

  auto savedApp = saved.child(Cfg::appTier, Create::No);
  auto freshApp = fresh.child(Cfg::appTier, Create::No);
  Collector app(out, DriftScope::AppTier);
  app.Texts(savedApp, freshApp, {&App::hostName, &App::osGroup});
  app.User(savedApp, freshApp, App::osUser);
  const auto appHost = [](Msg<Hux::OraEBSAppNode> n) {
    return n.get(Hux::OraEBSAppNode::hostName);
  };
  Match(
      Keyed(savedApp.list(App::appNodes, Create::No), appHost),
      Keyed(freshApp.list(App::appNodes, Create::No), appHost),
      [&](const std::string& host, auto before, auto after) {
        CompareAppNode(out, host, before, after);
      },
      [&](const std::string& host, DriftKind kind) {
        Collector(out, DriftScope::AppNode, host).Presence(kind);
      });

  // A cutover: a node's run edition changed, and every node now runs the same one.
  const bool changed = std::any_of(out.begin(), out.end(), [](const DriftChange& c) {
    return c.field == "runEdition" && c.before != "-" && c.after != "-";
  });
  std::set<std::string> runEditions;
  auto nodes = freshApp.list(App::appNodes, Create::No);
  for (size_t i = 0; i < nodes.size(); ++i) runEditions.insert(RunEdition(nodes.at(i)));
  if (changed && runEditions.size() == 1 && !runEditions.begin()->empty())
    drift.swappedTo = *runEditions.begin();
  return drift;
}

const char* DriftScopeName(DriftScope scope) {
  switch (scope) {
    case DriftScope::Config:
      return "configuration";
    case DriftScope::DbTier:
      return "database tier";
    case DriftScope::DbNode:
      return "database node";
    case DriftScope::AppTier:
      return "application tier";
    case DriftScope::AppNode:
      return "application node";
  }
  return "";
}

const char* DriftKindName(DriftKind kind) {
  switch (kind) {
    case DriftKind::Added:
      return "added";
    case DriftKind::Removed:
      return "removed";
    case DriftKind::Changed:
      return "changed";
  }
  return "";
}
