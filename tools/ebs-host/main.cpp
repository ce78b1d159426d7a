// ebs-host: a command-line host for the plug-in. It loads libEnterpriseApps.so with dlopen and
// calls OnMsgEnterpriseApps exactly as the platform does, and manages the managing-server
// stand-in's store (clients, virtual apps) directly.
//
// Exit status: 0 the answer carries error code 0; 1 it carries an error code or the request was
// refused; 2 usage error; 3 the plug-in or the store cannot be used.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>

#include "json_view.h"
#include "messages/catalogue.h"
#include "messages/requests.h"
#include "platform/host_config.h"
#include "platform/pstring.h"
#include "platform/store.h"
#include "plugin_loader.h"
#include "topology_view.h"

namespace {

enum Exit : int { kOk = 0, kAnswerError = 1, kUsage = 2, kUnavailable = 3 };

struct Global {
  std::string plugin;
  bool json = false;
  bool xml = false;
};

std::string Dump(const nlohmann::ordered_json& j) {
  return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool ReadInput(const std::string& path, std::string& text, std::string& error) {
  if (path.empty() || path == "-") {
    std::ostringstream s;
    s << std::cin.rdbuf();
    text = s.str();
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

// One exchange with the plug-in.
struct Answer {
  int result = 0;
  int64_t errorCode = 0;
  std::string errorMessage;
  std::string text;   // the whole answer envelope
  std::string inner;  // its xmlString
  Hux::EnterpriseAppsReqResp envelope;
};

int Call(const Global& g, std::string text, Answer& answer) {
  PluginLoader loader;
  std::string error;
  if (!loader.Load(g.plugin, error)) {
    std::cerr << "ebs-host: cannot use the plug-in: " << error << "\n";
    return kUnavailable;
  }
  answer.result = loader.Call(text);
  answer.text = text;
  AnswerParts parts = ReadAnswer(text, answer.envelope);
  answer.errorCode = parts.errorCode;
  answer.errorMessage = std::move(parts.errorMessage);
  answer.inner = std::move(parts.inner);
  return kOk;
}

int StatusOf(const Answer& a) { return a.result == 0 && a.errorCode == 0 ? kOk : kAnswerError; }

std::string EbsEnvelope(const Hux::OraEBSReqResp& request) {
  return EnvelopeText(kAppTypeOracleEBS, request.serialized());
}

// Prints an EBS answer: JSON, the raw inner text, or a summary for people.
int Report(const Global& g, const Answer& a,
           const std::function<void(Hux::OraEBSReqResp&)>& human) {
  Hux::OraEBSReqResp inner;
  inner.unserialize(a.inner);
  if (g.json) {
    nlohmann::ordered_json j;
    j["result"] = a.result;
    j["errorCode"] = a.errorCode;
    j["errorMessage"] = a.errorMessage;
    j["answer"] = MessageToJson(inner);
    std::cout << Dump(j) << "\n";
  } else if (g.xml) {
    std::cout << a.inner << "\n";
  } else if (StatusOf(a) == kOk) {
    human(inner);
  }
  if (StatusOf(a) != kOk)
    std::cerr << "ebs-host: error " << a.errorCode << ": " << a.errorMessage << "\n";
  return StatusOf(a);
}

int OpenStore(std::unique_ptr<ServerStore>& store) {
  Status s = ServerStore::Open(LoadHostConfig().storePath, store);
  if (!s.ok) {
    std::cerr << "ebs-host: " << s.message << "\n";
    return kUnavailable;
  }
  return kOk;
}

int StoreFailed(const Status& s) {
  std::cerr << "ebs-host: " << s.message << "\n";
  return kUnavailable;
}

// ----- subcommands -----------------------------------------------------------------------------

int RunRequest(const Global& g, const std::string& file) {
  std::string text, error;
  if (!ReadInput(file, text, error)) {
    std::cerr << "ebs-host: " << error << "\n";
    return kUsage;
  }
  Answer a;
  if (int rc = Call(g, text, a)) return rc;
  if (g.json) {
    nlohmann::ordered_json j;
    j["result"] = a.result;
    j["envelope"] = MessageToJson(a.envelope);
    std::cout << Dump(j) << "\n";
  } else if (g.xml) {
    std::cout << a.inner << "\n";
  } else {
    std::cout << a.text << "\n";
  }
  return StatusOf(a);
}

int RunDiscover(const Global& g, const std::string& sid, const std::string& user,
                const std::string& passwordFile, const std::string& passwordEnv) {
  std::string password;
  if (!passwordFile.empty()) {
    std::string error;
    if (!ReadInput(passwordFile, password, error)) {
      std::cerr << "ebs-host: " << error << "\n";
      return kUsage;
    }
    const size_t end = password.find_first_of("\r\n");
    if (end != std::string::npos) password.resize(end);
  } else {
    const char* value = std::getenv(passwordEnv.c_str());
    if (!value) {
      std::cerr << "ebs-host: environment variable " << passwordEnv << " is not set\n";
      return kUsage;
    }
    password = value;
  }
  Hux::OraEBSReqResp request = DiscoverRequest(sid, user, password);
  WipeString(password);
  std::string text = EbsEnvelope(request);
  request.clear();
  Answer a;
  const int rc = Call(g, std::move(text), a);
  if (rc) return rc;
  return Report(g, a, [](Hux::OraEBSReqResp& inner) {
    PrintTopology(std::cout, View(inner).child(Hux::OraEBSReqResp::ebsConfig, Create::No));
  });
}

int RunSave(const Global& g, const std::string& configFile, const std::string& name) {
  std::string text, error;
  if (!ReadInput(configFile, text, error)) {
    std::cerr << "ebs-host: " << error << "\n";
    return kUsage;
  }
  Hux::OraEBSReqResp discovered;
  if (!discovered.unserialize(text) || !View(discovered).isSet(Hux::OraEBSReqResp::ebsConfig)) {
    std::cerr << "ebs-host: " << configFile
              << " holds no EBS configuration (expected what `discover --xml` prints)\n";
    return kUsage;
  }
  Hux::OraEBSReqResp request;
  auto req = View(request);
  req.set(Hux::OraEBSReqResp::messageType, 1);
  auto config = std::make_unique<Hux::OraEBSConfig>(
      View(discovered).child(Hux::OraEBSReqResp::ebsConfig, Create::No).raw());
  View(*config)
      .child(Hux::OraEBSConfig::virtualApp, Create::Yes)
      .set(NqEntities::AppEntity::appName, name);
  req.attach(Hux::OraEBSReqResp::ebsConfig, std::move(config));
  Answer a;
  if (int rc = Call(g, EbsEnvelope(request), a)) return rc;
  return Report(g, a, [&name](Hux::OraEBSReqResp& answer) {
    std::unique_ptr<ServerStore> store;
    if (!ServerStore::Open(LoadHostConfig().storePath, store).ok) {
      std::cout << "Saved virtual app " << name << "\n";
      return;
    }
    std::vector<AppRecord> apps;
    int64_t id = 0;
    if (store->ListApps(apps).ok)
      for (const AppRecord& app : apps)
        if (app.name == name) id = app.id;
    std::cout << "Saved virtual app " << name << " (id " << id << ")\n";
    // The registry value asked for on every node's client, as the server now holds it.
    auto cfg = View(answer).child(Hux::OraEBSReqResp::ebsConfig, Create::No);
    std::vector<std::string> clients;
    auto dbNodes = cfg.child(Hux::OraEBSConfig::dbTier, Create::No)
                       .list(Hux::OraEBSDBTier::dbNodes, Create::No);
    for (size_t i = 0; i < dbNodes.size(); ++i)
      clients.push_back(dbNodes.at(i)
                            .child(Hux::OraEBSDBNode::client, Create::No)
                            .get(NqEntities::ClientEntity::clientName));
    auto appNodes = cfg.child(Hux::OraEBSConfig::appTier, Create::No)
                        .list(Hux::OraEBSAppTier::appNodes, Create::No);
    for (size_t i = 0; i < appNodes.size(); ++i)
      clients.push_back(appNodes.at(i)
                            .child(Hux::OraEBSAppNode::client, Create::No)
                            .get(NqEntities::ClientEntity::clientName));
    for (const std::string& client : clients) {
      std::optional<ClientRecord> record;
      std::vector<RegistryValue> values;
      std::string value = "not set";
      if (!client.empty() && store->FindClientByName(client, record).ok && record &&
          store->RegistryValues(record->id, values).ok)
        for (const RegistryValue& v : values)
          if (v.path == "Huxwire" && v.name == "nCollectClientConfig") value = v.value;
      std::cout << "  client " << (client.empty() ? "(none)" : client)
                << ": Huxwire/nCollectClientConfig = " << value << "\n";
    }
  });
}

int RunDelete(const Global& g, int64_t appId) {
  const Hux::OraEBSReqResp request = DeleteRequest(appId);
  Answer a;
  if (int rc = Call(g, EbsEnvelope(request), a)) return rc;
  return Report(
      g, a, [appId](Hux::OraEBSReqResp&) { std::cout << "Deleted virtual app " << appId << "\n"; });
}

nlohmann::ordered_json ClientJson(const ClientRecord& c, const std::vector<RegistryValue>& values) {
  nlohmann::ordered_json j{
      {"id", c.id}, {"name", c.name}, {"hiveId", c.hiveId}, {"hosts", c.hosts}};
  auto registry = nlohmann::ordered_json::array();
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

int RunClientsAdd(const Global& g, const std::string& name, const std::vector<std::string>& hosts,
                  int64_t hive) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStore(store)) return rc;
  int64_t id = 0;
  Status s = store->AddClient(name, hosts, hive, 0, &id);
  if (!s.ok) {
    std::cerr << "ebs-host: " << s.message << "\n";
    return kAnswerError;
  }
  if (g.json)
    std::cout << Dump(ClientJson(ClientRecord{id, name, hive, hosts}, {})) << "\n";
  else
    std::cout << "Added client " << name << " (id " << id << ")\n";
  return kOk;
}

int RunClientsList(const Global& g) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStore(store)) return rc;
  std::vector<ClientRecord> clients;
  Status s = store->ListClients(clients);
  if (!s.ok) return StoreFailed(s);
  auto all = nlohmann::ordered_json::array();
  if (!g.json && clients.empty()) std::cout << "No clients.\n";
  for (const ClientRecord& c : clients) {
    std::vector<RegistryValue> values;
    s = store->RegistryValues(c.id, values);
    if (!s.ok) return StoreFailed(s);
    if (g.json) {
      all.push_back(ClientJson(c, values));
      continue;
    }
    std::cout << c.id << "  " << c.name << "  domain " << c.hiveId << "  hosts";
    for (const std::string& h : c.hosts) std::cout << " " << h;
    std::cout << "\n";
    for (const RegistryValue& v : values)
      std::cout << "    registry " << v.path << "/" << v.name << " = " << v.value << " (" << v.type
                << ", mode " << v.mode << ")\n";
  }
  if (g.json) std::cout << Dump(all) << "\n";
  return kOk;
}

int RunClientsRemove(const std::string& name) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStore(store)) return rc;
  bool removed = false;
  Status s = store->RemoveClient(name, &removed);
  if (!s.ok) return StoreFailed(s);
  if (!removed) {
    std::cerr << "ebs-host: no client named " << name << "\n";
    return kAnswerError;
  }
  std::cout << "Removed client " << name << "\n";
  return kOk;
}

int RunAppsList(const Global& g) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStore(store)) return rc;
  std::vector<AppRecord> apps;
  Status s = store->ListApps(apps);
  if (!s.ok) return StoreFailed(s);
  auto all = nlohmann::ordered_json::array();
  if (!g.json && apps.empty()) std::cout << "No virtual apps.\n";
  for (const AppRecord& a : apps) {
    if (g.json)
      all.push_back({{"id", a.id}, {"name", a.name}, {"type", a.type}, {"updatedAt", a.updatedAt}});
    else
      std::cout << a.id << "  " << a.name << "  type " << a.type << "  saved " << a.updatedAt
                << "\n";
  }
  if (g.json) std::cout << Dump(all) << "\n";
  return kOk;
}

int RunAppsShow(const Global& g, int64_t id) {
  std::unique_ptr<ServerStore> store;
  if (int rc = OpenStore(store)) return rc;
  std::optional<AppRecord> app;
  Status s = store->GetApp(id, app);
  if (!s.ok) return StoreFailed(s);
  if (!app) {
    std::cerr << "ebs-host: no virtual app with id " << id << "\n";
    return kAnswerError;
  }
  Hux::OraEBSConfig config;
  config.unserialize(app->config);
  if (g.json) {
    std::cout << Dump({{"id", app->id},
                       {"name", app->name},
                       {"type", app->type},
                       {"updatedAt", app->updatedAt},
                       {"ebsConfig", MessageToJson(config)}})
              << "\n";
  } else if (g.xml) {
    std::cout << app->config << "\n";
  } else {
    std::cout << "Virtual app " << app->name << " (id " << app->id << ", type " << app->type
              << ", saved " << app->updatedAt << ")\n\n";
    PrintTopology(std::cout, View(config));
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  Global g;
  CLI::App app{
      "ebs-host: loads the EBS enterprise-applications plug-in and calls it as the "
      "platform does; manages the managing-server stand-in's store."};
  app.fallthrough();
  app.require_subcommand(1);
  app.add_option("--plugin", g.plugin, "the plug-in library (default: the built one)");
  auto* jsonFlag = app.add_flag("--json", g.json, "output for programs (JSON)");
  app.add_flag("--xml", g.xml, "output the raw inner message text")->excludes(jsonFlag);

  int status = kOk;

  std::string requestFile = "-";
  auto* request = app.add_subcommand("request", "send a raw request envelope, print the answer");
  request->add_option("file", requestFile, "request text file, or - for standard input");
  request->callback([&] { status = RunRequest(g, requestFile); });

  std::string sid, user, passwordFile, passwordEnv;
  auto* discover = app.add_subcommand("discover", "discover the EBS instance of a SID");
  discover->add_option("--sid", sid, "SID of the database")->required();
  discover->add_option("--db-user", user, "database account")->required();
  auto* pf = discover->add_option("--db-password-file", passwordFile,
                                  "file whose first line is the password");
  auto* pe = discover->add_option("--db-password-env", passwordEnv,
                                  "environment variable holding the password");
  pf->excludes(pe);
  discover->callback([&] {
    if (passwordFile.empty() && passwordEnv.empty())
      throw CLI::RequiredError("--db-password-file or --db-password-env");
    status = RunDiscover(g, sid, user, passwordFile, passwordEnv);
  });

  std::string configFile, name;
  auto* save = app.add_subcommand("save", "save a discovered instance as a virtual app");
  save->add_option("--config", configFile, "what `discover --xml` printed")->required();
  save->add_option("--name", name, "name of the virtual app")->required();
  save->callback([&] { status = RunSave(g, configFile, name); });

  int64_t appId = 0;
  auto* del = app.add_subcommand("delete", "delete a virtual app");
  del->add_option("--app-id", appId, "id of the virtual app")->required();
  del->callback([&] { status = RunDelete(g, appId); });

  auto* clients = app.add_subcommand("clients", "clients of the managing server");
  clients->require_subcommand(1);
  std::string clientName;
  std::vector<std::string> hosts;
  int64_t hive = 0;
  auto* clientsAdd = clients->add_subcommand("add", "register a client");
  clientsAdd->add_option("--name", clientName, "client name")->required();
  clientsAdd->add_option("--host", hosts, "fully qualified host name (repeatable)")->required();
  clientsAdd->add_option("--hive", hive, "managed-domain id");
  clientsAdd->callback([&] { status = RunClientsAdd(g, clientName, hosts, hive); });
  clients->add_subcommand("list", "list clients and their registry values")->callback([&] {
    status = RunClientsList(g);
  });
  auto* clientsRemove = clients->add_subcommand("remove", "remove a client");
  clientsRemove->add_option("--name", clientName, "client name")->required();
  clientsRemove->callback([&] { status = RunClientsRemove(clientName); });

  auto* apps = app.add_subcommand("apps", "virtual apps of the managing server");
  apps->require_subcommand(1);
  apps->add_subcommand("list", "list virtual apps")->callback([&] { status = RunAppsList(g); });
  int64_t showId = 0;
  auto* appsShow = apps->add_subcommand("show", "show one virtual app");
  appsShow->add_option("id", showId, "id of the virtual app")->required();
  appsShow->callback([&] { status = RunAppsShow(g, showId); });

  if (g.plugin.empty()) g.plugin = DefaultPluginPath();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kOk : kUsage;
  } catch (const std::exception& e) {
    std::cerr << "ebs-host: " << e.what() << "\n";
    return kUnavailable;
  }
  return status;
}
