#include "dbm/journal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dbm/codes.h"
#include "scratch_dir.h"

namespace corvanta::dbm {
namespace {

// A temporary file holding `bytes`, read from its start.
std::FILE* file_of(const std::vector<unsigned char>& bytes) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

std::vector<unsigned char> concat(std::initializer_list<std::vector<unsigned char>> parts) {
  std::vector<unsigned char> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(JournalReader, ReadsBackWhatWasEncodedAndStopsAtDamage) {
  JournalRecord insert;
  insert.time = 0x01020304;
  insert.user = 7;
  insert.pool = "A";
  insert.file = 3;
  insert.op = JournalOp::Insert;
  insert.key = {0, 0, 0, 9};
  insert.value = {'a', 'b', 'c'};
  JournalRecord drop;
  drop.pool = "A";
  drop.file = 4;
  drop.op = JournalOp::DeleteFile;
  JournalRecord commit;
  commit.time = 5;
  const auto good =
      concat({encode_journal_record(insert), encode_journal_record(commit), encode_journal_record(drop)});

  std::FILE* f = file_of(good);
  JournalReader reader(f);
  JournalRecord r;
  ASSERT_TRUE(reader.next(r));
  EXPECT_EQ(r.time, insert.time);
  EXPECT_EQ(r.user, 7u);
  EXPECT_EQ(r.pool, "A");
  EXPECT_EQ(r.file, 3);
  EXPECT_EQ(r.op, JournalOp::Insert);
  EXPECT_EQ(r.key, insert.key);
  EXPECT_EQ(r.value, insert.value);
  ASSERT_TRUE(reader.next(r));
  EXPECT_EQ(r.op, JournalOp::Commit);
  EXPECT_EQ(r.time, 5u);
  ASSERT_TRUE(reader.next(r));
  EXPECT_EQ(r.op, JournalOp::DeleteFile);
  EXPECT_TRUE(r.key.empty());
  EXPECT_FALSE(reader.next(r));
  EXPECT_FALSE(reader.damaged());
  EXPECT_EQ(reader.count(), 3);
  std::fclose(f);

  // A key length of 129, or a value length too long with whole records
  // behind it, ends the journal as damaged after the whole records before
  // it. A last record cut short in its value or header, or zeros, is a torn
  // end: the journal simply ends there.
  auto long_key = encode_journal_record(insert);
  long_key[17] = 129;
  auto long_value = encode_journal_record(insert);
  long_value[19] = 1;  // 65,539 bytes of value
  auto cut_value = encode_journal_record(insert);
  cut_value.pop_back();
  auto cut_header = encode_journal_record(insert);
  cut_header.resize(21);
  // A key full of zeros holds what looks like a commit record; cut short,
  // its record is still a torn end.
  JournalRecord zeros = insert;
  zeros.value = {'k', 'e', 'y', '!'};
  zeros.value.resize(80, 0);
  auto cut_zeros = encode_journal_record(zeros);
  cut_zeros.resize(cut_zeros.size() - 10);
  const auto whole = encode_journal_record(insert);
  const struct {
    std::vector<unsigned char> tail;
    bool damaged;
  } cases[] = {
      {concat({long_key, whole}), true},
      {concat({long_value, whole, whole, whole, whole, whole, whole, whole, whole, whole, whole}), true},
      {cut_value, false},
      {cut_header, false},
      {cut_zeros, false},
      {std::vector<unsigned char>(100, 0), false},
  };
  for (const auto& c : cases) {
    std::FILE* g = file_of(concat({whole, c.tail}));
    JournalReader reader(g);
    EXPECT_TRUE(reader.next(r));
    EXPECT_FALSE(reader.next(r));
    EXPECT_EQ(reader.damaged(), c.damaged);
    EXPECT_EQ(reader.torn(), !c.damaged);
    EXPECT_EQ(reader.count(), 1);
    std::fclose(g);
  }
}

JournalRecord numbered(std::uint32_t n, std::size_t value_length) {
  JournalRecord r;
  r.time = n;
  r.pool = "A";
  r.file = 1;
  r.op = JournalOp::Insert;
  r.key = {0, 0, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
  r.value.assign(value_length, static_cast<unsigned char>('a' + n % 26));
  return r;
}

// The times of the whole records of a journal file; `damaged` tells
// whether reading stopped at a damaged one.
std::vector<std::uint32_t> times_in(const std::string& path, bool& damaged) {
  std::vector<std::uint32_t> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  JournalReader reader(f);
  JournalRecord r;
  while (reader.next(r)) out.push_back(r.time);
  damaged = reader.damaged();
  std::fclose(f);
  return out;
}

class JournalWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = corvanta::testing::make_scratch_dir("journal"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
  PosixFileSystem fs_;
};

// A full disk in the middle of a record: the record is refused and cut back,
// and the records acknowledged later are read back whole.
TEST_F(JournalWriterTest, AFailedAppendIsCutBack) {
  const std::string path = dir_ + "/a.sav";
  for (const bool short_write : {true, false}) {
    std::filesystem::remove(path);
    FaultFileSystem faulty(fs_);
    JournalWriter writer(faulty, path);
    ASSERT_EQ(writer.append(numbered(1, 300)).code(), 0);
    writer.finish(true);
    const auto size = std::filesystem::file_size(path);
    faulty.fail_call(faulty.calls() + 1, short_write);  // the write
    EXPECT_EQ(writer.append(numbered(2, 300)).code(), kJournalFull);
    EXPECT_EQ(std::filesystem::file_size(path), size);
    ASSERT_EQ(writer.append(numbered(3, 300)).code(), 0);
    writer.finish(true);
    ASSERT_EQ(writer.close().code(), 0);
    bool damaged = true;
    EXPECT_EQ(times_in(path, damaged), (std::vector<std::uint32_t>{1, 3}));
    EXPECT_FALSE(damaged);
  }
}

// RELEASE takes the journal's use lock: it cannot while a writer has the
// journal open, and a writer that opens it meanwhile waits, then finds the
// new journal in place and appends there.
TEST_F(JournalWriterTest, ReleaseWaitsForWritersAndTheyFollowIt) {
  const std::string path = dir_ + "/a.sav";
  JournalWriter writer(fs_, path);
  ASSERT_EQ(writer.append(numbered(1, 10)).code(), 0);
  writer.finish(true);
  const auto release = fs_.open(path, OpenMode::ReadWrite);
  ASSERT_TRUE(release);
  EXPECT_FALSE(release->lock(true, false, kJournalUseByte, 1));  // the writer has it open
  ASSERT_EQ(writer.close().code(), 0);                           // its command ended
  ASSERT_TRUE(release->lock(true, false, kJournalUseByte, 1));

  std::thread next([&] {
    EXPECT_EQ(writer.append(numbered(2, 10)).code(), 0);
    writer.finish(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(fs_.link(path, path + ".archive"));
  { std::ofstream(path + ".new", std::ios::binary) << ""; }
  ASSERT_TRUE(fs_.rename(path + ".new", path));
  ASSERT_TRUE(release->unlock(kJournalUseByte, 1));
  next.join();
  ASSERT_EQ(writer.close().code(), 0);
  bool damaged = true;
  EXPECT_EQ(times_in(path, damaged), std::vector<std::uint32_t>{2});
  EXPECT_EQ(times_in(path + ".archive", damaged), std::vector<std::uint32_t>{1});
}

// What a writer killed in the middle of its write, or a crash before the
// sync, leaves at the end is cut off before the next record is appended, so
// that it never stands between acknowledged records; a change that was not
// made takes its record back.
TEST_F(JournalWriterTest, ATornEndIsCutOffAndAnUnmadeChangeTakesItsRecordBack) {
  const std::string path = dir_ + "/a.sav";
  {
    std::ofstream out(path, std::ios::binary);
    for (std::uint32_t n = 1; n <= 3; ++n) {
      auto bytes = encode_journal_record(numbered(n, 50));
      if (n == 3) bytes.resize(bytes.size() - 10);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
  }
  JournalWriter writer(fs_, path);
  ASSERT_EQ(writer.append(numbered(4, 50)).code(), 0);
  writer.finish(true);
  ASSERT_EQ(writer.append(numbered(5, 50)).code(), 0);
  writer.finish(false);
  ASSERT_EQ(writer.append(numbered(6, 50)).code(), 0);
  writer.finish(true);
  ASSERT_EQ(writer.close().code(), 0);
  bool damaged = true;
  EXPECT_EQ(times_in(path, damaged), (std::vector<std::uint32_t>{1, 2, 4, 6}));
  EXPECT_FALSE(damaged);

  // Damage before the end is not cut away, whether the record looks wrong
  // or claims more than is left: the writer refuses to add to it.
  const std::string good = corvanta::testing::read_file(path);
  for (const std::size_t at : {std::size_t{17}, std::size_t{76 + 20}}) {  // a key length, a value length
    std::string bytes = good;
    bytes[at] = static_cast<char>(200);
    std::ofstream(path, std::ios::binary) << bytes;
    JournalWriter another(fs_, path);
    EXPECT_EQ(another.append(numbered(7, 50)).code(), kJournalDamaged) << at;
    EXPECT_EQ(corvanta::testing::read_file(path), bytes) << at;
  }
}

// A change that was not made whose record cannot be cut off (the disk
// refuses the truncation): the record is spoiled, so that no replay makes
// the change and no writer appends behind it.
TEST_F(JournalWriterTest, ARecordThatCannotBeTakenBackIsSpoiled) {
  const std::string path = dir_ + "/a.sav";
  FaultFileSystem faulty(fs_);
  JournalWriter writer(faulty, path);
  ASSERT_EQ(writer.append(numbered(1, 50)).code(), 0);
  writer.finish(true);
  ASSERT_EQ(writer.append(numbered(2, 50)).code(), 0);
  faulty.fail_call(faulty.calls() + 1);  // the truncation
  writer.finish(false);
  EXPECT_EQ(writer.append(numbered(3, 50)).code(), kJournalFull);
  ASSERT_EQ(writer.close().code(), 0);
  bool damaged = false;
  EXPECT_EQ(times_in(path, damaged), std::vector<std::uint32_t>{1});
  EXPECT_TRUE(damaged);
  JournalWriter another(fs_, path);
  EXPECT_EQ(another.append(numbered(4, 50)).code(), kJournalDamaged);
}

// A record that claims more bytes than the file has left is damage, not a
// value taken from the bytes of the records behind it.
TEST(JournalReader, LengthsAreCheckedAgainstTheBytesLeft) {
  auto torn = encode_journal_record(numbered(1, 100));
  torn.resize(torn.size() - 60);
  std::FILE* f =
      file_of(concat({encode_journal_record(numbered(0, 5)), torn, encode_journal_record(numbered(2, 20))}));
  JournalReader reader(f);
  JournalRecord r;
  EXPECT_TRUE(reader.next(r));
  EXPECT_FALSE(reader.next(r));
  EXPECT_TRUE(reader.damaged());
  EXPECT_EQ(reader.count(), 1);
  std::fclose(f);
}

}  // namespace
}  // namespace corvanta::dbm
