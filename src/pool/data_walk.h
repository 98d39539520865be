// Walking the entries of a data file that share the first bytes of their
// keys (a borrower's cash transactions, an order's log, a numbering
// group's counters).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "dbm/dbm.h"
#include "util/result.h"

namespace corvanta::records {

// Visits in key order every entry from the first key not below `start`
// whose key begins with the first `prefix` bytes of `start`. `visit` gets
// the key and the value (at most `room` bytes of it); a failure it returns
// ends the walk with that failure. 0, or the database manager's failure.
ResultCode walk_prefix(dbm::Dbm& dbm, std::string_view pool, int file, std::span<const unsigned char> start,
                       std::size_t prefix, std::size_t room,
                       const std::function<ResultCode(std::span<const unsigned char> key,
                                                      std::span<const unsigned char> value)>& visit);

}  // namespace corvanta::records
