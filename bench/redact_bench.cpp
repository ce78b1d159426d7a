// Password redaction of log texts: the cost per byte must not grow with the size of the text.
// BM_Redact/100 is the baseline: redacting 1 MB (BM_Redact/1000) costs about ten times as much
// (linear), not a hundred times (quadratic). The text mixes serialised requests with passwords,
// escaped password elements of two levels and loose markup, as in the log of a large request.
//
//   build/bench/redact_bench
//
// Baseline, RelWithDebInfo on 2 shared cores under load:
//   BM_Redact/100               1.4 ms   75 MB/s
//   BM_Redact/1000             14.0 ms   69 MB/s
//   BM_RedactPlainText/1000     2.9 ms  333 MB/s  (no '<' or '&': nothing to decode)
//   BM_LogLineOfALargeRequest   2.6 ms            (a 1 MB request: capped at 64 KiB first)
// The redaction before this one took about 4.5 s for 1 MB of such text (each form it missed was
// searched to the end of the text again, once per occurrence).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>

#include "messages/catalogue.h"
#include "platform/host/log.h"
#include "messages/redact.h"

namespace {

std::string Text(size_t kilobytes) {
  UserCredentials login;
  View(login).set(UserCredentials::userName, "apps");
  View(login).set(UserCredentials::password, "Tr0ub4dor&3");
  const std::string chunk = login.serialized() +
                            " &amp;lt;pw x=\"2\"&amp;gt;x&amp;lt;/pw&amp;gt; &#x3c;pw x=\"1\"&gt;"
                            "&lt;!-- &lt;pw &lt;s>&amp;&amp;amp; ";
  std::string text;
  while (text.size() < kilobytes * 1000) text += chunk;
  text.resize(kilobytes * 1000);
  return text;
}

void BM_Redact(benchmark::State& state) {
  const std::string text = Text(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(RedactPasswords(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Redact)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_RedactPlainText(benchmark::State& state) {
  const std::string text(static_cast<size_t>(state.range(0)) * 1000, 'a');
  for (auto _ : state) benchmark::DoNotOptimize(RedactPasswords(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RedactPlainText)->Arg(1000)->Unit(benchmark::kMillisecond);

// One log line whose argument is a 1 MB request text, into a private log file.
void BM_LogLineOfALargeRequest(benchmark::State& state) {
  char dir[] = "/tmp/redact_bench-XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string log = std::string(dir) + "/host.log";
  setenv("EBS_HOST_LOG", log.c_str(), 1);
  setenv("EBS_HOST_LOG_LEVEL", "debug", 1);
  const std::string text = Text(1000);
  EvEvent context;
  for (auto _ : state) EvDebug::Debug(context, "Bench", "Input XML [%s]", text.c_str());
  unlink(log.c_str());
  rmdir(dir);
}
BENCHMARK(BM_LogLineOfALargeRequest)->Unit(benchmark::kMillisecond);

}  // namespace
