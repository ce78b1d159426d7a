// The commands on the managing-server stand-in's store: clients add|list|remove, apps list|show,
// store init|copy. Commands that only read open the store read-only and never create it; a
// missing store reads as an empty one. A location is shown with its password masked.
#include <sys/stat.h>

#include <cstdint>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>

#include "commands.h"
#include "host_names.h"
#include "json_view.h"
#include "picture.h"
#include "platform/host/host_config.h"
#include "messages/redact.h"
#include "platform/server/store_location.h"
#include "terminal_text.h"
#include "topology_view.h"

namespace {

// How a saved app was discovered: null when nothing was recorded, a null field when unknown.
Json DiscoveryJson(const std::optional<AppMetadata>& m) {
  if (!m) return nullptr;
  const auto known = [](const std::string& v) { return v.empty() ? Json(nullptr) : Json(v); };
  return {{"sid", known(m->sid)},
          {"dbUser", known(m->dbUser)},
          {"discoveredAt", known(m->discoveredAt)},
          {"pluginVersion", known(m->pluginVersion)}};
}

std::string DiscoveryText(const std::optional<AppMetadata>& m) {
  if (!m) return "not recorded (saved before ebs-host kept it, or not by ebs-host)";
  if (m->sid.empty() && m->dbUser.empty() && m->discoveredAt.empty() && m->pluginVersion.empty())
    return "unknown (saved from a configuration file)";
  const auto known = [](const std::string& v) { return v.empty() ? "unknown" : Shown(v); };
  return "SID " + known(m->sid) + " as " + known(m->dbUser) + " at " + known(m->discoveredAt) +
         " by plug-in " + known(m->pluginVersion);
}

Json ClientJson(const ClientRecord& c, const std::vector<RegistryValue>& values) {
  Json j{{"id", c.id}, {"name", c.name}, {"hiveId", c.hiveId}, {"hosts", c.hosts}};
  auto registry = Json::array();
  for (const RegistryValue& v : values)
    registry.push_back({{"path", v.path},
                        {"name", v.name},
                        {"type", v.type},
                        {"value", v.value},
                        {"mode", v.mode},
                        {"flags", v.flags},
                        {"options", v.options}});
  j["registry"] = registry;
  return j;
}

// A time stamp as a table shows it: 2026-12-06T18:00:00Z as 2026-12-06T18:00Z.
std::string ShortTime(const std::string& utc) {
  if (utc.size() == 20 && utc[16] == ':' && utc[19] == 'Z') return utc.substr(0, 16) + "Z";
  return utc;
}

// The last diff of an app, for a table: "2026-12-06T18:00Z drift (1 changed, 0 added,
// 2 removed)", "2026-12-06T18:00Z no drift", or `none` when there was none.
std::string LastDiffText(const std::optional<DriftCheck>& d, const char* none) {
  if (!d) return none;
  const std::string at = ShortTime(d->checkedAt);
  if (!d->drift) return at + " no drift";
  return at + " drift (" + std::to_string(d->changed) + " changed, " + std::to_string(d->added) +
         " added, " + std::to_string(d->removed) + " removed)";
}

Json LastDiffJson(const std::optional<DriftCheck>& d) {
  if (!d) return nullptr;
  return {{"checkedAt", d->checkedAt}, {"drift", d->drift},     {"changed", d->changed},
          {"added", d->added},         {"removed", d->removed}, {"changes", d->changes}};
}

Json SavedByJson(const AppRecord& a) {
  return a.savedBy.empty() ? Json(nullptr) : Json(a.savedBy);
}

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

}  // namespace

int StoreFailed(const Global& g, const Status& s) {
  return Fail(g, kUnavailable, "the store cannot be used: " + s.message);
}

int RunClientsAdd(const Global& g, const std::string& name, const std::vector<std::string>& hosts,
                  int64_t hive) {
  if (name.empty()) return Fail(g, kUsage, "--name: a client needs a name");
  for (const std::string& host : hosts)
    if (!IsHostName(host))
      return Fail(g, kUsage,
                  "--host: '" + host +
                      "' is not a host name (letters, digits and '-' in dot-separated labels of "
                      "at most 63 characters, none starting or ending with '-')");
  if (hive < 0 || hive > std::numeric_limits<int32_t>::max())
    return Fail(g, kUsage,
                "--hive: " + std::to_string(hive) + " is outside 0.." +
                    std::to_string(std::numeric_limits<int32_t>::max()));
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(CurrentHostConfig().storePath, store);
  if (!s.ok) return StoreFailed(g, s);
  int64_t id = 0;
  s = store->AddClient(name, hosts, hive, 0, &id);
  if (!s.ok) return Fail(g, kAnswerError, s.message);
  if (g.json) return EmitJson(g, ClientJson(ClientRecord{id, name, hive, hosts}, {}), kOk);
  return Emit(g, "Added client " + Shown(name) + " (id " + std::to_string(id) + ")\n");
}

int RunClientsList(const Global& g) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  std::vector<ClientRecord> clients;
  if (store) {
    Status s = store->ListClients(clients);
    if (!s.ok) return StoreFailed(g, s);
  }
  auto all = Json::array();
  std::vector<std::vector<std::string>> rows;
  for (const ClientRecord& c : clients) {
    std::vector<RegistryValue> values;
    Status s = store->RegistryValues(c.id, values);
    if (!s.ok) return StoreFailed(g, s);
    all.push_back(ClientJson(c, values));
    std::vector<std::string> registry;
    for (const RegistryValue& v : values) registry.push_back(v.path + "/" + v.name + "=" + v.value);
    rows.push_back({std::to_string(c.id), c.name, std::to_string(c.hiveId), Join(c.hosts, ","),
                    registry.empty() ? "-" : Join(registry, " ")});
  }
  if (g.json) return EmitJson(g, {{"clients", all}}, kOk);
  if (clients.empty()) return Emit(g, "No clients.\n");
  return Emit(g, Table(g, {"ID", "NAME", "DOMAIN", "HOSTS", "REGISTRY"}, rows));
}

int RunClientsRemove(const Global& g, const std::string& name) {
  std::unique_ptr<ServerStore> store;
  Status s = ServerStore::Open(CurrentHostConfig().storePath, store, StoreAccess::ReadWriteExisting);
  if (!s.ok) return StoreFailed(g, s);
  if (!store) return Fail(g, kAnswerError, "no client named " + name);
  bool removed = false;
  s = store->RemoveClient(name, &removed);
  if (!s.ok) return StoreFailed(g, s);
  if (!removed) return Fail(g, kAnswerError, "no client named " + name);
  if (g.json) return EmitJson(g, {{"removed", name}}, kOk);
  return Emit(g, "Removed client " + Shown(name) + "\n");
}

int RunAppsList(const Global& g, const std::optional<std::string>& savedBy) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  std::vector<AppRecord> apps;
  if (store) {
    Status s = store->ListApps(apps);
    if (!s.ok) return StoreFailed(g, s);
  }
  auto all = Json::array();
  std::vector<std::vector<std::string>> rows;
  for (const AppRecord& a : apps) {
    if (savedBy && a.savedBy != *savedBy) continue;
    all.push_back({{"id", a.id},
                   {"name", a.name},
                   {"type", a.type},
                   {"updatedAt", a.updatedAt},
                   {"savedBy", SavedByJson(a)},
                   {"lastDiff", LastDiffJson(a.lastDiff)}});
    rows.push_back({std::to_string(a.id), a.name, std::to_string(a.type), a.updatedAt,
                    a.savedBy.empty() ? "-" : a.savedBy, LastDiffText(a.lastDiff, "-")});
  }
  if (g.json) return EmitJson(g, {{"apps", all}}, kOk);
  if (rows.empty())
    return Emit(g, savedBy ? "No virtual apps saved by " + Shown(*savedBy) + ".\n"
                           : "No virtual apps.\n");
  return Emit(g, Table(g, {"ID", "NAME", "TYPE", "SAVED", "SAVED BY", "LAST DIFF"}, rows));
}

int RunAppsShow(const Global& g, int64_t id, const std::string& format) {
  if (int rc = CheckFormat(g, format)) return rc;
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStoreReadOnly(g, store)) return rc;
  std::optional<AppRecord> app;
  std::optional<AppMetadata> metadata;
  if (store) {
    Status s = store->GetApp(id, app);
    if (s.ok) s = store->GetAppMetadata(id, metadata);
    if (!s.ok) return StoreFailed(g, s);
  }
  if (!app) return Fail(g, kAnswerError, "no virtual app with id " + std::to_string(id));
  Hux::OraEBSConfig config;
  config.unserialize(app->config);
  if (!g.showSecrets) EmptyPasswords(config);
  if (g.json)
    return EmitJson(g,
                    {{"id", app->id},
                     {"name", app->name},
                     {"type", app->type},
                     {"updatedAt", app->updatedAt},
                     {"discovery", DiscoveryJson(metadata)},
                     {"ebsConfig", MessageToJson(config, g.showSecrets)},
                     {"savedBy", SavedByJson(*app)},
                     {"lastDiff", LastDiffJson(app->lastDiff)}},
                    kOk);
  if (g.xml)
    return Emit(g, XmlForTerminal(g.showSecrets ? app->config : config.serialized()) + "\n");
  if (IsPicture(format)) return EmitPicture(g, format, View(config));
  std::ostringstream out;
  out << "Virtual app " << Shown(app->name) << " (id " << app->id << ", type " << app->type
      << ", saved " << Shown(app->updatedAt) << ")\n";
  out << "Discovered       " << DiscoveryText(metadata) << "\n";
  out << "Saved by         " << (app->savedBy.empty() ? "unknown" : Shown(app->savedBy)) << "\n";
  out << "Last diff        " << LastDiffText(app->lastDiff, "none recorded") << "\n\n";
  PrintTopology(out, View(config));
  return Emit(g, out.str());
}

namespace {

// Whether `a` and `b` name one store: the same text, or one SQLite file under two names.
bool SameStore(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (ServerStore::IsPostgres(a) || ServerStore::IsPostgres(b)) return false;
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int RunStoreInit(const Global& g) {
  const std::string location = CurrentHostConfig().storePath;
  const std::string shown = MaskedLocation(location);
  if (location.empty())
    return Fail(g, kUnavailable, "there is no store to initialise",
                {"no home directory is known: give --store LOCATION or set EBS_HOST_STORE"});
  std::string done;
  const Status s = ServerStore::Init(location, &done);
  // The store's message names the location (masked) and the reason.
  if (!s.ok) return Fail(g, kUnavailable, "cannot initialise the store", {s.message});
  done = WithoutPassword(done, location);
  if (g.json)
    return EmitJson(g,
                    {{"store", shown},
                     {"backend", ServerStore::IsPostgres(location) ? "postgresql" : "sqlite"},
                     {"schemaVersion", ServerStore::kSchemaVersion},
                     {"done", done}},
                    kOk);
  return Emit(g, Shown(done) + "\n");
}

int RunStoreCopy(const Global& g, const std::string& to,
                 const std::optional<std::string>& savedBy) {
  const std::string from = CurrentHostConfig().storePath;
  const std::string shownFrom = MaskedLocation(from), shownTo = MaskedLocation(to);
  const auto usage = [&](const std::string& message) {
    return Fail(g, kUsage, message, {}, -1, "see ebs-host store copy --help");
  };
  if (to.empty()) return usage("--to: give the store to copy into");
  if (CarriesPassword(to))
    return usage("--to: " + shownTo +
                 " carries a password, which ebs-host never takes on its command line; keep it "
                 "in a password file (~/.pgpass, or PGPASSFILE)");
  if (SameStore(from, to))
    return usage("--to: " + shownTo + " is the store being copied (--store or EBS_HOST_STORE)");

  std::unique_ptr<ServerStore> source;
  if (int rc = OpenStoreReadOnly(g, source)) return rc;
  if (!source) return Fail(g, kAnswerError, "nothing to copy: there is no store at " + shownFrom);
  StoreContent content;
  Status s = source->ReadAll(content);
  if (!s.ok) return StoreFailed(g, s);
  source.reset();

  std::unique_ptr<ServerStore> target;
  s = ServerStore::Open(to, target, StoreAccess::ReadWriteExisting);
  if (!s.ok)
    return Fail(g, kUnavailable, "the store to copy into cannot be used: " +
                                     WithoutPassword(s.message, to));
  if (!target)
    return Fail(g, kUnavailable, "there is no store at " + shownTo,
                {"create it first: ebs-host --store LOCATION store init"});
  // WriteAll refuses it too, in its transaction; this says what is there.
  std::vector<ClientRecord> clients;
  std::vector<AppRecord> apps;
  s = target->ListClients(clients);
  if (s.ok) s = target->ListApps(apps);
  if (!s.ok)
    return Fail(g, kUnavailable, "the store to copy into cannot be used: " +
                                     WithoutPassword(s.message, to));
  if (!clients.empty() || !apps.empty())
    return Fail(g, kAnswerError,
                "refusing to copy into " + shownTo + ": it holds " +
                    Counted(clients.size(), "client", "clients") + " and " +
                    Counted(apps.size(), "virtual app", "virtual apps"),
                {"a copy goes into an empty store only"});
  s = target->WriteAll(content, savedBy.value_or(""));
  if (!s.ok)
    return Fail(g, kUnavailable, "the copy into " + shownTo + " failed; nothing was copied",
                {WithoutPassword(s.message, to)});
  if (g.json)
    return EmitJson(g,
                    {{"from", shownFrom},
                     {"to", shownTo},
                     {"clients", content.clients.size()},
                     {"apps", content.apps.size()},
                     {"registryValues", content.registry.size()},
                     {"savedBy", savedBy ? Json(*savedBy) : Json(nullptr)}},
                    kOk);
  return Emit(g, "Copied " + Counted(content.clients.size(), "client", "clients") + ", " +
                     Counted(content.apps.size(), "virtual app", "virtual apps") + " and " +
                     Counted(content.registry.size(), "registry value", "registry values") +
                     " from " + Shown(shownFrom) + " to " + Shown(shownTo) +
                     (savedBy ? ", every app saved by " + Shown(*savedBy) : "") + "\n");
}
