// The worst context texts within the bounds of src/context/context_bounds.h: each is parsed and
// read by both tier readers in a fresh child process, which reports its peak resident memory.
//
//   build/bench/context_bounds_bench
//
// Goal: every shape at most 2 s and 256 MiB (max_rss_MiB) on the machine of the figures in
// docs/discovery.md ("Bounds on context files"). The text is built outside the timing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <stdexcept>

#include "context/context_bounds.h"
#include "in_child.h"
#include "platform/message/xerces_platform.h"
#include "support/test_text.h"
#include "support/worker_access.h"

namespace {

// Distinct names of `length` bytes (at least 6), the i-th from its number.
std::string Name(size_t i, size_t length) {
  std::string name = "n" + std::to_string(i) + "_";
  name.resize(length, 'x');
  return name;
}

std::string ManyNames(size_t names, size_t length, size_t elements) {
  std::string text = "<oa_context>";
  for (size_t e = 0; e + 1 < elements; ++e) text += "<" + Name(e % names, length) + "/>";
  return text + "</oa_context>";
}

std::string ValuesAtTheBound() {
  const std::string v(kMaxContextValueChars, 'v');
  auto e = [&](const std::string& name, const std::string& attributes = "") {
    return "<" + name + attributes + ">" + v + "</" + name + ">";
  };
  return "<oa_context>" + e("oa_context_name") + e("oa_context_file_loc") + e("global_db_name") +
         e("service_names") + "<oa_host>" + e("host", " oa_var=\"s_hostname\"") + e("platform") +
         e("domain") + e("dbuser") + e("dbgroup") + e("appsuser") + e("appsgroup") +
         "</oa_host><oa_system>" + e("compatible") +
         e("config_option", " oa_var=\"s_apps_version\"") + "</oa_system><oa_system_config>" +
         e("file_edition_name") + e("config_option", " oa_var=\"s_apps_version\"") +
         "</oa_system_config><oa_db_server>" + e("dbport") +
         "</oa_db_server><oa_environments><oa_environment type=\"rapid_install\">" +
         e("APPS_BASE") + e("db_datfiles") + "</oa_environment><oa_environment type=\"db_home\">" +
         e("ORACLE_HOME") + "</oa_environment></oa_environments></oa_context>";
}

const std::function<std::string()> kShapes[] = {
    // 0: empty elements up to the bound
    [] { return "<oa_context>" + Repeat("<a/>", kMaxContextNodes - 1) + "</oa_context>"; },
    // 1: options with an attribute and a text each, all read by the database-tier reader
    [] {
      return "<oa_context><oa_system>" +
             Repeat("<config_option oa_var=\"s_apps_version\">12.2</config_option>",
                    kMaxContextNodes / 2 - 1) +
             "</oa_system></oa_context>";
    },
    // 2: host entries with a text each, every one read by the database-tier reader
    [] {
      return "<oa_context><oa_host>" +
             Repeat("<host oa_var=\"s_hostname\">h</host>", kMaxContextNodes / 2 - 1) +
             "</oa_host></oa_context>";
    },
    // 3: the most distinct names, as long as the size allows
    [] {
      const size_t length = (kMaxContextBytes - 64) / (kMaxContextNames - 1) - 3;
      return ManyNames(kMaxContextNames - 1, length, kMaxContextNames);
    },
    // 4: the most distinct names, used by the most elements
    [] { return ManyNames(kMaxContextNames - 1, 8, kMaxContextNodes); },
    // 5: one value of the whole size (read as empty, with an ERROR line)
    [] {
      return "<oa_context><global_db_name>" + std::string(kMaxContextBytes - 64, 'v') +
             "</global_db_name></oa_context>";
    },
    // 6: one attribute value of the whole size
    [] {
      return "<oa_context><oa_host><host oa_var=\"" + std::string(kMaxContextBytes - 128, 'v') +
             "\">h</host></oa_host></oa_context>";
    },
    // 7: every value the readers take at the longest read, copied into the answer and logged
    [] { return ValuesAtTheBound(); },
};

void SetUpHost() {
  static bool done = [] {
    // Logging on, as in a discovery, into a private file.
    char dir[] = "/tmp/context_bounds_bench-XXXXXX";
    if (!mkdtemp(dir)) return false;
    setenv("EBS_HOST_STORE", (std::string(dir) + "/store.db").c_str(), 1);
    setenv("EBS_HOST_LOG", (std::string(dir) + "/host.log").c_str(), 1);
    setenv("EBS_HOST_LOG_LEVEL", "debug", 1);
    return EnsureXercesPlatform();
  }();
  (void)done;
}

void BM_WorstContextText(benchmark::State& state) {
  SetUpHost();
  const std::string text = kShapes[state.range(0)]();
  if (Status bounds = CheckContextBounds(text); !bounds.ok) {
    state.SkipWithError(("not within the bounds: " + bounds.message).c_str());
    return;
  }
  for (auto _ : state) {
    std::array<long, 2> figures{};  // parsed, peak resident KiB
    const auto read = [&](std::array<long, 2>& found) {
      NqEBSInterface worker;
      found[0] = worker.initParser(text);
      worker.ProcessDBTierTags();
      worker.ProcessAppTierTags();
    };
    if (!InChild(state, read, figures)) return;
    state.counters["max_rss_MiB"] = static_cast<double>(figures[1]) / 1024;
    state.counters["parsed"] = static_cast<double>(figures[0]);
    state.counters["text_MiB"] = static_cast<double>(text.size()) / (1 << 20);
  }
}
BENCHMARK(BM_WorstContextText)->DenseRange(0, 7)->Iterations(1)->Unit(benchmark::kMillisecond);

// The check alone over a realistic context file: the price every file pays.
void BM_CheckContextBounds(benchmark::State& state) {
  const std::string text = TestData("app_VIS_apps01.xml");
  for (auto _ : state) benchmark::DoNotOptimize(CheckContextBounds(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CheckContextBounds)->Unit(benchmark::kMicrosecond);

}  // namespace
