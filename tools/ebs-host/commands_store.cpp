// The commands on the managing-server stand-in's store: clients add|list|remove, apps list|show.
// Commands that only read open the store read-only and never create it; a missing store reads
// as an empty one.
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

int RunAppsList(const Global& g) {
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
    all.push_back({{"id", a.id}, {"name", a.name}, {"type", a.type}, {"updatedAt", a.updatedAt}});
    rows.push_back({std::to_string(a.id), a.name, std::to_string(a.type), a.updatedAt});
  }
  if (g.json) return EmitJson(g, {{"apps", all}}, kOk);
  if (apps.empty()) return Emit(g, "No virtual apps.\n");
  return Emit(g, Table(g, {"ID", "NAME", "TYPE", "SAVED"}, rows));
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
                     {"ebsConfig", MessageToJson(config, g.showSecrets)}},
                    kOk);
  if (g.xml)
    return Emit(g, XmlForTerminal(g.showSecrets ? app->config : config.serialized()) + "\n");
  if (IsPicture(format)) return EmitPicture(g, format, View(config));
  std::ostringstream out;
  out << "Virtual app " << Shown(app->name) << " (id " << app->id << ", type " << app->type
      << ", saved " << Shown(app->updatedAt) << ")\n";
  out << "Discovered       " << DiscoveryText(metadata) << "\n\n";
  PrintTopology(out, View(config));
  return Emit(g, out.str());
}
