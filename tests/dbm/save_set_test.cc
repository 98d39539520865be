#include "dbm/save_set.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "dbm/codes.h"
#include "scratch_dir.h"

namespace corvanta::dbm {
namespace {

class SaveSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("saveset");
    // Three blocks and a bit of distinct bytes.
    original_.resize(3 * 2048 + 100);
    for (std::size_t i = 0; i < original_.size(); ++i) original_[i] = static_cast<char>(i * 7 + i / 2048);
    write(dir_ + "/a", original_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string read(const std::string& path) { return corvanta::testing::read_file(path); }
  static std::uint32_t crc_of(const std::string& bytes) {
    return static_cast<std::uint32_t>(crc32(
        crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  }

  std::string dir_;
  std::string original_;
  PosixFileSystem fs_;
};

TEST_F(SaveSetTest, IdentificationLayoutAndNames) {
  SaveId id;
  id.pool = "LIBRA";  // cut to four characters
  id.when = "12/06/2026 21:30:28";
  id.extents = 2;
  const auto bytes = id.encode_header();
  ASSERT_EQ(bytes.size(), 26u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5), std::string("LIBR\0", 5));
  EXPECT_EQ(std::string(bytes.begin() + 5, bytes.begin() + 24), "12/06/2026 21:30:28");
  EXPECT_EQ(bytes[24], 0);
  EXPECT_EQ(bytes[25], 2);
  const auto back = SaveId::decode_header(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pool, "LIBR");
  EXPECT_EQ(back->when, id.when);
  EXPECT_EQ(back->extents, 2);
  EXPECT_FALSE(SaveId::decode_header(std::span(bytes.data(), 25)));

  EXPECT_EQ(save_id_path("/s", "A"), "/s/DDA.SID");
  EXPECT_EQ(save_copy_path("/s", "A", 1), "/s/DDA.S01");
  EXPECT_EQ(extent_file_path("/d/a", 0), "/d/a");
  EXPECT_EQ(extent_file_path("/d/a", 2), "/d/a.2");
}

TEST_F(SaveSetTest, CopyStampsTheSaveTimeAndSumsWhatItWrote) {
  std::uint32_t crc = 0;
  ASSERT_EQ(copy_extent(fs_, dir_ + "/a", dir_ + "/DDA.S00", 0x11223344u, crc).code(), 0);
  std::string expected = original_;
  expected.replace(48, 4, "\x11\x22\x33\x44");
  const std::string copy = read(dir_ + "/DDA.S00");
  EXPECT_EQ(copy, expected);
  EXPECT_EQ(crc, crc_of(expected));
  std::uint32_t again = 0;
  ASSERT_EQ(file_crc(fs_, dir_ + "/DDA.S00", again).code(), 0);
  EXPECT_EQ(again, crc);

  // An extent is copied unchanged.
  ASSERT_EQ(copy_extent(fs_, dir_ + "/a", dir_ + "/DDA.S01", std::nullopt, crc).code(), 0);
  EXPECT_EQ(read(dir_ + "/DDA.S01"), original_);
  EXPECT_EQ(file_crc(fs_, dir_ + "/missing", again).code(), kCannotOpenJournal);
  EXPECT_EQ(copy_extent(fs_, dir_ + "/missing", dir_ + "/x", std::nullopt, crc).code(), -13);
}

// Every call of the copy failing in turn, as a short write (full disk) or
// a plain failure: the copy reports an error each time, never success.
TEST_F(SaveSetTest, EveryInjectedFailureIsReported) {
  FaultFileSystem probe(fs_);
  std::uint32_t crc = 0;
  ASSERT_EQ(copy_extent(probe, dir_ + "/a", dir_ + "/c", std::nullopt, crc).code(), 0);
  const std::uint64_t calls = probe.calls();
  ASSERT_GT(calls, 6u);
  for (const bool short_write : {false, true}) {
    for (std::uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE("call " + std::to_string(n));
      FaultFileSystem faulty(fs_);
      faulty.fail_call(n, short_write);
      const ResultCode rc = copy_extent(faulty, dir_ + "/a", dir_ + "/c", std::nullopt, crc);
      // A failing close of the source is the only failure that loses nothing.
      if (rc.ok()) {
        EXPECT_EQ(read(dir_ + "/c"), original_);
      } else {
        EXPECT_TRUE(rc.code() == -13 || rc.code() == kReadError || rc.code() == kJournalFull) << rc.code();
      }
    }
  }
}

}  // namespace
}  // namespace corvanta::dbm
