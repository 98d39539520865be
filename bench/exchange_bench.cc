// Import and export of MARC 21 records beside yaz-marcdump, in one run, on
// CORVANTA_BENCH_RECORDS records (default 100,000) made by repeating the
// real exchange files with changed control numbers:
//
//   Convert/*     the format conversion alone, in this process: read every
//                 record and write it again (ISO 2709 to ISO 2709, ISO 2709
//                 to the XML form, MARCXML to ISO 2709)
//   Yaz/*         yaz-marcdump doing the same conversions (a process)
//   Service/*     the service: IMPORT of ISO 2709 and of MARCXML with
//                 indexing and the journal; EXPORT to ISO 2709 and to XML;
//                 ImportScript imports 2,000 records without a script (0)
//                 and with a PSIIN script that passes each record on (1)
//
// The counters give records per second and, for the service and yaz, the
// peak memory (maxrss, KiB) of the process; the Peak benchmarks import
// 10,000 and the full count, so that flat memory shows as equal peaks.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "catalogue.h"
#include "imex/formats.h"
#include "imex/iso2709.h"

namespace {

namespace fs = std::filesystem;
using corvanta::bench::record_count;
using corvanta::imex::FormatOptions;
using corvanta::imex::FormatType;

std::string work_dir() {
  static const std::string dir = [] {
    const std::string d =
        fs::temp_directory_path().string() + "/corvanta-bench-exchange-" + std::to_string(::getpid());
    fs::remove_all(d);
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// `count` records from the real MARC 21 files, each with its own 001.
std::string marc_file(std::size_t count) {
  const std::string path = work_dir() + "/records-" + std::to_string(count) + ".mrc";
  if (fs::exists(path)) return path;
  std::vector<corvanta::imex::MarcRecord> base;
  for (const char* name : {"marc21/marc-record--camel.usmarc", "marc21/metafacture-tutorial--sample.mrc",
                           "marc21/pymarc--utf8_with_leader_flag.dat"}) {
    corvanta::imex::InputFile in;
    (void)in.open(std::string(CORVANTA_EXCHANGE) + "/" + name);
    corvanta::imex::Iso2709Reader reader(in);
    corvanta::imex::MarcRecord m;
    std::string image;
    corvanta::imex::Problem why;
    for (auto rc = reader.next(m, image, why); rc.code() != 1; rc = reader.next(m, image, why)) {
      if (rc.ok()) base.push_back(m);
    }
  }
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < count; ++i) {
    corvanta::imex::MarcRecord m = base[i % base.size()];
    for (corvanta::imex::MarcField& f : m.fields) {
      if (f.tag == "001") f.content = "bench" + std::to_string(i + 1);
    }
    out << corvanta::imex::iso2709_encode(m);
  }
  return path;
}

// The same records as MARCXML (by yaz-marcdump, once).
std::string marcxml_file(std::size_t count) {
  const std::string path = work_dir() + "/records-" + std::to_string(count) + ".xml";
  if (!fs::exists(path))
    (void)std::system(
        ("yaz-marcdump -i marc -o marcxml '" + marc_file(count) + "' > '" + path + "'").c_str());
  return path;
}

// Runs a shell command; its wall time and the peak memory of its processes.
struct Run {
  double seconds = -1;
  long max_rss_kib = 0;
};
Run run_measured(const std::string& command) {
  Run r;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.max_rss_kib = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) r.seconds = -1;
  return r;
}

void report(benchmark::State& state, const Run& r, std::size_t records) {
  if (r.seconds < 0) {
    state.SkipWithError("command failed");
    return;
  }
  state.SetIterationTime(r.seconds);
  state.counters["records/s"] = static_cast<double>(records) / r.seconds;
  state.counters["maxrss_KiB"] = static_cast<double>(r.max_rss_kib);
}

// Reads every record of `path` in `from` and writes it in `to`.
void convert(benchmark::State& state, FormatType from, const std::string& path, FormatType to) {
  const std::size_t n = record_count();
  for (auto _ : state) {
    FormatOptions in_options;
    in_options.type = from;
    FormatOptions out_options;
    out_options.type = to;
    corvanta::imex::InputFile in;
    if (in.open(path).failed()) state.SkipWithError("no input");
    corvanta::imex::OutputFile out;
    if (out.create(work_dir() + "/converted").failed()) state.SkipWithError("no output");
    auto reader = corvanta::imex::make_reader(in_options, in);
    auto writer = corvanta::imex::make_writer(out_options, out);
    writer->begin();
    corvanta::records::RecordHandle h;
    std::size_t records = 0;
    for (auto rc = reader->next(h); rc.code() != corvanta::imex::kEndOfInput && !rc.failed();
         rc = reader->next(h)) {
      if (rc.code() == 0 && writer->write(h).code() == 1) ++records;
    }
    writer->end();
    (void)out.commit();
    if (records != n) state.SkipWithError("records lost");
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Convert_Iso2709ToIso2709(benchmark::State& state) {
  convert(state, FormatType::Marc21, marc_file(record_count()), FormatType::Marc21);
}
void BM_Convert_Iso2709ToXml(benchmark::State& state) {
  convert(state, FormatType::Marc21, marc_file(record_count()), FormatType::XMarc21);
}
void BM_Convert_MarcXmlToIso2709(benchmark::State& state) {
  convert(state, FormatType::XMarc21, marcxml_file(record_count()), FormatType::Marc21);
}

void yaz(benchmark::State& state, const std::string& args, const std::string& input) {
  if (std::system("command -v yaz-marcdump > /dev/null 2>&1") != 0) {
    state.SkipWithError("yaz-marcdump not installed");
    return;
  }
  for (auto _ : state) {
    report(state, run_measured("yaz-marcdump " + args + " '" + input + "' > '" + work_dir() + "/yaz.out'"),
           record_count());
  }
}
void BM_Yaz_Iso2709ToIso2709(benchmark::State& state) {
  yaz(state, "-i marc -o marc", marc_file(record_count()));
}
void BM_Yaz_Iso2709ToXml(benchmark::State& state) {
  yaz(state, "-i marc -o marcxml", marc_file(record_count()));
}
void BM_Yaz_MarcXmlToIso2709(benchmark::State& state) {
  yaz(state, "-i marcxml -o marc", marcxml_file(record_count()));
}

// A fresh reference installation with an empty pool A.
std::string installation(const std::string& name) {
  const std::string root = work_dir() + "/" + name;
  fs::remove_all(root);
  fs::copy(CORVANTA_DEMO, root, fs::copy_options::recursive);
  std::ofstream(root + "/temp/init.txt") << "login user=sys pass=KWP\nPOOL_INIT POOL=A\nend\n";
  (void)std::system(
      ("cd '" + root + "/work' && '" CORVANTA_BATCH "' < ../temp/init.txt > /dev/null").c_str());
  return root;
}

Run service(const std::string& root, const std::string& command) {
  std::ofstream(root + "/temp/cmd.txt") << "login user=sys pass=KWP\n" << command << "\nend\n";
  return run_measured("cd '" + root +
                      "/work' && '" CORVANTA_BATCH "' < ../temp/cmd.txt > ../temp/cmd.out 2>&1");
}

// The input goes into the installation's data directory (the service reads
// files named by commands only inside its directories).
std::string data_file(const std::string& root, const std::string& file) {
  const std::string name = root + "/data/" + fs::path(file).filename().string();
  fs::create_hard_link(file, name);
  return "../data/" + fs::path(file).filename().string();
}

void import(benchmark::State& state, const std::string& type, const std::string& file, std::size_t records) {
  for (auto _ : state) {
    const std::string root = installation("import");
    report(state,
           service(root, "IMPORT POOL=A FILE=BIB TYPE=" + type + " DATA=" + data_file(root, file) +
                             " DOUBLE=I SAVE=N"),
           records);
  }
}
void BM_Service_ImportIso2709(benchmark::State& state) {
  import(state, "MARC21", marc_file(record_count()), record_count());
}
void BM_Service_ImportMarcXml(benchmark::State& state) {
  import(state, "XMARC21", marcxml_file(record_count()), record_count());
}
// Peak memory of the same import at 10,000 records and at the full count.
void BM_Service_ImportPeak(benchmark::State& state) {
  const std::size_t n = static_cast<std::size_t>(state.range(0));
  import(state, "MARC21", marc_file(n), n);
}

// The cost of a record script: the same 2,000 records (in the service's own
// text form) imported without one and with a PSIIN script that only passes
// each record on.
void BM_Service_ImportScript(benchmark::State& state) {
  constexpr std::size_t kRecords = 2000;
  const bool script = state.range(0) != 0;
  for (auto _ : state) {
    const std::string root = installation("import-script");
    std::ofstream records(root + "/data/titles.txt");
    for (std::size_t i = 1; i <= kRecords; ++i) {
      records << "24510$$aTitel " << i << " der Reihe\n100  $$aAutor " << i % 97 << "\n020  $$a"
              << 3000000000 + i << "\n\n";
    }
    records.close();
    std::ofstream(root + "/data/pass.psi") << "s = imprec()\nexprec(s)\n";
    report(
        state,
        service(root, std::string("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/titles.txt DOUBLE=I") +
                          " SAVE=N" + (script ? " PSIIN=../data/pass.psi" : "")),
        kRecords);
  }
}

void export_to(benchmark::State& state, const std::string& type) {
  static std::string root;
  if (root.empty()) {
    root = installation("export");
    (void)service(root, "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=" +
                            data_file(root, marc_file(record_count())) + " DOUBLE=I SAVE=N");
  }
  for (auto _ : state) {
    report(state, service(root, "EXPORT POOL=A FILE=BIB TYPE=" + type + " DATA=../data/out"), record_count());
  }
}
void BM_Service_ExportIso2709(benchmark::State& state) {
  export_to(state, "MARC21");
}
void BM_Service_ExportXml(benchmark::State& state) {
  export_to(state, "XMARC21");
}

BENCHMARK(BM_Convert_Iso2709ToIso2709)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Yaz_Iso2709ToIso2709)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Convert_Iso2709ToXml)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Yaz_Iso2709ToXml)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Convert_MarcXmlToIso2709)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Yaz_MarcXmlToIso2709)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Service_ImportIso2709)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Service_ImportMarcXml)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Service_ImportPeak)
    ->Arg(10000)
    ->Arg(static_cast<long>(record_count()))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(BM_Service_ImportScript)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(BM_Service_ExportIso2709)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_Service_ExportXml)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace
