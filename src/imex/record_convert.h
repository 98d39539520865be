// Record conversion tables: fields of a source record to fields of a target
// record through named routines.
//
// A table is a text file "<name>.<file code>" of tab-separated lines
//
//   SOURCE <tab> TARGET <tab> ROUTINE <tab> PARAMETER
//   DEFAULT <tab> ROUTINE <tab> PARAMETER
//
// where an address follows config/field_address.h with a one-character
// subfield code and no subfield occurrence; here the "/" before the
// indicators may be left out and "_" stands for a blank indicator. Lines starting with "*" or "!" are
// comments; an empty routine means cnv_norm; a routine name that does not exist leaves the rule without
// effect. At most 998 rules.
//
// RecordConverter caches one table at a time and applies it. Single-threaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/record.h"
#include "util/result.h"

namespace corvanta::imex {

inline constexpr std::size_t kMaxRules = 998;
inline constexpr std::size_t kMaxParameter = 29;

struct FieldAddress {
  std::string tag;  // 3 characters, or empty
  std::optional<std::string> indicators;
  std::uint16_t occurrence = 0;  // 0: none given
  char subfield = 0;             // 0: none given
};
std::optional<FieldAddress> parse_address(std::string_view text);

class RecordConverter;
struct ConversionRule;

// A conversion routine: writes the value of the source field (or subfield)
// to the rule's target address. A negative result stops the conversion, a
// positive one ends it early.
using ConversionRoutine = ResultCode (*)(RecordConverter& converter, records::RecordHandle& target,
                                         records::RecordHandle& source, const records::FieldDesc& field,
                                         const records::FieldDesc* subfield, const ConversionRule& rule);

struct ConversionRule {
  FieldAddress source;
  FieldAddress target;
  std::string routine_name;
  ConversionRoutine routine = nullptr;
  std::string parameter;
};

// The names of the 62 routines, in table order.
const std::vector<std::string_view>& routine_names();
// The routine of that name, or nullptr.
ConversionRoutine find_routine(std::string_view name);

class RecordConverter {
 public:
  // The file of table `table` for the records of `file_code`.
  static std::string table_path(const std::string& table, const std::string& file_code) {
    return table + "." + file_code;
  }
  // Loads table_path() unless it is the table cached already. False when
  // the file cannot be opened (the record is then copied).
  bool load(const std::string& table, const std::string& file_code);
  void load_text(std::string_view text);

  // Converts `source` into `target` (emptied, same IDN). Without a table,
  // or a table without rules, the source is copied unchanged. When
  // `test_file` is not empty the result is written there in the generic
  // internal exchange format.
  ResultCode apply(records::RecordHandle& target, records::RecordHandle& source,
                   const std::string& test_file = {});

  const std::vector<ConversionRule>& rules() const { return rules_; }
  const ConversionRule& default_rule() const { return default_; }
  // Key tables for cnv_tabkey: "KEY<tab>VALUE" lines of the file named by
  // the parameter, read once.
  std::optional<std::string> key_lookup(const std::string& table, std::string_view key);

 private:
  const ConversionRule* match(const records::FieldDesc& field, char subfield) const;
  ResultCode convert_fields(records::RecordHandle& target, records::RecordHandle& source);

  std::string loaded_;
  bool has_table_ = false;
  std::vector<ConversionRule> rules_;
  ConversionRule default_;
  std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>> key_tables_;
};

}  // namespace corvanta::imex
