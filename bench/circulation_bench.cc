// The circulation jobs and printouts:
//
//   Service/Remind     REMIND on 100,000 loans of 20,000 borrowers (one in
//                      five with an e-mail address) of which 5,000 are due;
//                      the counters give each step's time from the job
//                      protocol: selection, post phase, e-mail phase
//   Printout/XmlList   a list of 10,000 titles written as an XML printout
//                      and turned into HTML by the reference installation's
//                      list stylesheet, in this process
//   Xalan/List         the stylesheet transformation of that same document
//                      alone, in this process
//   Xsltproc/List      xsltproc transforming the same document with the same
//                      stylesheet (a process)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "catalogue.h"
#include "commands/command_table.h"
#include "records/record.h"
#include "scripting/psi_procedures.h"
#include "shell/service.h"

namespace {

namespace fs = std::filesystem;

constexpr int kBorrowers = 20000;
constexpr int kLoans = 100000;
constexpr int kDue = 5000;
constexpr std::size_t kListTitles = 10000;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int run_batch(const std::string& root, const std::string& commands, const std::string& out = "/dev/null") {
  std::ofstream(root + "/temp/bench-cmd.txt") << "login user=sys pass=KWP\n" << commands << "end\n";
  return std::system(
      ("cd '" + root + "/work' && '" CORVANTA_BATCH "' < ../temp/bench-cmd.txt > '" + out + "' 2>&1")
          .c_str());
}

// A record in external form from (tag, indicators, subfield code or 0, text).
struct Piece {
  const char* tag;
  char code;
  std::string text;
};
corvanta::records::RecordHandle& external_record(corvanta::records::RecordHandle& h, std::uint32_t idn,
                                                 std::initializer_list<Piece> pieces) {
  corvanta::records::RecordBuilder b;
  for (const Piece& p : pieces) {
    b.field(p.tag, "");
    if (p.code != 0) {
      b.subfield(p.code, p.text);
    } else {
      b.text(p.text);
    }
  }
  corvanta::records::rec_init(h, 4096, corvanta::records::kExternalForm);
  h.idn = idn;
  (void)b.build(h);
  return h;
}

// The reference installation with the borrowers, their addresses and the
// loans, indexed, and the sample policy; made once, copied for each run.
std::string circulation_installation() {
  static const std::string prepared = []() -> std::string {
    const std::string root =
        fs::temp_directory_path().string() + "/corvanta-bench-circulation-" + std::to_string(::getpid());
    fs::remove_all(root);
    fs::copy(CORVANTA_DEMO, root, fs::copy_options::recursive);
    const fs::path previous = fs::current_path();
    fs::current_path(root + "/work");
    bool ok = true;
    {
      corvanta::Service service(stdin, stdout, corvanta::command_table(), corvanta::make_pool_procedures);
      ok = service.configs.load_main_path("../etc/corvanta.cfg").ok() && service.system_init().ok();
      (void)service.dbm.initialize("A", "../data/a");
      ok =
          ok &&
          service.pools.select("A-ADR", corvanta::records::kSelectFind | corvanta::records::kSelectOpen).ok();
      if (ok) {
        (void)service.dbm.set_save_file("A", "");
        const corvanta::dict::AppPoolDef& pool = *service.pools.pool();
        auto file = [&](const char* name) {
          return corvanta::dict::ApplDictionary::find_file(pool, name)->data;
        };
        corvanta::records::RecordHandle h;
        char number[16];
        for (int i = 1; i <= kBorrowers && ok; ++i) {
          std::snprintf(number, sizeof number, "%09d", i);
          const bool email = i % 5 == 0;
          if (email) {
            external_record(h, static_cast<std::uint32_t>(i),
                            {{"311", 'a', "Lindenweg " + std::to_string(i)},
                             {"312", 'h', "leser" + std::to_string(i) + "@example.org"}});
          } else {
            external_record(h, static_cast<std::uint32_t>(i),
                            {{"311", 'a', "Lindenweg " + std::to_string(i)}});
          }
          ok = service.pools.rec_load(pool, *file("ADDRS"), h, false).ok();
          external_record(h, static_cast<std::uint32_t>(i),
                          {{"100", 0, "Leser " + std::to_string(i)},
                           {"111", 0, "GER"},
                           {"200", 0, "L" + std::to_string(i)},
                           {"201", 0, "01"},
                           {"ADR", 'L', number}});
          ok = ok && service.pools.rec_load(pool, *file("USERS"), h, false).ok();
        }
        for (int i = 1; i <= kLoans && ok; ++i) {
          std::snprintf(number, sizeof number, "%09d", 1 + (i - 1) % kBorrowers);
          // The first 5,000 were due in October and November; the rest
          // are due next year.
          char due[16];
          std::snprintf(due, sizeof due, i <= kDue ? "202610%02d" : "202701%02d", 1 + i % 28);
          external_record(h, static_cast<std::uint32_t>(i),
                          {{"100", 0, "A"},
                           {"103", 0, due},
                           {"110", 0, "01"},
                           {"111", 0, "01"},
                           {"BOR", 'L', number},
                           {"SUB", 0, "ZB"}});
          ok = service.pools.rec_load(pool, *file("LOANS"), h, false).ok();
        }
      }
      (void)service.dbm.close_all();
      service.system_shutdown();
    }
    fs::current_path(previous);
    if (!ok || run_batch(root, "SETUP_IMP POOL=A DATA=../data/policy.txt\n") != 0) return {};
    return root;
  }();
  return prepared;
}

// One number of a protocol line "text: value" of the job protocol.
long protocol_value(const std::string& protocol, const std::string& label, int which = 0) {
  const std::size_t at = protocol.find(label);
  if (at == std::string::npos) return -1;
  std::string rest = protocol.substr(at + label.size(), 40);
  for (int i = 0; i < which; ++i) rest = rest.substr(rest.find(',') + 1);
  return std::atol(rest.c_str());
}

void BM_Service_Remind(benchmark::State& state) {
  const std::string prepared = circulation_installation();
  if (prepared.empty()) {
    state.SkipWithError("installation not prepared");
    return;
  }
  const std::string root = prepared + "-run";
  long selected = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(root);
    fs::copy(prepared, root, fs::copy_options::recursive);
    for (const auto& e : fs::directory_iterator(root + "/temp")) {
      if (e.path().filename().string().rfind("prot.", 0) == 0) fs::remove(e.path());
    }
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    const int status = run_batch(root, "REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n", root + "/temp/out.txt");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    std::string protocol;
    for (const auto& e : fs::directory_iterator(root + "/temp")) {
      if (e.path().filename().string().rfind("prot.", 0) == 0) protocol = read_file(e.path().string());
    }
    if (status != 0 || protocol.find("CANCELLED") != std::string::npos) {
      state.SkipWithError("REMIND failed");
      return;
    }
    selected = protocol_value(protocol, "Ausgewählte Ausleihen, Dauer in ms: ");
    state.counters["selected"] = static_cast<double>(selected);
    state.counters["select_ms"] =
        static_cast<double>(protocol_value(protocol, "Ausgewählte Ausleihen, Dauer in ms: ", 1));
    state.counters["post_ms"] = static_cast<double>(protocol_value(protocol, "Dauer des Postlaufs in ms: "));
    state.counters["email_ms"] =
        static_cast<double>(protocol_value(protocol, "Dauer des E-Mail-Laufs in ms: "));
    state.counters["loans/s"] = static_cast<double>(selected) / seconds;
  }
}

// The titles of the benchmark catalogue, a list printout of the first
// 10,000, with the XML document kept (Files/XDebug) for the transformations
// alone.
struct ListPrintout {
  std::string root;
  std::string document;    // the XML before the stylesheet
  std::string stylesheet;  // the list stylesheet
};

const ListPrintout& list_printout() {
  static const ListPrintout prepared = [] {
    ListPrintout p;
    p.root = corvanta::bench::prepare_installation("printout", false);
    if (p.root.empty()) return p;
    std::string cfg = read_file(p.root + "/etc/corvanta.cfg");
    cfg.replace(cfg.find("(Files)\n"), 8, "(Files)\nXDebug=../temp/list.xml\n");
    std::ofstream(p.root + "/etc/corvanta.cfg", std::ios::trunc) << cfg;
    p.document = p.root + "/temp/list.xml";
    p.stylesheet = p.root + "/etc/styles/LIST.xsl";
    return p;
  }();
  return prepared;
}

void BM_Printout_XmlList(benchmark::State& state) {
  const ListPrintout& p = list_printout();
  if (p.root.empty()) {
    state.SkipWithError("installation not prepared");
    return;
  }
  const fs::path previous = fs::current_path();
  fs::current_path(p.root + "/work");
  {
    corvanta::Service service(stdin, stdout, corvanta::command_table(), corvanta::make_pool_procedures);
    if (service.configs.load_main_path("../etc/corvanta.cfg").failed() || service.system_init().failed() ||
        service.pools.select("A-BIB", corvanta::records::kSelectFind | corvanta::records::kSelectOpen)
            .failed()) {
      state.SkipWithError("service not started");
    } else {
      service.messages.select({});
      service.texts.select({});
      corvanta::records::IdnList idns;
      for (std::uint32_t i = 1; i <= std::min(kListTitles, corvanta::bench::record_count()); ++i)
        idns.push_back(i);
      for (auto _ : state) {
        if (service.printout.set(corvanta::kPrintPath, "../temp/list.html").failed() ||
            service.printout.list(idns, "PRINTLIST").failed())
          state.SkipWithError("printout failed");
      }
      state.counters["records/s"] =
          benchmark::Counter(static_cast<double>(idns.size()), benchmark::Counter::kIsIterationInvariantRate);
    }
    (void)service.dbm.close_all();
    service.system_shutdown();
  }
  fs::current_path(previous);
}

void BM_Xalan_List(benchmark::State& state) {
  const ListPrintout& p = list_printout();
  const std::string document = read_file(p.document);
  if (document.empty()) {
    state.SkipWithError("no document: run Printout/XmlList first");
    return;
  }
  corvanta::XsltProcessor xslt;
  if (xslt.initialize().failed()) state.SkipWithError("no processor");
  for (auto _ : state) {
    std::string out, error;
    if (xslt.transform_text(p.stylesheet, document, out, {}, error).failed())
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(out);
  }
}

void BM_Xsltproc_List(benchmark::State& state) {
  const ListPrintout& p = list_printout();
  if (std::system("command -v xsltproc > /dev/null 2>&1") != 0) {
    state.SkipWithError("xsltproc not installed");
    return;
  }
  if (!fs::exists(p.document)) {
    state.SkipWithError("no document: run Printout/XmlList first");
    return;
  }
  for (auto _ : state) {
    const double seconds = corvanta::bench::run_timed("xsltproc '" + p.stylesheet + "' '" + p.document +
                                                      "' > '" + p.root + "/temp/xsltproc.html'");
    if (seconds < 0) state.SkipWithError("xsltproc failed");
    state.SetIterationTime(seconds);
  }
}

BENCHMARK(BM_Service_Remind)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_Printout_XmlList)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Xalan_List)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_Xsltproc_List)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace
