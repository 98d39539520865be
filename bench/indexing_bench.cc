// Indexing the same catalogue records two ways in one run: the INDEX
// command of the batch service over the reference installation's title
// indexes (title words and phrase, author, subject words, ISBN, year), and
// zebraidx (Debian package idzebra-2.0) over the same records as MARC 21
// with an equivalent index set. Both run as child processes; their wall
// time is measured, setting up the records is not.
//
// The records are generated from the shapes of the real MARC 21 records in
// the shared exchange data: title and subject words, author names drawn
// from their vocabularies, ISBNs and years in their forms.
// CORVANTA_BENCH_RECORDS sets the count (default 100,000).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "catalogue.h"

namespace {

namespace fs = std::filesystem;
using corvanta::bench::prepare_installation;
using corvanta::bench::prepare_zebra;
using corvanta::bench::run_timed;
using corvanta::bench::titles;
using corvanta::bench::zebra_command;

void BM_Index_Command(benchmark::State& state) {
  const std::string root = prepare_installation("index", false);
  if (root.empty()) {
    state.SkipWithError("the installation could not be prepared");
    return;
  }
  const std::string command =
      "cd '" + root + "/work' && '" CORVANTA_BATCH "' < ../temp/index.txt > ../temp/index.out";
  double seconds = 0;
  for (auto _ : state) {
    seconds = run_timed(command);
    if (seconds < 0) state.SkipWithError("INDEX failed");
    state.SetIterationTime(seconds);
  }
  std::ifstream out(root + "/temp/index.out");
  const std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  if (text.find("CANCELLED") != std::string::npos) state.SkipWithError("INDEX was cancelled");
  state.counters["records_per_s"] = static_cast<double>(titles().size()) / seconds;
  if (std::getenv("CORVANTA_BENCH_KEEP") == nullptr) fs::remove_all(root);
}

void BM_Zebra_Index(benchmark::State& state) {
  if (std::system("command -v zebraidx > /dev/null 2>&1") != 0) {
    state.SkipWithError("zebraidx not installed (Debian package idzebra-2.0)");
    return;
  }
  const std::string root = prepare_zebra("zebra-index", false);
  if (root.empty()) {
    state.SkipWithError("zebraidx init failed");
    return;
  }
  const std::string zebra = zebra_command(root);
  double seconds = 0;
  for (auto _ : state) {
    seconds = run_timed(zebra + " update records.mrc >> zebra.log 2>&1");
    if (seconds < 0) state.SkipWithError("zebraidx update failed (see zebra.log)");
    state.SetIterationTime(seconds);
  }
  state.counters["records_per_s"] = static_cast<double>(titles().size()) / seconds;
  // Zebra must have taken every record with the bench's index set.
  std::ifstream log(root + "/zebra.log");
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  const std::string all = "Records: " + std::to_string(titles().size()) + " i/u/d";
  if (text.find(all) == std::string::npos || text.find("abstract syntax") != std::string::npos)
    state.SkipWithError("zebraidx did not index every record (see its log)");
  fs::remove_all(root);
}

BENCHMARK(BM_Index_Command)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Zebra_Index)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
