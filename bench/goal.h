// Benchmarks judged against a goal. A judged benchmark measures its figure and the bare baseline
// it is judged against in the same loop, alternating one run of each, and reports the medians of
// both, their ratio and the goal as counters that bench/run-all.sh reads and prints as one table:
//   value      the figure's median, in `unit`
//   baseline   the baseline's median, in `unit` (0 when the goal is absolute and has no baseline)
//   ratio      value / baseline (0 without a baseline)
//   goal       the limit: on the ratio when goal_on_ratio is 1, on the value otherwise; 0 for a
//              figure shown beside its baseline but not judged
//   goal_on_ratio
//   met        1 when the goal holds in this run
// The label names the unit and the baseline: "unit=us;baseline=bare SAX2 parse, reader reused".
// Counters are plain (not rates, not averaged over threads). Header-only; main thread only.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace bench {

enum class Unit { Microseconds, Milliseconds };

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

inline const char* UnitName(Unit u) { return u == Unit::Microseconds ? "us" : "ms"; }

inline double Elapsed(std::chrono::steady_clock::time_point from, Unit u) {
  const std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - from;
  return u == Unit::Microseconds ? d.count() : d.count() / 1000.0;
}

// Sets the counters and label described above.
inline void ReportGoal(benchmark::State& state, double value, double baseline, Unit unit,
                       const std::string& baselineName, double goal, bool goalOnRatio) {
  const double ratio = baseline > 0 ? value / baseline : 0;
  state.counters["value"] = value;
  state.counters["baseline"] = baseline;
  state.counters["ratio"] = ratio;
  state.counters["goal"] = goal;
  state.counters["goal_on_ratio"] = goalOnRatio ? 1 : 0;
  state.counters["met"] = (goalOnRatio ? ratio : value) <= goal ? 1 : 0;
  state.SetLabel(std::string("unit=") + UnitName(unit) + ";baseline=" + baselineName);
}

// Runs `figure` and `baseline` alternately once per benchmark iteration, timing each, and
// reports their medians with ReportGoal. `baseline` may be null for an absolute goal.
template <class Figure, class Baseline>
void Interleaved(benchmark::State& state, Unit unit, Figure&& figure, Baseline&& baseline,
                 const std::string& baselineName, double goal, bool goalOnRatio) {
  std::vector<double> a, b;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    figure();
    a.push_back(Elapsed(t, unit));
    t = std::chrono::steady_clock::now();
    baseline();
    b.push_back(Elapsed(t, unit));
  }
  ReportGoal(state, Median(a), Median(b), unit, baselineName, goal, goalOnRatio);
}

}  // namespace bench
