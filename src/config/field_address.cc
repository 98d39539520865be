#include "config/field_address.h"

#include <algorithm>

namespace corvanta::config {
namespace {

bool name_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > ' ' && u != 0x7F && c != '.' && c != '/' && c != '$';
}

// An indicator is printable: a blank, or a character that could stand in a
// tag. A control character would reach exported records, where a line feed
// ends a record of the text form.
bool indicator_char(char c) {
  return c == ' ' || (static_cast<unsigned char>(c) < 0x7F && name_char(c));
}

// Reads the text from a position, one grammar rule at a time.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool done() const { return i_ == text_.size(); }
  // Takes `c` when it comes next.
  bool take(char c) {
    if (done() || text_[i_] != c) return false;
    ++i_;
    return true;
  }
  // Up to `max` characters that `fits` accepts.
  template <typename Fits>
  std::string run(std::size_t max, Fits fits) {
    const std::size_t start = i_;
    while (!done() && i_ - start < max && fits(text_[i_])) ++i_;
    return std::string(text_.substr(start, i_ - start));
  }
  // One or more digits; false when there are none.
  bool occurrence(std::uint16_t& out) {
    const std::string digits = run(std::string_view::npos, [](char c) { return c >= '0' && c <= '9'; });
    if (digits.empty()) return false;
    std::uint32_t n = 0;
    for (const char d : digits)
      n = std::min<std::uint32_t>(n * 10 + static_cast<std::uint32_t>(d - '0'), 65535);
    out = static_cast<std::uint16_t>(n);
    return true;
  }

 private:
  std::string_view text_;
  std::size_t i_ = 0;
};

}  // namespace

std::optional<FieldAddress> parse_field_address(std::string_view text) {
  Cursor in(text);
  FieldAddress a;
  a.tag = in.run(3, name_char);
  if (a.tag.size() != 3) return std::nullopt;
  bool occurrence_given = false;
  if (in.take('.')) {
    if (!in.occurrence(a.occurrence)) return std::nullopt;
    occurrence_given = true;
  }
  if (in.take('/')) a.indicators = in.run(2, indicator_char);
  if (!occurrence_given && in.take('.') && !in.occurrence(a.occurrence)) return std::nullopt;
  if (in.take('$')) {
    a.subfield = in.run(3, name_char);
    if (a.subfield.empty()) return std::nullopt;
    if (in.take('.') && !in.occurrence(a.subfield_occurrence)) return std::nullopt;
  }
  if (!in.done()) return std::nullopt;
  return a;
}

}  // namespace corvanta::config
