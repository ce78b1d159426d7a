// Reading a realistic application-tier context file (about 300 KB) against a bare Xerces DOM parse
// of the same text, and the peak memory of reading 50 context files in one worker.
//
//   build/bench/context_bench
//
// The ratio to look at: BM_ReadAppTierFile / BM_BareDomParse (goal at most 1.5).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>

#include "in_child.h"
#include "platform/xerces_platform.h"
#include "support/worker_access.h"

namespace {

std::string Load(const std::string& name) {
  std::ifstream in(std::string(EBS_SOURCE_DIR) + "/tests/testdata/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

const std::string& AppText() {
  static const std::string text = Load("app_VIS_apps01.xml");
  return text;
}

// Quiet log and a private store in which the file's host has a client, as in a real discovery.
void SetUpHost() {
  static bool done = [] {
    setenv("EBS_HOST_LOG_LEVEL", "off", 1);
    char dir[] = "/tmp/context_bench-XXXXXX";
    if (!mkdtemp(dir)) return false;
    const std::string store = std::string(dir) + "/store.db";
    setenv("EBS_HOST_STORE", store.c_str(), 1);
    std::unique_ptr<ServerStore> s;
    if (ServerStore::Open(store, s).ok)
      s->AddClient("apps01-client", {"apps01.corp.example.com"}, 3, 42, nullptr);
    return EnsureXercesPlatform();
  }();
  (void)done;
}

void BM_BareDomParse(benchmark::State& state) {
  SetUpHost();
  const std::string& text = AppText();
  xercesc::XercesDOMParser parser;
  xercesc::HandlerBase handler;
  parser.setErrorHandler(&handler);
  for (auto _ : state) {
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                                      "XML in memory");
    parser.parse(source);
    benchmark::DoNotOptimize(parser.getDocument());
    parser.resetDocumentPool();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BareDomParse)->Unit(benchmark::kMillisecond);

void BM_InitParser(benchmark::State& state) {
  SetUpHost();
  const std::string& text = AppText();
  NqEBSInterface worker;
  for (auto _ : state) benchmark::DoNotOptimize(worker.initParser(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_InitParser)->Unit(benchmark::kMillisecond);

// Parse, then read the file into the request (with its client lookup in the store).
void BM_ReadAppTierFile(benchmark::State& state) {
  SetUpHost();
  const std::string& text = AppText();
  NqEBSInterface worker;
  for (auto _ : state) {
    worker.initParser(text);
    worker.ProcessAppTierTags();
    NqEBSInterfaceTest::Request(worker).clear();  // keep the request from growing
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadAppTierFile)->Unit(benchmark::kMillisecond);

// The client lookup alone (one store lookup), part of every file read above.
void BM_ClientLookup(benchmark::State& state) {
  SetUpHost();
  NqEBSInterface worker;
  for (auto _ : state) {
    NqEntities::ClientEntity client;
    benchmark::DoNotOptimize(worker.GetClientForHost("apps01.corp.example.com", &client));
  }
}
BENCHMARK(BM_ClientLookup)->Unit(benchmark::kMillisecond);

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One database-tier and 49 application-tier files (25 hosts, two editions) through one worker,
// in a child process so that the figures are those of the reading alone.
void BM_Read50ContextFiles(benchmark::State& state) {
  SetUpHost();
  const std::string db = Load("db_VIS_ebsdb01.xml");
  const std::string app = AppText();
  for (auto _ : state) {
    std::array<long, 3> figures{};  // resident KiB before reading, application nodes, peak KiB
    const auto read = [&](std::array<long, 3>& found) {
      found[0] = ResidentKiB();
      NqEBSInterface worker;
      if (worker.initParser(db)) worker.ProcessDBTierTags();
      for (int i = 0; i < 49; ++i) {
        std::string text = app;
        const std::string host = "apps" + std::to_string(100 + i / 2);
        for (size_t at = text.find("apps01"); at != std::string::npos;
             at = text.find("apps01", at + host.size()))
          text.replace(at, 6, host);
        if (i % 2) {
          for (size_t at = text.find("fs1"); at != std::string::npos; at = text.find("fs1", at))
            text.replace(at, 3, "fs2");
        }
        if (worker.initParser(text)) worker.ProcessAppTierTags();
      }
      found[1] = static_cast<long>(View(NqEBSInterfaceTest::Request(worker))
                                       .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                                       .child(Hux::OraEBSConfig::appTier, Create::No)
                                       .list(Hux::OraEBSAppTier::appNodes, Create::No)
                                       .size());
    };
    if (!InChild(state, read, figures)) return;
    state.counters["rss_before_MiB"] = static_cast<double>(figures[0]) / 1024;
    state.counters["max_rss_MiB"] = static_cast<double>(figures[2]) / 1024;
    state.counters["app_nodes"] = static_cast<double>(figures[1]);
  }
}
BENCHMARK(BM_Read50ContextFiles)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
