#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "dbm/codes.h"
#include "dbm/pool.h"
#include "scratch_dir.h"

namespace corvanta::dbm {
namespace {

// A pool with one file (number 1) whose blocks the tests get, put and free.
class BuffersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("buf");
    path_ = dir_ + "/a";
    ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void open(char policy = ' ') {
    pool_ = std::make_unique<Pool>(fs_, "A", path_);
    ASSERT_EQ(pool_->open(kModeUpdate, policy).code(), 0);
    FileDescriptor d;
    d.file = 1;
    d.role = kRoleNormal;
    ASSERT_EQ(pool_->add_file(d).code(), 0);
    fd_ = pool_->file(1);
  }

  // Takes a new data block, marks it with `tag` and puts it.
  std::uint32_t new_block(unsigned char tag) {
    Frame f;
    EXPECT_EQ(pool_->data_buffers.make_new(*pool_, *fd_, f).code(), 0);
    f.data()[0] = tag;
    f.count = 1;
    f.free = 2000;
    EXPECT_EQ(pool_->data_buffers.put(*pool_, *fd_, 0, f.block, f).code(), 0);
    return f.block;
  }

  unsigned char on_disk(std::uint32_t block, std::size_t offset) {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(block * 2048 + offset));
    return static_cast<unsigned char>(in.get());
  }

  std::string dir_, path_;
  PosixFileSystem fs_;
  std::unique_ptr<Pool> pool_;
  FileDescriptor* fd_ = nullptr;
};

TEST_F(BuffersTest, RingHitsAndReplacementOrder) {
  open();
  std::vector<std::uint32_t> blocks;
  for (int i = 0; i < 11; ++i) blocks.push_back(new_block(static_cast<unsigned char>(i)));
  ASSERT_EQ(pool_->close().code(), 0);

  open();
  BufferPool& ring = pool_->data_buffers;
  Frame f;
  ASSERT_EQ(ring.get(*pool_, *fd_, 0, blocks[0], f).code(), 0);
  ASSERT_EQ(ring.get(*pool_, *fd_, 0, blocks[0], f).code(), 0);
  EXPECT_EQ(ring.stats().reads, 1u);  // the second get found the block in the ring
  EXPECT_EQ(ring.stats().hits, 1u);
  for (int i = 1; i < 10; ++i) ASSERT_EQ(ring.get(*pool_, *fd_, 0, blocks[i], f).code(), 0);
  const auto held = ring.blocks();
  EXPECT_NE(std::find(held.begin(), held.end(), blocks[0]), held.end());
  ASSERT_EQ(ring.get(*pool_, *fd_, 0, blocks[10], f).code(), 0);  // the eleventh evicts the first
  const auto after = ring.blocks();
  EXPECT_EQ(std::find(after.begin(), after.end(), blocks[0]), after.end());
  EXPECT_EQ(f.data()[0], 10);
  EXPECT_EQ(ring.stats().reads, 11u);
}

TEST_F(BuffersTest, BlockNumbersOutsideThePoolAreRefused) {
  open();
  Frame f;
  EXPECT_EQ(pool_->data_buffers.get(*pool_, *fd_, 0, 23, f).code(), kBadBlockNumber);
  EXPECT_EQ(pool_->data_buffers.get(*pool_, *fd_, 0, pool_->header.last + 1, f).code(), kBadBlockNumber);
  EXPECT_EQ(pool_->data_buffers.stats().reads, 0u);
  EXPECT_EQ(pool_->buffers('X'), nullptr);
}

TEST_F(BuffersTest, DeferredWritesReachTheDiskAtClose) {
  open('W');
  const std::uint32_t b = new_block(0x5A);
  EXPECT_EQ(on_disk(b, 20), 0);  // still in memory
  ASSERT_EQ(pool_->data_buffers.flush(*pool_).code(), 0);
  EXPECT_EQ(on_disk(b, 20), 0x5A);

  Frame f;
  ASSERT_EQ(pool_->data_buffers.get(*pool_, *fd_, 0, b, f).code(), 0);
  f.data()[0] = 0x77;
  ASSERT_EQ(pool_->data_buffers.put(*pool_, *fd_, 0, b, f).code(), 0);
  EXPECT_EQ(on_disk(b, 20), 0x5A);
  // A freed block reaches the disk at once.
  const std::uint32_t other = new_block(0x33);
  ASSERT_EQ(pool_->data_buffers.flush(*pool_).code(), 0);
  ASSERT_EQ(pool_->data_buffers.get(*pool_, *fd_, 0, other, f).code(), 0);
  ASSERT_EQ(pool_->data_buffers.release(*pool_, *fd_, 0, other, f).code(), 0);
  EXPECT_EQ(on_disk(other, 20), 0);
  EXPECT_EQ(on_disk(other, 5), 0);  // file number cleared
  ASSERT_EQ(pool_->close().code(), 0);
  EXPECT_EQ(on_disk(b, 20), 0x77);
}

TEST_F(BuffersTest, FreedBlocksAreReusedAndNewBlocksExtendThePool) {
  open();
  const std::uint32_t a = new_block(1);
  const std::uint32_t b = new_block(2);
  EXPECT_EQ(a, 24u);
  EXPECT_EQ(b, 25u);
  Frame f;
  ASSERT_EQ(pool_->data_buffers.get(*pool_, *fd_, 0, a, f).code(), 0);
  ASSERT_EQ(pool_->data_buffers.release(*pool_, *fd_, 0, a, f).code(), 0);
  EXPECT_EQ(f.block, 0u);
  EXPECT_EQ(pool_->header.chain, a);
  Frame n;
  ASSERT_EQ(pool_->data_buffers.make_new(*pool_, *fd_, n).code(), 0);
  EXPECT_EQ(n.block, a);
  EXPECT_EQ(n.link, 0u);
  EXPECT_EQ(n.data()[0], 0);
  EXPECT_EQ(pool_->header.chain, 0u);

  // Blocks up to LAST are handed out; the next one extends by 8.
  while (pool_->header.free < pool_->header.last) new_block(3);
  EXPECT_EQ(pool_->header.last, 31u);
  new_block(4);
  EXPECT_EQ(pool_->header.last, 39u);
  ASSERT_EQ(pool_->close().code(), 0);
  EXPECT_EQ(std::filesystem::file_size(path_), 40u * 2048u);
}

// Blocks freed through the index ring, taken and freed again through the
// data ring: the index ring holds no older copy of them to take the free
// chain from, nor one that hides what the data ring wrote.
TEST_F(BuffersTest, ABlockLivesInOneRingAtATime) {
  for (const char policy : {' ', 'W'}) {
    SCOPED_TRACE(policy);
    ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
    open(policy);
    BufferPool& index = pool_->index_buffers;
    BufferPool& data = pool_->data_buffers;
    const std::uint32_t a = new_block(1);
    const std::uint32_t b = new_block(2);
    Frame f;
    for (const std::uint32_t block : {b, a}) {
      ASSERT_EQ(index.get(*pool_, *fd_, 0, block, f).code(), 0);
      ASSERT_EQ(index.release(*pool_, *fd_, 0, block, f).code(), 0);
    }
    ASSERT_EQ(pool_->header.chain, a);  // a, b
    EXPECT_EQ(new_block(3), a);
    EXPECT_EQ(new_block(4), b);
    ASSERT_EQ(pool_->header.chain, 0u);
    ASSERT_EQ(index.get(*pool_, *fd_, 0, b, f).code(), 0);
    EXPECT_EQ(f.data()[0], 4);
    ASSERT_EQ(data.get(*pool_, *fd_, 0, a, f).code(), 0);
    ASSERT_EQ(data.release(*pool_, *fd_, 0, a, f).code(), 0);
    ASSERT_EQ(pool_->header.chain, a);  // a alone: b is in use
    Frame n;
    ASSERT_EQ(index.make_new(*pool_, *fd_, n).code(), 0);
    EXPECT_EQ(n.block, a);
    EXPECT_EQ(pool_->header.chain, 0u);
    // A block the data ring holds unwritten is read by the index ring as
    // the data ring left it.
    ASSERT_EQ(data.get(*pool_, *fd_, 0, b, f).code(), 0);
    f.data()[0] = 5;
    ASSERT_EQ(data.put(*pool_, *fd_, 0, b, f).code(), 0);
    ASSERT_EQ(index.get(*pool_, *fd_, 0, b, f).code(), 0);
    EXPECT_EQ(f.data()[0], 5);
    ASSERT_EQ(pool_->close().code(), 0);
  }
}

TEST_F(BuffersTest, ForeignBlocksAndDamagedChains) {
  open();
  const std::uint32_t b = new_block(1);
  fd_->fill_block = b;
  fd_->fill_free = 100;
  FileDescriptor other;
  other.file = 2;
  other.fill_block = b;
  other.fill_free = 100;
  Frame f;
  EXPECT_EQ(pool_->data_buffers.get(*pool_, other, 0, b, f).code(), kWrongBlock);
  EXPECT_EQ(other.fill_block, 0u);
  EXPECT_EQ(pool_->data_buffers.get(*pool_, *fd_, 1, b, f).code(), kWrongBlock);
  ASSERT_EQ(pool_->data_buffers.get(*pool_, *fd_, 0, b, f).code(), 0);
  f.free = -1;
  EXPECT_EQ(pool_->data_buffers.put(*pool_, *fd_, 0, b, f).code(), kNegativeFree);
  // CHAIN naming a block in use.
  pool_->header.chain = b;
  Frame n;
  EXPECT_EQ(pool_->data_buffers.make_new(*pool_, *fd_, n).code(), kBadFreeChain);
  EXPECT_EQ(pool_->header.chain, 0u);
}

TEST_F(BuffersTest, FillBlockFollowsTheRoomiestBlock) {
  open();
  Frame f;
  ASSERT_EQ(pool_->data_buffers.make_new(*pool_, *fd_, f).code(), 0);
  f.free = 500;
  f.count = 3;
  ASSERT_EQ(pool_->data_buffers.put(*pool_, *fd_, 0, f.block, f).code(), 0);
  EXPECT_EQ(fd_->fill_block, f.block);
  EXPECT_EQ(fd_->fill_free, 500);
  Frame g;
  ASSERT_EQ(pool_->data_buffers.make_new(*pool_, *fd_, g).code(), 0);
  g.free = 300;
  g.count = 1;
  ASSERT_EQ(pool_->data_buffers.put(*pool_, *fd_, 0, g.block, g).code(), 0);
  EXPECT_EQ(fd_->fill_block, f.block);  // the roomier block stays
  f.free = 100;
  ASSERT_EQ(pool_->data_buffers.put(*pool_, *fd_, 0, f.block, f).code(), 0);
  EXPECT_EQ(fd_->fill_block, f.block);  // it is the fill block: its new room counts
  EXPECT_EQ(fd_->fill_free, 100);
  ASSERT_EQ(pool_->data_buffers.get(*pool_, *fd_, 0, g.block, g).code(), 0);
  EXPECT_EQ(fd_->fill_block, g.block);
  EXPECT_EQ(fd_->fill_free, 300);
}

// Every I/O call of a session fails in turn: the operation ends with a code
// and the pool can still be opened in check mode afterwards.
TEST_F(BuffersTest, InjectedFailuresEndInCodes) {
  for (std::uint64_t n = 1;; ++n) {
    std::filesystem::remove(path_);
    ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
    FaultFileSystem faulty(fs_);
    faulty.fail_call(n, n % 2 == 0);
    ResultCode rc = 0;
    {
      Pool pool(faulty, "A", path_);
      rc = pool.open(kModeUpdate);
      if (rc.ok()) {
        FileDescriptor d;
        d.file = 1;
        rc = pool.add_file(d);
        FileDescriptor* fd = pool.file(1);
        for (int i = 0; rc.ok() && i < 12; ++i) {
          Frame f;
          rc = pool.data_buffers.make_new(pool, *fd, f);
          f.count = 1;
          f.free = 10;
          if (rc.ok()) rc = pool.data_buffers.put(pool, *fd, 0, f.block, f);
        }
        const ResultCode closed = pool.close();
        if (rc.ok()) rc = closed;
      }
    }
    if (!faulty.failed()) break;  // the session ran past every call
    EXPECT_TRUE(rc.failed()) << "call " << n;
    const std::int32_t code = rc.code();
    EXPECT_TRUE(code == kReadError || code == kWriteError || code == kCannotOpen || code == kCannotExtend ||
                code == kCannotClose)
        << "call " << n << " gave " << code;
    Pool check(fs_, "A", path_);
    EXPECT_EQ(check.open(kModeCheck).code(), 0) << "call " << n;
    (void)check.close();
  }
}

}  // namespace
}  // namespace corvanta::dbm
