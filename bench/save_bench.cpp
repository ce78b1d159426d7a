// Save of a 20-node instance through the plug-in loaded as the host loads it, against the
// embedded server stand-in: wall time per save and the number of server exchanges it makes
// (one registry-key request per node client, then the save request).
#include <benchmark/benchmark.h>

#include "platform/store.h"
#include "support/plugin.h"

namespace {

constexpr int kNodes = 20;  // one database node and 19 application nodes, each on its own client

std::string SaveRequest(const HostSandbox& sandbox) {
  std::unique_ptr<ServerStore> store;
  ServerStore::Open(sandbox.storePath(), store);
  Hux::OraEBSReqResp request;
  auto r = View(request);
  r.set(Hux::OraEBSReqResp::messageType, 1);
  auto config = r.child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  config.set(Hux::OraEBSConfig::appsVersion, "12.2.9");
  config.child(Hux::OraEBSConfig::virtualApp, Create::Yes)
      .set(NqEntities::AppEntity::appName, "VIS-bench");
  auto dbNodes = config.child(Hux::OraEBSConfig::dbTier, Create::Yes)
                     .list(Hux::OraEBSDBTier::dbNodes, Create::Yes);
  auto appNodes = config.child(Hux::OraEBSConfig::appTier, Create::Yes)
                      .list(Hux::OraEBSAppTier::appNodes, Create::Yes);
  for (int i = 0; i < kNodes; ++i) {
    const std::string name = "node" + std::to_string(i);
    store->AddClient(name, {name + ".example.com"}, 1, 0, nullptr);
    if (i == 0) {
      auto node = dbNodes.append();
      node.set(Hux::OraEBSDBNode::hostName, name);
      node.child(Hux::OraEBSDBNode::client, Create::Yes)
          .set(NqEntities::ClientEntity::clientName, name);
    } else {
      auto node = appNodes.append();
      node.set(Hux::OraEBSAppNode::hostName, name);
      node.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes).push_back(Hux::WebApplications);
      node.child(Hux::OraEBSAppNode::client, Create::Yes)
          .set(NqEntities::ClientEntity::clientName, name);
    }
  }
  return Envelope(1, request.serialized());
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Argument: 1 with debug logging (exchanges counted from the log), 0 with logging off.
void BM_Save20Nodes(benchmark::State& state) {
  HostSandbox sandbox;
  const bool logging = state.range(0) != 0;
  ScopedEnv level("EBS_HOST_LOG_LEVEL", logging ? "debug" : "off");
  const std::string request = SaveRequest(sandbox);
  if (CallPlugin(request).errorCode != 0) state.SkipWithError("the first save failed");
  WriteFile(sandbox.logPath(), "");
  int64_t saves = 0;
  for (auto _ : state) {
    PluginCall call = CallPlugin(request);
    if (call.errorCode != 0) state.SkipWithError("save failed");
    ++saves;
  }
  if (logging && saves > 0) {
    const std::string log = sandbox.log();
    const size_t exchanges = Count(log, "[SetRemoteRegKey] Successfully set registry key") +
                             Count(log, "[Save] Virtual app save request success");
    state.counters["exchanges_per_save"] = static_cast<double>(exchanges) / saves;
  }
}
BENCHMARK(BM_Save20Nodes)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
