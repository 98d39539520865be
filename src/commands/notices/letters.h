// What the letter jobs (REMIND, CLAIM) share: reading fields of records in
// external form, the e-mail address of an address record, the sub-library
// a run makes current, and the checks made before anything is changed.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "records/record.h"
#include "shell/params.h"
#include "shell/service.h"
#include "util/result.h"

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

// Makes a sub-library current for the life of the object.
class SublibScope {
 public:
  SublibScope(Service& service, std::string_view sublib);
  ~SublibScope();
  SublibScope(const SublibScope&) = delete;
  SublibScope& operator=(const SublibScope&) = delete;

 private:
  Service& service_;
  std::string previous_;
};

// Before a letter job changes anything: the forms are there (the first one
// with its stylesheet), and the output files of both phases, named from
// `word`, may be written and can be made. 0 or the failure.
ResultCode check_letters(Service& service, const ParamList& params, std::string_view word,
                         std::initializer_list<const char*> forms);

}  // namespace corvanta
