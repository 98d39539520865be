#include "dbm/pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "dbm/codes.h"
#include "scratch_dir.h"

namespace corvanta::dbm {
namespace {

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("pool");
    path_ = dir_ + "/a";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string bytes() const { return corvanta::testing::read_file(path_); }
  static std::uint32_t u32(const std::string& s, std::size_t at) {
    return (std::uint32_t{static_cast<unsigned char>(s[at])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(s[at + 1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(s[at + 2])} << 8) |
           std::uint32_t{static_cast<unsigned char>(s[at + 3])};
  }
  static unsigned u16(const std::string& s, std::size_t at) {
    return (unsigned{static_cast<unsigned char>(s[at])} << 8) |
           unsigned{static_cast<unsigned char>(s[at + 1])};
  }
  void patch(std::size_t offset, std::string_view bytes_to_write) {
    std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes_to_write.data(), static_cast<std::streamsize>(bytes_to_write.size()));
  }

  std::string dir_, path_;
  PosixFileSystem fs_;
};

TEST_F(PoolTest, NewPoolLayout) {
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  const std::string b = bytes();
  ASSERT_EQ(b.size(), 65536u);
  // Block 0: block header, then the pool header.
  EXPECT_EQ(u16(b, 6), 1988u);
  EXPECT_EQ(b[17], 1);
  EXPECT_EQ(b[19], 1);
  EXPECT_EQ(b[20], 0);    // OPEN
  EXPECT_EQ(b[21], 0);    // ERROR
  EXPECT_EQ(b[24], 'I');  // INIT
  EXPECT_EQ(u16(b, 26), 200u);
  EXPECT_EQ(u32(b, 28), 24u);  // FIRST
  EXPECT_EQ(u32(b, 32), 31u);  // LAST
  EXPECT_EQ(u32(b, 36), 24u);  // FREE
  EXPECT_EQ(u32(b, 40), 0u);   // CHAIN
  EXPECT_NE(u32(b, 52), 0u);   // INITIATED
  EXPECT_EQ(u16(b, 56), 0u);   // EXTENDS
  for (std::size_t i = 58; i < 2048; ++i) ASSERT_EQ(b[i], 0) << i;
  // Blocks 1 to 23: empty descriptor blocks.
  for (std::size_t blk = 1; blk <= 23; ++blk) {
    const std::size_t at = blk * 2048;
    EXPECT_EQ(u16(b, at + 6), 28u);
    EXPECT_EQ(b[at + 17], 2);
    EXPECT_EQ(b[at + 19], 50);
  }
  // Blocks 24 to 31: zero.
  EXPECT_EQ(b.find_first_not_of('\0', 24 * 2048), std::string::npos);
}

TEST_F(PoolTest, DescriptorSlots) {
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  Pool pool(fs_, "A", path_);
  ASSERT_EQ(pool.open(kModeUpdate).code(), 0);
  FileDescriptor d;
  d.file = 50;
  d.main = 7;
  d.role = kRoleSub;
  d.index_flags = kIndexFixed;
  d.data_flags = kDataList;
  d.start = 0x01020304;
  d.last = 0x0A0B0C0D;
  d.level = 3;
  d.index_length = 60;
  d.entry_data_length = 14;
  d.data_offset = 9;
  d.data_length = 1000;
  d.item_length = 4;
  d.fill_free = 2000;
  d.fill_block = 0x11223344;
  ASSERT_EQ(pool.add_file(d).code(), 0);
  d.file = 999;
  ASSERT_EQ(pool.add_file(d).code(), 0);
  ASSERT_EQ(pool.close().code(), 0);

  const std::string b = bytes();
  const std::size_t slot50 = 2 * 2048 + 20;
  EXPECT_EQ(u16(b, slot50), 50u);
  EXPECT_EQ(u16(b, slot50 + 2), 7u);
  EXPECT_EQ(static_cast<unsigned char>(b[slot50 + 4]), kRoleSub);
  EXPECT_EQ(b[slot50 + 6], kIndexFixed);
  EXPECT_EQ(b[slot50 + 7], kDataList);
  EXPECT_EQ(u32(b, slot50 + 8), 0x01020304u);
  EXPECT_EQ(u32(b, slot50 + 12), 0x0A0B0C0Du);
  EXPECT_EQ(u16(b, slot50 + 16), 3u);
  EXPECT_EQ(u16(b, slot50 + 20), 60u);
  EXPECT_EQ(u16(b, slot50 + 22), 14u);
  EXPECT_EQ(u16(b, slot50 + 24), 9u);
  EXPECT_EQ(u16(b, slot50 + 26), 1000u);
  EXPECT_EQ(u16(b, slot50 + 28), 4u);
  EXPECT_EQ(u16(b, slot50 + 30), 2000u);
  EXPECT_EQ(u32(b, slot50 + 32), 0x11223344u);
  EXPECT_EQ(u16(b, 20 * 2048 + 20 + 49 * 40), 999u);

  Pool again(fs_, "A", path_);
  ASSERT_EQ(again.open(kModeInquiry).code(), 0);
  ASSERT_NE(again.file(999), nullptr);
  EXPECT_EQ(again.file(999)->fill_block, 0x11223344u);
  EXPECT_EQ(again.file(51), nullptr);
  FileDescriptor out;
  EXPECT_EQ(again.read_descriptor(0, out).code(), kNoSuchFile);
  EXPECT_EQ(again.read_descriptor(1000, out).code(), kNoSuchFile);
  EXPECT_EQ(again.read_descriptor(51, out).code(), kNoSuchFile);
  ASSERT_EQ(again.close().code(), 0);
}

TEST_F(PoolTest, ExtentAddressing) {
  Extents ex(fs_);
  ASSERT_TRUE(ex.open_base(path_, OpenMode::Create));
  unsigned char last[2048];
  std::fill(std::begin(last), std::end(last), 0xAB);
  ASSERT_TRUE(ex.write_block(1048574, last, sizeof last));
  unsigned char first_of_1[2048];
  std::fill(std::begin(first_of_1), std::end(first_of_1), 0xCD);
  // An extent of a read-write pool is made when first reached.
  ASSERT_TRUE(ex.close_all());
  ASSERT_TRUE(ex.open_base(path_, OpenMode::ReadWrite));
  ASSERT_TRUE(ex.write_block(1048575, first_of_1, sizeof first_of_1));
  EXPECT_EQ(ex.count(), 1);
  EXPECT_EQ(ex.extent_size(0), 1048575LL * 2048);
  EXPECT_EQ(ex.extent_size(1), 2048);
  ASSERT_TRUE(ex.close_all());
  EXPECT_EQ(std::filesystem::file_size(path_ + ".1"), 2048u);
  std::ifstream one(path_ + ".1", std::ios::binary);
  EXPECT_EQ(one.get(), 0xCD);
  EXPECT_EQ(Extents::extent_path("x/base", 2), "x/base.2");
}

TEST_F(PoolTest, ReinitialisingRemovesExtentsAndRefusesForeignFiles) {
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  patch(56, std::string("\0\x02", 2));  // EXTENDS 2
  std::ofstream(path_ + ".1") << "x";
  std::ofstream(path_ + ".2") << "y";
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".1"));
  EXPECT_FALSE(std::filesystem::exists(path_ + ".2"));

  const std::string foreign = dir_ + "/letter.txt";
  std::ofstream(foreign) << std::string(5000, 'q');
  EXPECT_EQ(Pool::initialize(fs_, "B", foreign).code(), kWrongBlockType);
  EXPECT_EQ(std::filesystem::file_size(foreign), 5000u);
  const std::string empty = dir_ + "/empty";
  std::ofstream(empty).close();
  EXPECT_EQ(Pool::initialize(fs_, "C", empty).code(), kReadError);
}

TEST_F(PoolTest, OpenFlagKeepsOtherProcessesOut) {
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  {
    Pool pool(fs_, "A", path_);
    ASSERT_EQ(pool.open(kModeUpdate).code(), 0);
    EXPECT_EQ(bytes()[20], 'O');  // written at open in mode U
    // A second handle (another process) finds the pool open.
    for (char mode : {kModeRead, kModeUpdate, kModeInquiry}) {
      Pool other(fs_, "A", path_);
      EXPECT_EQ(other.open(mode).code(), kPoolInUse) << mode;
      EXPECT_FALSE(other.is_open());
    }
    ASSERT_EQ(pool.close().code(), 0);
  }
  EXPECT_EQ(bytes()[20], 0);
  EXPECT_NE(u32(bytes(), 44), 0u);  // CLOSED

  patch(20, "O");  // a process that ended without closing
  Pool check(fs_, "A", path_);
  ASSERT_EQ(check.open(kModeCheck).code(), 0);
  EXPECT_EQ(check.header.error, 'S');
  ASSERT_EQ(check.close().code(), 0);
  EXPECT_EQ(bytes()[20], 0);
  EXPECT_EQ(bytes()[21], 'S');

  // Mode R marks the pool open on disk too, so that a writer cut off
  // before its close is found out.
  Pool writer(fs_, "A", path_);
  ASSERT_EQ(writer.open(kModeRead).code(), 0);
  EXPECT_EQ(bytes()[20], 'O');
  ASSERT_EQ(writer.close().code(), 0);
  EXPECT_EQ(bytes()[20], 0);
}

// The lock on the base file keeps out what the OPEN flag cannot: a second
// handle while a writer in mode R or a check runs (the flag is not looked
// at in mode C, and mode I never writes it).
TEST_F(PoolTest, LocksKeepWritersApart) {
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  for (const char first : {kModeRead, kModeUpdate, kModeCheck}) {
    SCOPED_TRACE(first);
    Pool pool(fs_, "A", path_);
    ASSERT_EQ(pool.open(first).code(), 0);
    for (const char mode : {kModeRead, kModeUpdate, kModeCheck, kModeInquiry}) {
      Pool other(fs_, "A", path_);
      EXPECT_EQ(other.open(mode).code(), kPoolInUse) << mode;
      EXPECT_FALSE(other.is_open());
    }
    Pool saver(fs_, "A", path_);
    EXPECT_EQ(saver.lock(true).code(), kPoolInUse);
    EXPECT_EQ(Pool::initialize(fs_, "A", path_).code(), kPoolInUse);
    ASSERT_EQ(pool.close().code(), 0);
  }
  // Readers share the pool, and keep writers and the save commands out.
  Pool reader(fs_, "A", path_);
  Pool second(fs_, "A", path_);
  ASSERT_EQ(reader.open(kModeInquiry).code(), 0);
  ASSERT_EQ(second.open(kModeInquiry).code(), 0);
  Pool writer(fs_, "A", path_);
  EXPECT_EQ(writer.open(kModeRead).code(), kPoolInUse);
  EXPECT_EQ(writer.lock(true).code(), kPoolInUse);
  ASSERT_EQ(reader.close().code(), 0);
  ASSERT_EQ(second.close().code(), 0);
  ASSERT_EQ(writer.lock(true).code(), 0);
  EXPECT_EQ(reader.open(kModeInquiry).code(), kPoolInUse);
  writer.unlock();
  ASSERT_EQ(reader.open(kModeInquiry).code(), 0);
  ASSERT_EQ(reader.close().code(), 0);
  EXPECT_EQ(bytes()[20], 0);
}

TEST_F(PoolTest, DamagedHeadersAreRefused) {
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  struct Case {
    std::size_t offset;
    std::string bytes;
    std::int32_t code;
  };
  const std::string good = bytes();
  for (const Case& c :
       {Case{17, "\x04", kWrongBlockType}, Case{24, " ", kNotInitialised},
        Case{26, std::string("\0\x07", 2), kBadVersion}, Case{2048 + 17, "\x04", kWrongBlockType}}) {
    std::ofstream(path_, std::ios::binary) << good;
    patch(c.offset, c.bytes);
    Pool pool(fs_, "A", path_);
    EXPECT_EQ(pool.open(kModeRead).code(), c.code) << c.offset;
    EXPECT_FALSE(pool.is_open());
  }
  std::ofstream(path_, std::ios::binary) << good.substr(0, 1000);
  Pool truncated(fs_, "A", path_);
  EXPECT_EQ(truncated.open(kModeRead).code(), kReadError);
  Pool missing(fs_, "Z", dir_ + "/nothing");
  EXPECT_EQ(missing.open(kModeRead).code(), kCannotOpen);
}

TEST_F(PoolTest, CheckRepairsLastAndFreeAndMarksDamage) {
  ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  // Blocks written past LAST (by a process that died) and a block in use
  // above FREE.
  {
    std::ofstream f(path_, std::ios::binary | std::ios::app);
    f << std::string(2 * 2048, '\0');
  }
  patch(26 * 2048 + 4, std::string("\0\x05", 2));  // block 26 belongs to file 5
  Pool pool(fs_, "A", path_);
  ASSERT_EQ(pool.open(kModeCheck).code(), 0);
  EXPECT_EQ(pool.header.last, 33u);
  EXPECT_EQ(pool.header.free, 27u);
  EXPECT_EQ(pool.header.error, 0);
  ASSERT_EQ(pool.close().code(), 0);

  // A free chain that loops through blocks in use.
  patch(24 * 2048, std::string("\0\0\0\x19\0\x01", 6));  // 24 -> 25, file 1
  patch(25 * 2048, std::string("\0\0\0\x18\0\x01", 6));  // 25 -> 24, file 1
  patch(40, std::string("\0\0\0\x18", 4));               // CHAIN 24
  Pool looping(fs_, "A", path_);
  ASSERT_EQ(looping.open(kModeCheck).code(), 0);
  EXPECT_EQ(looping.header.error, 'E');
  ASSERT_EQ(looping.close().code(), 0);
  Pool refused(fs_, "A", path_);
  EXPECT_EQ(refused.open(kModeUpdate).code(), kPoolDamaged);
  Pool reader(fs_, "A", path_);
  EXPECT_EQ(reader.open(kModeRead).code(), 0);
}

TEST_F(PoolTest, Listings) {
  PoolHeader h;
  h.version = 200;
  h.init = 'I';
  h.first = 24;
  h.last = 31;
  h.free = 24;
  EXPECT_EQ(
      format_header("A", h),
      "POOL=A\nVERSION=200, INIT=I, OPEN= , ERROR= , EXTENDS=0\nFIRST=24, LAST=31, FREE=24, CHAIN=0\n"
      "INITIATED 00.00.0000 - 00:00:00\nCLOSED    00.00.0000 - 00:00:00\nSAVED     00.00.0000 - 00:00:00\n");
  FileDescriptor d;
  d.file = 7;
  d.main = 3;
  d.role = kRoleSub;
  d.data_flags = kDataList;
  d.index_flags = kIndexFixed;
  d.index_length = 8;
  d.entry_data_length = 9;
  d.data_length = 0;
  d.item_length = 4;
  EXPECT_EQ(format_descriptor(d),
            "FILE=007, TYPE=LIST:SUBFILE, MAIN=003\nINDEXLEN=08:FIX, INDEXDAT=04, LEVEL=0, START=0, LAST=0\n"
            "DATALEN=0, ITEMLEN=04\n");
  d.role = kRoleMain;
  d.data_flags = kDataData | kDataVariable;
  d.index_flags = kIndexRecord | kIndexFixed;
  EXPECT_EQ(format_descriptor(d).substr(0, 36), "FILE=007, TYPE=RECORD:MAINFILE, MAIN");
}

}  // namespace
}  // namespace corvanta::dbm
