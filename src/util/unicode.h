// Unicode helpers: UTF-8 well-formedness and normalisation to NFC.
//
// Records are kept in UTF-8, composed (NFC): a letter with a diacritic is one
// character where Unicode has one. These helpers bring text that arrives
// decomposed (letter, then combining mark) into that form. They never fail:
// text that is not well-formed UTF-8 comes back unchanged, byte for byte.
// Stateless and thread-compatible.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvanta {

// The length of the well-formed UTF-8 character `s` begins with (1 to 4),
// 0 when it does not begin with one (or is empty).
std::size_t utf8_char_length(std::string_view s) noexcept;

// True when every byte of `text` is ASCII (below 0x80).
bool is_ascii(std::string_view text) noexcept;

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF); the empty text is.
bool is_valid_utf8(std::string_view text) noexcept;

// `text` in Unicode normalisation form C; unchanged when it is not
// well-formed UTF-8 or already in that form.
std::string to_nfc(std::string_view text);

// U+FFFD REPLACEMENT CHARACTER in UTF-8: what a converter writes for input
// it cannot map, so that nothing is lost without a trace.
inline constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

}  // namespace corvanta
