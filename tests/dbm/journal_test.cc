#include "dbm/journal.h"

#include <gtest/gtest.h>

#include <cstdio>

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

  // A key length of 129 ends the journal as damaged after the whole records
  // before it; so does a last record cut short in its value or its header.
  auto long_key = encode_journal_record(insert);
  long_key[17] = 129;
  auto cut_value = encode_journal_record(insert);
  cut_value.pop_back();
  auto cut_header = encode_journal_record(insert);
  cut_header.resize(21);
  for (const auto& tail : {concat({long_key, encode_journal_record(insert)}), cut_value, cut_header}) {
    std::FILE* g = file_of(concat({encode_journal_record(insert), tail}));
    JournalReader damaged(g);
    EXPECT_TRUE(damaged.next(r));
    EXPECT_FALSE(damaged.next(r));
    EXPECT_TRUE(damaged.damaged());
    EXPECT_EQ(damaged.count(), 1);
    std::fclose(g);
  }
}

}  // namespace
}  // namespace corvanta::dbm
