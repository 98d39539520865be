#include "commands/notices/record_text.h"

#include <cstdlib>
#include <vector>

#include "forms/formatting.h"
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

}  // namespace corvanta
