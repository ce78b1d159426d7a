// The lookup of a SID in a large instance table (the install group may write it; its bound lets
// it hold some 1.5 million entries): linear in the entries, since the distinct SIDs of the error
// line are collected in a set. No entry names the SID, so no home is examined. Unjudged: the
// fitted complexity (expected O(N)) is the figure.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "discovery/oracle_home.h"

namespace {

void BM_FindOracleHomeInAHugeTable(benchmark::State& state) {
  std::string table;
  for (int64_t i = 0; i < state.range(0); ++i) table += "S" + std::to_string(i) + ":/u01/db:N\n";
  for (auto _ : state) {
    const OracleHomeLookup found = FindOracleHome(table, "/etc/oratab", "PROD", "");
    benchmark::DoNotOptimize(found.status.message.data());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FindOracleHomeInAHugeTable)
    ->RangeMultiplier(4)
    ->Range(1 << 12, 1 << 20)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

}  // namespace
