// What the end-to-end tests of the pool commands share: the demo pool "A"
// of a temporary installation, changed in between by the test itself
// through the database manager as another program of the library would,
// and read back whole for comparison.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "dbm/dbm.h"
#include "installation.h"

namespace corvanta::testing {

inline constexpr const char* kLogin = "login user=sys pass=KWP\n";
inline constexpr int kDataFile = 10;  // key 14 bytes, values up to 200
inline constexpr int kListFile = 25;  // key 8 bytes
inline constexpr int kLoadFile = 9;   // key 18 bytes, values up to 2000

using Snapshot = std::map<std::pair<int, std::string>, std::string>;

inline std::uint32_t g_clock = 0;
inline std::uint32_t test_clock() {
  return g_clock;
}

inline std::string key_of(int n, std::size_t length) {
  std::string k = "K" + std::to_string(n);
  k.resize(length, '\0');
  return k;
}

// The pool of an installation, opened by the test as a journalling writer
// (in mode U, or R).
class PoolWriter {
 public:
  explicit PoolWriter(const Installation& inst, std::uint32_t time, char mode = 'U')
      : dbm_(dbm::default_file_system(), stderr) {
    g_clock = time;
    dbm_.set_clock(test_clock);
    EXPECT_EQ(dbm_.open("A", inst.path("data/a"), mode).code(), 0);
    EXPECT_EQ(dbm_.set_save_file("A", inst.path("save/a.sav")).code(), 0);
  }
  ~PoolWriter() { EXPECT_EQ(dbm_.close("A").code(), 0); }

  void put(int n, const std::string& value) {
    const std::string k = key_of(n, 14);
    const auto* key = reinterpret_cast<const unsigned char*>(k.data());
    std::span<const unsigned char> v(reinterpret_cast<const unsigned char*>(value.data()), value.size());
    ResultCode rc = dbm_.update(pool_, kDataFile, key, v);
    if (rc.code() == 1) rc = dbm_.insert(pool_, kDataFile, key, v);  // absent
    ASSERT_EQ(rc.code(), 0);
  }
  void insert_record(std::uint32_t idn, std::span<const unsigned char> image) {
    unsigned char key[4] = {static_cast<unsigned char>(idn >> 24), static_cast<unsigned char>(idn >> 16),
                            static_cast<unsigned char>(idn >> 8), static_cast<unsigned char>(idn)};
    ASSERT_EQ(dbm_.insert(pool_, 1, key, image).code(), 0);
  }
  void erase(int n) {
    const std::string k = key_of(n, 14);
    ASSERT_EQ(dbm_.remove(pool_, kDataFile, reinterpret_cast<const unsigned char*>(k.data())).code(), 0);
  }
  void add_item(int n, std::uint32_t item, int file = kListFile) {
    dbm::FileInfo info;
    ASSERT_EQ(dbm_.file_info(pool_, file, info).code(), 0);
    std::vector<unsigned char> bytes(info.data_length, 0);
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i)
      bytes[i] = static_cast<unsigned char>(item >> (24 - 8 * i));
    const std::string k = key_of(n, 8);
    ASSERT_GE(
        dbm_.list_insert(pool_, kListFile, reinterpret_cast<const unsigned char*>(k.data()), bytes).code(),
        0);
  }

 private:
  dbm::Dbm dbm_;
  std::string pool_ = "A";
};

// Every key and value of the test files (or of `files`).
inline Snapshot snapshot(const Installation& inst,
                         std::vector<int> files = {kDataFile, kListFile, kLoadFile}) {
  Snapshot s;
  dbm::Dbm d(dbm::default_file_system(), stderr);
  EXPECT_EQ(d.open("A", inst.path("data/a"), 'I').code(), 0);
  for (const int file : files) {
    dbm::FileInfo info;
    EXPECT_EQ(d.file_info("A", file, info).code(), 0);
    std::vector<unsigned char> key(info.key_length, 0);
    std::vector<unsigned char> buffer(65536);
    dbm::DataRef value{buffer, 0};
    dbm::Position pos;
    for (ResultCode rc = d.set("A", file, key.data(), pos, value); rc.code() == 0;
         rc = d.get("A", file, key.data(), pos, value)) {
      s[{file, std::string(key.begin(), key.end())}] =
          std::string(buffer.begin(), buffer.begin() + value.length);
      value = dbm::DataRef{buffer, 0};
    }
  }
  EXPECT_EQ(d.close("A").code(), 0);
  return s;
}

inline std::uint32_t now() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

class PoolCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult r = inst_.run(std::string(kLogin) + "POOL_INIT POOL=A\nend\n");
    ASSERT_NE(r.output.find("POOL_INIT 20"), std::string::npos) << r.output;
    ASSERT_NE(r.output.find(" END\n"), std::string::npos) << r.output;
  }
  RunResult run(const std::string& commands) { return inst_.run(std::string(kLogin) + commands + "end\n"); }

  Installation inst_;
};

}  // namespace corvanta::testing
