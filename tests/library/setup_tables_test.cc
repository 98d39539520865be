// The setup tables: the key layout, the store in a pool file, its text form
// and the policy lookups with their fallbacks.
#include "library/setup_tables.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "dbm/file_io.h"
#include "scratch_dir.h"

namespace corvanta::records {
namespace {

std::string key_text(const SetupKey& key) {
  return std::string(reinterpret_cast<const char*>(key.data()), key.size());
}

TEST(SetupKey, PartsAtTheirPlacesBlankFilled) {
  EXPECT_EQ(key_text(setup_key(std::string_view("HB1"), "Period", "0101")), "HB1  PRD0101      ");
  // No sub-library, or one too long for the field: "#####".
  EXPECT_EQ(key_text(setup_key(std::nullopt, "opening", "####1224")), "#####OPN####1224  ");
  EXPECT_EQ(key_text(setup_key(std::string_view("ABCDEF"), "Sublib", "X")), "#####SUBX         ");
  // An empty sub-library and an unknown block stay blank; an entry key of
  // eleven characters is not copied.
  EXPECT_EQ(key_text(setup_key(std::string_view(""), "Sublib", "HB1")), "     SUBHB1       ");
  EXPECT_EQ(key_text(setup_key(std::string_view("HB1"), "Nonsense", "12345678901")), "HB1               ");
  EXPECT_EQ(key_text(setup_key(std::string_view("HB1"), "Reminder", "1234567890")), "HB1  REM1234567890");

  const SetupEntry e = split_setup_key(setup_key(std::string_view("HB1"), "BORRFINES", "AB##"));
  EXPECT_EQ(e.sublib, "HB1");
  EXPECT_EQ(e.block, "BorrFines");
  EXPECT_EQ(e.entry, "AB##");
}

TEST(PolicyItem, NamedAndFirstItems) {
  const std::string v = "PERIOD=7, LETTER = N,fine=1.50";
  EXPECT_EQ(PolicyLookup::item(v, "PERIOD"), "7");
  EXPECT_EQ(PolicyLookup::item(v, "letter"), "N");
  EXPECT_EQ(PolicyLookup::item(v, "FINE"), "1.50");
  EXPECT_EQ(PolicyLookup::item(v, "POST"), "");
  EXPECT_EQ(PolicyLookup::item("Closed, from 12", ""), "Closed");
  EXPECT_EQ(PolicyLookup::item("", "PERIOD"), "");
}

class SetupStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("setup_tables");
    messages_ = std::tmpfile();
    dbm_ = std::make_unique<dbm::Dbm>(fs_, messages_);
    ASSERT_EQ(dbm_->initialize("A", dir_ + "/a").code(), 0);
    ASSERT_EQ(dbm_->open("A", dir_ + "/a", 'U').code(), 0);
    dbm::FileSpec setup_file;
    setup_file.file = 9;
    setup_file.kind = 'D';
    setup_file.key_length = static_cast<int>(kSetupKeyLength);
    setup_file.length = 2000;
    ASSERT_EQ(dbm_->create("A", setup_file).code(), 0);
    store_ = std::make_unique<SetupStore>(*dbm_, "A", 9);
  }
  void TearDown() override {
    store_.reset();
    dbm_.reset();
    std::fclose(messages_);
    std::filesystem::remove_all(dir_);
  }

  std::size_t import(const std::string& text, ResultCode* result = nullptr) {
    std::istringstream in(text);
    std::size_t count = 0;
    const ResultCode rc =
        store_->import_text([&](std::string& line) { return bool(std::getline(in, line)); }, {}, count);
    if (result != nullptr) *result = rc;
    return count;
  }
  std::string exported(std::string_view sublib = {}, std::string_view block = {}) {
    std::string out;
    std::size_t count = 0;
    EXPECT_EQ(store_
                  ->export_text(
                      sublib, block,
                      [&](std::string_view t) {
                        out += t;
                        return true;
                      },
                      count)
                  .code(),
              0);
    return out;
  }

  dbm::PosixFileSystem fs_;
  std::string dir_;
  std::FILE* messages_ = nullptr;
  std::unique_ptr<dbm::Dbm> dbm_;
  std::unique_ptr<SetupStore> store_;
};

TEST_F(SetupStoreTest, TextFormRoundTripsInKeyOrder) {
  const std::string text =
      "* comment lines, blank-led lines and short ones are passed over\n"
      "! also this\n"
      " Mon = C\n"
      "x\n"
      "(Opening)\n"
      "####1224 = C\n"
      "20261223=C closed for stock-taking\n"
      "(WeekdaysHB1)\n"
      "Sun = C\n"
      "Sat=C\n"
      "(ReminderHB1)\n"
      "####0 = PERIOD=7, LETTER=Y, FINE=1.50\n"
      "ABCDEFGHIJKL = cut key\n";
  ResultCode rc;
  EXPECT_EQ(import(text, &rc), 6u);
  EXPECT_EQ(rc.code(), 0);
  const std::string all = exported();
  EXPECT_EQ(all,
            "\n(Opening)\n####1224 = C\n20261223 = C closed for stock-taking\n"
            "\n(ReminderHB1)\n####0 = PERIOD=7, LETTER=Y, FINE=1.50\nABCDEFGHIJ = cut key\n"
            "\n(WeekdaysHB1)\nSat = C\nSun = C\n");
  // What was exported reads back to the same tables.
  std::size_t deleted = 0;
  ASSERT_EQ(store_->delete_block(std::string_view("HB1"), "Weekdays", deleted).code(), 0);
  EXPECT_EQ(deleted, 2u);
  ASSERT_EQ(store_->delete_block(std::string_view("HB1"), "Reminder", deleted).code(), 0);
  ASSERT_EQ(store_->delete_block(std::nullopt, "Opening", deleted).code(), 0);
  EXPECT_EQ(exported(), "");
  EXPECT_EQ(import(all), 6u);
  EXPECT_EQ(exported(), all);
  // One sub-library, one block.
  EXPECT_EQ(exported("HB1", "Weekdays"), "\n(WeekdaysHB1)\nSat = C\nSun = C\n");
  EXPECT_EQ(exported({}, "Opening"), "\n(Opening)\n####1224 = C\n20261223 = C closed for stock-taking\n");
}

TEST_F(SetupStoreTest, ChangesAndDeletingABlockKeepTheNeighbours) {
  ASSERT_EQ(store_->insert(std::string_view("HB1"), "Period", "AB01", "LOAN=28").code(), 0);
  ASSERT_EQ(store_->insert(std::string_view("HB1"), "Limit", "AB01", "FINE=10").code(), 0);
  ASSERT_EQ(store_->insert(std::string_view("HB2"), "Period", "AB01", "LOAN=14").code(), 0);
  EXPECT_EQ(store_->update(std::string_view("HB1"), "Period", "XX01", "LOAN=1").code(), 1);
  ASSERT_EQ(store_->update(std::string_view("HB1"), "Period", "AB01", std::string(300, 'v')).code(), 0);
  std::string value;
  ASSERT_EQ(store_->read(std::string_view("HB1"), "Period", "AB01", value).code(), 0);
  EXPECT_EQ(value, std::string(200, 'v'));  // cut to the longest value
  EXPECT_EQ(store_->read(std::string_view("HB1"), "Period", "XX01", value).code(), 1);
  EXPECT_EQ(value, "");
  // An empty value under an empty key is taken and reads as no entry.
  ASSERT_EQ(store_->load(std::string_view("HB1"), "Period", "", "").code(), 0);
  value = "x";
  EXPECT_NE(store_->read(std::string_view("HB1"), "Period", "", value).code(), 0);
  EXPECT_EQ(value, "");

  std::size_t deleted = 0;
  ASSERT_EQ(store_->delete_block(std::string_view("HB1"), "Period", deleted).code(), 0);
  EXPECT_EQ(deleted, 1u);
  EXPECT_EQ(exported(), "\n(LimitHB1)\nAB01 = FINE=10\n\n(PeriodHB2)\nAB01 = LOAN=14\n");
}

TEST_F(SetupStoreTest, LookupsFallBackFromTheMostSpecificKey) {
  import(
      "(BorrFinesZB)\nAB## = POST=1.00\n##CD = POST=2.00\n#### = POST=3.00\nEF = EMAIL=0.50\n## = "
      "EMAIL=0.10\n"
      "(ReminderZB)\n####0 = PERIOD=7\nAB##1 = PERIOD=10\n##CD1 = LETTER=N\nABCD1 = FINE=2.50\n"
      "(OpeningZB)\n####1224 = C\n20261224 = Open\n####1225 = C\n"
      "(WeekdaysZB)\nSun = C\nSat = Open\n");
  const PolicyLookup policy(store_.get(), "ZB");
  // ##II wins over BB##; BB## is found on the third try; then ####.
  EXPECT_EQ(policy.value_status("BorrFines", "ABCD", "POST"), "2.00");
  EXPECT_EQ(policy.value_status("BorrFines", "ABXY", "POST"), "1.00");
  EXPECT_EQ(policy.value_status("BorrFines", "QRST", "POST"), "3.00");
  EXPECT_EQ(policy.value_status("BorrFines", "EF", "EMAIL"), "0.50");
  EXPECT_EQ(policy.value_status("BorrFines", "GH", "EMAIL"), "0.10");

  // A reminder rule: the first key whose value has the item.
  EXPECT_EQ(policy.reminder_item("AB", "CD", 1, "FINE"), "2.50");
  EXPECT_EQ(policy.reminder_item("AB", "CD", 1, "LETTER"), "N");
  EXPECT_EQ(policy.reminder_item("AB", "CD", 1, "PERIOD"), "10");
  EXPECT_EQ(policy.reminder_item("XY", "ZZ", 0, "PERIOD"), "7");  // ####0 for every loan
  EXPECT_EQ(policy.reminder_item("XY", "ZZ", 1, "PERIOD"), "");

  // Closed days: every 24 and 25 December, but 2026-12-24 is open; Sundays.
  EXPECT_TRUE(policy.closed("20251224"));
  EXPECT_FALSE(policy.closed("20261224"));
  EXPECT_TRUE(policy.closed("20261225"));
  EXPECT_TRUE(policy.closed("20261206"));   // a Sunday
  EXPECT_FALSE(policy.closed("20261205"));  // a Saturday, open
  EXPECT_FALSE(policy.closed("20261207"));
  // Another sub-library has no weekday closures; no store, no policy.
  EXPECT_FALSE(PolicyLookup(store_.get(), "HB1").closed("20261206"));
  EXPECT_EQ(PolicyLookup(nullptr, "ZB").lookup("Opening", "####1224"), "");
}

TEST_F(SetupStoreTest, GeneralEntriesServeWhereTheSublibraryHasNone) {
  import(
      "(Weekdays)\nSun = C\nSat = C\n"
      "(Reminder)\n####0 = PERIOD=7, FINE=1.00\nAB##1 = PERIOD=3\n"
      "(WeekdaysHB1)\nSat = Open\n"
      "(ReminderHB1)\n####1 = PERIOD=10\n");
  const PolicyLookup hb1(store_.get(), "HB1");
  const PolicyLookup zb(store_.get(), "ZB");
  // The sub-library's own entry, else the general one.
  EXPECT_FALSE(hb1.closed("20261205"));  // Saturday: open in HB1
  EXPECT_TRUE(hb1.closed("20261206"));   // Sunday: closed everywhere
  EXPECT_TRUE(zb.closed("20261205"));
  // The whole chain of keys is tried in the sub-library first: its ####1
  // wins over the general AB##1.
  EXPECT_EQ(hb1.reminder_item("AB", "CD", 1, "PERIOD"), "10");
  EXPECT_EQ(zb.reminder_item("AB", "CD", 1, "PERIOD"), "3");
  EXPECT_EQ(hb1.reminder_item("AB", "CD", 0, "FINE"), "1.00");
  // The general entries themselves have nothing to fall back to.
  EXPECT_EQ(PolicyLookup(store_.get(), "#####").reminder_item("XY", "ZZ", 1, "PERIOD"), "");
}

}  // namespace
}  // namespace corvanta::records
