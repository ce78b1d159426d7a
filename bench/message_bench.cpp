// Costs of the message framework and the entry point, each measured against the bare baseline it
// is judged by (bench/goal.h):
//   BM_MessageRoundTrip           serialise + unserialise of a large configuration, against a
//                                 bare SAX2 parse of the same text (reader reused, empty handler);
//                                 goal: ratio at most 1.6.
//   BM_EntryPointRefusedRequest   a request the entry point refuses, against unserialise +
//                                 serialise of the same envelope; goals: at most 9 us with
//                                 logging off, at most 13 us with debug logging to a file.
//   BM_EntryPointNoOpRequest      a request of a message type the worker does not serve (5) with
//                                 the 20-node configuration, logging off, answered with the same
//                                 text, against two bare SAX2 parses: of the envelope and of its
//                                 inner text; goal: ratio at most 1.7.
//   BM_EntryPointLargeRefusedRequest
//                                 a 100 MB PeopleSoft request (escaped markup, password elements
//                                 among it), refused and echoed, against a bare SAX2 parse of
//                                 the same envelope; goal: ratio at most 4 (time linear in the
//                                 request). Its peak memory is measured apart, in a child
//                                 process: peak_rss_mib, against the request's size.
//
//   build/bench/message_bench
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "goal.h"
#include "in_child.h"
#include "messages/catalogue.h"
#include "messages/requests.h"
#include "platform/host/host_config.h"
#include "platform/message/xerces_platform.h"

namespace {

// 20 application nodes with 2 contexts each, a database node, realistic value lengths.
Hux::OraEBSReqResp LargeRequest(int64_t messageType = kEBSDiscover) {
  Hux::OraEBSReqResp request;
  auto req = View(request);
  req.set(Hux::OraEBSReqResp::messageType, messageType);
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

// A SAX2 reader with the message reader's settings and a handler that does nothing: the least
// any reader of the text must pay.
class BareSax2Parse {
 public:
  BareSax2Parse() {
    EnsureXercesPlatform();
    reader_.reset(xercesc::XMLReaderFactory::createXMLReader());
    security_.setEntityExpansionLimit(16);
    reader_->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
    reader_->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
    reader_->setFeature(xercesc::XMLUni::fgXercesLoadExternalDTD, false);
    reader_->setFeature(xercesc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader_->setProperty(xercesc::XMLUni::fgXercesSecurityManager, &security_);
    reader_->setContentHandler(&handler_);
    reader_->setErrorHandler(&handler_);
  }

  void Parse(const std::string& text) {
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                                      "message");
    source.setCopyBufToStream(false);
    source.setEncoding(u"UTF-8");
    reader_->parse(source);
  }

 private:
  xercesc::SecurityManager security_;
  xercesc::DefaultHandler handler_;
  std::unique_ptr<xercesc::SAX2XMLReader> reader_;
};

void BM_MessageRoundTrip(benchmark::State& state) {
  const Hux::OraEBSReqResp request = LargeRequest();
  const std::string sample = request.serialized();
  BareSax2Parse bare;
  bench::Interleaved(
      state, bench::Unit::Microseconds,
      [&] {
        std::string text;
        request.serialize(text, false);
        Hux::OraEBSReqResp copy;
        copy.unserialize(text);
        benchmark::DoNotOptimize(copy);
      },
      [&] { bare.Parse(sample); }, "bare SAX2 parse, reader reused", 1.6, true);
  state.counters["text_bytes"] = static_cast<double>(sample.size());
}
BENCHMARK(BM_MessageRoundTrip)->Unit(benchmark::kMicrosecond);

// Unjudged rows: the two halves of the round trip (where its time goes), and the round trip and
// its baseline apart (on a shared machine their CPU times give the ratio with less noise).
void BM_MessageSerialize(benchmark::State& state) {
  const Hux::OraEBSReqResp request = LargeRequest();
  for (auto _ : state) {
    std::string text;
    request.serialize(text, false);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_MessageSerialize)->Unit(benchmark::kMicrosecond);

void BM_MessageUnserialize(benchmark::State& state) {
  const std::string text = LargeRequest().serialized();
  for (auto _ : state) {
    Hux::OraEBSReqResp copy;
    copy.unserialize(text);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_MessageUnserialize)->Unit(benchmark::kMicrosecond);

void BM_BareSax2ParseAlone(benchmark::State& state) {
  const std::string text = LargeRequest().serialized();
  BareSax2Parse bare;
  for (auto _ : state) bare.Parse(text);
}
BENCHMARK(BM_BareSax2ParseAlone)->Unit(benchmark::kMicrosecond);

void BM_MessageRoundTripAlone(benchmark::State& state) {
  const Hux::OraEBSReqResp request = LargeRequest();
  for (auto _ : state) {
    std::string text;
    request.serialize(text, false);
    Hux::OraEBSReqResp copy;
    copy.unserialize(text);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_MessageRoundTripAlone)->Unit(benchmark::kMicrosecond);

// The entry point's answer to a request of an unknown message (range(0): 0 logging off, 1 debug
// logging to a file), against unserialise + serialise of the same envelope.
// The plug-in's entry point, loaded as a host loads it; null when it cannot be loaded.
int (*PluginEntry())(std::string&) {
  void* handle = dlopen(EBS_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  return handle ? reinterpret_cast<int (*)(std::string&)>(dlsym(handle, "OnMsgEnterpriseApps"))
                : nullptr;
}

void BM_EntryPointRefusedRequest(benchmark::State& state) {
  const bool debugToFile = state.range(0) == 1;
  char dir[] = "/tmp/message_bench-XXXXXX";
  if (!mkdtemp(dir)) return state.SkipWithError("mkdtemp failed");
  const std::string logPath = std::string(dir) + "/plugin.log";
  setenv("EBS_HOST_LOG_LEVEL", debugToFile ? "debug" : "off", 1);
  if (debugToFile)
    setenv("EBS_HOST_LOG", logPath.c_str(), 1);
  else
    unsetenv("EBS_HOST_LOG");
  const auto entry = PluginEntry();
  if (!entry) return state.SkipWithError("the plug-in cannot be loaded");
  Hux::EnterpriseAppsReqResp envelope;
  View(envelope).set(Hux::EnterpriseAppsReqResp::appType, kAppTypePeopleSoft);
  View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, "<m g=\"22\" n=\"505\"/>");
  const std::string request = envelope.serialized();
  bench::Interleaved(
      state, bench::Unit::Microseconds,
      [&] {
        std::string text = request;
        benchmark::DoNotOptimize(entry(text));
      },
      [&] {
        Hux::EnterpriseAppsReqResp copy;
        copy.unserialize(request);
        std::string text;
        copy.serialize(text, false);
        benchmark::DoNotOptimize(text);
      },
      "unserialise + serialise of the envelope", debugToFile ? 13 : 9, false);
  unlink(logPath.c_str());
  rmdir(dir);
  unsetenv("EBS_HOST_LOG");
}
BENCHMARK(BM_EntryPointRefusedRequest)
    ->ArgName("debug_log_file")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// What the entry point adds to reading the texts it must read: a request the worker reads and
// answers unchanged, against the two parses any reader of it pays.
void BM_EntryPointNoOpRequest(benchmark::State& state) {
  setenv("EBS_HOST_LOG_LEVEL", "off", 1);
  unsetenv("EBS_HOST_LOG");
  const auto entry = PluginEntry();
  if (!entry) return state.SkipWithError("the plug-in cannot be loaded");
  constexpr int64_t kNotServed = 5;  // a message type the worker answers as it came
  const std::string inner = LargeRequest(kNotServed).serialized();
  const std::string request = EnvelopeText(kAppTypeOracleEBS, inner);
  BareSax2Parse bare;
  bench::Interleaved(
      state, bench::Unit::Microseconds,
      [&] {
        std::string text = request;
        benchmark::DoNotOptimize(entry(text));
      },
      [&] {
        bare.Parse(request);
        bare.Parse(inner);
      },
      "bare SAX2 parses of the envelope and its inner text", 1.7, true);
  std::string answer = request;
  state.counters["answered"] = entry(answer) == 0 && answer.size() > inner.size();
}
BENCHMARK(BM_EntryPointNoOpRequest)->Unit(benchmark::kMicrosecond);

// A hostile request as large as a request is let be: 100 MB of escaped markup with password
// elements at two levels of escaping, in a PeopleSoft envelope, which the entry point refuses
// and answers with the same text.
std::string LargeRefusedRequest() {
  const std::string chunk =
      "<pw x=\"1\">s3cret</pw> &lt;pw&gt;x&lt;/pw&gt; &amp;#60;b> <s x='2'>a &amp; b</s>\n";
  std::string inner;
  inner.reserve(70u << 20);
  while (inner.size() < (70u << 20)) inner += chunk;
  Hux::EnterpriseAppsReqResp envelope;
  View(envelope).set(Hux::EnterpriseAppsReqResp::appType, kAppTypePeopleSoft);
  View(envelope).set(Hux::EnterpriseAppsReqResp::xmlString, std::move(inner));
  return envelope.serialized();
}

void BM_EntryPointLargeRefusedRequest(benchmark::State& state) {
  setenv("EBS_HOST_LOG_LEVEL", "off", 1);
  unsetenv("EBS_HOST_LOG");
  const auto entry = PluginEntry();
  if (!entry) return state.SkipWithError("the plug-in cannot be loaded");
  // Peak memory of one call in a child of its own, made before this process holds the request
  // (a child counts the pages it shares with its parent).
  std::array<long, 3> figures{};
  if (InChild<3>(
          state,
          [&](std::array<long, 3>& found) {
            std::string text = LargeRefusedRequest();
            found[0] = static_cast<long>(text.size());
            found[1] = entry(text) == -1 && text.size() > static_cast<size_t>(found[0]) / 2;
          },
          figures)) {
    state.counters["request_mib"] = static_cast<double>(figures[0]) / (1 << 20);
    state.counters["answered"] = static_cast<double>(figures[1]);
    state.counters["peak_rss_mib"] = static_cast<double>(figures[2]) / 1024;
  }
  const std::string request = LargeRefusedRequest();
  BareSax2Parse bare;
  bench::Interleaved(
      state, bench::Unit::Milliseconds,
      [&] {
        std::string text = request;
        benchmark::DoNotOptimize(entry(text));
      },
      [&] { bare.Parse(request); }, "bare SAX2 parse of the request", 4, true);
}
BENCHMARK(BM_EntryPointLargeRefusedRequest)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
