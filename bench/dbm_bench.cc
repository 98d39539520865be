// The database manager's operations against SQLite: records of 200 to 2,000
// bytes loaded in key order and inserted in random order, random reads, a
// full scan, and list inserts of (term, IDN) items in the shape of a title
// word index. Each workload runs unjournalled and journalled (the pool with
// a save file; SQLite with journal_mode WAL instead of OFF), with
// synchronous=OFF on SQLite since the pool does not sync either. DELETE of a
// whole file empties a record file of n records (values in piece chains)
// beside SQLite's DELETE of every row.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "dbm/dbm.h"
#include "util/big_endian.h"

namespace {

using corvanta::dbm::DataRef;
using corvanta::dbm::Dbm;
using corvanta::dbm::FileSpec;
using corvanta::dbm::Position;

constexpr std::uint32_t kRecords = 1000000;
constexpr std::uint32_t kListItems = 5000000;
constexpr std::uint32_t kListKeys = 200000;
constexpr std::size_t kTermLength = 20;

std::string dir() {
  static const std::string d = [] {
    const std::string p = "/tmp/corvanta_dbm_bench_" + std::to_string(::getpid());
    std::filesystem::create_directories(p);
    return p;
  }();
  return d;
}

std::size_t record_size(std::uint32_t i) {
  return 200 + (i * 7919u) % 1801u;
}

const std::vector<unsigned char>& payload() {
  static const std::vector<unsigned char> bytes = [] {
    std::vector<unsigned char> b(2000);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>('a' + i % 26);
    return b;
  }();
  return bytes;
}

std::vector<unsigned char> term(std::uint32_t k) {
  std::vector<unsigned char> t(kTermLength, ' ');
  const std::string s = "word" + std::to_string(k * 2654435761u % 1000003u);
  std::copy(s.begin(), s.end(), t.begin());
  return t;
}

// A pool with a record file (1) and a list file (2) of 20-byte terms.
struct PoolBench {
  explicit PoolBench(bool journalled, std::FILE* messages = stderr)
      : path(dir() + "/bench.pool"), dbm(corvanta::dbm::default_file_system(), messages) {
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".sav");
    (void)dbm.initialize("B", path);
    (void)dbm.open("B", path, 'U', 'W');
    if (journalled) (void)dbm.set_save_file("B", path + ".sav");
    (void)dbm.create("B", FileSpec{'N', 1, 0, 'R', 4, 200, 'F', 30000, 'V'});
    (void)dbm.create("B", FileSpec{'N', 2, 0, 'L', static_cast<int>(kTermLength), 40, 'F', 4, 'V'});
  }
  ~PoolBench() {
    (void)dbm.close_all();
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".sav");
  }
  std::string path;
  Dbm dbm;
};

struct SqliteBench {
  explicit SqliteBench(bool journalled) : path(dir() + "/bench.db") {
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, journalled ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=OFF", nullptr, nullptr,
                 nullptr);
    sqlite3_exec(db,
                 "PRAGMA synchronous=OFF; CREATE TABLE r(k INTEGER PRIMARY KEY, v BLOB);"
                 "CREATE TABLE l(t BLOB, i INTEGER, n INTEGER, PRIMARY KEY(t, i)) WITHOUT ROWID;",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO r VALUES(?, ?)", -1, &insert, nullptr);
    sqlite3_prepare_v2(db, "SELECT v FROM r WHERE k = ?", -1, &select, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO l VALUES(?, ?, 0) ON CONFLICT DO UPDATE SET n = min(n + 1, 254)", -1,
                       &list_insert, nullptr);
  }
  ~SqliteBench() {
    sqlite3_finalize(insert);
    sqlite3_finalize(select);
    sqlite3_finalize(list_insert);
    sqlite3_close(db);
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
  }
  std::string path;
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* list_insert = nullptr;
};

const char* label(const benchmark::State& state) {
  return state.range(0) != 0 ? "journalled" : "unjournalled";
}

std::vector<std::uint32_t> shuffled(std::uint32_t n) {
  std::vector<std::uint32_t> v(n);
  for (std::uint32_t i = 0; i < n; ++i) v[i] = i + 1;
  std::shuffle(v.begin(), v.end(), std::mt19937(99));
  return v;
}

void pool_records(benchmark::State& state, bool ordered) {
  const auto order = ordered ? std::vector<std::uint32_t>() : shuffled(kRecords);
  for (auto _ : state) {
    PoolBench b(state.range(0) != 0);
    unsigned char key[4];
    for (std::uint32_t i = 1; i <= kRecords; ++i) {
      const std::uint32_t idn = ordered ? i : order[i - 1];
      corvanta::put_u32(key, idn);
      const std::span<const unsigned char> value(payload().data(), record_size(idn));
      if ((ordered ? b.dbm.load("B", 1, key, value) : b.dbm.insert("B", 1, key, value)).failed())
        std::abort();
    }
  }
  state.SetLabel(label(state));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRecords);
}

void sqlite_records(benchmark::State& state, bool ordered) {
  const auto order = ordered ? std::vector<std::uint32_t>() : shuffled(kRecords);
  for (auto _ : state) {
    SqliteBench b(state.range(0) != 0);
    sqlite3_exec(b.db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::uint32_t i = 1; i <= kRecords; ++i) {
      const std::uint32_t idn = ordered ? i : order[i - 1];
      sqlite3_bind_int64(b.insert, 1, idn);
      sqlite3_bind_blob(b.insert, 2, payload().data(), static_cast<int>(record_size(idn)), SQLITE_STATIC);
      if (sqlite3_step(b.insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(b.insert);
    }
    sqlite3_exec(b.db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetLabel(label(state));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRecords);
}

void BM_Dbm_LoadRecords(benchmark::State& state) {
  pool_records(state, true);
}
void BM_Sqlite_LoadRecords(benchmark::State& state) {
  sqlite_records(state, true);
}
void BM_Dbm_InsertRecords(benchmark::State& state) {
  pool_records(state, false);
}
void BM_Sqlite_InsertRecords(benchmark::State& state) {
  sqlite_records(state, false);
}
BENCHMARK(BM_Dbm_LoadRecords)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_LoadRecords)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Dbm_InsertRecords)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_InsertRecords)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// Reads and scans work on one loaded pool and database.
struct Loaded {
  Loaded() : pool(false), sqlite(false) {
    unsigned char key[4];
    for (std::uint32_t i = 1; i <= kRecords; ++i) {
      corvanta::put_u32(key, i);
      (void)pool.dbm.load("B", 1, key, std::span<const unsigned char>(payload().data(), record_size(i)));
    }
    sqlite3_exec(sqlite.db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::uint32_t i = 1; i <= kRecords; ++i) {
      sqlite3_bind_int64(sqlite.insert, 1, i);
      sqlite3_bind_blob(sqlite.insert, 2, payload().data(), static_cast<int>(record_size(i)), SQLITE_STATIC);
      sqlite3_step(sqlite.insert);
      sqlite3_reset(sqlite.insert);
    }
    sqlite3_exec(sqlite.db, "COMMIT", nullptr, nullptr, nullptr);
  }
  PoolBench pool;
  SqliteBench sqlite;
};

Loaded& loaded() {
  static Loaded l;
  return l;
}

void BM_Dbm_ReadRandom(benchmark::State& state) {
  Loaded& l = loaded();
  std::mt19937 rng(3);
  std::vector<unsigned char> buffer(30000);
  unsigned char key[4];
  for (auto _ : state) {
    corvanta::put_u32(key, rng() % kRecords + 1);
    DataRef ref{buffer};
    if (l.pool.dbm.read("B", 1, key, ref).code() != 0) std::abort();
    benchmark::DoNotOptimize(ref.length);
  }
}
BENCHMARK(BM_Dbm_ReadRandom);

void BM_Sqlite_ReadRandom(benchmark::State& state) {
  Loaded& l = loaded();
  std::mt19937 rng(3);
  for (auto _ : state) {
    sqlite3_bind_int64(l.sqlite.select, 1, rng() % kRecords + 1);
    if (sqlite3_step(l.sqlite.select) != SQLITE_ROW) std::abort();
    benchmark::DoNotOptimize(sqlite3_column_bytes(l.sqlite.select, 0));
    sqlite3_reset(l.sqlite.select);
  }
}
BENCHMARK(BM_Sqlite_ReadRandom);

void BM_Dbm_Scan(benchmark::State& state) {
  Loaded& l = loaded();
  std::vector<unsigned char> buffer(30000);
  for (auto _ : state) {
    unsigned char key[4] = {0, 0, 0, 0};
    Position pos;
    DataRef ref{buffer};
    std::uint32_t n = 0;
    for (auto rc = l.pool.dbm.set("B", 1, key, pos, ref); rc.code() == 0;
         rc = l.pool.dbm.get("B", 1, key, pos, ref)) {
      ++n;
    }
    if (n != kRecords) std::abort();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRecords);
}
BENCHMARK(BM_Dbm_Scan)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Sqlite_Scan(benchmark::State& state) {
  Loaded& l = loaded();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(l.sqlite.db, "SELECT k, v FROM r ORDER BY k", -1, &stmt, nullptr);
  for (auto _ : state) {
    std::uint32_t n = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_blob(stmt, 1));
      ++n;
    }
    sqlite3_reset(stmt);
    if (n != kRecords) std::abort();
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRecords);
}
BENCHMARK(BM_Sqlite_Scan)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Dbm_ListInsert(benchmark::State& state) {
  for (auto _ : state) {
    PoolBench b(state.range(0) != 0);
    unsigned char item[4];
    for (std::uint32_t i = 0; i < kListItems; ++i) {
      const auto t = term(i % kListKeys);
      corvanta::put_u32(item, i / kListKeys + 1);
      if (b.dbm.list_insert("B", 2, t.data(), item).failed()) std::abort();
    }
  }
  state.SetLabel(label(state));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kListItems);
}
BENCHMARK(BM_Dbm_ListInsert)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Sqlite_ListInsert(benchmark::State& state) {
  for (auto _ : state) {
    SqliteBench b(state.range(0) != 0);
    sqlite3_exec(b.db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::uint32_t i = 0; i < kListItems; ++i) {
      const auto t = term(i % kListKeys);
      sqlite3_bind_blob(b.list_insert, 1, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(b.list_insert, 2, i / kListKeys + 1);
      if (sqlite3_step(b.list_insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(b.list_insert);
    }
    sqlite3_exec(b.db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetLabel(label(state));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kListItems);
}
BENCHMARK(BM_Sqlite_ListInsert)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

// DELETE of a record file of n records loaded in key order; the load is
// not timed. The progress lines of the delete go to /dev/null.
// The journal alone: 200,000 records of a 4-byte key and a 300-byte value
// appended to a save file, then synced once, as at the end of a command.
void BM_Dbm_JournalAppend(benchmark::State& state) {
  constexpr int kAppends = 200000;
  corvanta::dbm::JournalRecord r;
  r.pool = "B";
  r.file = 1;
  r.op = corvanta::dbm::JournalOp::Insert;
  r.key = {0, 0, 0, 1};
  r.value.assign(300, 'x');
  const std::string path = dir() + "/bench.sav";
  for (auto _ : state) {
    std::filesystem::remove(path);
    corvanta::dbm::JournalWriter writer(corvanta::dbm::default_file_system(), path);
    for (int i = 0; i < kAppends; ++i) {
      if (writer.append(r).failed()) std::abort();
      writer.finish(true);
    }
    if (writer.close().failed()) std::abort();
  }
  std::filesystem::remove(path);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kAppends);
}
BENCHMARK(BM_Dbm_JournalAppend)->Iterations(3)->Unit(benchmark::kMillisecond);

// Files of 10,000 to 1,000,000 entries, each deleted once.
void delete_sizes(benchmark::internal::Benchmark* b) {
  b->Arg(10000)->Arg(20000)->Arg(40000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
}

void BM_Dbm_DeleteFile(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  std::FILE* quiet = std::fopen("/dev/null", "w");
  for (auto _ : state) {
    state.PauseTiming();
    {
      PoolBench b(false, quiet);
      unsigned char key[4];
      for (std::uint32_t i = 1; i <= n; ++i) {
        corvanta::put_u32(key, i);
        if (b.dbm.load("B", 1, key, std::span<const unsigned char>(payload().data(), record_size(i)))
                .failed())
          std::abort();
      }
      state.ResumeTiming();
      if (b.dbm.delete_file("B", 1).failed()) std::abort();
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  std::fclose(quiet);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_Dbm_DeleteFile)->Apply(delete_sizes);

void BM_Sqlite_DeleteFile(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    {
      SqliteBench b(false);
      sqlite3_exec(b.db, "BEGIN", nullptr, nullptr, nullptr);
      for (std::uint32_t i = 1; i <= n; ++i) {
        sqlite3_bind_int64(b.insert, 1, i);
        sqlite3_bind_blob(b.insert, 2, payload().data(), static_cast<int>(record_size(i)), SQLITE_STATIC);
        if (sqlite3_step(b.insert) != SQLITE_DONE) std::abort();
        sqlite3_reset(b.insert);
      }
      sqlite3_exec(b.db, "COMMIT", nullptr, nullptr, nullptr);
      state.ResumeTiming();
      if (sqlite3_exec(b.db, "DELETE FROM r", nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_Sqlite_DeleteFile)->Apply(delete_sizes);

}  // namespace
