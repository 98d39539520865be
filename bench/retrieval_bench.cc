// Searching the same catalogue three ways in one run: the SEARCH command
// of the batch service (in process, the pool opened for every command as
// the service does), Zebra (zebrasrv of the Debian package idzebra-2.0,
// asked over a persistent Z39.50 connection through the ZOOM API of libyaz)
// and SQLite FTS5 (an in-process connection). For each kind of query the
// same 200 queries go to each system and the median latency is reported.
// Each system finds every hit; the service stores them as a result set and
// makes its first 40 rows (title, author, year), SQLite reads the same 40
// rows, Zebra keeps its result set on the server and gives the count.
//
//   word     a title word               trunc   a title word's first letters
//   and      two words of one title     phrase  a title's first two words, open
//   range    years from .. to           isbn    one ISBN
//
// CORVANTA_BENCH_RECORDS sets the count (default 100,000); setting up the
// three indexes is not measured.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue.h"
#include "commands/command_table.h"
#include "scripting/psi_procedures.h"
#include "shell/service.h"

#ifdef CORVANTA_HAVE_YAZ
#include <yaz/zoom.h>
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using corvanta::bench::Title;
using corvanta::bench::titles;

constexpr int kQueries = 200;
constexpr long kRows = 40;  // rows SEARCH shows of a new set

enum Kind { kWord, kAnd, kTrunc, kPhrase, kRange, kIsbn };

// One query in the three languages.
struct Query {
  std::string ours, pqf, fts;
  int year_from = 0, year_to = 0;  // SQLite's range
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool plain_word(const std::string& w, const std::set<std::string>& stop) {
  if (w.size() < 4 || w.size() > 20) return false;
  if (!std::all_of(w.begin(), w.end(),
                   [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }))
    return false;
  std::string upper = w;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return stop.count(upper) == 0;
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The queries of one kind, drawn from the records themselves so that most
// find something.
std::vector<Query> make_queries(Kind kind) {
  std::set<std::string> stop;
  {
    std::ifstream in(CORVANTA_DEMO "/data/stopwords.txt");
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string list, word;
      if (fields >> list >> word && list != "*") stop.insert(word);
    }
  }
  std::mt19937 rng(7 + kind);
  std::vector<Query> out;
  const std::vector<Title>& all = titles();
  while (static_cast<int>(out.size()) < kQueries) {
    const Title& t = all[rng() % all.size()];
    std::vector<std::string> ws;
    for (const std::string& w : words(t.title)) {
      if (plain_word(w, stop)) ws.push_back(lower(w));
    }
    Query q;
    switch (kind) {
      case kWord: {
        if (ws.empty()) continue;
        const std::string& w = ws[rng() % ws.size()];
        q = {"TIT=" + w, "@attr 1=4 " + w, "title : " + w};
        break;
      }
      case kAnd: {
        if (ws.size() < 2) continue;
        q = {"TIT=" + ws[0] + " AND " + ws[1], "@and @attr 1=4 " + ws[0] + " @attr 1=4 " + ws[1],
             "title : " + ws[0] + " AND title : " + ws[1]};
        break;
      }
      case kTrunc: {
        if (ws.empty() || ws[0].size() < 5) continue;
        const std::string p = ws[0].substr(0, 4);
        q = {"TIT=" + p + "?", "@attr 1=4 @attr 5=1 " + p, "title : " + p + "*"};
        break;
      }
      case kPhrase: {
        const std::vector<std::string> first = words(t.title);
        if (first.size() < 2 || !plain_word(first[0], {}) || !plain_word(first[1], {})) continue;
        const std::string a = lower(first[0]), b = lower(first[1]);
        q = {"TPH=" + a + " " + b + "?", "@attr 1=4 @attr 4=1 @attr 5=1 \"" + a + " " + b + "\"",
             "title : ^ \"" + a + " " + b + "\" *"};
        break;
      }
      case kRange: {
        const int from = 1900 + static_cast<int>(rng() % 120);
        const int to = from + static_cast<int>(rng() % 5);
        q = {"JAH=" + std::to_string(from) + " < " + std::to_string(to),
             "@and @attr 1=30 @attr 4=109 @attr 2=4 " + std::to_string(from) +
                 " @attr 1=30 @attr 4=109 @attr 2=2 " + std::to_string(to),
             "", from, to};
        break;
      }
      case kIsbn:
        q = {"ISB=" + t.isbn, "@attr 1=7 @attr 4=1 \"" + t.isbn + "\"", "isbn : \"" + t.isbn + "\""};
        break;
    }
    out.push_back(q);
  }
  return out;
}

const std::vector<Query>& queries(Kind kind) {
  static std::map<Kind, std::vector<Query>> all;
  auto it = all.find(kind);
  if (it == all.end()) it = all.emplace(kind, make_queries(kind)).first;
  return it->second;
}

// Times every query, reports the median (and the mean hit count, to see
// that the systems answer alike).
template <typename Run>
void measure(benchmark::State& state, Kind kind, Run run) {
  std::vector<double> micros;
  double hits = 0;
  for (auto _ : state) {
    micros.clear();
    hits = 0;
    for (const Query& q : queries(kind)) {
      const auto start = std::chrono::steady_clock::now();
      const long n = run(q);
      const double us =
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
      if (n < 0) {
        state.SkipWithError(("query failed: " + q.ours).c_str());
        return;
      }
      micros.push_back(us);
      hits += static_cast<double>(n);
    }
    std::sort(micros.begin(), micros.end());
    state.SetIterationTime(micros[micros.size() / 2] / 1e6);
  }
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
  state.counters["mean_hits"] = hits / static_cast<double>(micros.size());
}

// ---------------------------------------------------------------------------
// The service.

struct Ours {
  std::string root;
  fs::path previous;
  std::unique_ptr<corvanta::Service> service;
  corvanta::BatchResult result{30000};
  std::FILE* sink = nullptr;
  bool ready = false;

  Ours() {
    root = corvanta::bench::prepare_installation("search", true);
    if (root.empty()) return;
    // Every hit, as the others give: no MaxResults cut.
    {
      std::ifstream in(root + "/etc/corvanta.cfg");
      std::string config((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::size_t at = config.find("MaxResults=10000\n");
      if (at != std::string::npos) config.replace(at, 17, "MaxResults=10000000\n");
      std::ofstream(root + "/etc/corvanta.cfg") << config;
    }
    previous = fs::current_path();
    fs::current_path(root + "/work");
    sink = std::fopen("/dev/null", "w");
    service = std::make_unique<corvanta::Service>(stdin, sink, corvanta::command_table(),
                                                  corvanta::make_pool_procedures);
    ready = service->configs.load_main_path("../etc/corvanta.cfg").ok() && service->system_init().ok();
  }
  ~Ours() {
    if (service) {
      (void)service->dbm.close_all();
      service->system_shutdown();
      service.reset();
    }
    if (sink != nullptr) std::fclose(sink);
    if (!previous.empty()) fs::current_path(previous);
    if (!root.empty() && std::getenv("CORVANTA_BENCH_KEEP") == nullptr) fs::remove_all(root);
  }
  long search(const std::string& query) {
    corvanta::ParamList params;
    params.parse("SEARCH POOL=A FILE=BIB QUERY=\"" + query + "\"");
    result.clear_for_command();
    if (service->dispatch(params, result).failed()) return -1;
    return static_cast<long>(result.next);
  }
};

Ours& ours() {
  static Ours o;
  return o;
}

void BM_Search_Service(benchmark::State& state) {
  if (!ours().ready) {
    state.SkipWithError("the installation could not be prepared");
    return;
  }
  measure(state, static_cast<Kind>(state.range(0)), [](const Query& q) { return ours().search(q.ours); });
}

// ---------------------------------------------------------------------------
// Zebra.

#ifdef CORVANTA_HAVE_YAZ
struct Zebra {
  std::string root;
  pid_t server = 0;
  ZOOM_connection connection = nullptr;

  Zebra() {
    if (std::system("command -v zebrasrv > /dev/null 2>&1") != 0) return;
    root = corvanta::bench::prepare_zebra("zebra-search", true);
    if (root.empty()) return;
    const std::string socket = "unix:" + root + "/zebra.sock";
    const std::string config = root + "/zebra.cfg";
    const std::string log = root + "/zebrasrv.log";
    const char* argv[] = {"zebrasrv", "-c", config.c_str(), "-l", log.c_str(), socket.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, root.c_str());
    if (posix_spawnp(&server, "zebrasrv", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
      server = 0;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 100 && server != 0; ++i) {
      connection = ZOOM_connection_new(socket.c_str(), 0);
      const char* message = nullptr;
      const char* info = nullptr;
      if (ZOOM_connection_error(connection, &message, &info) == 0) return;
      ZOOM_connection_destroy(connection);
      connection = nullptr;
      ::usleep(100000);
    }
  }
  ~Zebra() {
    if (connection != nullptr) ZOOM_connection_destroy(connection);
    if (server != 0) {
      ::kill(server, SIGTERM);
      ::waitpid(server, nullptr, 0);
    }
    if (!root.empty()) fs::remove_all(root);
  }
  long search(const std::string& pqf) {
    ZOOM_resultset r = ZOOM_connection_search_pqf(connection, pqf.c_str());
    const char* message = nullptr;
    const char* info = nullptr;
    const int error = ZOOM_connection_error(connection, &message, &info);
    if (error != 0)
      std::fprintf(stderr, "zebra: %s (%s): %s\n", message, info != nullptr ? info : "", pqf.c_str());
    const long n = error != 0 ? -1 : static_cast<long>(ZOOM_resultset_size(r));
    ZOOM_resultset_destroy(r);
    return n;
  }
};

Zebra& zebra() {
  static Zebra z;
  return z;
}
#endif

void BM_Search_Zebra(benchmark::State& state) {
#ifdef CORVANTA_HAVE_YAZ
  if (zebra().connection == nullptr) {
    state.SkipWithError("zebrasrv not available (Debian package idzebra-2.0)");
    return;
  }
  measure(state, static_cast<Kind>(state.range(0)), [](const Query& q) { return zebra().search(q.pqf); });
#else
  state.SkipWithError("built without libyaz (Debian package libyaz-dev)");
#endif
}

// ---------------------------------------------------------------------------
// SQLite FTS5.

struct Fts {
  std::string path;
  sqlite3* db = nullptr;
  sqlite3_stmt* match = nullptr;
  sqlite3_stmt* range = nullptr;
  sqlite3_stmt* row = nullptr;

  Fts() {
    path = fs::temp_directory_path().string() + "/corvanta-bench-fts-" + std::to_string(::getpid()) + ".db";
    fs::remove(path);
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return;
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                 "CREATE VIRTUAL TABLE t USING fts5(title, author, subject, isbn);"
                 "CREATE TABLE y(id INTEGER PRIMARY KEY, year INTEGER); BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* year = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(rowid, title, author, subject, isbn) VALUES (?, ?, ?, ?, ?)", -1,
                       &insert, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO y(id, year) VALUES (?, ?)", -1, &year, nullptr);
    long id = 0;
    for (const Title& t : titles()) {
      ++id;
      std::string subjects;
      for (const std::string& s : t.subjects) subjects += s + " ; ";
      sqlite3_bind_int64(insert, 1, id);
      sqlite3_bind_text(insert, 2, t.title.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 3, t.author.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 4, subjects.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 5, t.isbn.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
      sqlite3_bind_int64(year, 1, id);
      sqlite3_bind_int(year, 2, std::atoi(t.year.c_str()));
      sqlite3_step(year);
      sqlite3_reset(year);
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(year);
    sqlite3_exec(db, "COMMIT; CREATE INDEX y_year ON y(year);", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "SELECT rowid FROM t WHERE t MATCH ?", -1, &match, nullptr);
    sqlite3_prepare_v2(db, "SELECT id FROM y WHERE year BETWEEN ? AND ?", -1, &range, nullptr);
    sqlite3_prepare_v2(db, "SELECT title, author, (SELECT year FROM y WHERE id = ?1) FROM t WHERE rowid = ?1",
                       -1, &row, nullptr);
  }
  ~Fts() {
    sqlite3_finalize(match);
    sqlite3_finalize(range);
    sqlite3_finalize(row);
    sqlite3_close(db);
    fs::remove(path);
  }
  std::size_t shown = 0;
  long search(const Query& q) {
    sqlite3_stmt* s = q.fts.empty() ? range : match;
    if (q.fts.empty()) {
      sqlite3_bind_int(s, 1, q.year_from);
      sqlite3_bind_int(s, 2, q.year_to);
    } else {
      sqlite3_bind_text(s, 1, q.fts.c_str(), -1, SQLITE_TRANSIENT);
    }
    long n = 0;
    int rc = SQLITE_ROW;
    std::vector<sqlite3_int64> first;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      if (++n <= kRows) first.push_back(sqlite3_column_int64(s, 0));
    }
    sqlite3_reset(s);
    // The first rows shown, as SEARCH shows them: title, author, year.
    for (const sqlite3_int64 id : first) {
      sqlite3_bind_int64(row, 1, id);
      if (sqlite3_step(row) == SQLITE_ROW) {
        shown += static_cast<std::size_t>(sqlite3_column_bytes(row, 0) + sqlite3_column_bytes(row, 1));
      }
      sqlite3_reset(row);
    }
    return rc == SQLITE_DONE ? n : -1;
  }
};

Fts& fts() {
  static Fts f;
  return f;
}

void BM_Search_Sqlite(benchmark::State& state) {
  if (fts().match == nullptr) {
    state.SkipWithError("SQLite without FTS5");
    return;
  }
  measure(state, static_cast<Kind>(state.range(0)), [](const Query& q) { return fts().search(q); });
}

void kinds(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kind"});
  for (int k = kWord; k <= kIsbn; ++k) b->Arg(k);
  b->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Search_Service)->Apply(kinds);
BENCHMARK(BM_Search_Zebra)->Apply(kinds);
BENCHMARK(BM_Search_Sqlite)->Apply(kinds);

}  // namespace
