// Reading realistic context files (tests/testdata: the 292 KB application-tier file and the
// 215 KB database-tier file), each judged against a bare Xerces DOM parse of the same text with
// the context parser's settings (bench/goal.h):
//   BM_ReadContextFile/app, /db   initParser + the tier reader; goal: ratio at most 1.12.
//                                 The store is absent, so the client lookup answers "unknown"
//                                 without opening a database: the figure is that of the reading.
//   BM_Sax2ElementIndex           an element index built from a SAX2 pass (no DOM) of the
//                                 application-tier file, against the same DOM parse; not judged.
//   BM_Read200ContextFiles        resident memory while one worker reads 200 files.
//   BM_ReadContextFileAlone, BM_BareDomParseAlone   the figure and its baseline apart (CPU time).
//   BM_MergeManyHosts             9,999 small application-tier files of distinct hosts through
//                                 one worker: the time of the last 1,000 files against that of
//                                 the first 1,000; goal: ratio at most 2 (merging a file into its
//                                 node does not grow with the nodes already there).
//   BM_LargeAppFile/N             one file of N options and N/4 service groups; fitted O(N).
//
//   build/bench/context_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "context/context_parser.h"
#include "goal.h"
#include "in_child.h"
#include "platform/message/xerces_platform.h"
#include "support/worker_access.h"

namespace {

const std::string& AppText() {
  static const std::string text = TestData("app_VIS_apps01.xml");
  return text;
}

const std::string& DbText() {
  static const std::string text = TestData("db_VIS_ebsdb01.xml");
  return text;
}

// Quiet log and a store path with no store behind it: the client lookup knows no client.
void SetUpHost() {
  static bool done = [] {
    setenv("EBS_HOST_LOG_LEVEL", "off", 1);
    char dir[] = "/tmp/context_bench-XXXXXX";
    if (!mkdtemp(dir)) return false;
    setenv("EBS_HOST_STORE", (std::string(dir) + "/absent-store.db").c_str(), 1);
    return EnsureXercesPlatform();
  }();
  (void)done;
}

// The context parser itself, with nothing done with the document: a bare DOM parse with exactly
// its settings.
class BareDomParse {
 public:
  BareDomParse() { parser_.setErrorHandler(&handler_); }

  void Parse(const std::string& text) {
    xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                                      "XML in memory");
    source.setCopyBufToStream(false);
    parser_.parse(source);
    benchmark::DoNotOptimize(parser_.getDocument());
    parser_.resetDocumentPool();
  }

 private:
  xercesc::HandlerBase handler_;
  ContextParser parser_;
};

void BM_ReadContextFile(benchmark::State& state, int tier) {
  SetUpHost();
  const bool app = tier == 0;
  const std::string& text = app ? AppText() : DbText();
  BareDomParse bare;
  NqEBSInterface worker;
  bench::Interleaved(
      state, bench::Unit::Milliseconds,
      [&] {
        worker.initParser(text);
        if (app)
          worker.ProcessAppTierTags();
        else
          worker.ProcessDBTierTags();
        NqEBSInterfaceTest::Request(worker).clear();  // keep the request from growing
      },
      [&] { bare.Parse(text); }, "bare DOM parse, context parser settings", 1.12, true);
  state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK_CAPTURE(BM_ReadContextFile, app_tier, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadContextFile, db_tier, 1)->Unit(benchmark::kMillisecond);

// The figure and its baseline each alone, unjudged: on a machine shared with other work their CPU
// times (the Time column counts waiting too) give the ratio with less noise.
void BM_ReadContextFileAlone(benchmark::State& state, int tier) {
  SetUpHost();
  const bool app = tier == 0;
  const std::string& text = app ? AppText() : DbText();
  NqEBSInterface worker;
  for (auto _ : state) {
    worker.initParser(text);
    if (app)
      worker.ProcessAppTierTags();
    else
      worker.ProcessDBTierTags();
    NqEBSInterfaceTest::Request(worker).clear();
  }
}
BENCHMARK_CAPTURE(BM_ReadContextFileAlone, app_tier, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadContextFileAlone, db_tier, 1)->Unit(benchmark::kMillisecond);

void BM_BareDomParseAlone(benchmark::State& state, int tier) {
  SetUpHost();
  const std::string& text = tier == 0 ? AppText() : DbText();
  BareDomParse bare;
  for (auto _ : state) bare.Parse(text);
}
BENCHMARK_CAPTURE(BM_BareDomParseAlone, app_tier, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BareDomParseAlone, db_tier, 1)->Unit(benchmark::kMillisecond);

// What a reader without a DOM would keep: for every element its name, subtree extent, its
// attributes and its own text, indexed by name.
class Sax2Index : public xercesc::DefaultHandler {
 public:
  struct Element {
    uint32_t nameId;
    uint32_t last;
    std::vector<std::pair<std::u16string, std::u16string>> attributes;
    std::u16string text;
  };

  void startDocument() override {
    elements_.clear();
    open_.clear();
    byName_.clear();
  }
  void startElement(const XMLCh*, const XMLCh*, const XMLCh* qname,
                    const xercesc::Attributes& attrs) override {
    const uint32_t position = static_cast<uint32_t>(elements_.size());
    auto found = names_.emplace(qname, static_cast<uint32_t>(names_.size())).first;
    elements_.push_back(Element{found->second, position, {}, {}});
    for (XMLSize_t i = 0; i < attrs.getLength(); ++i)
      elements_.back().attributes.emplace_back(attrs.getQName(i), attrs.getValue(i));
    byName_[found->second].push_back(position);
    open_.push_back(position);
  }
  void endElement(const XMLCh*, const XMLCh*, const XMLCh*) override {
    elements_[open_.back()].last = static_cast<uint32_t>(elements_.size() - 1);
    open_.pop_back();
  }
  void characters(const XMLCh* chars, const XMLSize_t length) override {
    if (!open_.empty()) elements_[open_.back()].text.append(chars, length);
  }

 private:
  std::vector<Element> elements_;
  std::vector<uint32_t> open_;
  std::unordered_map<std::u16string, uint32_t> names_;
  std::unordered_map<uint32_t, std::vector<uint32_t>> byName_;
};

void BM_Sax2ElementIndex(benchmark::State& state) {
  SetUpHost();
  const std::string& text = AppText();
  BareDomParse bare;
  Sax2Index index;
  xercesc::SecurityManager security;
  security.setEntityExpansionLimit(ContextParser::kEntityExpansionLimit);
  std::unique_ptr<xercesc::SAX2XMLReader> reader(xercesc::XMLReaderFactory::createXMLReader());
  reader->setFeature(xercesc::XMLUni::fgSAX2CoreNameSpaces, false);
  reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
  reader->setFeature(xercesc::XMLUni::fgXercesLoadExternalDTD, false);
  reader->setFeature(xercesc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
  reader->setProperty(xercesc::XMLUni::fgXercesSecurityManager, &security);
  reader->setContentHandler(&index);
  reader->setErrorHandler(&index);
  bench::Interleaved(
      state, bench::Unit::Milliseconds,
      [&] {
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()),
                                          text.size(), "XML in memory");
        source.setCopyBufToStream(false);
        reader->parse(source);
      },
      [&] { bare.Parse(text); }, "bare DOM parse, context parser settings", 0, true);
  state.counters["met"] = 0;  // not judged
  state.counters["goal"] = 0;
}
BENCHMARK(BM_Sax2ElementIndex)->Unit(benchmark::kMillisecond);

long ResidentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One database-tier and 199 application-tier files (100 hosts, two editions) through one worker,
// in a child process so that the figures are those of the reading alone. Resident memory is taken
// after 20 and after 200 files: flat memory keeps the two close.
void BM_Read200ContextFiles(benchmark::State& state) {
  SetUpHost();
  const std::string db = DbText();
  const std::string app = AppText();
  for (auto _ : state) {
    // resident KiB before, after 20 files, after 200 files; application nodes; peak KiB
    std::array<long, 5> figures{};
    const auto read = [&](std::array<long, 5>& found) {
      found[0] = ResidentKiB();
      NqEBSInterface worker;
      if (worker.initParser(db)) worker.ProcessDBTierTags();
      for (int i = 0; i < 199; ++i) {
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
        if (i == 18) found[1] = ResidentKiB();
      }
      found[2] = ResidentKiB();
      found[3] = static_cast<long>(View(NqEBSInterfaceTest::Request(worker))
                                       .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                                       .child(Hux::OraEBSConfig::appTier, Create::No)
                                       .list(Hux::OraEBSAppTier::appNodes, Create::No)
                                       .size());
    };
    if (!InChild(state, read, figures)) return;
    state.counters["rss_before_MiB"] = static_cast<double>(figures[0]) / 1024;
    state.counters["rss_after_20_MiB"] = static_cast<double>(figures[1]) / 1024;
    state.counters["rss_after_200_MiB"] = static_cast<double>(figures[2]) / 1024;
    state.counters["max_rss_MiB"] = static_cast<double>(figures[4]) / 1024;
    state.counters["app_nodes"] = static_cast<double>(figures[3]);
  }
}
BENCHMARK(BM_Read200ContextFiles)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_MergeManyHosts(benchmark::State& state) {
  SetUpHost();
  constexpr int kFiles = 9999, kMeasured = 1000;
  std::vector<std::string> texts;
  for (int i = 0; i < kFiles; ++i)
    texts.push_back("<oa_context><oa_host><host>h" + std::to_string(i) +
                    "</host><domain>example.com</domain></oa_host></oa_context>");
  std::vector<double> first, last;
  size_t nodes = 0;
  for (auto _ : state) {
    NqEBSInterface worker;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFiles; ++i) {
      if (i == kMeasured) first.push_back(bench::Elapsed(start, bench::Unit::Milliseconds));
      if (i == kFiles - kMeasured) start = std::chrono::steady_clock::now();
      if (worker.initParser(texts[static_cast<size_t>(i)])) worker.ProcessAppTierTags();
    }
    last.push_back(bench::Elapsed(start, bench::Unit::Milliseconds));
    nodes = View(NqEBSInterfaceTest::Request(worker))
                .child(Hux::OraEBSReqResp::ebsConfig, Create::No)
                .child(Hux::OraEBSConfig::appTier, Create::No)
                .list(Hux::OraEBSAppTier::appNodes, Create::No)
                .size();
  }
  bench::ReportGoal(state, bench::Median(last), bench::Median(first), bench::Unit::Milliseconds,
                    "the first 1,000 files", 2, true);
  state.counters["app_nodes"] = static_cast<double>(nodes);
}
BENCHMARK(BM_MergeManyHosts)->Iterations(3)->Unit(benchmark::kMillisecond);

// One application-tier file of N configuration options and N/4 service groups: reading and
// merging it grows linearly with N (the fitted complexity is reported as O(N)).
void BM_LargeAppFile(benchmark::State& state) {
  SetUpHost();
  const int n = static_cast<int>(state.range(0));
  std::string text = "<oa_context><oa_host><host>h</host></oa_host><oa_system_config>";
  for (int i = 0; i < n; ++i)
    text += "<config_option oa_var=\"s_o" + std::to_string(i) + "\">v</config_option>";
  text += "</oa_system_config><oa_service_group_list>";
  for (int i = 0; i < n / 4; ++i)
    text += std::string("<oa_service_group type=\"") + (i % 2 ? "batch" : "forms") +
            "\"><oa_service_group_status>enabled</oa_service_group_status></oa_service_group>";
  text += "</oa_service_group_list></oa_context>";
  for (auto _ : state) {
    NqEBSInterface worker;
    if (worker.initParser(text)) worker.ProcessAppTierTags();
  }
  state.SetComplexityN(n);
}
BENCHMARK(BM_LargeAppFile)->RangeMultiplier(4)->Range(1250, 20000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

}  // namespace
