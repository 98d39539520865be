// Further helpers of the batch commands: parameters from configuration
// sections, request rows, check reports, and the counter and amount tables
// that statistics commands total.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shell/params.h"
#include "util/result.h"

namespace corvanta {

class Service;

// Adds the keys of section `name` of the file named by Files/Statistics to
// `params`; values given on the command line win. Nothing for an empty name.
void bat_params_from_statistics(Service& service, ParamList& params, std::string_view name);
// Adds the keys of section "Imex" of the configuration, then those of
// section `name` when given.
void bat_params_from_imex(Service& service, ParamList& params, std::string_view name);

// The request row `index` (from 0) of request data: the first non-empty
// field of the row, split at its first "=" (no "=": empty value); `index`
// is advanced. -11 without data, -1 when there is no such row.
//
// A row: 4-digit length, 3-digit field count, one character, the fields;
// a field: 4-digit length including its 13 header characters, the text.
ResultCode bat_request_item(std::string_view data, std::string& name, std::string& value, int& index);

// Check findings: 2-byte length, 3-character tag, 2-byte occurrence,
// 2-byte message number, five texts each with a 2-byte length (big-endian).
// Emits "TAG: <tag>[.<occ>] <text>" per finding, the text from message
// section CAT_CHECK_ERROR (or CAT_CHECK_WARNING) with "&1".."&5" replaced.
// `text` gives a message text by section and number (the service's message
// catalogue).
using MessageLookup = std::function<std::string(std::string_view section, std::int32_t code)>;
void bat_check_report(const MessageLookup& text, std::span<const unsigned char> findings,
                      const std::function<void(const std::string&)>& emit);

// Rows of ten counters (and amounts) by name.
struct CounterRow {
  std::string name;
  std::array<long, 10> counts{};
  std::array<double, 10> amounts{};
};
class CounterTable {
 public:
  // -2 for an index above 9.
  ResultCode add(std::string_view name, int index, long n, double amount = 0);
  // Orders the rows by the first 30 characters of their names.
  void sort();
  CounterRow total() const;
  const std::vector<CounterRow>& rows() const { return rows_; }

 private:
  std::vector<CounterRow> rows_;
};

}  // namespace corvanta
