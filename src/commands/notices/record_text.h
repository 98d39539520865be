// What the letters of the notice runs read from records in external form:
// the text of a field or subfield, a link's IDN, the e-mail address of an
// address record; and removing a field that only served a letter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "records/record.h"

namespace corvanta {

// The first text of a field or subfield ("103", "BOR$L") of a record in
// external form, without trailing blanks; "" when it has none.
std::string first_text(records::RecordHandle& h, std::string_view address);
// The IDN a link subfield ("BOR$L") holds; 0 for none.
std::uint32_t link_idn(records::RecordHandle& h, std::string_view address);
// Removes every occurrence of a field.
void remove_field(records::RecordHandle& h, std::string_view tag);
// The e-mail address of an address record: 312$h, else 311$h.
std::string email_address(records::RecordHandle& address);

}  // namespace corvanta
