// The borrowers' cash accounts: the entry layout, numbering per borrower,
// and open balances against a simple model over many postings.
#include "library/cash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>

#include "dbm/file_io.h"
#include "scratch_dir.h"

namespace corvanta::records {
namespace {

TEST(CashEntry, BytesAtTheirPlaces) {
  CashTransaction t;
  t.borrower = 0x01020304;
  t.number = 7;
  t.type = "REMIND";
  t.item = 0x0A0B0C0D;
  t.sublib = "ZB";
  t.cents = -150;
  t.date = "20261207";
  const CashKey key = cash_key(t.borrower, t.number);
  EXPECT_EQ(std::string(key.begin(), key.end()), std::string("\x01\x02\x03\x04\x00\x00\x00\x07", 8));
  const CashValue v = encode_cash(t);
  const std::string bytes(v.begin(), v.end());
  EXPECT_EQ(bytes.substr(0, 10), "REMIND    ");
  EXPECT_EQ(bytes.substr(10, 4), "\x0A\x0B\x0C\x0D");
  EXPECT_EQ(bytes.substr(14, 5), "ZB   ");
  // -150 as a signed 64-bit big-endian integer.
  EXPECT_EQ(bytes.substr(19, 8), std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x6A", 8));
  EXPECT_EQ(bytes.substr(27, 8), "20261207");
  EXPECT_EQ(bytes[35], 'O');
  EXPECT_EQ(bytes.substr(36), std::string(4, '\0'));

  CashTransaction back;
  ASSERT_TRUE(decode_cash(key, v, back));
  EXPECT_EQ(back.borrower, t.borrower);
  EXPECT_EQ(back.number, 7u);
  EXPECT_EQ(back.type, "REMIND");
  EXPECT_EQ(back.item, t.item);
  EXPECT_EQ(back.sublib, "ZB");
  EXPECT_EQ(back.cents, -150);
  EXPECT_EQ(back.date, "20261207");
  EXPECT_FALSE(decode_cash(key, std::span<const unsigned char>(v.data(), 20), back));
}

TEST(CashEntry, AmountsRoundToCents) {
  EXPECT_EQ(cash_cents(1.5), 150);
  EXPECT_EQ(cash_cents(0.855), 86);
  EXPECT_EQ(cash_cents(-2.004), -200);
  EXPECT_EQ(cash_cents(1e300), 100000000000000000);  // cut, not overflowed
  EXPECT_EQ(cash_cents(std::nan("")), 0);
}

class CashBookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("cash");
    messages_ = std::tmpfile();
    dbm_ = std::make_unique<dbm::Dbm>(fs_, messages_);
    ASSERT_EQ(dbm_->initialize("A", dir_ + "/a").code(), 0);
    ASSERT_EQ(dbm_->open("A", dir_ + "/a", 'U').code(), 0);
    dbm::FileSpec file;
    file.file = 13;
    file.kind = 'D';
    file.key_length = static_cast<int>(kCashKeyLength);
    file.entry_length = static_cast<int>(kCashValueLength);
    file.length = static_cast<int>(kCashValueLength);
    file.data_form = 'F';
    ASSERT_EQ(dbm_->create("A", file).code(), 0);
    book_ = std::make_unique<CashBook>(*dbm_, "A", 13);
  }
  void TearDown() override {
    book_.reset();
    dbm_.reset();
    std::fclose(messages_);
    std::filesystem::remove_all(dir_);
  }
  dbm::PosixFileSystem fs_;
  std::string dir_;
  std::FILE* messages_ = nullptr;
  std::unique_ptr<dbm::Dbm> dbm_;
  std::unique_ptr<CashBook> book_;
};

TEST_F(CashBookTest, EachBorrowerCountsAndSumsOwnTransactions) {
  ASSERT_EQ(book_->post("REMIND", 5, 11, "ZB", 1.50, "20261207").code(), 0);
  ASSERT_EQ(book_->post("POST", 5, 0, "ZB", 0.85, "20261207").code(), 0);
  ASSERT_EQ(book_->post("REMIND", 6, 12, "ZB", 2.50, "20261207").code(), 0);
  ASSERT_EQ(book_->post("PAY", 5, 0, "ZB", -1.00, "20261208").code(), 0);
  // Borrower 4 and 0xFFFFFFFF have none: the walk stops at the next borrower.
  double balance = -1;
  ASSERT_EQ(book_->balance(4, balance).code(), 0);
  EXPECT_EQ(balance, 0.0);
  ASSERT_EQ(book_->balance(0xFFFFFFFFu, balance).code(), 0);
  EXPECT_EQ(balance, 0.0);
  ASSERT_EQ(book_->balance(5, balance).code(), 0);
  EXPECT_DOUBLE_EQ(balance, 1.35);
  std::vector<CashTransaction> all;
  ASSERT_EQ(book_->transactions(5, all).code(), 0);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].number, 1u);
  EXPECT_EQ(all[2].number, 3u);
  EXPECT_EQ(all[2].type, "PAY");
  ASSERT_EQ(book_->transactions(6, all).code(), 0);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].item, 12u);
}

// Thousands of postings over a few hundred borrowers against a map of
// their balances in cents.
TEST_F(CashBookTest, BalancesMatchAModel) {
  std::mt19937 rng(19);
  std::map<std::uint32_t, std::int64_t> model;
  std::map<std::uint32_t, std::uint32_t> counts;
  for (int i = 0; i < 4000; ++i) {
    const std::uint32_t borrower = 1 + rng() % 300;
    const std::int64_t cents = static_cast<std::int64_t>(rng() % 2000) - 500;
    ASSERT_EQ(book_->post("T", borrower, 0, "ZB", static_cast<double>(cents) / 100.0, "20261207").code(), 0);
    model[borrower] += cents;
    ++counts[borrower];
  }
  for (const auto& [borrower, cents] : model) {
    double balance = 0;
    ASSERT_EQ(book_->balance(borrower, balance).code(), 0);
    EXPECT_EQ(cash_cents(balance), cents) << borrower;
    std::vector<CashTransaction> all;
    ASSERT_EQ(book_->transactions(borrower, all).code(), 0);
    ASSERT_EQ(all.size(), counts[borrower]);
    EXPECT_EQ(all.back().number, counts[borrower]);
  }
}

}  // namespace
}  // namespace corvanta::records
