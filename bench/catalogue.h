// The catalogue the benchmarks search and index, shared by them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvanta::bench {

struct Title {
  std::string title, author, isbn, year;
  std::vector<std::string> subjects;
};

// CORVANTA_BENCH_RECORDS, the benchmarks' record count (default 100,000).
std::size_t record_count();
// The benchmark's records: record_count() of them, the same in every run.
const std::vector<Title>& titles();
// One record as ISO 2709.
std::string marc_record(const Title& t);
// The wall time of a shell command in seconds; -1 when it failed.
double run_timed(const std::string& command);

// A copy of the reference installation (a fresh temporary directory named
// after `name`) whose title file holds the records, loaded without index
// entries, with the stop words loaded; with `indexed` the INDEX command has
// run too. Its temp/index.txt runs INDEX. Empty when anything failed.
std::string prepare_installation(std::string_view name, bool indexed);
// A Zebra register of the same records with an equivalent index set
// (zebra.cfg, bench.abs, records.mrc in a fresh directory): initialised,
// and with `indexed` also updated with the records. Empty on failure.
std::string prepare_zebra(std::string_view name, bool indexed);
// "cd ROOT && zebraidx -c zebra.cfg".
inline std::string zebra_command(const std::string& root) {
  return "cd '" + root + "' && zebraidx -c zebra.cfg";
}

}  // namespace corvanta::bench
