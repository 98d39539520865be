#include "commands/notices/letters.h"

#include <cstdlib>
#include <vector>

#include "forms/formatting.h"
#include "shell/command_files.h"
#include "shell/support.h"
#include "util/text.h"

namespace corvanta {

std::string first_text(records::RecordHandle& h, std::string_view address) {
  const auto element = dict::parse_element(address);
  if (!element) return {};
  const std::vector<std::string> texts = records::element_texts(h, *element);
  return texts.empty() ? std::string() : std::string(trim_trailing_blanks(texts.front()));
}

std::uint32_t link_idn(records::RecordHandle& h, std::string_view address) {
  const std::string text = first_text(h, address);
  return static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

void remove_field(records::RecordHandle& h, std::string_view tag) {
  records::FieldDesc f;
  f.tag = std::string(tag);
  while (records::fld_delete(h, f).code() == 0) {
  }
}

std::string email_address(records::RecordHandle& address) {
  std::string email = first_text(address, "312$h");
  if (email.empty()) email = first_text(address, "311$h");
  return email;
}

SublibScope::SublibScope(Service& service, std::string_view sublib)
    : service_(service), previous_(service.state.current_sublib) {
  service.state.current_sublib = std::string(cut_to(sublib, kMaxCurrentSublib));
}

SublibScope::~SublibScope() {
  service_.state.current_sublib = previous_;
}

ResultCode check_letters(Service& service, const ParamList& params, std::string_view word,
                         std::initializer_list<const char*> forms) {
  bool first = true;
  for (const char* form : forms) {
    if (const ResultCode rc = service.printout.check(form, first); rc.failed()) return rc;
    first = false;
  }
  for (const char letter : {'L', 'M'}) {
    const std::string path = bat_output_name(service, params, word, letter);
    if (const ResultCode rc = check_command_file(service, path, FileUse::Write); rc.failed()) return rc;
    if (const ResultCode rc = service.printout.probe(path); rc.failed()) return rc;
  }
  return 0;
}

}  // namespace corvanta
