// Throughput of the shell's parsers: command lines and configuration text.
#include <benchmark/benchmark.h>

#include <string>

#include "config/config_file.h"
#include "shell/params.h"
#include "util/date.h"

namespace {

void BM_ParseCommandLine(benchmark::State& state) {
  const std::string line =
      "REMIND POOL=A SUBLIB=HB1 SELECT=20241231 TITLE=\"Mahnung an \"\"alle\"\" Leser\" OUTPUT=/tmp/x";
  corvanta::ParamList list;
  for (auto _ : state) {
    list.parse(line);
    benchmark::DoNotOptimize(list.get("OUTPUT"));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ParseCommandLine);

void BM_ReadConfiguration(benchmark::State& state) {
  std::string text;
  for (int s = 0; s < 50; ++s) {
    text += "(Section" + std::to_string(s) + ")\n";
    for (int k = 0; k < 40; ++k)
      text += "Key" + std::to_string(k) + "=value number " + std::to_string(k) + "\n";
  }
  for (auto _ : state) {
    corvanta::config::ConfigTree tree;
    tree.read_text(text);
    benchmark::DoNotOptimize(tree.get("Section7", "Key9"));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadConfiguration);

void BM_DateAddDays(benchmark::State& state) {
  std::string out;
  long n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(corvanta::date_add_days(6, 2, "20240131", out, n++ % 5000));
  }
}
BENCHMARK(BM_DateAddDays);

}  // namespace
