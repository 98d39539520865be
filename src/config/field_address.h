// Field addresses: the one grammar by which dictionaries, forms, letters,
// conversion tables and scripts name a field or a subfield of a record.
//
//   address     = tag [ "." occurrence ] [ "/" indicators ] [ "." occurrence ]
//                 [ "$" code [ "." occurrence ] ]
//   tag         = three name characters
//   indicators  = zero to two blanks or printable ASCII name characters
//   code        = one to three name characters
//   occurrence  = one or more decimal digits (0: every occurrence)
//
// A name character is any byte above the blank except DEL, ".", "/" and "$".
// The field's occurrence stands before or after the indicators, not both.
// Nothing may follow the address, and blanks around it are not dropped.
// Occurrences larger than 65535 read as 65535.
//
// This module owns only the grammar. Each kind of file takes from it what it
// can hold (see dict::parse_element, imex::parse_address and
// records::parse_field_path): a one-character subfield code, a limit on
// occurrences, blanks trimmed first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvanta::config {

struct FieldAddress {
  std::string tag;
  std::string indicators;        // empty: none given
  std::uint16_t occurrence = 0;  // 0: none given
  std::string subfield;          // empty: the whole field
  std::uint16_t subfield_occurrence = 0;
};

// The address `text` names, or nullopt when it does not follow the grammar.
std::optional<FieldAddress> parse_field_address(std::string_view text);

}  // namespace corvanta::config
