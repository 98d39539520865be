// The set files byte for byte, their numbering cycle, and what damaged or
// failing files do: a clear code, never a wrong set.
#include "search/result_sets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "scratch_dir.h"
#include "util/big_endian.h"

namespace corvanta::records {
namespace {

using corvanta::testing::make_scratch_dir;
using corvanta::testing::read_file;

class ResultSetsTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_scratch_dir("result_sets"); }
  void TearDown() override {
    files_.close();
    std::filesystem::remove_all(dir_);
  }
  std::string base() const { return dir_ + "/sets"; }

  ResultSet make(std::vector<std::uint32_t> hits, std::string query = "TIT=haus") {
    ResultSet set;
    set_prepare(set, "A", 1, 10000);
    set.hits = std::move(hits);
    set.query = std::move(query);
    return set;
  }

  std::string dir_;
  dbm::PosixFileSystem posix_;
  SetFiles files_{posix_};
};

std::uint32_t word(const std::string& bytes, std::size_t i) {
  return get_u32(reinterpret_cast<const unsigned char*>(bytes.data()) + 4 * i);
}

TEST_F(ResultSetsTest, StoredSetsHaveTheDocumentedLayout) {
  ASSERT_EQ(files_.open(base(), 5).code(), 0);  // h = 3: numbers 1-3 and 4-5
  EXPECT_EQ(read_file(base() + "1"), std::string(16, '\0'));
  EXPECT_EQ(read_file(base() + "2"), std::string(16, '\0'));

  ResultSet set = make({30, 20, 7});
  set.sort = {1, 2, 0};
  set.direction = 'D';
  ASSERT_EQ(files_.store(set).code(), 0);
  EXPECT_EQ(set.number, 1u);
  const std::string first = read_file(base() + "1");
  ASSERT_EQ(first.size(), 16u + 287 + 12);
  EXPECT_EQ(word(first, 0), 1u);   // last number issued
  EXPECT_EQ(word(first, 1), 16u);  // set 1 right after the directory
  const std::string stored = first.substr(16);
  EXPECT_EQ(stored.substr(0, 12), std::string("A") + std::string(11, '\0'));
  EXPECT_EQ(get_u16(reinterpret_cast<const unsigned char*>(stored.data()) + 12), 1);
  EXPECT_EQ(word(stored.substr(14), 0), 1u);      // set number
  EXPECT_EQ(word(stored.substr(18), 0), 10000u);  // capacity
  EXPECT_EQ(word(stored.substr(22), 0), 3u);      // hits
  EXPECT_EQ(stored.substr(26, 7), std::string("\0\1\0\2\0\0D", 7));
  EXPECT_EQ(stored.substr(33, 9), std::string("TIT=haus\0", 9));
  EXPECT_EQ(stored.substr(284, 3), std::string(3, '\0'));
  std::uint32_t idns[3];
  std::memcpy(idns, stored.data() + 287, 12);  // the machine's byte order
  EXPECT_EQ(idns[0], 30u);
  EXPECT_EQ(idns[2], 7u);

  // An empty set: capacity and count 0, no IDN words.
  ResultSet empty;
  set_prepare(empty, "A", 1, 0);
  ASSERT_EQ(files_.store(empty).code(), 0);
  EXPECT_EQ(read_file(base() + "1").size(), 16u + 287 + 12 + 287);

  ResultSet back;
  ASSERT_EQ(files_.load(1, back).code(), 0);
  EXPECT_EQ(back.hits, set.hits);
  EXPECT_EQ(back.query, "TIT=haus");
  EXPECT_EQ(back.direction, 'D');
  EXPECT_EQ(back.sort[1], 2);
  ASSERT_EQ(files_.load(2, back).code(), 0);
  EXPECT_TRUE(back.hits.empty());

  // Another run finds them, and goes on numbering.
  files_.close();
  ASSERT_EQ(files_.open(base(), 5).code(), 0);
  ASSERT_EQ(files_.load(1, back).code(), 0);
  EXPECT_EQ(back.hits.size(), 3u);
  ResultSet next = make({1});
  ASSERT_EQ(files_.store(next).code(), 0);
  EXPECT_EQ(next.number, 3u);
}

TEST_F(ResultSetsTest, NumbersCycleAndEmptyAHalfOnEntering) {
  ASSERT_EQ(files_.open(base(), 5).code(), 0);
  for (std::uint32_t n = 1; n <= 5; ++n) {
    ResultSet set = make({n});
    ASSERT_EQ(files_.store(set).code(), 0);
    ASSERT_EQ(set.number, n);
  }
  ResultSet set;
  ASSERT_EQ(files_.load(4, set).code(), 0);
  // After 5 the first file is emptied and numbering starts again.
  ResultSet again = make({99});
  ASSERT_EQ(files_.store(again).code(), 0);
  EXPECT_EQ(again.number, 1u);
  EXPECT_EQ(files_.load(2, set).code(), kSetInvalid);
  ASSERT_EQ(files_.load(5, set).code(), 0);
  // 2 and 3 follow; entering 4 empties the second file.
  for (std::uint32_t n = 2; n <= 3; ++n) {
    ResultSet s = make({n});
    ASSERT_EQ(files_.store(s).code(), 0);
  }
  ResultSet fourth = make({44});
  ASSERT_EQ(files_.store(fourth).code(), 0);
  EXPECT_EQ(fourth.number, 4u);
  EXPECT_EQ(files_.load(5, set).code(), kSetInvalid);
  EXPECT_EQ(read_file(base() + "2").size(), 16u + 287 + 4);
  // Re-storing a numbered set replaces it under its number; dropping forgets it.
  fourth.hits = {45, 46};
  ASSERT_EQ(files_.store(fourth).code(), 0);
  ASSERT_EQ(files_.load(4, set).code(), 0);
  EXPECT_EQ(set.hits.size(), 2u);
  ASSERT_EQ(files_.drop(4).code(), 0);
  EXPECT_EQ(files_.load(4, set).code(), kSetInvalid);
  EXPECT_EQ(files_.load(0, set).code(), kSetInvalid);
  EXPECT_EQ(files_.load(6, set).code(), kSetInvalid);
}

TEST_F(ResultSetsTest, DamagedFilesGiveCodesNotSets) {
  ASSERT_EQ(files_.open(base(), 5).code(), 0);
  ResultSet set = make({5, 4, 3});
  ASSERT_EQ(files_.store(set).code(), 0);
  files_.close();
  const std::string good = read_file(base() + "1");
  auto write = [&](const std::string& bytes) {
    std::ofstream(base() + "1", std::ios::binary | std::ios::trunc) << bytes;
  };
  auto load = [&] {
    files_.close();
    EXPECT_EQ(files_.open(base(), 5).code(), 0);
    ResultSet s;
    return files_.load(1, s).code();
  };
  // Cut short inside the IDNs, inside the header, or pointing past the end.
  write(good.substr(0, good.size() - 2));
  EXPECT_EQ(load(), kSetUnreadable);
  write(good.substr(0, 100));
  EXPECT_EQ(load(), kSetUnreadable);
  std::string bad = good;
  put_u32(reinterpret_cast<unsigned char*>(bad.data()) + 4, 0x7FFFFFF0);
  write(bad);
  EXPECT_EQ(load(), kSetUnreadable);
  // An offset into the directory, a count beyond the capacity, a count
  // beyond the file, another set's number.
  bad = good;
  put_u32(reinterpret_cast<unsigned char*>(bad.data()) + 4, 8);
  write(bad);
  EXPECT_EQ(load(), kSetUnreadable);
  bad = good;
  put_u32(reinterpret_cast<unsigned char*>(bad.data()) + 16 + 22, 20000);
  write(bad);
  EXPECT_EQ(load(), kSetUnreadable);
  bad = good;
  put_u32(reinterpret_cast<unsigned char*>(bad.data()) + 16 + 18, 0xFFFFFFFF);
  put_u32(reinterpret_cast<unsigned char*>(bad.data()) + 16 + 22, 0xFFFFFFF0);
  write(bad);
  EXPECT_EQ(load(), kSetUnreadable);
  bad = good;
  put_u32(reinterpret_cast<unsigned char*>(bad.data()) + 16 + 14, 2);
  write(bad);
  EXPECT_EQ(load(), kSetUnreadable);
  // Record numbers no record can have.
  for (const std::uint32_t idn : {0u, 0x1000000u}) {
    bad = good;
    std::memcpy(bad.data() + 16 + 287 + 4, &idn, 4);
    write(bad);
    EXPECT_EQ(load(), kSetUnreadable) << idn;
  }
  // A file shorter than its directory is made anew.
  write("xy");
  EXPECT_EQ(load(), kSetInvalid);
  EXPECT_EQ(read_file(base() + "1"), std::string(16, '\0'));
}

TEST_F(ResultSetsTest, FailingWritesAreReported) {
  // Every call in turn fails; the store reports it, and a later open of the
  // files never finds a set that points past its file.
  for (std::uint64_t n = 1; n < 30; ++n) {
    std::filesystem::remove(base() + "1");
    std::filesystem::remove(base() + "2");
    dbm::FaultFileSystem faults(posix_);
    SetFiles files(faults);
    ASSERT_EQ(files.open(base(), 5).code(), 0);
    ResultSet first = make({3, 2, 1});
    ASSERT_EQ(files.store(first).code(), 0);
    faults.fail_call(faults.calls() + n, n % 2 == 0);
    ResultSet set = make({9, 8});
    const ResultCode rc = files.store(set);
    const bool failed = faults.failed();
    files.close();
    if (failed) {
      EXPECT_TRUE(rc.failed()) << n;
    } else {
      EXPECT_EQ(rc.code(), 0) << n;
    }
    SetFiles reopened(posix_);
    ASSERT_EQ(reopened.open(base(), 5).code(), 0);
    ResultSet back;
    const ResultCode loaded = reopened.load(2, back);
    if (loaded.ok()) {
      EXPECT_EQ(back.hits, (IdnList{9, 8})) << n;
    } else {
      EXPECT_TRUE(loaded.code() == kSetInvalid || loaded.code() == kSetUnreadable) << n;
    }
    ASSERT_EQ(reopened.load(1, back).code(), 0) << n;
    EXPECT_EQ(back.hits, (IdnList{3, 2, 1}));
  }
}

TEST(IdnLists, CombineKeepsDescendingOrder) {
  IdnList a = {9, 3, 7, 3, 1};
  idl_sort_unique(a);
  EXPECT_EQ(a, (IdnList{9, 7, 3, 1}));
  const IdnList b = {8, 7, 1};
  IdnList out;
  idl_combine(out, a, b, 'A');
  EXPECT_EQ(out, (IdnList{7, 1}));
  idl_combine(out, a, b, 'O');
  EXPECT_EQ(out, (IdnList{9, 8, 7, 3, 1}));
  idl_combine(out, a, b, 'N');
  EXPECT_EQ(out, (IdnList{9, 3}));
  idl_combine(a, a, b, 'U');
  EXPECT_EQ(a, (IdnList{7, 1}));
}

}  // namespace
}  // namespace corvanta::records
