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

// The copy is made anew: a link found under its name is replaced, and the
// file it pointed to keeps its content.
TEST_F(SaveSetTest, ACopyReplacesALinkInsteadOfWritingThroughIt) {
  std::ofstream(dir_ + "/precious") << "keep me";
  std::filesystem::create_symlink(dir_ + "/precious", dir_ + "/DDA.S00.new");
  std::filesystem::create_symlink(dir_ + "/nowhere", dir_ + "/DDA.S01.new");
  std::uint32_t crc = 0;
  ASSERT_EQ(copy_extent(fs_, dir_ + "/a", dir_ + "/DDA.S00.new", std::nullopt, crc).code(), 0);
  ASSERT_EQ(copy_extent(fs_, dir_ + "/a", dir_ + "/DDA.S01.new", std::nullopt, crc).code(), 0);
  EXPECT_EQ(read(dir_ + "/precious"), "keep me");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/nowhere"));
  EXPECT_FALSE(std::filesystem::is_symlink(dir_ + "/DDA.S00.new"));
  EXPECT_EQ(read(dir_ + "/DDA.S00.new"), original_);
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

// A save set of two files written the way SAVE writes one, stopped after
// each of its steps: settling then leaves either the old set or the new
// one, whole, never a mixture.
TEST_F(SaveSetTest, AnInterruptedSaveIsSettledToOneWholeSet) {
  const auto set_of = [&](const std::string& s0, const std::string& s1) {
    SaveId id;
    id.pool = "A";
    id.when = "12/07/2026 10:00:00";
    id.extents = 1;
    id.crcs = {crc_of(s0), crc_of(s1)};
    return id;
  };
  const std::string old0 = "old base " + original_, old1 = "old extent";
  const std::string new0 = "new base " + original_, new1 = "new extent, longer";
  for (int steps = 0; steps <= 5; ++steps) {
    SCOPED_TRACE("steps done " + std::to_string(steps));
    // The old set, in place.
    write(pending_path(save_copy_path(dir_, "A", 0)), old0);
    write(pending_path(save_copy_path(dir_, "A", 1)), old1);
    ASSERT_EQ(write_pending_id(fs_, dir_, "A", set_of(old0, old1)).code(), 0);
    ASSERT_EQ(commit_save_set(fs_, dir_, "A", 1, true).code(), 0);
    // The new one, as far as it got: copies, identification, renames.
    if (steps >= 1) write(pending_path(save_copy_path(dir_, "A", 0)), new0);
    if (steps >= 2) write(pending_path(save_copy_path(dir_, "A", 1)), new1);
    if (steps == 3) {  // the identification cut short
      write(pending_path(save_id_path(dir_, "A")), "A\0\0\0\0");
    }
    if (steps >= 4) {
      ASSERT_EQ(write_pending_id(fs_, dir_, "A", set_of(new0, new1)).code(), 0);
    }
    if (steps >= 5) {
      ASSERT_TRUE(fs_.rename(pending_path(save_copy_path(dir_, "A", 0)), save_copy_path(dir_, "A", 0)));
    }

    ASSERT_EQ(settle_save_set(fs_, dir_, "A").code(), 0);
    const bool committed = steps >= 4;
    EXPECT_EQ(read(save_copy_path(dir_, "A", 0)), committed ? new0 : old0);
    EXPECT_EQ(read(save_copy_path(dir_, "A", 1)), committed ? new1 : old1);
    std::vector<unsigned char> id;
    ASSERT_TRUE(read_whole_file(fs_, save_id_path(dir_, "A"), id));
    ASSERT_EQ(id.size(), kSaveIdHeaderSize + 8);
    EXPECT_EQ(id[kSaveIdHeaderSize + 3], static_cast<unsigned char>(crc_of(committed ? new0 : old0)));
    for (const std::string& name :
         {save_id_path(dir_, "A"), save_copy_path(dir_, "A", 0), save_copy_path(dir_, "A", 1)})
      EXPECT_FALSE(std::filesystem::exists(pending_path(name))) << name;
  }
}

}  // namespace
}  // namespace corvanta::dbm
