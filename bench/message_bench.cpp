// Costs of the message framework and the entry point: a round trip (serialise + unserialise) of
// a large configuration, and a request refused at the entry point.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include "messages/catalogue.h"
#include "platform/host_config.h"

namespace {

// 20 application nodes with 2 contexts each, a database node, realistic value lengths.
Hux::OraEBSReqResp LargeRequest() {
  Hux::OraEBSReqResp request;
  auto req = View(request);
  req.set(Hux::OraEBSReqResp::messageType, 2);
  auto cfg = req.child(Hux::OraEBSReqResp::ebsConfig, Create::Yes);
  cfg.set(Hux::OraEBSConfig::appsVersion, "12.2.10");
  auto db = cfg.child(Hux::OraEBSConfig::dbTier, Create::Yes);
  db.set(Hux::OraEBSDBTier::dbName, "PROD");
  auto dbNode = db.list(Hux::OraEBSDBTier::dbNodes, Create::Yes).append();
  dbNode.set(Hux::OraEBSDBNode::oracleHome, "/u01/app/oracle/PROD/db/tech_st/19.0.0");
  dbNode.list(Hux::OraEBSDBNode::dataDirectories, Create::Yes).push_back("/u02/oradata/PROD");
  auto tier = cfg.child(Hux::OraEBSConfig::appTier, Create::Yes);
  auto nodes = tier.list(Hux::OraEBSAppTier::appNodes, Create::Yes);
  for (int n = 0; n < 20; ++n) {
    auto node = nodes.append();
    const std::string host = "ebsapp" + std::to_string(n);
    node.set(Hux::OraEBSAppNode::hostName, host);
    node.set(Hux::OraEBSAppNode::appsBase, "/u01/app/oracle/PROD");
    node.set(Hux::OraEBSAppNode::platform, "LINUX_X86-64");
    node.set(Hux::OraEBSAppNode::applTmp, "/u01/app/oracle/PROD/tmp");
    node.child(Hux::OraEBSAppNode::osUser, Create::Yes).set(UserCredentials::userName, "applmgr");
    node.list(Hux::OraEBSAppNode::nodeTypes, Create::Yes) = {1, 2, 8, 16};
    auto client = node.child(Hux::OraEBSAppNode::client, Create::Yes);
    client.set(NqEntities::ClientEntity::clientName, host + ".example.com");
    client.set(NqEntities::ClientEntity::clientId, 1000 + n);
    auto contexts = node.list(Hux::OraEBSAppNode::contexts, Create::Yes);
    for (const char* edition : {"FS1", "FS2"}) {
      auto c = contexts.append();
      c.set(Hux::OraEBSContext::fileEditionName, edition);
      c.set(Hux::OraEBSContext::hostName, host);
      c.set(Hux::OraEBSContext::contextName, "PROD_" + host);
      c.set(Hux::OraEBSContext::applTop, "/u01/app/oracle/PROD/fs1/EBSapps/appl");
      c.set(Hux::OraEBSContext::contextFilePath, "/u01/app/oracle/PROD/fs1/inst/apps/PROD_" + host +
                                                     "/appl/admin/PROD_" + host + ".xml");
    }
  }
  return request;
}

void BM_MessageRoundTrip(benchmark::State& state) {
  const Hux::OraEBSReqResp request = LargeRequest();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text;
    request.serialize(text, false);
    Hux::OraEBSReqResp copy;
    copy.unserialize(text);
    bytes = text.size();
    benchmark::DoNotOptimize(copy);
  }
  state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MessageRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_EntryPointRefusedRequest(benchmark::State& state) {
  setenv("EBS_HOST_LOG_LEVEL", "off", 1);
  void* handle = dlopen(EBS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  auto entry = reinterpret_cast<int (*)(std::string&)>(dlsym(handle, "OnMsgEnterpriseApps"));
  Hux::EnterpriseAppsReqResp envelope;
  View(envelope).set(Hux::EnterpriseAppsReqResp::appType, 2);
  View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, "<m g=\"22\" n=\"505\"/>");
  const std::string request = envelope.serialized();
  for (auto _ : state) {
    std::string text = request;
    benchmark::DoNotOptimize(entry(text));
  }
}
BENCHMARK(BM_EntryPointRefusedRequest)->Unit(benchmark::kMicrosecond);

}  // namespace
