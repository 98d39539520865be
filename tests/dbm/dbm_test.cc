#include "dbm/dbm.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "dbm/codes.h"
#include "dbm/index.h"
#include "scratch_dir.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes idn_key(std::uint32_t idn) {
  Bytes k(4);
  put_u32(k.data(), idn);
  return k;
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes filled(std::size_t n, unsigned seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 131 + seed * 7 + 1) % 251 + 1);
  return b;
}

// Closes pool "A" and opens it in check mode: the check must find nothing
// to repair (no damage, the same LAST, FREE and free chain).
void expect_nothing_to_repair(Dbm& dbm, const std::string& path) {
  const PoolHeader before = dbm.find_pool("A")->header;
  ASSERT_EQ(dbm.close("A").code(), 0);
  ASSERT_EQ(dbm.open("A", path, 'C').code(), 0);
  const PoolHeader& after = dbm.find_pool("A")->header;
  EXPECT_EQ(after.error, 0);
  EXPECT_EQ(after.last, before.last);
  EXPECT_EQ(after.free, before.free);
  EXPECT_EQ(after.chain, before.chain);
}

class DbmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("dbm");
    path_ = dir_ + "/a";
    messages_ = std::tmpfile();
    dbm_ = std::make_unique<Dbm>(fs_, messages_);
    dbm_->set_clock([] { return std::uint32_t{0x01020304}; });
    ASSERT_EQ(dbm_->initialize("A", path_).code(), 0);
    ASSERT_EQ(dbm_->open("A", path_, 'U').code(), 0);
  }
  void TearDown() override {
    dbm_.reset();
    std::fclose(messages_);
    std::filesystem::remove_all(dir_);
  }

  std::string printed() {
    std::fflush(messages_);
    std::rewind(messages_);
    std::string out;
    int ch;
    while ((ch = std::getc(messages_)) != EOF) out += static_cast<char>(ch);
    return out;
  }

  ResultCode read(int file, const Bytes& key, Bytes& value, std::size_t capacity = 70000) {
    value.assign(capacity, 0);
    DataRef ref{value};
    const ResultCode rc = dbm_->read("A", file, key.data(), ref);
    value.resize(ref.length);
    return rc;
  }

  // The entry part of a key, straight from the index.
  Bytes part_of(int file, const Bytes& key) {
    Pool* pool = dbm_->find_pool("A");
    Index index(*pool, *pool->file(file));
    KeyCursor c;
    if (index.find(c, key.data()).code() != 0) return {};
    return Bytes(c.data, c.data + index.part_length());
  }

  std::string dir_, path_;
  PosixFileSystem fs_;
  std::FILE* messages_ = nullptr;
  std::unique_ptr<Dbm> dbm_;
};

TEST_F(DbmTest, AnEmptyValueStoresNothingAndUpdatingWithItDeletes) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'D', 4, 0, 'F', 200, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(1).data(), Bytes{}).code(), 0);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(2).data(), text("x")).code(), 0);
  Bytes back;
  EXPECT_EQ(read(1, idn_key(1), back).code(), kAbsent);
  ASSERT_EQ(dbm_->update("A", 1, idn_key(2).data(), Bytes{}).code(), 0);
  EXPECT_EQ(read(1, idn_key(2), back).code(), kAbsent);
  std::uint32_t n = 9;
  ASSERT_EQ(dbm_->count("A", 1, n).code(), 0);
  EXPECT_EQ(n, 0u);
}

TEST_F(DbmTest, InlineAndChainedValues) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'D', 4, 40, 'F', 30000, 'V'}).code(), 0);
  Pool* pool = dbm_->find_pool("A");
  EXPECT_EQ(pool->file(1)->entry_data_length, 45);
  const std::uint32_t free_before = pool->header.free;

  // 40 bytes stay in the entry, the length in the tail.
  const Bytes forty = filled(40, 1);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(1).data(), forty).code(), 0);
  const Bytes part = part_of(1, idn_key(1));
  EXPECT_EQ(Bytes(part.begin(), part.begin() + 40), forty);
  EXPECT_EQ(Bytes(part.begin() + 40, part.end()), (Bytes{0, 0, 0, 40, 0}));
  EXPECT_EQ(pool->header.free, free_before);  // no data block

  // One more byte goes into a data block.
  const Bytes fortyone = filled(41, 2);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(2).data(), fortyone).code(), 0);
  const Bytes part2 = part_of(1, idn_key(2));
  const RecordPointer one = RecordPointer::decode(part2.data() + 40);
  EXPECT_EQ(one.slot, 1);
  Bytes back;
  ASSERT_EQ(read(1, idn_key(2), back).code(), 0);
  EXPECT_EQ(back, fortyone);

  // 2021 + 10 bytes beyond the entry: a full piece in a new block and a
  // 10-byte first piece in the fill block.
  const Bytes longer = filled(40 + 2021 + 10, 3);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(3).data(), longer).code(), 0);
  const RecordPointer first = RecordPointer::decode(part_of(1, idn_key(3)).data() + 40);
  EXPECT_EQ(first.block, one.block);  // the fill block
  Frame f;
  ASSERT_EQ(pool->data_buffers.get(*pool, *pool->file(1), 0, first.block, f).code(), 0);
  std::size_t at = 0;
  ASSERT_EQ(Values::locate(f, first.slot, at).code(), 0);
  EXPECT_EQ(Values::item_length(f, at), 15u);  // 10 bytes and the next pointer
  const RecordPointer second = RecordPointer::decode(f.data() + at + 2 + 10);
  ASSERT_EQ(pool->data_buffers.get(*pool, *pool->file(1), 0, second.block, f).code(), 0);
  ASSERT_EQ(Values::locate(f, second.slot, at).code(), 0);
  EXPECT_EQ(Values::item_length(f, at), 2026u);
  ASSERT_EQ(read(1, idn_key(3), back).code(), 0);
  EXPECT_EQ(back, longer);
  Bytes shortread;
  EXPECT_EQ(read(1, idn_key(3), shortread, 100).code(), kTruncated);
  EXPECT_EQ(shortread, Bytes(longer.begin(), longer.begin() + 100));
  std::size_t length = 0;
  ASSERT_EQ(dbm_->get_length("A", 1, idn_key(3).data(), length).code(), 0);
  EXPECT_EQ(length, longer.size());

  // An identical value writes nothing.
  const auto index_writes = pool->index_buffers.stats().writes;
  const auto data_writes = pool->data_buffers.stats().writes;
  ASSERT_EQ(dbm_->update("A", 1, idn_key(3).data(), longer).code(), 0);
  EXPECT_EQ(pool->index_buffers.stats().writes, index_writes);
  EXPECT_EQ(pool->data_buffers.stats().writes, data_writes);

  // Growing, shrinking, deleting.
  const Bytes grown = filled(6000, 4);
  ASSERT_EQ(dbm_->update("A", 1, idn_key(3).data(), grown).code(), 0);
  ASSERT_EQ(read(1, idn_key(3), back).code(), 0);
  EXPECT_EQ(back, grown);
  ASSERT_EQ(dbm_->update("A", 1, idn_key(3).data(), fortyone).code(), 0);
  ASSERT_EQ(read(1, idn_key(3), back).code(), 0);
  EXPECT_EQ(back, fortyone);
  ASSERT_EQ(dbm_->remove("A", 1, idn_key(3).data()).code(), 0);
  EXPECT_EQ(read(1, idn_key(3), back).code(), kAbsent);
  EXPECT_EQ(dbm_->update("A", 1, idn_key(3).data(), forty).code(), kAbsent);  // mode U
  EXPECT_EQ(read(1, idn_key(3), back).code(), kAbsent);
}

TEST_F(DbmTest, DeletingAMiddleItemLeavesAnEmptiedSlot) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'D', 4, 0, 'F', 30000, 'V'}).code(), 0);
  for (std::uint32_t k = 1; k <= 3; ++k) {
    ASSERT_EQ(dbm_->insert("A", 1, idn_key(k).data(), filled(100, k)).code(), 0);
  }
  Pool* pool = dbm_->find_pool("A");
  const RecordPointer p3 = RecordPointer::decode(part_of(1, idn_key(3)).data());
  ASSERT_EQ(dbm_->remove("A", 1, idn_key(2).data()).code(), 0);
  Frame f;
  ASSERT_EQ(pool->data_buffers.get(*pool, *pool->file(1), 0, p3.block, f).code(), 0);
  EXPECT_EQ(f.count, 3);
  std::size_t at = 0;
  EXPECT_EQ(Values::locate(f, 2, at).code(), kBadRecordPointer);  // emptied
  ASSERT_EQ(Values::locate(f, 3, at).code(), 0);                  // keeps its number
  EXPECT_EQ(at, 107u + 2u);
  Bytes back;
  ASSERT_EQ(read(1, idn_key(3), back).code(), 0);
  EXPECT_EQ(back, filled(100, 3));
}

TEST_F(DbmTest, ListsInlineChainedAndBack) {
  // ITEMLEN 4 and E 45: ten items fit the entry.
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 2, 0, 'L', 8, 40, 'F', 4, 'V'}).code(), 0);
  const Bytes key = filled(8, 9);
  auto item = [](std::uint32_t v) {
    Bytes b(4);
    put_u32(b.data(), v);
    return b;
  };
  for (std::uint32_t v = 1; v <= 10; ++v) ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(v)).code(), 0);
  EXPECT_TRUE(RecordPointer::decode(part_of(2, key).data() + 40).empty());
  ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(11)).code(), 0);
  EXPECT_FALSE(RecordPointer::decode(part_of(2, key).data() + 40).empty());  // moved out
  Bytes back;
  ASSERT_EQ(read(2, key, back).code(), 0);
  ASSERT_EQ(back.size(), 44u);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 4), item(11));  // greatest first
  EXPECT_EQ(Bytes(back.end() - 4, back.end()), item(1));

  // Counters: three inserts give 2; 254 is the top.
  ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(5)).code(), 0);
  ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(5)).code(), 0);
  ASSERT_EQ(read(2, key, back).code(), 0);
  EXPECT_EQ(back[6 * 4], 2);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(7)).code(), 0);
  ASSERT_EQ(read(2, key, back).code(), 0);
  EXPECT_EQ(back[4 * 4], 254);
  ASSERT_EQ(dbm_->list_delete("A", 2, key.data(), item(5)).code(), 0);
  ASSERT_EQ(dbm_->list_delete("A", 2, key.data(), item(5)).code(), 0);
  ASSERT_EQ(dbm_->list_delete("A", 2, key.data(), item(5)).code(), 0);  // the item goes
  EXPECT_EQ(dbm_->list_delete("A", 2, key.data(), item(5)).code(), kAbsent);
  // Ten items left: back into the entry.
  EXPECT_TRUE(RecordPointer::decode(part_of(2, key).data() + 40).empty());
  ASSERT_EQ(read(2, key, back).code(), 0);
  EXPECT_EQ(back.size(), 40u);
  for (std::uint32_t v = 1; v <= 11; ++v) {
    if (v == 5) continue;
    const int times = v == 7 ? 255 : 1;
    for (int t = 0; t < times; ++t) ASSERT_EQ(dbm_->list_delete("A", 2, key.data(), item(v)).code(), 0);
  }
  EXPECT_EQ(read(2, key, back).code(), kAbsent);  // the last item took the key with it
}

TEST_F(DbmTest, LongListsSplitAndReadInPortions) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 2, 0, 'L', 4, 20, 'F', 4, 'V'}).code(), 0);
  const Bytes key = idn_key(77);
  std::set<std::uint32_t, std::greater<>> model;
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    const std::uint32_t v = rng() % 100000 + 1;
    Bytes it(4);
    put_u32(it.data(), v);
    ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), it).code(), 0);
    model.insert(v);
  }
  Bytes all;
  ASSERT_EQ(read(2, key, all, 100000).code(), 0);
  ASSERT_EQ(all.size(), model.size() * 4);
  std::size_t i = 0;
  for (std::uint32_t v : model) {
    ASSERT_EQ(get_u32(all.data() + i * 4) & 0xFFFFFF, v);
    ++i;
  }
  // In portions of 1001 bytes (rounded down to whole items).
  Bytes portion(1001);
  DataRef ref{portion};
  Continuation cont;
  Bytes joined;
  ResultCode rc = dbm_->read("A", 2, key.data(), ref, &cont);
  while (true) {
    EXPECT_EQ(ref.length % 4, 0u);
    joined.insert(joined.end(), portion.begin(), portion.begin() + static_cast<long>(ref.length));
    if (rc.code() != kTruncated) break;
    rc = dbm_->next("A", 2, ref, &cont);
  }
  EXPECT_EQ(joined, all);
}

TEST_F(DbmTest, IdnsAndTheirLimit) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  std::uint32_t idn = 0;
  ASSERT_EQ(dbm_->next_idn("A", 1, &idn).code(), 0);
  EXPECT_EQ(idn, 1u);
  ASSERT_EQ(dbm_->give_back_idn("A", 1).code(), 0);
  ASSERT_EQ(dbm_->last_idn("A", 1, idn).code(), 0);
  EXPECT_EQ(idn, 0u);
  EXPECT_EQ(dbm_->next_idn("A", 1, nullptr).code(), kInvalidFileParameters);
  dbm_->find_pool("A")->file(1)->last = kMaxIdn;
  EXPECT_EQ(dbm_->next_idn("A", 1, &idn).code(), kCannotExtend);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(90).data(), text("x")).code(), 0);
}

TEST_F(DbmTest, JournalRecordsOfEveryWrite) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 2, 0, 'L', 6, 20, 'F', 4, 'V'}).code(), 0);
  const std::string journal = dir_ + "/a.sav";
  ASSERT_EQ(dbm_->set_save_file("A", journal).code(), 0);
  const Bytes key = idn_key(0x0A0B0C);
  const Bytes lkey = text("WORDS!");
  const Bytes item = {0, 0, 0, 9};
  ASSERT_EQ(dbm_->insert("A", 1, key.data(), text("abc")).code(), 0);
  EXPECT_EQ(dbm_->insert("A", 1, key.data(), text("abd")).code(), kRecordExists);  // journalled pool
  ASSERT_EQ(dbm_->load("A", 1, idn_key(5).data(), text("l")).code(), 0);
  ASSERT_EQ(dbm_->update("A", 1, key.data(), text("xy")).code(), 0);
  ASSERT_EQ(dbm_->remove("A", 1, key.data()).code(), 0);
  ASSERT_EQ(dbm_->list_insert("A", 2, lkey.data(), item).code(), 0);
  ASSERT_EQ(dbm_->list_load("A", 2, lkey.data(), item).code(), 0);
  ASSERT_EQ(dbm_->list_delete("A", 2, lkey.data(), item).code(), 0);
  ASSERT_EQ(dbm_->commit("A").code(), 0);
  ASSERT_EQ(dbm_->delete_file("A", 1).code(), 0);

  const std::string s = corvanta::testing::read_file(journal);
  auto header = [](std::uint8_t op, std::uint16_t file, std::uint8_t klen, std::uint32_t vlen) {
    std::string h("\x01\x02\x03\x04\0\0\0\0A\0\0\0", 12);
    h += static_cast<char>(file >> 8);
    h += static_cast<char>(file & 0xFF);
    h += '\0';
    h += static_cast<char>(op);
    h += '\x01';
    h += static_cast<char>(klen);
    h += static_cast<char>(vlen >> 24);
    h += static_cast<char>(vlen >> 16);
    h += static_cast<char>(vlen >> 8);
    h += static_cast<char>(vlen);
    return h;
  };
  std::string expected;
  expected += header(1, 1, 4, 3) + std::string("\0\x0A\x0B\x0C", 4) + "abc";
  expected += header(1, 1, 4, 1) + std::string("\0\0\0\x05", 4) + "l";
  expected += header(3, 1, 4, 2) + std::string("\0\x0A\x0B\x0C", 4) + "xy";
  expected += header(4, 1, 4, 0) + std::string("\0\x0A\x0B\x0C", 4);  // DELETE carries no value
  expected += header(2, 2, 6, 4) + "WORDS!" + std::string("\0\0\0\x09", 4);
  expected += header(2, 2, 6, 4) + "WORDS!" + std::string("\0\0\0\x09", 4);
  expected += header(5, 2, 6, 4) + "WORDS!" + std::string("\0\0\0\x09", 4);
  expected += std::string("\x01\x02\x03\x04\0\0\0\0", 8) + std::string(14, '\0');  // commit
  expected += header(6, 1, 0, 0);                                                  // delete file
  EXPECT_EQ(s, expected);
}

TEST_F(DbmTest, FailingJournalChangesNothing) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->set_save_file("A", dir_ + "/nowhere/a.sav").code(), 0);
  EXPECT_EQ(dbm_->insert("A", 1, idn_key(1).data(), text("v")).code(), kCannotOpenJournal);
  Bytes back;
  EXPECT_EQ(read(1, idn_key(1), back).code(), kAbsent);
  EXPECT_NE(printed().find("DBM: Mess=-226, Func=INSERT, Pool=A, File=0001\n"), std::string::npos);
}

// The records of a journal file, in order.
std::vector<JournalRecord> journal_records(const std::string& path, bool& damaged) {
  std::vector<JournalRecord> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  JournalReader reader(f);
  JournalRecord r;
  while (reader.next(r)) out.push_back(r);
  damaged = reader.damaged();
  std::fclose(f);
  return out;
}

// Writes that are refused or change nothing leave no journal record, so
// that a replay never makes a change the pool did not see.
TEST_F(DbmTest, RefusedWritesLeaveNoJournalRecord) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 2, 0, 'D', 4, 8, 'F', 8, 'F'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 3, 0, 'L', 4, 4, 'F', 4, 'F'}).code(), 0);
  const std::string journal = dir_ + "/a.sav";
  ASSERT_EQ(dbm_->set_save_file("A", journal).code(), 0);
  const Bytes one = idn_key(1);
  const Bytes absent = idn_key(9);
  ASSERT_EQ(dbm_->insert("A", 1, one.data(), text("first")).code(), 0);
  EXPECT_EQ(dbm_->insert("A", 1, one.data(), text("second")).code(), kRecordExists);
  EXPECT_EQ(dbm_->update("A", 1, absent.data(), text("x")).code(), kAbsent);
  EXPECT_EQ(dbm_->remove("A", 1, absent.data()).code(), kAbsent);
  EXPECT_EQ(dbm_->insert("A", 1, absent.data(), Bytes{}).code(), 0);  // stores nothing
  EXPECT_EQ(dbm_->insert("A", 2, one.data(), text("123456789")).code(), kValueTooLong);
  ASSERT_EQ(dbm_->insert("A", 2, one.data(), text("12345678")).code(), 0);
  EXPECT_EQ(dbm_->update("A", 2, one.data(), text("123456789")).code(), kValueTooLong);
  ASSERT_EQ(dbm_->list_insert("A", 3, one.data(), Bytes{0, 0, 0, 7}).code(), 0);
  EXPECT_EQ(dbm_->list_insert("A", 3, one.data(), Bytes{0, 0, 0, 8}).code(), kValueTooLong);
  EXPECT_EQ(dbm_->list_delete("A", 3, absent.data(), Bytes{0, 0, 0, 7}).code(), kAbsent);
  ASSERT_EQ(dbm_->sync_journals().code(), 0);

  bool damaged = true;
  const std::vector<JournalRecord> records = journal_records(journal, damaged);
  EXPECT_FALSE(damaged);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].value, text("first"));
  EXPECT_EQ(records[1].file, 2);
  EXPECT_EQ(records[2].op, JournalOp::ListInsert);
  Bytes back;
  ASSERT_EQ(read(1, one, back).code(), 0);
  EXPECT_EQ(back, text("first"));
}

// A unit keeps its records back and writes them in one piece at its end:
// only the changes made, nested units once, an open unit at close, and a
// unit that cannot be written leaves the pool marked damaged.
TEST_F(DbmTest, UnitsWriteTheirChangesInOnePiece) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  const std::string journal = dir_ + "/a.sav";
  ASSERT_EQ(dbm_->set_save_file("A", journal).code(), 0);
  bool damaged = true;
  ASSERT_EQ(dbm_->begin_unit("A").code(), 0);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(1).data(), text("one")).code(), 0);
  EXPECT_EQ(dbm_->insert("A", 1, idn_key(1).data(), text("again")).code(), kRecordExists);  // refused
  ASSERT_EQ(dbm_->begin_unit("A").code(), 0);
  ASSERT_EQ(dbm_->insert("A", 1, idn_key(2).data(), text("two")).code(), 0);
  ASSERT_EQ(dbm_->end_unit("A").code(), 0);  // inner: nothing written yet
  EXPECT_TRUE(journal_records(journal, damaged).empty());
  ASSERT_EQ(dbm_->end_unit("A").code(), 0);
  ASSERT_EQ(dbm_->sync_journals().code(), 0);
  std::vector<JournalRecord> records = journal_records(journal, damaged);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].value, text("one"));
  EXPECT_EQ(records[1].value, text("two"));

  // A unit still open when the pool closes is written.
  ASSERT_EQ(dbm_->begin_unit("A").code(), 0);
  ASSERT_EQ(dbm_->update("A", 1, idn_key(2).data(), text("zwei")).code(), 0);
  ASSERT_EQ(dbm_->close("A").code(), 0);
  EXPECT_EQ(journal_records(journal, damaged).size(), 3u);

  // A journal that cannot take the unit at its end: the pool, changed
  // already, is marked damaged.
  FaultFileSystem faulty(fs_);
  {
    Dbm dbm(faulty, nullptr);
    ASSERT_EQ(dbm.open("A", path_, 'U').code(), 0);
    ASSERT_EQ(dbm.set_save_file("A", journal).code(), 0);
    ASSERT_EQ(dbm.begin_unit("A").code(), 0);
    ASSERT_EQ(dbm.insert("A", 1, idn_key(3).data(), text("three")).code(), 0);
    faulty.fail_call(faulty.calls() + 1);
    EXPECT_EQ(dbm.end_unit("A").code(), kJournalFull);
    EXPECT_EQ(dbm.find_pool("A")->header.error, 'E');
    (void)dbm.close("A");
  }
  EXPECT_EQ(journal_records(journal, damaged).size(), 3u);
}

// A change that fails after its record was written (a full disk under the
// pool) takes the record back: a replay must not make it.
TEST_F(DbmTest, AChangeThatFailsLeavesNoJournalRecord) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->close("A").code(), 0);
  const std::string pristine = dir_ + "/pristine";
  std::filesystem::copy_file(path_, pristine);
  const std::string journal = dir_ + "/a.sav";
  int failed = 0;
  for (std::uint64_t n = 1;; ++n) {
    std::filesystem::copy_file(pristine, path_, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(journal);
    FaultFileSystem faulty(fs_);
    ResultCode rc = 0;
    {
      Dbm dbm(faulty, nullptr);
      ASSERT_EQ(dbm.open("A", path_, 'U').code(), 0);
      ASSERT_EQ(dbm.set_save_file("A", journal).code(), 0);
      ASSERT_EQ(dbm.insert("A", 1, idn_key(1).data(), filled(30, 1)).code(), 0);
      faulty.fail_call(faulty.calls() + n);
      rc = dbm.insert("A", 1, idn_key(2).data(), filled(9000, 2));  // four pieces in new blocks
      (void)dbm.close("A");
    }
    if (!faulty.failed() || rc.ok()) {
      if (!faulty.failed()) break;
      continue;  // a failure the change got over (a close)
    }
    SCOPED_TRACE("call " + std::to_string(n) + " gave " + std::to_string(rc.code()));
    ++failed;
    bool damaged = true;
    EXPECT_EQ(journal_records(journal, damaged).size(), 1u);
    EXPECT_FALSE(damaged);
  }
  EXPECT_GT(failed, 5);
}

// Two processes journal into one save file, each its own pool: every
// record of both arrives whole and in each writer's order.
TEST_F(DbmTest, TwoWritersShareASaveFile) {
  constexpr std::uint32_t kEach = 4000;
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'D', 4, 20, 'F', 200, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->close("A").code(), 0);
  const std::string other = dir_ + "/b";
  std::filesystem::copy_file(path_, other);
  const std::string journal = dir_ + "/shared.sav";
  std::vector<pid_t> children;
  for (const std::string& pool : {std::string("A"), std::string("B")}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Dbm d(fs_, nullptr);
      bool ok = d.open(pool, pool == "A" ? path_ : other, 'U').ok() && d.set_save_file(pool, journal).ok();
      for (std::uint32_t i = 1; ok && i <= kEach; ++i)
        ok = d.insert(pool, 1, idn_key(i).data(), filled(40, i)).ok();
      ok = d.close(pool).ok() && ok;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  bool damaged = true;
  const std::vector<JournalRecord> records = journal_records(journal, damaged);
  EXPECT_FALSE(damaged);
  ASSERT_EQ(records.size(), 2 * kEach);
  std::map<std::string, std::uint32_t> last;
  for (const JournalRecord& r : records) {
    const std::uint32_t idn = get_u32(r.key.data());
    EXPECT_EQ(idn, last[r.pool] + 1) << r.pool;
    EXPECT_EQ(r.value, filled(40, idn));
    last[r.pool] = idn;
  }
  EXPECT_EQ(last["A"], kEach);
  EXPECT_EQ(last["B"], kEach);
}

// A close that cannot write what it holds lets the handle go and leaves the
// pool marked, so that nobody works on it before it has been checked.
TEST_F(DbmTest, AFailedCloseLeavesThePoolMarked) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->close("A").code(), 0);
  const std::string pristine = dir_ + "/pristine";
  std::filesystem::copy_file(path_, pristine);
  int failures = 0;
  int clean = 0;
  for (std::uint64_t n = 1;; ++n) {
    std::filesystem::copy_file(pristine, path_, std::filesystem::copy_options::overwrite_existing);
    FaultFileSystem faulty(fs_);
    Dbm dbm(faulty, nullptr);
    ASSERT_EQ(dbm.open("A", path_, 'R', 'W').code(), 0);  // deferred writes
    for (std::uint32_t i = 1; i <= 300; ++i)
      ASSERT_EQ(dbm.insert("A", 1, idn_key(i).data(), filled(50 + i % 70, i)).code(), 0);
    faulty.fail_call(faulty.calls() + n);
    const ResultCode closed = dbm.close("A");
    if (!faulty.failed()) break;
    SCOPED_TRACE("call " + std::to_string(n) + " of the close");
    ++failures;
    EXPECT_TRUE(closed.failed());
    EXPECT_EQ(dbm.find_pool("A"), nullptr);
    // Only when everything was written and the file itself would not close
    // is the pool found closed.
    const ResultCode again = dbm.open("A", path_, 'R');
    if (again.ok()) {
      ++clean;
    } else {
      EXPECT_EQ(again.code(), kPoolInUse);
      EXPECT_EQ(dbm.find_pool("A"), nullptr);
      ASSERT_EQ(dbm.open("A", path_, 'C').code(), 0);
    }
    ASSERT_EQ(dbm.close("A").code(), 0);
  }
  EXPECT_GT(failures, 5);
  EXPECT_LE(clean, 1);
}

TEST_F(DbmTest, BadArgumentsGiveCodesAndMessages) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 3, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  Bytes value(10);
  DataRef ref{value};
  EXPECT_EQ(dbm_->read("B", 3, idn_key(1).data(), ref).code(), kMissingArgument);
  EXPECT_EQ(dbm_->read("A", 4, idn_key(1).data(), ref).code(), kNoSuchFile);
  EXPECT_EQ(dbm_->read("A", 1000, idn_key(1).data(), ref).code(), kNoSuchFile);
  EXPECT_EQ(dbm_->read("A", 3, nullptr, ref).code(), kAbsent);
  Position pos;
  Bytes key = idn_key(1);
  EXPECT_EQ(dbm_->get("A", 3, key.data(), pos, ref).code(), kNoPosition);
  EXPECT_EQ(dbm_->next("A", 3, ref, nullptr).code(), kNoContinuation);
  EXPECT_EQ(dbm_->insert("A", 3, nullptr, value).code(), kInvalidFileParameters);
  EXPECT_EQ(dbm_->initialize("ABCDE", dir_ + "/x").code(), kMissingArgument);
  EXPECT_EQ(dbm_->open("A", path_, 'U').code(), 1);
  EXPECT_EQ(dbm_->open("A", path_, 'R').code(), kPoolInUse);
  EXPECT_EQ(dbm_->close("Z").code(), kCannotClose);
  // CREATE's checks.
  EXPECT_EQ(dbm_->create("A", FileSpec{'N', 5, 0, 'L', 4, 20, 'F', 1, 'V'}).code(), kInvalidFileParameters);
  EXPECT_EQ(dbm_->create("A", FileSpec{'N', 5, 0, 'L', 4, 20, 'F', 65, 'V'}).code(), kInvalidFileParameters);
  EXPECT_EQ(dbm_->create("A", FileSpec{'S', 5, 0, 'D', 0, 20, 'F', 100, 'V'}).code(), kNoSuchFile);
  EXPECT_EQ(dbm_->create("A", FileSpec{'N', 5, 3, 'D', 4, 20, 'F', 100, 'V'}).code(), kInvalidFileParameters);
  EXPECT_EQ(dbm_->create("A", FileSpec{'N', 3, 0, 'D', 4, 20, 'F', 100, 'V'}).code(), kNoSuchFile);
  const std::string out = printed();
  EXPECT_NE(out.find("DBM: Mess=-203, Func=READ, Pool=B, File=0003\n"), std::string::npos) << out;
  EXPECT_NE(out.find("DBM: Mess=-204, Func=READ, Pool=A, File=0004\n"), std::string::npos);
  EXPECT_NE(out.find("DBM: Mess=-231, Func=GET, Pool=A, File=0003\n"), std::string::npos);
  EXPECT_NE(out.find("DBM: Mess=-203, Func=INITIALIZE, Pool=ABCDE\n"), std::string::npos);
  EXPECT_NE(out.find("DBM: Mess=-234, Func=CREATE, Pool=A, File=0005\n"), std::string::npos);
}

TEST_F(DbmTest, ReadErrorsAreReportedWithTheirFile) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 3, 0, 'R', 4, 0, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->insert("A", 3, idn_key(1).data(), filled(500, 1)).code(), 0);
  ASSERT_EQ(dbm_->close("A").code(), 0);
  FaultFileSystem faulty(fs_);
  Dbm dbm(faulty, messages_);
  ASSERT_EQ(dbm.open("A", path_, 'R').code(), 0);
  faulty.fail_from(faulty.calls() + 1);  // the disk goes away
  Bytes value(1000);
  DataRef ref{value};
  EXPECT_EQ(dbm.read("A", 3, idn_key(1).data(), ref).code(), kReadError);
  EXPECT_NE(printed().find("DBM: Mess=-212, Func=READ, Pool=A, File=0003\n"), std::string::npos);
  faulty.clear();
  (void)dbm.close("A");
}

// Every I/O call of a run of writes with long values and lists fails in
// turn: each failure gives a code, never a crash, and check mode afterwards
// either repairs the pool or marks it damaged.
TEST_F(DbmTest, InjectedFailuresInChainsAndSplits) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 2, 0, 'L', 4, 12, 'F', 4, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->close("A").code(), 0);
  const std::string pristine = dir_ + "/pristine";
  std::filesystem::copy_file(path_, pristine);
  for (std::uint64_t n = 1;; n += 3) {
    std::filesystem::copy_file(pristine, path_, std::filesystem::copy_options::overwrite_existing);
    FaultFileSystem faulty(fs_);
    faulty.fail_call(n, n % 2 == 0);
    ResultCode rc = 0;
    {
      Dbm dbm(faulty, nullptr);
      rc = dbm.open("A", path_, 'U');
      for (std::uint32_t i = 1; rc.ok() && i <= 60; ++i) {
        rc = dbm.insert("A", 1, idn_key(i).data(), filled(100 + (i * 997) % 5000, i));
        Bytes item(4);
        put_u32(item.data(), i * 37 % 1000 + 1);
        if (rc.ok()) rc = dbm.list_insert("A", 2, idn_key(i % 3 + 1).data(), item);
        if (rc.ok() && i % 7 == 0) rc = dbm.update("A", 1, idn_key(i / 2).data(), filled(3000, i));
      }
      if (rc.ok()) rc = dbm.close("A");
    }
    if (!faulty.failed()) break;
    ASSERT_TRUE(rc.failed()) << "call " << n;
    Dbm check(fs_, nullptr);
    const ResultCode opened = check.open("A", path_, 'C');
    ASSERT_TRUE(opened.ok()) << "call " << n << " gave " << opened.code();
    const char error = check.find_pool("A")->header.error;
    EXPECT_TRUE(error == 0 || error == 'S' || error == 'E') << "call " << n;
    (void)check.close("A");
  }
}

TEST_F(DbmTest, FilesAreCreatedCheckedCountedAndDropped) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'M', 10, 0, 'R', 4, 0, 'F', 0, 'F'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'S', 11, 10, 'R', 0, 20, 'F', 3000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'S', 12, 10, 'L', 0, 12, 'F', 4, 'V'}).code(), 0);
  Pool* pool = dbm_->find_pool("A");
  EXPECT_EQ(pool->file(10)->entry_data_length, 25 + 17);
  EXPECT_EQ(pool->file(12)->data_offset, 25);
  FileInfo info;
  ASSERT_EQ(dbm_->file_info("A", 12, info).code(), 0);
  EXPECT_EQ(info.role, 'S');
  EXPECT_EQ(info.kind, 'L');
  EXPECT_EQ(info.key_length, 4);
  EXPECT_EQ(info.data_length, 4);
  EXPECT_EQ(dbm_->check("A", FileSpec{'S', 11, 10, 'R', 0, 20, 'F', 3000, 'V'}).code(), 0);
  EXPECT_EQ(dbm_->check("A", FileSpec{'S', 11, 10, 'R', 0, 20, 'F', 5000, 'V'}).code(), 0);  // corrected
  EXPECT_EQ(pool->file(11)->data_length, 5000);
  EXPECT_EQ(dbm_->check("A", FileSpec{'S', 11, 10, 'R', 0, 21, 'F', 5000, 'V'}).code(), 2);
  EXPECT_EQ(dbm_->check("A", FileSpec{'N', 20, 0, 'R', 4, 20, 'F', 5000, 'V'}).code(), kAbsent);
  EXPECT_EQ(dbm_->check("A", FileSpec{'X', 11, 10, 'R', 0, 20, 'F', 5000, 'V'}).code(),
            kInvalidFileParameters);

  const Bytes item = {0, 0, 0, 7};
  ASSERT_EQ(dbm_->insert("A", 11, idn_key(1).data(), text("rec")).code(), 0);
  ASSERT_EQ(dbm_->list_insert("A", 12, idn_key(1).data(), item).code(), 0);
  ASSERT_EQ(dbm_->list_insert("A", 12, idn_key(2).data(), item).code(), 0);
  std::uint32_t n = 0;
  ASSERT_EQ(dbm_->count("A", 11, n).code(), 0);
  EXPECT_EQ(n, 1u);
  ASSERT_EQ(dbm_->count("A", 12, n).code(), 0);
  EXPECT_EQ(n, 2u);
  ASSERT_EQ(dbm_->count("A", 10, n).code(), 0);
  EXPECT_EQ(n, 2u);
  // Removing the key for one subfile leaves it for the other.
  ASSERT_EQ(dbm_->list_delete("A", 12, idn_key(1).data(), item).code(), 0);
  Bytes back;
  ASSERT_EQ(read(11, idn_key(1), back).code(), 0);
  EXPECT_EQ(back, text("rec"));
  ASSERT_EQ(dbm_->count("A", 12, n).code(), 0);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(dbm_->drop_file("A", 12).code(), kFileNotEmpty);
  ASSERT_EQ(dbm_->delete_file("A", 12).code(), 0);
  ASSERT_EQ(dbm_->drop_file("A", 12).code(), 0);
  EXPECT_EQ(pool->file(12), nullptr);
  EXPECT_NE(printed().find("DBM: DELETE FILE=012 COUNT=0000001\n"), std::string::npos);
  std::string listing;
  ASSERT_EQ(dbm_->listing(listing, "A", 11).code(), 0);
  EXPECT_EQ(listing.substr(0, 39), "FILE=011, TYPE=RECORD:SUBFILE, MAIN=010");
}

// A leaf must hold two entries, or a full one cannot split.
TEST_F(DbmTest, EntryLayoutsThatCannotSplitAreRefused) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'M', 1, 0, 'D', 128, 0, 'F', 0, 'F'}).code(), 0);
  for (int f = 2; f <= 4; ++f)
    ASSERT_EQ(dbm_->create("A", FileSpec{'S', f, 1, 'D', 0, 256, 'F', 300, 'V'}).code(), 0) << f;
  // A fourth subfile would make the entry 128 + 4 * 261 = 1172 bytes.
  EXPECT_EQ(dbm_->create("A", FileSpec{'S', 5, 1, 'D', 0, 256, 'F', 300, 'V'}).code(),
            kInvalidFileParameters);
  Pool* pool = dbm_->find_pool("A");
  EXPECT_EQ(pool->file(5), nullptr);
  EXPECT_EQ(pool->file(1)->entry_data_length, 3 * 261);
  // Entries of 911 bytes split as usual.
  for (std::uint32_t i = 1; i <= 20; ++i) {
    Bytes key(128, 0);
    put_u32(key.data(), i * 7 % 20 + 1);
    ASSERT_EQ(dbm_->insert("A", 2 + static_cast<int>(i % 3), key.data(), filled(200, i)).code(), 0) << i;
  }
  std::uint32_t n = 0;
  ASSERT_EQ(dbm_->count("A", 1, n).code(), 0);
  EXPECT_EQ(n, 20u);

  // A descriptor from disk with such a layout is refused at the split
  // instead of overrunning the block.
  ASSERT_EQ(dbm_->create("A", FileSpec{'M', 6, 0, 'D', 128, 0, 'F', 0, 'F'}).code(), 0);
  FileDescriptor* wide = pool->file(6);
  Frame root;
  ASSERT_EQ(pool->index_buffers.get(*pool, *wide, 1, wide->start, root).code(), 0);
  wide->entry_data_length = 4 * 261;
  root.free = static_cast<std::int16_t>(kDataAreaSize - 128 - 4 * 261);
  ASSERT_EQ(pool->index_buffers.put(*pool, *wide, 1, root.block, root).code(), 0);
  FileDescriptor sub = *pool->file(2);
  sub.file = 7;
  sub.main = 6;
  ASSERT_EQ(pool->add_file(sub).code(), 0);
  Bytes key(128, 0);
  put_u32(key.data(), 1);
  EXPECT_EQ(dbm_->insert("A", 7, key.data(), filled(10, 1)).code(), kInvalidFileParameters);
}

// A block freed through the index ring, taken and freed again through the
// data ring: the index ring must not take the free chain from its own older
// copy of the block, which names a block in use.
TEST_F(DbmTest, AFreedBlockReusedForDataKeepsTheFreeChain) {
  ASSERT_EQ(dbm_->close("A").code(), 0);
  ASSERT_EQ(dbm_->open("A", path_, 'U', ' ', 50, 50).code(), 0);
  for (int f = 1; f <= 3; ++f)
    ASSERT_EQ(dbm_->create("A", FileSpec{'N', f, 0, 'D', 4, 0, 'F', 3000, 'V'}).code(), 0);
  for (int f = 1; f <= 3; ++f) ASSERT_EQ(dbm_->drop_file("A", f).code(), 0);
  // The roots are the chain now: the new file's root takes the first, its
  // two long values the others.
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 4, 0, 'D', 4, 0, 'F', 3000, 'V'}).code(), 0);
  const Bytes kept = filled(2000, 2);
  ASSERT_EQ(dbm_->insert("A", 4, idn_key(1).data(), filled(2000, 1)).code(), 0);
  ASSERT_EQ(dbm_->insert("A", 4, idn_key(2).data(), kept).code(), 0);
  Pool* pool = dbm_->find_pool("A");
  EXPECT_EQ(pool->header.chain, 0u);
  ASSERT_EQ(dbm_->remove("A", 4, idn_key(1).data()).code(), 0);
  // A new index takes the freed block and grows over several blocks.
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 5, 0, 'D', 4, 20, 'F', 20, 'F'}).code(), 0);
  EXPECT_EQ(pool->header.chain, 0u);
  for (std::uint32_t i = 1; i <= 400; ++i)
    ASSERT_EQ(dbm_->insert("A", 5, idn_key(i).data(), filled(20, i)).code(), 0) << i;
  Bytes back;
  ASSERT_EQ(read(4, idn_key(2), back).code(), 0);
  EXPECT_EQ(back, kept);
  for (std::uint32_t i = 1; i <= 400; ++i) {
    ASSERT_EQ(read(5, idn_key(i), back).code(), 0) << i;
    EXPECT_EQ(back, filled(20, i));
  }
}

// The counter byte of an item passed to LISTINS or LISTLOAD stands for as
// many further occurrences, so that a list read and loaded again keeps its
// counters; LISTDEL counts down by one whatever the byte says.
TEST_F(DbmTest, ListItemsCarryTheirCountersIn) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 2, 0, 'L', 8, 40, 'F', 4, 'V'}).code(), 0);
  const Bytes key = filled(8, 3);
  auto item = [](std::uint32_t v, unsigned char counter) {
    Bytes b(4);
    put_u32(b.data(), v);
    b[0] = counter;
    return b;
  };
  auto counter_of = [&](std::uint32_t v) {
    Bytes back;
    EXPECT_EQ(read(2, key, back).code(), 0);
    for (std::size_t at = 0; at + 4 <= back.size(); at += 4) {
      if ((get_u32(back.data() + at) & 0xFFFFFF) == v) return static_cast<int>(back[at]);
    }
    return -1;
  };
  // Inline: a new list, a new item, an item counted on, the top of 254.
  ASSERT_EQ(dbm_->list_load("A", 2, key.data(), item(50, 2)).code(), 0);
  EXPECT_EQ(counter_of(50), 2);
  ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(50, 3)).code(), 0);
  EXPECT_EQ(counter_of(50), 6);
  ASSERT_EQ(dbm_->list_load("A", 2, key.data(), item(50, 0)).code(), 0);
  EXPECT_EQ(counter_of(50), 7);
  ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(40, 255)).code(), 0);
  EXPECT_EQ(counter_of(40), 254);
  ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(50, 250)).code(), 0);
  EXPECT_EQ(counter_of(50), 254);
  ASSERT_EQ(dbm_->list_delete("A", 2, key.data(), item(50, 9)).code(), 0);
  EXPECT_EQ(counter_of(50), 253);
  // The list moves out into a piece, the new item with its counter.
  for (std::uint32_t v = 1; v <= 8; ++v)
    ASSERT_EQ(dbm_->list_insert("A", 2, key.data(), item(v, 0)).code(), 0);
  EXPECT_TRUE(RecordPointer::decode(part_of(2, key).data() + 40).empty());
  ASSERT_EQ(dbm_->list_load("A", 2, key.data(), item(30, 5)).code(), 0);
  EXPECT_FALSE(RecordPointer::decode(part_of(2, key).data() + 40).empty());
  EXPECT_EQ(counter_of(30), 5);
  // Chained: a new item and one counted on.
  ASSERT_EQ(dbm_->list_load("A", 2, key.data(), item(20, 1)).code(), 0);
  EXPECT_EQ(counter_of(20), 1);
  ASSERT_EQ(dbm_->list_load("A", 2, key.data(), item(20, 1)).code(), 0);
  EXPECT_EQ(counter_of(20), 3);
  // A list that outgrows a block splits; the counters go along.
  for (std::uint32_t v = 100; v < 700; ++v)
    ASSERT_EQ(dbm_->list_load("A", 2, key.data(), item(v, static_cast<unsigned char>(v % 7))).code(), 0);
  for (std::uint32_t v = 100; v < 700; v += 37) EXPECT_EQ(counter_of(v), static_cast<int>(v % 7)) << v;
  EXPECT_EQ(counter_of(30), 5);
  // A fixed list keeps the counter of its first item.
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 3, 0, 'L', 8, 4, 'F', 4, 'F'}).code(), 0);
  ASSERT_EQ(dbm_->list_load("A", 3, key.data(), item(9, 4)).code(), 0);
  ASSERT_EQ(dbm_->list_insert("A", 3, key.data(), item(9, 1)).code(), 0);
  Bytes back;
  ASSERT_EQ(read(3, key, back).code(), 0);
  EXPECT_EQ(back, item(9, 6));
}

// DELETE of a whole file ends as deleting every key would: the other
// subfile of the same main file keeps its entries, the chains of long
// values are freed and used again, and the work grows with the file's size,
// not with its square.
TEST_F(DbmTest, DeleteFileRemovesEveryEntryOfItsFileOnly) {
  ASSERT_EQ(dbm_->create("A", FileSpec{'M', 1, 0, 'R', 4, 0, 'F', 0, 'F'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'S', 2, 1, 'R', 0, 20, 'F', 30000, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'S', 3, 1, 'L', 0, 12, 'F', 4, 'V'}).code(), 0);
  ASSERT_EQ(dbm_->create("A", FileSpec{'N', 4, 0, 'D', 8, 30, 'F', 3000, 'V'}).code(), 0);
  Pool* pool = dbm_->find_pool("A");
  std::mt19937 rng(11);
  std::map<std::uint32_t, Bytes> records;
  std::map<std::uint32_t, std::set<std::uint32_t, std::greater<>>> lists;
  std::map<Bytes, Bytes> data;
  auto fill = [&] {
    for (int i = 0; i < 3000; ++i) {
      const std::uint32_t idn = rng() % 6000 + 1;
      const Bytes value = filled(1 + rng() % (rng() % 5 == 0 ? 6000 : 60), static_cast<unsigned>(i));
      ASSERT_EQ(dbm_->update("A", 2, idn_key(idn).data(), value).code(), records.count(idn) ? 0 : kAbsent);
      if (!records.count(idn)) {
        ASSERT_EQ(dbm_->insert("A", 2, idn_key(idn).data(), value).code(), 0);
      }
      records[idn] = value;
    }
  };
  const std::uint32_t free_start = pool->header.free;
  fill();
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t idn = rng() % 6000 + 1;
    const std::uint32_t v = rng() % 50 + 1;
    Bytes it(4);
    put_u32(it.data(), v);
    ASSERT_EQ(dbm_->list_insert("A", 3, idn_key(idn).data(), it).code(), 0);
    lists[idn].insert(v);
  }
  for (std::uint32_t i = 0; i < 500; ++i) {
    Bytes key(8, 'k');
    put_u32(key.data() + 4, i);
    data[key] = filled(1 + i * 7 % 900, i);
    ASSERT_EQ(dbm_->insert("A", 4, key.data(), data[key]).code(), 0);
  }
  const std::uint32_t free_before = pool->header.free;
  const auto accesses = [&] { return pool->index_buffers.stats().hits + pool->index_buffers.stats().reads; };
  const std::uint64_t before = accesses();
  ASSERT_EQ(dbm_->delete_file("A", 2).code(), 0);
  const std::uint64_t per_entry = (accesses() - before) / records.size();
  EXPECT_LE(per_entry, 4u * (pool->file(1)->level + 2u)) << "index blocks read per entry";
  const std::string progress = printed();
  EXPECT_NE(progress.find("DBM: DELETE FILE=002 COUNT=0001000\n"), std::string::npos) << progress;
  char last[64];
  std::snprintf(last, sizeof last, "DBM: DELETE FILE=002 COUNT=%07zu\n", records.size());
  EXPECT_NE(progress.rfind(last), std::string::npos) << progress;
  EXPECT_EQ(pool->file(1)->last, 0u);

  std::uint32_t n = 9;
  ASSERT_EQ(dbm_->count("A", 2, n).code(), 0);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(dbm_->count("A", 3, n).code(), 0);
  EXPECT_EQ(n, lists.size());
  Bytes back;
  for (const auto& [idn, items] : lists) {
    ASSERT_EQ(read(3, idn_key(idn), back).code(), 0) << idn;
    ASSERT_EQ(back.size(), items.size() * 4) << idn;
    std::size_t at = 0;
    for (std::uint32_t v : items) {
      EXPECT_EQ(get_u32(back.data() + at) & 0xFFFFFF, v);
      at += 4;
    }
  }
  for (const auto& [key, value] : data) {
    ASSERT_EQ(read(4, key, back).code(), 0);
    EXPECT_EQ(back, value);
  }
  // The freed chains carry the same values again without new blocks.
  EXPECT_NE(pool->header.chain, 0u);
  records.clear();
  rng.seed(11);
  fill();
  EXPECT_LT(pool->header.free - free_before, (free_before - free_start) / 20);
  for (const auto& [idn, value] : records) {
    ASSERT_EQ(read(2, idn_key(idn), back).code(), 0);
    EXPECT_EQ(back, value);
  }
  // Deleting the list subfile too leaves only the sentinel in the main file.
  ASSERT_EQ(dbm_->delete_file("A", 3).code(), 0);
  ASSERT_EQ(dbm_->delete_file("A", 2).code(), 0);
  ASSERT_EQ(dbm_->count("A", 1, n).code(), 0);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(dbm_->count("A", 4, n).code(), 0);
  EXPECT_EQ(n, data.size());
  expect_nothing_to_repair(*dbm_, path_);
}

// Thousands of random operations per kind of file against a model; every
// READ and traversal is checked, and the pool passes the check afterwards
// with nothing to repair.
struct Kind {
  const char* name;
  std::vector<FileSpec> files;  // the files the operations go to (a main file first when used)
  std::vector<int> targets;
};

class DbmModelTest : public DbmTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(DbmModelTest, AgreesWithAModel) {
  const Kind& kind = GetParam();
  std::mt19937 rng(2024);
  for (const FileSpec& s : kind.files) ASSERT_EQ(dbm_->create("A", s).code(), 0) << s.file;
  Pool* pool = dbm_->find_pool("A");
  std::map<int, std::map<Bytes, Bytes>> data_model;
  std::map<int, std::map<Bytes, std::map<Bytes, int, std::greater<>>>> list_model;

  auto key_for = [&](int file, std::uint32_t v) {
    const std::size_t k = pool->file(file)->main != 0 ? pool->file(pool->file(file)->main)->index_length
                                                      : pool->file(file)->index_length;
    Bytes key(k, 0);
    put_u32(key.data(), v);
    return key;
  };
  auto check_file = [&](int file) {
    const FileDescriptor& fd = *pool->file(file);
    Bytes key = key_for(file, 0);
    Position pos;
    Bytes value(100000);
    DataRef ref{value};
    std::vector<Bytes> keys;
    ResultCode rc = dbm_->set("A", file, key.data(), pos, ref);
    while (rc.code() == 0) {
      keys.push_back(key);
      if (fd.is_list()) {
        const auto& items = list_model[file][key];
        std::size_t i = 0;
        for (const auto& [it, counter] : items) {
          EXPECT_EQ(Bytes(value.begin() + static_cast<long>(i) + 1,
                          value.begin() + static_cast<long>(i + fd.item_length)),
                    Bytes(it.begin() + 1, it.end()));
          EXPECT_EQ(value[i], counter);
          i += fd.item_length;
        }
        EXPECT_EQ(ref.length, i);
      } else {
        Bytes got(value.begin(), value.begin() + static_cast<long>(ref.length));
        if (!(fd.data_flags & kDataVariable)) got.resize(fd.entry_data_length);
        Bytes want = data_model[file][key];
        if (!(fd.data_flags & kDataVariable)) want.resize(fd.entry_data_length, 0);
        EXPECT_EQ(got, want);
      }
      rc = dbm_->get("A", file, key.data(), pos, ref);
    }
    ASSERT_EQ(rc.code(), kEnd);
    const std::size_t expected = fd.is_list() ? list_model[file].size() : data_model[file].size();
    ASSERT_EQ(keys.size(), expected);
    std::uint32_t n = 0;
    ASSERT_EQ(dbm_->count("A", file, n).code(), 0);
    EXPECT_EQ(n, expected);
    // Backwards from the last key.
    if (!keys.empty()) {
      Bytes last = keys.back();
      ASSERT_EQ(dbm_->set("A", file, last.data(), pos, ref).code(), 0);
      std::size_t at = keys.size() - 1;
      while (dbm_->prev("A", file, last.data(), pos, ref).code() == 0) {
        ASSERT_EQ(last, keys[at]);
        if (at == 0) break;
        --at;
      }
    }
  };

  for (int op = 0; op < 4000; ++op) {
    const int file = kind.targets[rng() % kind.targets.size()];
    const FileDescriptor& fd = *pool->file(file);
    const Bytes key = key_for(file, 1 + rng() % 300);
    const unsigned what = rng() % 10;
    if (fd.is_list()) {
      Bytes item(fd.item_length, 0);
      put_u32(item.data() + fd.item_length - 4, rng() % 400 + 1);
      item[0] = 0;
      auto& items = list_model[file][key];
      if (what < 6) {
        ASSERT_EQ(dbm_->list_insert("A", file, key.data(), item).code(), 0) << op;
        auto [it, fresh] = items.emplace(item, 0);
        if (!fresh && it->second < 254) ++it->second;
      } else {
        const auto it = items.find(item);
        const ResultCode rc = dbm_->list_delete("A", file, key.data(), item);
        if (it == items.end()) {
          ASSERT_EQ(rc.code(), kAbsent) << op;
        } else {
          ASSERT_EQ(rc.code(), 0) << op;
          if (it->second > 0)
            --it->second;
          else
            items.erase(it);
        }
      }
      if (items.empty()) list_model[file].erase(key);
    } else {
      const bool variable = (fd.data_flags & kDataVariable) != 0;
      const std::size_t longest = variable ? (rng() % 4 == 0 ? 7000 : 300) : fd.entry_data_length;
      const Bytes value = filled(1 + rng() % longest, static_cast<unsigned>(op));
      auto& model = data_model[file];
      if (what < 4) {
        const ResultCode rc = dbm_->insert("A", file, key.data(), value);
        ASSERT_EQ(rc.code(), 0) << op;
        model[key] = value;
      } else if (what < 7) {
        const ResultCode rc = dbm_->update("A", file, key.data(), value);
        if (model.count(key) != 0) {
          ASSERT_EQ(rc.code(), 0) << op;
          model[key] = value;
        } else {
          ASSERT_EQ(rc.code(), kAbsent) << op;
        }
      } else if (what < 9) {
        const ResultCode rc = dbm_->remove("A", file, key.data());
        ASSERT_EQ(rc.code(), model.erase(key) != 0 ? 0 : kAbsent) << op;
      } else {
        Bytes back;
        const ResultCode rc = read(file, key, back);
        const auto it = model.find(key);
        if (it == model.end()) {
          ASSERT_EQ(rc.code(), kAbsent) << op;
        } else {
          ASSERT_EQ(rc.code(), 0) << op;
          Bytes want = it->second;
          if (!variable) want.resize(fd.entry_data_length, 0);
          ASSERT_EQ(back, want) << op;
        }
      }
    }
    if (op % 1000 == 999) {
      for (int f : kind.targets) check_file(f);
    }
  }
  for (int f : kind.targets) check_file(f);
  std::size_t live = 0;
  for (const auto& [f, m] : data_model) live += m.size();
  for (const auto& [f, m] : list_model) live += m.size();
  EXPECT_GT(live, 100u);  // the run built up real content

  expect_nothing_to_repair(*dbm_, path_);
  pool = dbm_->find_pool("A");
  for (int f : kind.targets) check_file(f);
}

INSTANTIATE_TEST_SUITE_P(
    FileKinds, DbmModelTest,
    ::testing::Values(Kind{"DataFixed", {FileSpec{'N', 1, 0, 'D', 6, 30, 'F', 30, 'F'}}, {1}},
                      Kind{"DataVariable", {FileSpec{'N', 1, 0, 'D', 8, 60, 'F', 30000, 'V'}}, {1}},
                      Kind{"Record", {FileSpec{'N', 1, 0, 'R', 4, 20, 'F', 30000, 'V'}}, {1}},
                      Kind{"ListVariable", {FileSpec{'N', 1, 0, 'L', 4, 24, 'F', 4, 'V'}}, {1}},
                      Kind{"ListWide", {FileSpec{'N', 1, 0, 'L', 12, 40, 'V', 8, 'V'}}, {1}},
                      Kind{"MainWithSubfiles",
                           {FileSpec{'M', 1, 0, 'R', 4, 0, 'F', 0, 'F'},
                            FileSpec{'S', 2, 1, 'R', 0, 30, 'F', 30000, 'V'},
                            FileSpec{'S', 3, 1, 'L', 0, 16, 'F', 4, 'V'}},
                           {2, 3}}),
    [](const ::testing::TestParamInfo<Kind>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvanta::dbm
