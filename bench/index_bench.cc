// The B+-tree index against SQLite, workload by workload: inserts of random
// keys, loads of ascending keys, finds of present and absent keys, and a
// full traversal. Each pair runs in the same binary so the figures sit side
// by side. Pools and databases live in a temporary directory.
//
// The index runs with the pool's default ring of 10 frames and both write
// policies (blank: every change written at once; W: deferred to eviction
// and close). SQLite runs with prepared statements, one transaction per
// load and synchronous=OFF, since the pool does not sync either.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "dbm/index.h"
#include "util/big_endian.h"

namespace {

using corvanta::dbm::FileDescriptor;
using corvanta::dbm::Index;
using corvanta::dbm::KeyCursor;
using corvanta::dbm::Pool;

constexpr std::uint32_t kKeys = 1000000;
constexpr std::size_t kData = 5;  // like the record pointer of a record file

std::string temp_dir() {
  static const std::string dir = [] {
    const std::string d = "/tmp/corvanta_bench_" + std::to_string(::getpid());
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

std::vector<std::uint32_t> random_keys() {
  std::vector<std::uint32_t> keys(kKeys);
  for (std::uint32_t i = 0; i < kKeys; ++i) keys[i] = i * 2 + 1;  // odd: even keys are absent
  std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
  return keys;
}

// A pool with one normal file (number 1) of 4-byte keys.
struct PoolFixture {
  explicit PoolFixture(const std::string& name, char policy) : path(temp_dir() + "/" + name) {
    std::filesystem::remove(path);
    (void)Pool::initialize(corvanta::dbm::default_file_system(), "B", path);
    pool = std::make_unique<Pool>(corvanta::dbm::default_file_system(), "B", path);
    (void)pool->open('U', policy);
    FileDescriptor fd;
    fd.file = 1;
    fd.role = corvanta::dbm::kRoleNormal;
    fd.index_flags = corvanta::dbm::kIndexFixed;
    fd.data_flags = corvanta::dbm::kDataFixed;
    fd.index_length = 4;
    fd.entry_data_length = kData;
    (void)pool->add_file(fd);
    (void)Index(*pool, *pool->file(1)).create();
  }
  ~PoolFixture() {
    (void)pool->close();
    std::filesystem::remove(path);
  }
  void insert(std::uint32_t k, char mode) {
    unsigned char key[4];
    corvanta::put_u32(key, k);
    const unsigned char data[kData] = {1, 2, 3, 4, 5};
    if (Index(*pool, *pool->file(1)).insert(cursor, key, data, mode).failed()) std::abort();
  }
  std::string path;
  std::unique_ptr<Pool> pool;
  KeyCursor cursor;
};

struct SqliteFixture {
  explicit SqliteFixture(const std::string& name) : path(temp_dir() + "/" + name) {
    std::filesystem::remove(path);
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA synchronous=OFF; CREATE TABLE t(k INTEGER PRIMARY KEY, v BLOB);", nullptr,
                 nullptr, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, ?)", -1, &insert_stmt, nullptr);
    sqlite3_prepare_v2(db, "SELECT v FROM t WHERE k = ?", -1, &find_stmt, nullptr);
  }
  ~SqliteFixture() {
    sqlite3_finalize(insert_stmt);
    sqlite3_finalize(find_stmt);
    sqlite3_close(db);
    std::filesystem::remove(path);
  }
  void insert(std::uint32_t k) {
    static const unsigned char data[kData] = {1, 2, 3, 4, 5};
    sqlite3_bind_int64(insert_stmt, 1, k);
    sqlite3_bind_blob(insert_stmt, 2, data, kData, SQLITE_STATIC);
    if (sqlite3_step(insert_stmt) != SQLITE_DONE) std::abort();
    sqlite3_reset(insert_stmt);
  }
  bool find(std::uint32_t k) {
    sqlite3_bind_int64(find_stmt, 1, k);
    const bool found = sqlite3_step(find_stmt) == SQLITE_ROW;
    sqlite3_reset(find_stmt);
    return found;
  }
  std::string path;
  sqlite3* db = nullptr;
  sqlite3_stmt* insert_stmt = nullptr;
  sqlite3_stmt* find_stmt = nullptr;
};

void BM_Index_InsertRandom(benchmark::State& state) {
  const auto keys = random_keys();
  for (auto _ : state) {
    PoolFixture f("insert.pool", static_cast<char>(state.range(0)));
    for (std::uint32_t k : keys) f.insert(k, ' ');
  }
  state.SetLabel(state.range(0) == 'W' ? "deferred writes" : "immediate writes");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kKeys);
}
BENCHMARK(BM_Index_InsertRandom)->Arg(' ')->Arg('W')->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Sqlite_InsertRandom(benchmark::State& state) {
  const auto keys = random_keys();
  for (auto _ : state) {
    SqliteFixture f("insert.db");
    sqlite3_exec(f.db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::uint32_t k : keys) f.insert(k);
    sqlite3_exec(f.db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kKeys);
}
BENCHMARK(BM_Sqlite_InsertRandom)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Index_LoadAscending(benchmark::State& state) {
  for (auto _ : state) {
    PoolFixture f("load.pool", static_cast<char>(state.range(0)));
    for (std::uint32_t k = 1; k <= kKeys; ++k) f.insert(k, 'L');
  }
  state.SetLabel(state.range(0) == 'W' ? "deferred writes" : "immediate writes");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kKeys);
}
BENCHMARK(BM_Index_LoadAscending)->Arg(' ')->Arg('W')->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Sqlite_LoadAscending(benchmark::State& state) {
  for (auto _ : state) {
    SqliteFixture f("load.db");
    sqlite3_exec(f.db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::uint32_t k = 1; k <= kKeys; ++k) f.insert(k);
    sqlite3_exec(f.db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kKeys);
}
BENCHMARK(BM_Sqlite_LoadAscending)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

// Finds and traversal work on one loaded pool and one loaded database.
namespace {

struct Loaded {
  Loaded() : pool("find.pool", 'W'), sqlite("find.db") {
    for (std::uint32_t k = 1; k <= kKeys; ++k) pool.insert(k * 2 - 1, 'L');
    sqlite3_exec(sqlite.db, "BEGIN", nullptr, nullptr, nullptr);
    for (std::uint32_t k = 1; k <= kKeys; ++k) sqlite.insert(k * 2 - 1);
    sqlite3_exec(sqlite.db, "COMMIT", nullptr, nullptr, nullptr);
  }
  PoolFixture pool;
  SqliteFixture sqlite;
};

Loaded& loaded() {
  static Loaded l;
  return l;
}

void BM_Index_Find(benchmark::State& state) {
  Loaded& l = loaded();
  std::mt19937 rng(7);
  Index index(*l.pool.pool, *l.pool.pool->file(1));
  KeyCursor c;
  const bool present = state.range(0) == 1;
  for (auto _ : state) {
    const std::uint32_t k = (rng() % kKeys) * 2 + (present ? 1 : 2);
    unsigned char key[4];
    corvanta::put_u32(key, k);
    benchmark::DoNotOptimize(index.find(c, key));
  }
  state.SetLabel(present ? "present" : "absent");
}
BENCHMARK(BM_Index_Find)->Arg(1)->Arg(0);

void BM_Sqlite_Find(benchmark::State& state) {
  Loaded& l = loaded();
  std::mt19937 rng(7);
  const bool present = state.range(0) == 1;
  for (auto _ : state) {
    const std::uint32_t k = (rng() % kKeys) * 2 + (present ? 1 : 2);
    benchmark::DoNotOptimize(l.sqlite.find(k));
  }
  state.SetLabel(present ? "present" : "absent");
}
BENCHMARK(BM_Sqlite_Find)->Arg(1)->Arg(0);

void BM_Index_Traverse(benchmark::State& state) {
  Loaded& l = loaded();
  for (auto _ : state) {
    Index index(*l.pool.pool, *l.pool.pool->file(1));
    KeyCursor c;
    std::uint32_t n = 0;
    for (auto rc = index.first(c); rc.code() == 0; rc = index.next(c)) ++n;
    if (n != kKeys) std::abort();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kKeys);
}
BENCHMARK(BM_Index_Traverse)->Unit(benchmark::kMillisecond);

void BM_Sqlite_Traverse(benchmark::State& state) {
  Loaded& l = loaded();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(l.sqlite.db, "SELECT k, v FROM t ORDER BY k", -1, &stmt, nullptr);
  for (auto _ : state) {
    std::uint32_t n = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) ++n;
    sqlite3_reset(stmt);
    if (n != kKeys) std::abort();
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kKeys);
}
BENCHMARK(BM_Sqlite_Traverse)->Unit(benchmark::kMillisecond);

}  // namespace
