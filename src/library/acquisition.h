// The acquisition services the claims rely on: the order log and the
// recomputation of an order after a claim.
//
// The order log is a data file of the pool (INFO='ORDERLOG=n' of the
// application dictionary), one entry a logged event:
//
//   key    0  4  order IDN, big-endian
//          4  4  entry number, counted from 1 for each order
//   value  0  2  type ("07": a claim was sent)
//          2  8  date YYYYMMDD
//         10     text, at most 100 characters
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbm/dbm.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::size_t kOrderLogKeyLength = 8;
inline constexpr std::size_t kOrderLogTextLength = 100;
inline constexpr int kDefaultClaimInterval = 30;

struct OrderLogEntry {
  std::uint32_t order = 0;
  std::uint32_t number = 0;
  std::string type;
  std::string date;
  std::string text;
};

class OrderLog {
 public:
  OrderLog(dbm::Dbm& dbm, std::string pool, int file) : dbm_(dbm), pool_(std::move(pool)), file_(file) {}
  // Adds an entry with the next number; the text is cut to 100 characters.
  ResultCode add(std::uint32_t order, std::string_view type, std::string_view date, std::string_view text);
  // The order's entries in number order.
  ResultCode entries(std::uint32_t order, std::vector<OrderLogEntry>& out);

 private:
  dbm::Dbm& dbm_;
  std::string pool_;
  int file_;
};

// An order (external form) after a claim made on `date` (YYYYMMDD): the
// next claim is due the claim interval later (field 117, days; 30 when
// absent or not a number) and is written to 127; an order that has had
// nine claims is not claimed again (128 becomes "N"). 0 or the failure of
// a field change.
ResultCode recompute_order(RecordHandle& order, std::string_view date, int claims);

}  // namespace corvanta::records
