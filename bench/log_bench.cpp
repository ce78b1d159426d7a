// The cost of one log line of a request: with logging off and with debug lines going to a file,
// inside a request (the configuration read once, as the entry point does) and outside one (the
// configuration read from the environment for the line). Unjudged: the entry point's figures
// with their goals are in message_bench.
#include <benchmark/benchmark.h>

#include <optional>

#include "platform/host/host_config.h"
#include "platform/host/log.h"
#include "support/plugin.h"

namespace {

// Arguments: logging on (1: debug to a file) or off (0); inside a request (1) or not (0).
void BM_LogLine(benchmark::State& state) {
  HostSandbox sandbox;
  ScopedEnv level("EBS_HOST_LOG_LEVEL", state.range(0) ? "debug" : "off");
  std::optional<HostConfigScope> request;
  if (state.range(1)) request.emplace();
  EvEvent log;
  const std::string host = "ebsapp01.corp.example.com";
  for (auto _ : state)
    EvDebug::Debug(log, "GetClientForHost", "Client Name [%s], Client Id [%ld], HV ID [%d]",
                   host.c_str(), 42L, 3);
}
BENCHMARK(BM_LogLine)
    ->ArgNames({"debug_to_file", "in_request"})
    ->Args({0, 1})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
