// Number counters: the running numbers (accession, order, borrower numbers)
// that records get when they are stored.
//
// A counter belongs to a record file and a numbering group of it (AUTONUM=
// of the file's definition, which names the field and the data file that
// holds the group's counters). Its entry, integers big-endian:
//
//   key    0  2  database number of the record file
//          2  2  numbering group
//          4 10  counter name, filled with zero bytes
//   data   0  4  the last number issued
//          4  2  the year of the last issue
//          6     the compiled pattern, without its terminator
//
// The pattern as users write it: elements separated by blanks or "+":
// D..D the counter, d..d the yearly counter (back to 1 in a new year),
// Y..Y the year, "text" literal text ("" for a quote). Compiled, a counter
// element is byte 1 and its width, a yearly counter 2 and its width, a
// year 3 and its width, literal text its characters; a zero byte ends it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "dbm/dbm.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::size_t kCounterKeyLength = 14;
inline constexpr std::size_t kCounterNameLength = 10;
inline constexpr std::int32_t kBadPattern = -1;
inline constexpr std::int32_t kNoNumberLeft = -225;

using CounterKey = std::array<unsigned char, kCounterKeyLength>;

// The key of a counter; a name is cut to its first ten characters.
CounterKey counter_key(int record_file, int group, std::string_view name);

struct Counter {
  std::string name;  // at most 10 characters
  std::uint32_t number = 0;
  std::uint16_t year = 0;
  std::string pattern;  // compiled, without terminator
};

// The data part of a counter entry, and back. A short data part reads as
// number 0 (under 4 bytes), year 0 (under 6), no pattern (6 or fewer).
std::string encode_counter(const Counter& c);
Counter decode_counter(std::string_view data);

// The pattern text compiled: 0, or -1 when it is not a pattern (or has no
// element at all).
ResultCode numb_compile(std::string_view text, std::string& compiled);
// A compiled pattern written as text: "YYYY + \"-\" + dddddd".
std::string numb_pattern_text(std::string_view compiled);
// The next number by the pattern for the current year; the counter and its
// year advance. Nothing (and nothing changed) when the counter would pass
// 4294967295: a counter never starts again at 0 by itself.
std::optional<std::string> numb_next(std::string_view compiled, std::uint32_t& counter, std::uint16_t& year,
                                     int current_year);

// The counters of one pool's data file.
class CounterStore {
 public:
  CounterStore(dbm::Dbm& dbm, std::string pool, int file) : dbm_(dbm), pool_(std::move(pool)), file_(file) {}

  // 0, 1 when there is no such counter, or the failure.
  ResultCode read(int record_file, int group, std::string_view name, Counter& out);
  // -232 when the counter exists.
  ResultCode insert(int record_file, int group, const Counter& c);
  // 1 when the counter does not exist.
  ResultCode update(int record_file, int group, const Counter& c);
  ResultCode remove(int record_file, int group, std::string_view name);
  // The counters of the record file and group in key order.
  ResultCode walk(int record_file, int group, const std::function<ResultCode(const Counter&)>& visit);

 private:
  dbm::Dbm& dbm_;
  std::string pool_;
  int file_;
};

// A counter as it was before numbering advanced it.
struct CounterUndo {
  int store_file = 0;
  int record_file = 0;
  int group = 0;
  Counter before;
};

// Automatic numbering of a record before it is stored: each field (or
// subfield) that a numbering definition of the file names and whose content
// is a counter's name gets that counter's next number. Mode "C" makes the
// number without advancing the counter. A content longer than ten
// characters, or a name without a counter, is left alone.
// With `undo`, each counter advanced is noted there as it was, so that
// numb_restore can give the numbers back when the record is not stored.
ResultCode numb_apply(dbm::Dbm& dbm, const dict::AppPoolDef& pool, const dict::FileDef& file,
                      RecordHandle& record, char mode, int current_year,
                      std::vector<CounterUndo>* undo = nullptr);
// Puts the noted counters back as they were, the last first.
ResultCode numb_restore(dbm::Dbm& dbm, const dict::AppPoolDef& pool, const std::vector<CounterUndo>& undo);

// The current year of the system date.
int current_year();

}  // namespace corvanta::records
