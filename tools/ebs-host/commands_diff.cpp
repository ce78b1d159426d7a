// `diff APP_ID`: discovers the instance of a saved virtual app again, as `discover` does (the SID
// and database user default to those the app was discovered with), and shows how the live
// instance differs from what was saved: one block per changed node, a cutover in words, a
// one-line verdict. The result is recorded with the app in the store (its last diff), then
// --update saves the fresh discovery over the app, as `discover --save` does. Exit status 0
// without drift, kDrift with it; a failed discovery as `discover` reports it.
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "commands.h"
#include "config_diff.h"
#include "json_view.h"
#include "base/file_io.h"
#include "platform/host/host_config.h"
#include "store_location.h"
#include "terminal_text.h"

namespace {

std::string ScopeKey(DriftScope scope) {
  switch (scope) {
    case DriftScope::Config:
      return "config";
    case DriftScope::DbTier:
      return "dbTier";
    case DriftScope::DbNode:
      return "dbNode";
    case DriftScope::AppTier:
      return "appTier";
    case DriftScope::AppNode:
      return "appNode";
  }
  return "";
}

Json DriftJson(const ConfigDrift& drift) {
  Json changes = Json::array();
  // Every change has the same keys; null where it has no value.
  const auto given = [](const std::string& v) { return v.empty() ? Json(nullptr) : Json(v); };
  for (const DriftChange& c : drift.changes) {
    const bool changed = c.kind == DriftKind::Changed;
    changes.push_back({{"scope", ScopeKey(c.scope)},
                       {"host", given(c.host)},
                       {"edition", given(c.edition)},
                       {"change", DriftKindName(c.kind)},
                       {"field", changed ? given(c.field) : Json(nullptr)},
                       {"old", changed ? Json(c.before) : Json(nullptr)},
                       {"new", changed ? Json(c.after) : Json(nullptr)}});
  }
  return {{"drift", drift.any()}, {"changes", changes}, {"runEditionNow", given(drift.swappedTo)}};
}

// The heading of a change's block: "application node ebsapp01", "database tier".
std::string BlockOf(const DriftChange& c) {
  return std::string(DriftScopeName(c.scope)) + (c.host.empty() ? "" : " " + Shown(c.host));
}

// The drift counted as the verdict says it and the store records it: the blocks (nodes, tiers,
// the configuration) changed, added and removed, and every change.
DriftCheck Tally(const ConfigDrift& drift) {
  std::map<std::string, DriftKind> blocks;  // a node added or removed, else changed
  for (const DriftChange& c : drift.changes) {
    const bool whole = c.edition.empty() && c.field.empty();
    auto [it, inserted] = blocks.emplace(BlockOf(c), whole ? c.kind : DriftKind::Changed);
    if (!inserted && whole) it->second = c.kind;
  }
  DriftCheck check;
  check.drift = drift.any();
  for (const auto& [block, kind] : blocks)
    (kind == DriftKind::Added ? check.added : kind == DriftKind::Removed ? check.removed
                                                                          : check.changed)++;
  check.changes = static_cast<int64_t>(drift.changes.size());
  return check;
}

std::string Verdict(const DriftCheck& t, const std::string& app) {
  if (!t.drift) return "no drift: the live instance matches virtual app " + app + "\n";
  return "drift found: " + std::to_string(t.changed) + " changed, " + std::to_string(t.added) +
         " added, " + std::to_string(t.removed) + " removed (" + std::to_string(t.changes) +
         (t.changes == 1 ? " change" : " changes") + ") since virtual app " + app +
         " was saved\n";
}

// Records the result of the diff with app `id`: the store opened for writing for this alone.
Status RecordResult(int64_t id, const DriftCheck& check) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(CurrentHostConfig().storePath, store, StoreAccess::ReadWriteExisting);
  if (s.ok && !store) return Status::Error("the store is gone");
  if (s.ok) s = store->RecordDiff(id, check);
  return s;
}

std::string DriftText(const ConfigDrift& drift, const std::string& app,
                      const std::string& heading) {
  std::ostringstream out;
  out << heading << "\n\n";
  std::string block;
  for (const DriftChange& c : drift.changes) {
    const std::string heading = BlockOf(c);
    const bool whole = c.edition.empty() && c.field.empty();
    if (whole) {
      out << (block.empty() ? "" : "\n") << heading << ": " << DriftKindName(c.kind) << "\n";
      block = heading;
      continue;
    }
    if (heading != block) {
      out << (block.empty() ? "" : "\n") << heading << ": changed\n";
      block = heading;
    }
    if (c.field.empty())  // a context added or removed
      out << "  context " << Shown(c.edition) << ": " << DriftKindName(c.kind) << "\n";
    else
      out << "  " << (c.edition.empty() ? "" : "context " + Shown(c.edition) + " ") << c.field
          << ": " << Shown(c.before) << " -> " << Shown(c.after) << "\n";
  }
  if (drift.any()) out << "\n";
  if (!drift.swappedTo.empty())
    out << "file systems swapped: run edition now " << Shown(drift.swappedTo) << "\n";
  out << Verdict(Tally(drift), app);
  return out.str();
}

}  // namespace

int RunDiff(const Global& g, const DiffArgs& args) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  std::optional<AppRecord> app;
  std::optional<AppMetadata> known;
  if (store) {
    Status s = store->GetApp(args.appId, app);
    if (s.ok) s = store->GetAppMetadata(args.appId, known);
    if (!s.ok) return StoreFailed(g, s);
  }
  store.reset();
  const std::string id = std::to_string(args.appId);
  if (!app) return Fail(g, kAnswerError, "no virtual app with id " + id);

  DiscoverArgs discover = args.discover;
  const auto missing = [&](const std::string& option, const std::string& what) {
    return Fail(g, kUsage,
                option + ": the " + what + " that virtual app " + id +
                    " was discovered with is not recorded (it was saved from a file or by an "
                    "older ebs-host); give " +
                    option);
  };
  if (discover.sid.empty() && known) discover.sid = known->sid;
  if (discover.sid.empty()) return missing("--sid SID", "SID");
  if (discover.user.empty() && known) discover.user = known->dbUser;
  if (discover.user.empty()) return missing("--db-user USER", "database user");

  Answer a;
  Hux::OraEBSReqResp inner;
  AppMetadata metadata;
  if (int rc = DiscoverCall(g, discover, a, inner, metadata)) return rc;
  // What is known of the app goes with a failed discovery under --json.
  Json json{{"appId", args.appId},
            {"name", app->name},
            {"sid", discover.sid},
            {"savedAt", app->updatedAt}};
  if (!a.ok()) return ReportAnswer(g, a, inner, args.update ? Json{{"diff", json}} : json);

  Hux::OraEBSConfig saved;
  saved.unserialize(app->config);
  auto fresh = View(inner).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
  const ConfigDrift drift = CompareConfigs(View(saved), fresh);
  const std::string name = Shown(app->name) + " (id " + id + ")";
  json.update(DriftJson(drift));
  const std::string text =
      DriftText(drift, name,
                "Virtual app " + name + " saved " + Shown(app->updatedAt) + ", against SID " +
                    Shown(discover.sid) + " discovered as " + Shown(discover.user) + " now:");
  const int status = drift.any() ? kDrift : kOk;
  // The drift found, before any --update; a failure to record it leaves the result as it is.
  const Status recorded = RecordResult(args.appId, Tally(drift));
  json["recorded"] = recorded.ok;
  const std::string why = WithoutPassword(recorded.message, g.store);
  json["recordError"] = recorded.ok ? Json(nullptr) : Json(why);
  if (!recorded.ok && !g.json)
    WriteAll(STDERR_FILENO,
             "ebs-host: note: the result of this diff was not recorded in the store: " + Shown(why) +
                 "\n");

  if (args.update && drift.any()) {
    SaveContext how;
    how.before = &json;
    how.beforeKey = "diff";
    how.textBefore = text + "\n";
    how.metadata = metadata;
    const int rc = SaveConfig(g, Hux::OraEBSConfig(fresh.raw()), app->name, a.lines, how);
    return rc == kOk ? status : rc;
  }
  // Under --update the document has one shape whether or not there was anything to save.
  if (args.update && g.json) json = Json{{"diff", Shaped(json, JsonKeys("diff"))}};
  if (g.json) return EmitJson(g, json, status);
  if (int rc = Emit(g, text)) return rc;
  return status;
}
