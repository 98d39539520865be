#include "dbm/index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "dbm/codes.h"
#include "scratch_dir.h"

namespace corvanta::dbm {
namespace {

using Bytes = std::vector<unsigned char>;

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("idx");
    path_ = dir_ + "/a";
    ASSERT_EQ(Pool::initialize(fs_, "A", path_).code(), 0);
    pool_ = std::make_unique<Pool>(fs_, "A", path_);
    ASSERT_EQ(pool_->open(kModeUpdate).code(), 0);
  }
  void TearDown() override {
    if (pool_ && pool_->is_open()) {
      EXPECT_EQ(pool_->close().code(), 0);
    }
    std::filesystem::remove_all(dir_);
  }

  // A normal file with keys of k bytes and d bytes of entry data.
  FileDescriptor& normal_file(int n, std::uint16_t k, std::uint16_t d, bool record = false) {
    FileDescriptor fd;
    fd.file = static_cast<std::uint16_t>(n);
    fd.role = kRoleNormal;
    fd.index_flags = static_cast<std::uint8_t>(kIndexFixed | (record ? kIndexRecord : 0));
    fd.data_flags = kDataFixed;
    fd.index_length = k;
    fd.entry_data_length = d;
    EXPECT_EQ(pool_->add_file(fd).code(), 0);
    FileDescriptor& f = *pool_->file(n);
    Index index(*pool_, f);
    EXPECT_EQ(index.create().code(), 0);
    return f;
  }

  std::string dir_, path_;
  PosixFileSystem fs_;
  std::unique_ptr<Pool> pool_;
};

Bytes key_of(std::uint32_t v, std::size_t k) {
  Bytes key(k, 0);
  for (std::size_t i = 0; i < 4 && i < k; ++i) key[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
  for (std::size_t i = 4; i < k; ++i) key[i] = static_cast<unsigned char>((v * 31 + i) & 0x7F);
  return key;
}

Bytes data_of(std::uint32_t v, std::size_t d) {
  Bytes data(d, 0);
  for (std::size_t i = 0; i < d; ++i) data[i] = static_cast<unsigned char>((v >> (i % 4 * 8)) + i);
  if (d > 0) data[0] |= 1;  // never all zero
  return data;
}

TEST_F(IndexTest, FreshIndexHoldsOnlyTheSentinel) {
  FileDescriptor& f = normal_file(1, 4, 5);
  Index index(*pool_, f);
  KeyCursor c;
  EXPECT_EQ(index.find(c, key_of(7, 4).data()).code(), kAbsent);
  EXPECT_EQ(index.next(c).code(), kEnd);
  EXPECT_EQ(index.first(c).code(), kAbsent);
  EXPECT_EQ(f.level, 0);
  const Bytes sentinel(4, 0xFF);
  EXPECT_EQ(index.insert(c, sentinel.data(), data_of(1, 5).data()).code(), 0);  // fills the sentinel's part
  EXPECT_EQ(index.insert(c, sentinel.data(), data_of(1, 5).data()).code(), kIndexInconsistent);
}

TEST_F(IndexTest, LoadModeFillsLeavesAndInsertModeHalvesThem) {
  FileDescriptor& loaded = normal_file(1, 4, 4);
  FileDescriptor& inserted = normal_file(2, 4, 4);
  KeyCursor c;
  for (std::uint32_t i = 1; i <= 600; ++i) {
    ASSERT_EQ(Index(*pool_, loaded).insert(c, key_of(i, 4).data(), data_of(i, 4).data(), 'L').code(), 0);
    ASSERT_EQ(Index(*pool_, inserted).insert(c, key_of(i, 4).data(), data_of(i, 4).data()).code(), 0);
  }
  // 8-byte entries: 253 fit a block. A leaf fills up to the last slot; its
  // split in load mode moves only the high entry on, so 252 stay behind.
  Frame leaf;
  Index load(*pool_, loaded);
  ASSERT_EQ(load.first(c).code(), 0);
  ASSERT_EQ(pool_->index_buffers.get(*pool_, loaded, 1, c.leaf, leaf).code(), 0);
  EXPECT_EQ(leaf.count, 252);
  Index half(*pool_, inserted);
  ASSERT_EQ(half.first(c).code(), 0);
  ASSERT_EQ(pool_->index_buffers.get(*pool_, inserted, 1, c.leaf, leaf).code(), 0);
  EXPECT_EQ(leaf.count, 127);
  EXPECT_EQ(loaded.level, 1);
}

TEST_F(IndexTest, TraversalIsAGap) {
  FileDescriptor& f = normal_file(1, 4, 3);
  Index index(*pool_, f);
  KeyCursor c;
  for (std::uint32_t i = 10; i <= 5000; i += 10) {
    ASSERT_EQ(index.insert(c, key_of(i, 4).data(), data_of(i, 3).data()).code(), 0);
  }
  ASSERT_EQ(index.find(c, key_of(2000, 4).data()).code(), 0);
  ASSERT_EQ(index.next(c).code(), 0);
  EXPECT_EQ(c.key, key_of(2010, 4));
  ASSERT_EQ(index.previous(c).code(), 0);
  EXPECT_EQ(c.key, key_of(2010, 4));  // after next returned k, previous returns k again
  ASSERT_EQ(index.previous(c).code(), 0);
  EXPECT_EQ(c.key, key_of(2000, 4));
  EXPECT_EQ(index.find(c, key_of(2005, 4).data()).code(), kAbsent);
  ASSERT_EQ(index.next(c).code(), 0);
  EXPECT_EQ(c.key, key_of(2010, 4));
  // Backwards from the end over block boundaries, forwards from the start.
  ASSERT_EQ(index.find(c, key_of(5000, 4).data()).code(), 0);
  std::uint32_t expect = 5000;
  while (index.previous(c).code() == 0) {
    ASSERT_EQ(c.key, key_of(expect, 4));
    expect -= 10;
  }
  EXPECT_EQ(expect, 0u);
  std::uint32_t seen = 0;
  while (index.next(c).code() == 0) seen += 10;
  EXPECT_EQ(seen, 5000u);
}

TEST_F(IndexTest, RemovedHighEntriesBecomeShellsAndAreReused) {
  FileDescriptor& f = normal_file(1, 4, 4);
  Index index(*pool_, f);
  KeyCursor c;
  for (std::uint32_t i = 1; i <= 2000; ++i) {
    ASSERT_EQ(index.insert(c, key_of(i, 4).data(), data_of(i, 4).data()).code(), 0);
  }
  ASSERT_EQ(index.first(c).code(), 0);
  Frame leaf;
  ASSERT_EQ(pool_->index_buffers.get(*pool_, f, 1, c.leaf, leaf).code(), 0);
  const Bytes high(leaf.data() + (leaf.count - 1) * 8, leaf.data() + (leaf.count - 1) * 8 + 4);
  const std::uint16_t count = leaf.count;
  c.key = high;
  ASSERT_EQ(index.remove(c).code(), 0);
  EXPECT_EQ(index.find(c, high.data()).code(), kAbsent);  // the shell is invisible
  ASSERT_EQ(pool_->index_buffers.get(*pool_, f, 1, leaf.block, leaf).code(), 0);
  EXPECT_EQ(leaf.count, count);  // but still there
  ASSERT_EQ(index.insert(c, high.data(), data_of(9, 4).data()).code(), 0);
  ASSERT_EQ(index.find(c, high.data()).code(), 0);
  EXPECT_EQ(Bytes(c.data, c.data + 4), data_of(9, 4));
  c.key = key_of(999999, 4);
  EXPECT_EQ(index.remove(c).code(), kAbsent);
  EXPECT_EQ(index.update(c, data_of(1, 4).data()).code(), kAbsent);
}

TEST_F(IndexTest, RecordFilesRememberTheirHighestIdn) {
  FileDescriptor& f = normal_file(1, 4, 5, true);
  Index index(*pool_, f);
  KeyCursor c;
  for (std::uint32_t idn : {5u, 90u, 12u}) {
    ASSERT_EQ(index.insert(c, key_of(idn, 4).data(), data_of(idn, 5).data()).code(), 0);
  }
  EXPECT_EQ(f.last, 90u);
}

TEST_F(IndexTest, BlocksHoldAtMost255Entries) {
  FileDescriptor& f = normal_file(1, 4, 1);
  Index index(*pool_, f);
  KeyCursor c;
  for (std::uint32_t i = 1; i <= 300; ++i) {
    ASSERT_EQ(index.insert(c, key_of(i, 4).data(), data_of(i, 1).data(), 'L').code(), 0);
  }
  ASSERT_EQ(index.first(c).code(), 0);
  Frame leaf;
  ASSERT_EQ(pool_->index_buffers.get(*pool_, f, 1, c.leaf, leaf).code(), 0);
  EXPECT_EQ(leaf.count, 254);  // it held 255 when it split; the high entry moved on
}

TEST_F(IndexTest, CheckModeRecountsIdns) {
  FileDescriptor& f = normal_file(1, 4, 5, true);
  Index index(*pool_, f);
  KeyCursor c;
  for (std::uint32_t idn = 1; idn <= 700; ++idn) {
    ASSERT_EQ(index.insert(c, key_of(idn, 4).data(), data_of(idn, 5).data()).code(), 0);
  }
  c.key = key_of(700, 4);
  ASSERT_EQ(index.remove(c).code(), 0);
  f.last = 5;  // as if the last descriptor write was lost
  ASSERT_EQ(pool_->close().code(), 0);
  ASSERT_EQ(pool_->open(kModeCheck).code(), 0);
  EXPECT_EQ(pool_->file(1)->last, 699u);
  EXPECT_EQ(pool_->header.error, 0);
}

// Every I/O call during a run of inserts fails in turn: the run ends with a
// read or write error code, never a crash, and the pool opens in check mode.
TEST_F(IndexTest, InjectedFailuresDuringInserts) {
  normal_file(1, 8, 6);
  ASSERT_EQ(pool_->close().code(), 0);
  pool_.reset();
  const std::string pristine = dir_ + "/pristine";
  std::filesystem::copy_file(path_, pristine);
  for (std::uint64_t n = 1;; ++n) {
    std::filesystem::copy_file(pristine, path_, std::filesystem::copy_options::overwrite_existing);
    FaultFileSystem faulty(fs_);
    faulty.fail_call(n, n % 3 == 0);
    ResultCode rc = 0;
    {
      Pool pool(faulty, "A", path_);
      rc = pool.open(kModeUpdate);
      if (rc.ok()) {
        Index index(pool, *pool.file(1));
        KeyCursor c;
        for (std::uint32_t i = 0; rc.ok() && i < 400; ++i) {
          rc = index.insert(c, key_of(i * 7919 % 1000, 8).data(), data_of(i, 6).data());
        }
        const ResultCode closed = pool.close();
        if (rc.ok()) rc = closed;
      }
    }
    if (!faulty.failed()) break;
    ASSERT_TRUE(rc.failed()) << "call " << n;
    EXPECT_TRUE(rc.code() == kReadError || rc.code() == kWriteError || rc.code() == kCannotOpen ||
                rc.code() == kCannotExtend || rc.code() == kCannotClose)
        << "call " << n << " gave " << rc.code();
    Pool check(fs_, "A", path_);
    const ResultCode opened = check.open(kModeCheck);
    EXPECT_EQ(opened.code(), 0) << "call " << n;
    if (opened.ok()) {
      EXPECT_EQ(check.close().code(), 0);
    }
  }
}

// Damaged index blocks give codes, never a crash or an endless walk.
TEST_F(IndexTest, DamagedBlocksAreRefused) {
  FileDescriptor& f = normal_file(1, 4, 4);
  {
    Index index(*pool_, f);
    KeyCursor c;
    for (std::uint32_t i = 1; i <= 3000; ++i) {
      ASSERT_EQ(index.insert(c, key_of(i, 4).data(), data_of(i, 4).data()).code(), 0);
    }
  }
  ASSERT_EQ(pool_->close().code(), 0);
  const std::string pristine = dir_ + "/pristine";
  std::filesystem::copy_file(path_, pristine);
  const auto blocks = std::filesystem::file_size(path_) / 2048;
  std::mt19937 rng(31337);
  for (int round = 0; round < 200; ++round) {
    std::filesystem::copy_file(pristine, path_, std::filesystem::copy_options::overwrite_existing);
    {
      std::fstream file(path_, std::ios::binary | std::ios::in | std::ios::out);
      for (int hits = 0; hits < 1 + static_cast<int>(rng() % 8); ++hits) {
        const auto block = 24 + rng() % (blocks - 24);
        const auto offset = rng() % 2 == 0 ? rng() % 20 : rng() % 2048;  // headers more often
        file.seekp(static_cast<std::streamoff>(block * 2048 + offset));
        file.put(static_cast<char>(rng() % 256));
      }
    }
    Pool pool(fs_, "A", path_);
    ASSERT_EQ(pool.open(kModeRead).code(), 0);
    Index index(pool, *pool.file(1));
    KeyCursor c;
    int steps = 0;
    ResultCode rc = index.first(c);
    while (rc.code() == 0 && steps < 100000) {
      rc = index.next(c);
      ++steps;
    }
    EXPECT_LT(steps, 100000) << "round " << round;
    for (std::uint32_t i = 1; i <= 3000; i += 97) (void)index.find(c, key_of(i, 4).data());
    ResultCode back = index.find(c, key_of(3000, 4).data());
    for (int s = 0; s < 5000 && back.code() == 0; ++s) back = index.previous(c);
    (void)pool.close();
  }
}

// Tens of thousands of operations against std::map models, for several key
// and data lengths, and for a main file whose two subfiles share the index.
struct ModelConfig {
  std::uint16_t k;
  std::uint16_t d1;
  std::uint16_t d2;  // 0: a normal file; else a main file with two subfiles
  int operations;
  std::uint32_t key_range;
};

void PrintTo(const ModelConfig& c, std::ostream* os) {
  *os << "K" << c.k << "_D" << c.d1 << (c.d2 != 0 ? "+" + std::to_string(c.d2) : std::string());
}

class IndexModelTest : public IndexTest, public ::testing::WithParamInterface<ModelConfig> {};

TEST_P(IndexModelTest, AgreesWithAMap) {
  const ModelConfig cfg = GetParam();
  const unsigned seed = static_cast<unsigned>(cfg.k * 1000 + cfg.d1 * 10 + cfg.d2);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);

  std::vector<FileDescriptor*> files;
  std::vector<std::uint16_t> lengths;
  if (cfg.d2 == 0) {
    files.push_back(&normal_file(1, cfg.k, cfg.d1));
    lengths.push_back(cfg.d1);
  } else {
    FileDescriptor main;
    main.file = 1;
    main.role = kRoleMain;
    main.index_flags = kIndexFixed;
    main.data_flags = kDataFixed;
    main.index_length = cfg.k;
    main.entry_data_length = static_cast<std::uint16_t>(cfg.d1 + cfg.d2);
    ASSERT_EQ(pool_->add_file(main).code(), 0);
    for (int s = 0; s < 2; ++s) {
      FileDescriptor sub;
      sub.file = static_cast<std::uint16_t>(2 + s);
      sub.main = 1;
      sub.role = kRoleSub;
      sub.data_flags = kDataFixed;
      sub.entry_data_length = s == 0 ? cfg.d1 : cfg.d2;
      sub.data_offset = s == 0 ? 0 : cfg.d1;
      ASSERT_EQ(pool_->add_file(sub).code(), 0);
      files.push_back(pool_->file(2 + s));
      lengths.push_back(sub.entry_data_length);
    }
    ASSERT_EQ(Index(*pool_, *pool_->file(1)).create().code(), 0);
  }
  std::vector<std::map<Bytes, Bytes>> models(files.size());
  std::vector<KeyCursor> cursors(files.size());

  auto check_walk = [&](std::size_t which, bool forward) {
    Index index(*pool_, *files[which]);
    KeyCursor c;
    const auto& model = models[which];
    if (forward) {
      ResultCode rc = index.first(c);
      auto it = model.begin();
      while (rc.code() == 0) {
        ASSERT_NE(it, model.end());
        ASSERT_EQ(c.key, it->first);
        ASSERT_EQ(Bytes(c.data, c.data + lengths[which]), it->second);
        ++it;
        rc = index.next(c);
      }
      ASSERT_EQ(it, model.end());
    } else {
      const Bytes top(cfg.k, 0xFF);
      (void)index.find(c, top.data());
      auto it = model.rbegin();
      ResultCode rc = index.previous(c);
      while (rc.code() == 0) {
        ASSERT_NE(it, model.rend());
        ASSERT_EQ(c.key, it->first);
        ++it;
        rc = index.previous(c);
      }
      ASSERT_EQ(rc.code(), kEnd);
      ASSERT_EQ(it, model.rend());
    }
  };

  for (int op = 0; op < cfg.operations; ++op) {
    const std::size_t which = rng() % files.size();
    Index index(*pool_, *files[which]);
    auto& model = models[which];
    const std::uint32_t v = rng() % cfg.key_range;
    const Bytes key = key_of(v, cfg.k);
    const unsigned what = rng() % 100;
    KeyCursor& c = cursors[which];
    if (what < 45) {
      const Bytes data = data_of(v + static_cast<std::uint32_t>(op), lengths[which]);
      const ResultCode rc = index.insert(c, key.data(), data.data(), rng() % 4 == 0 ? 'L' : ' ');
      if (model.count(key) != 0) {
        ASSERT_EQ(rc.code(), kIndexInconsistent) << "op " << op;
      } else {
        ASSERT_EQ(rc.code(), 0) << "op " << op;
        model[key] = data;
      }
    } else if (what < 70) {
      KeyCursor r;
      r.key = key;
      const ResultCode rc = index.remove(r);
      ASSERT_EQ(rc.code(), model.erase(key) != 0 ? 0 : kAbsent) << "op " << op;
    } else if (what < 80) {
      const ResultCode rc = index.find(c, key.data());
      const auto it = model.find(key);
      if (it == model.end()) {
        ASSERT_EQ(rc.code(), kAbsent) << "op " << op;
      } else {
        ASSERT_EQ(rc.code(), 0) << "op " << op;
        ASSERT_EQ(Bytes(c.data, c.data + lengths[which]), it->second);
      }
    } else if (what < 85) {
      const Bytes data = data_of(v * 7 + 1, lengths[which]);
      KeyCursor u;
      u.key = key;
      const ResultCode rc = index.update(u, data.data());
      if (model.count(key) != 0) {
        ASSERT_EQ(rc.code(), 0);
        model[key] = data;
      } else {
        ASSERT_EQ(rc.code(), kAbsent);
      }
    } else if (what < 95) {
      // A few steps from a found position, compared with the model.
      (void)index.find(c, key.data());
      auto it = model.upper_bound(key);
      if (rng() % 2 == 0) {
        for (int s = 0; s < 5; ++s) {
          const ResultCode rc = index.next(c);
          if (it == model.end()) {
            ASSERT_EQ(rc.code(), kEnd);
            break;
          }
          ASSERT_EQ(rc.code(), 0);
          ASSERT_EQ(c.key, it->first);
          ++it;
        }
      } else {
        auto back = model.lower_bound(key);
        if (model.count(key) != 0) ++back;  // the gap is after an exact match
        for (int s = 0; s < 5; ++s) {
          const ResultCode rc = index.previous(c);
          if (back == model.begin()) {
            ASSERT_EQ(rc.code(), kEnd);
            break;
          }
          --back;
          ASSERT_EQ(rc.code(), 0);
          ASSERT_EQ(c.key, back->first);
        }
      }
    } else if (what < 97) {
      check_walk(which, rng() % 2 == 0);
    } else {
      // Close and reopen now and then: everything must come back from disk.
      ASSERT_EQ(pool_->close().code(), 0);
      ASSERT_EQ(pool_->open(kModeUpdate, rng() % 2 == 0 ? 'W' : ' ', 3 + rng() % 10, 10).code(), 0);
      files.clear();
      if (cfg.d2 == 0) {
        files.push_back(pool_->file(1));
      } else {
        files.push_back(pool_->file(2));
        files.push_back(pool_->file(3));
      }
    }
  }
  for (std::size_t w = 0; w < files.size(); ++w) {
    check_walk(w, true);
    check_walk(w, false);
  }
  EXPECT_GE(pool_->file(1)->level, 1);  // the tree grew beyond one leaf
}

INSTANTIATE_TEST_SUITE_P(Configurations, IndexModelTest,
                         ::testing::Values(ModelConfig{4, 5, 0, 30000, 20000},
                                           ModelConfig{8, 1, 0, 20000, 3000},
                                           ModelConfig{32, 20, 0, 15000, 8000},
                                           ModelConfig{128, 100, 0, 6000, 3000},
                                           ModelConfig{12, 5, 9, 25000, 6000}));

}  // namespace
}  // namespace corvanta::dbm
