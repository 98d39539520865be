// The cash accounts of a pool's borrowers: fines, fees and payments as
// transactions in a data file of the pool, one entry a transaction.
//
// The entry's key (8 bytes) and value (40 bytes), integers big-endian:
//
//   key    0  4  borrower IDN
//          4  4  transaction number, counted from 1 for each borrower
//   value  0 10  type ("REMIND", "POST", "EMAIL", ...), blank-filled
//         10  4  item IDN, 0 for none
//         14  5  sub-library, blank-filled
//         19  8  amount in cents, signed (two's complement): owed by the
//                borrower when positive, paid or credited when negative
//         27  8  date YYYYMMDD
//         35  1  state: "O" open, "C" closed (settled)
//         36  4  0
//
// Transactions are written through the database manager like every other
// change, so the journal brings them back after a restore. The open
// balance is the sum of a borrower's open transactions.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbm/dbm.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::size_t kCashKeyLength = 8;
inline constexpr std::size_t kCashValueLength = 40;

struct CashTransaction {
  std::uint32_t borrower = 0;
  std::uint32_t number = 0;
  std::string type;  // up to 10 characters
  std::uint32_t item = 0;
  std::string sublib;  // up to 5 characters
  std::int64_t cents = 0;
  std::string date;  // YYYYMMDD
  char state = 'O';
};

using CashKey = std::array<unsigned char, kCashKeyLength>;
using CashValue = std::array<unsigned char, kCashValueLength>;

CashKey cash_key(std::uint32_t borrower, std::uint32_t number);
CashValue encode_cash(const CashTransaction& t);
// False when the value is not a transaction's (too short).
bool decode_cash(const CashKey& key, std::span<const unsigned char> value, CashTransaction& out);

// An amount given as a decimal ("1.50", "2", "-0.5") in cents, rounded.
std::int64_t cash_cents(double amount);

class CashBook {
 public:
  CashBook(dbm::Dbm& dbm, std::string pool, int file) : dbm_(dbm), pool_(std::move(pool)), file_(file) {}

  // Adds a transaction for the borrower with the next number: 0 or the
  // database manager's failure.
  ResultCode post(std::string_view type, std::uint32_t borrower, std::uint32_t item, std::string_view sublib,
                  double amount, std::string_view date);
  // The borrower's transactions in number order.
  ResultCode transactions(std::uint32_t borrower, std::vector<CashTransaction>& out);
  // The sum of the borrower's open transactions.
  ResultCode balance(std::uint32_t borrower, double& out);

 private:
  dbm::Dbm& dbm_;
  std::string pool_;
  int file_;
};

}  // namespace corvanta::records
