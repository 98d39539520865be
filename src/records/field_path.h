// A field address read into the record model's terms: the field, and the
// subfield when one is named, as FieldDesc values ready for fld_get and
// fld_put. Scripts and the importer's union numbers name fields this way.
#pragma once

#include <string_view>

#include "records/record.h"

namespace corvanta::records {

struct FieldPath {
  FieldDesc field;
  FieldDesc subfield;  // tag empty: the whole field
  bool valid = false;
};

// `text` in the grammar of config/field_address.h (a subfield code of one to
// three characters), occurrences no larger than kLastOccurrence; anything
// else is not valid (a shorter tag would find other fields).
FieldPath parse_field_path(std::string_view text);

}  // namespace corvanta::records
