#include "records/field_path.h"

#include <algorithm>

#include "config/field_address.h"

namespace corvanta::records {

FieldPath parse_field_path(std::string_view text) {
  FieldPath a;
  const auto parsed = config::parse_field_address(text);
  if (!parsed) return a;
  a.field.tag = parsed->tag;
  a.field.indicators = parsed->indicators;
  a.field.occurrence = std::min(parsed->occurrence, kLastOccurrence);
  a.subfield.tag = parsed->subfield;
  a.subfield.occurrence = std::min(parsed->subfield_occurrence, kLastOccurrence);
  a.valid = true;
  return a;
}

}  // namespace corvanta::records
