// Small text helpers shared by every subsystem.
//
// All case rules of the service are ASCII rules: only the letters a to z and
// A to Z change case; bytes of 128 and above are ordinary characters. Limits
// on texts are applied by cutting (cut_to), never by failing.
#pragma once

#include <string>
#include <string_view>

namespace corvanta {

constexpr char ascii_upper(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Copy of `s` with a to z upper-cased.
// ISO 8859-1 text in UTF-8.
std::string latin1_to_utf8(std::string_view s);
std::string upper(std::string_view s);
void upper_in_place(std::string& s);

// Case-insensitive (ASCII) comparison: <0, 0, >0 like strcmp.
int compare_nocase(std::string_view a, std::string_view b) noexcept;
inline bool equal_nocase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && compare_nocase(a, b) == 0;
}

// Transparent ordering for maps keyed without regard to case.
struct NoCaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return compare_nocase(a, b) < 0; }
};

// The first `max_len` bytes of `s` (all of it when shorter).
inline std::string_view cut_to(std::string_view s, std::size_t max_len) noexcept {
  return s.substr(0, max_len < s.size() ? max_len : s.size());
}

// `s` without leading and trailing blanks (space characters only).
std::string_view trim_blanks(std::string_view s) noexcept;
// `s` without trailing blanks.
std::string_view trim_trailing_blanks(std::string_view s) noexcept;

// Leading decimal number of `s` like atol: optional blanks and sign, then
// digits; 0 when there are none. Saturates instead of overflowing.
long parse_long(std::string_view s) noexcept;

}  // namespace corvanta
