// Building test records field by field.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "records/record.h"

namespace corvanta::testing {

// Puts subfield `code` with `data` into occurrence `occurrence` of field
// `tag` (999: the last one; an occurrence that is not there yet is a new
// field).
inline void put_subfield(records::RecordHandle& h, const std::string& tag, const std::string& indicators,
                         char code, const std::string& data, std::uint8_t type = 1,
                         std::uint16_t occurrence = 999) {
  records::FieldDesc f;
  f.tag = tag;
  f.indicators = indicators;
  f.occurrence = occurrence;
  records::FieldDesc s;
  s.tag.assign(1, code);
  s.type = type;
  s.set(data);
  ASSERT_EQ(records::fld_put(h, f, &s).code(), 0) << tag << '$' << code;
}

// Puts a field without subfields.
inline void put_field(records::RecordHandle& h, const std::string& tag, const std::string& data) {
  records::FieldDesc f;
  f.tag = tag;
  f.type = 1;
  f.set(data);
  ASSERT_EQ(records::fld_put(h, f).code(), 0) << tag;
}

}  // namespace corvanta::testing
