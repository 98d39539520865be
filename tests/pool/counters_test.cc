// Number counters: the entry layout, patterns compiled and written back,
// the next number at a year's change and past a pattern's width, the store
// in a pool file, and automatic numbering with and without advancing.
#include "pool/counters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "dbm/file_io.h"
#include "pool/pool_service.h"
#include "scratch_dir.h"

namespace corvanta::records {
namespace {

std::string bytes(const CounterKey& k) {
  return std::string(k.begin(), k.end());
}

TEST(CounterEntry, KeyAndDataBytes) {
  EXPECT_EQ(bytes(counter_key(2, 1, "ZBCOPY")), std::string("\x00\x02\x00\x01ZBCOPY\0\0\0\0", 14));
  // Two names that agree in their first ten characters are one counter.
  EXPECT_EQ(counter_key(2, 1, "ACCESSION-2026"), counter_key(2, 1, "ACCESSION-"));
  Counter c;
  c.number = 0x01020304;
  c.year = 2026;
  c.pattern = "\x03\x04-";
  EXPECT_EQ(encode_counter(c), std::string("\x01\x02\x03\x04\x07\xEA\x03\x04-", 9));
  const Counter back = decode_counter(encode_counter(c));
  EXPECT_EQ(back.number, c.number);
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.pattern, c.pattern);
  // Short data parts.
  EXPECT_EQ(decode_counter(std::string("\x00\x00\x05", 3)).number, 0u);
  const Counter five = decode_counter(std::string("\x00\x00\x00\x05\x07", 5));
  EXPECT_EQ(five.number, 5u);
  EXPECT_EQ(five.year, 0);
  EXPECT_EQ(decode_counter(std::string("\x00\x00\x00\x05\x07\xEA", 6)).pattern, "");
}

TEST(CounterPattern, CompiledAndWrittenBack) {
  std::string compiled;
  ASSERT_EQ(numb_compile("YYYY + \"-\" + dddddd", compiled).code(), 0);
  EXPECT_EQ(compiled, std::string("\x03\x04-\x02\x06", 5));
  EXPECT_EQ(numb_pattern_text(compiled), "YYYY + \"-\" + dddddd");
  ASSERT_EQ(numb_compile("\"A\"\"B\"+DDD yy", compiled).code(), 0);
  EXPECT_EQ(compiled, std::string("A\"B\x01\x03\x03\x02", 7));
  EXPECT_EQ(numb_pattern_text(compiled), "\"A\"\"B\" + DDD + YY");
  for (const char* bad : {"DDX", "\"open", "D-D", "\"a\x01\"", "", "+ +"}) {
    EXPECT_EQ(numb_compile(bad, compiled).code(), kBadPattern) << bad;
  }
}

TEST(CounterPattern, NextNumbers) {
  std::string pattern;
  ASSERT_EQ(numb_compile("YYYY+\"-\"+dddddd", pattern).code(), 0);
  std::uint32_t counter = 0;
  std::uint16_t year = 2024;
  EXPECT_EQ(numb_next(pattern, counter, year, 2024), "2024-000001");
  EXPECT_EQ(numb_next(pattern, counter, year, 2024), "2024-000002");
  // The first number of a new year starts again at 1.
  EXPECT_EQ(numb_next(pattern, counter, year, 2025), "2025-000001");
  EXPECT_EQ(year, 2025);
  EXPECT_EQ(counter, 1u);

  // A number wider than its element is written whole; a plain counter
  // does not restart; years cut or padded.
  ASSERT_EQ(numb_compile("DDD YY YYYYYY", pattern).code(), 0);
  counter = 999;
  year = 2025;
  EXPECT_EQ(numb_next(pattern, counter, year, 2026), "100026002026");
  EXPECT_EQ(counter, 1000u);
  // The last number there is; after it nothing, and the counter stays.
  ASSERT_EQ(numb_compile("D", pattern).code(), 0);
  counter = 4294967294u;
  EXPECT_EQ(numb_next(pattern, counter, year, 2026), "4294967295");
  EXPECT_EQ(numb_next(pattern, counter, year, 2026), std::nullopt);
  EXPECT_EQ(counter, 4294967295u);
  // A damaged pattern (an element without its width) is written as far as
  // it goes.
  EXPECT_EQ(numb_pattern_text(std::string("\x01\x02\x01", 3)), "DD");
  // Two counter elements take two numbers.
  ASSERT_EQ(numb_compile("D\"/\"D", pattern).code(), 0);
  counter = 4;
  EXPECT_EQ(numb_next(pattern, counter, year, 2026), "5/6");
}

class CounterStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("counters");
    messages_ = std::tmpfile();
    dbm_ = std::make_unique<dbm::Dbm>(fs_, messages_);
    ASSERT_EQ(dbm_->initialize("A", dir_ + "/a").code(), 0);
    ASSERT_EQ(dbm_->open("A", dir_ + "/a", 'U').code(), 0);
    dbm::FileSpec counters;
    counters.file = 10;
    counters.kind = 'D';
    counters.key_length = static_cast<int>(kCounterKeyLength);
    counters.length = 200;
    ASSERT_EQ(dbm_->create("A", counters).code(), 0);
    store_ = std::make_unique<CounterStore>(*dbm_, "A", 10);
  }
  void TearDown() override {
    store_.reset();
    dbm_.reset();
    std::fclose(messages_);
    std::filesystem::remove_all(dir_);
  }
  Counter counter(const std::string& name, const std::string& text, std::uint32_t number) {
    Counter c;
    c.name = name;
    c.number = number;
    c.year = 2026;
    EXPECT_EQ(numb_compile(text, c.pattern).code(), 0);
    return c;
  }
  dbm::PosixFileSystem fs_;
  std::string dir_;
  std::FILE* messages_ = nullptr;
  std::unique_ptr<dbm::Dbm> dbm_;
  std::unique_ptr<CounterStore> store_;
};

TEST_F(CounterStoreTest, InsertReadWalkAndDelete) {
  ASSERT_EQ(store_->insert(2, 1, counter("B", "DDD", 5)).code(), 0);
  ASSERT_EQ(store_->insert(2, 1, counter("A", "DDD", 7)).code(), 0);
  ASSERT_EQ(store_->insert(2, 2, counter("C", "DDD", 1)).code(), 0);
  ASSERT_EQ(store_->insert(3, 1, counter("D", "DDD", 1)).code(), 0);
  EXPECT_EQ(store_->insert(2, 1, counter("A", "D", 0)).code(), -232);
  Counter c;
  EXPECT_EQ(store_->read(2, 1, "Z", c).code(), 1);
  ASSERT_EQ(store_->read(2, 1, "A", c).code(), 0);
  EXPECT_EQ(c.number, 7u);
  std::string names;
  ASSERT_EQ(store_
                ->walk(2, 1,
                       [&](const Counter& x) {
                         names += x.name + ",";
                         return ResultCode(0);
                       })
                .code(),
            0);
  EXPECT_EQ(names, "A,B,");  // group 2 and file 3 are not walked
  c.number = 9;
  ASSERT_EQ(store_->update(2, 1, c).code(), 0);
  ASSERT_EQ(store_->read(2, 1, "A", c).code(), 0);
  EXPECT_EQ(c.number, 9u);
  ASSERT_EQ(store_->remove(2, 1, "A").code(), 0);
  EXPECT_EQ(store_->read(2, 1, "A", c).code(), 1);
}

TEST_F(CounterStoreTest, NumberingOfARecord) {
  ASSERT_EQ(store_->insert(2, 1, counter("ZBCOPY", "\"ZB\"DDDD", 41)).code(), 0);
  dict::TagDef tag;
  tag.tag = "200";
  dict::AutonumDef numbering;
  numbering.number = 1;
  numbering.file = 10;
  numbering.tag_def = &tag;
  dict::FileDef file;
  file.number = 2;
  file.autonums.push_back(&numbering);
  dict::AppPoolDef pool;
  pool.name = "A";

  auto record = [](RecordHandle& h, std::initializer_list<const char*> values) {
    RecordBuilder b;
    for (const char* v : values) {
      b.field("200", "");
      b.text(v);
    }
    rec_init(h, 4096, kExternalForm);
    ASSERT_EQ(b.build(h).code(), 0);
  };
  auto texts = [](RecordHandle& h) {
    std::string out;
    FieldDesc f;
    for (ResultCode rc = fld_first(h, f); rc.code() == 0; rc = fld_next(h, f))
      out += std::string(f.content()) + "|";
    return out;
  };
  RecordHandle h;
  // Check mode shows the number and leaves the counter.
  record(h, {"ZBCOPY"});
  ASSERT_EQ(numb_apply(*dbm_, pool, file, h, 'C', 2026).code(), 0);
  EXPECT_EQ(texts(h), "ZB0042|");
  record(h, {"ZBCOPY    ", "NOCOUNTER", "ZBCOPY", "ZBCOPY-TOO-LONG"});
  ASSERT_EQ(numb_apply(*dbm_, pool, file, h, 'N', 2026).code(), 0);
  EXPECT_EQ(texts(h), "ZB0042|NOCOUNTER|ZB0043|ZBCOPY-TOO-LONG|");
  Counter c;
  ASSERT_EQ(store_->read(2, 1, "ZBCOPY", c).code(), 0);
  EXPECT_EQ(c.number, 43u);
}

}  // namespace
}  // namespace corvanta::records
