// Decoders of the 8-bit character sets of exchange files that a byte table
// cannot express: MARC-8 and ISO 5426 (the MAB2 character set).
//
// Both put a non-spacing diacritic before its base letter and MARC-8
// switches between its graphic sets (Basic and Extended Latin, Greek
// symbols, subscripts, superscripts, Hebrew, Cyrillic, Extended Cyrillic,
// Arabic, Extended Arabic, Greek, EACC) with escape sequences; Unicode puts
// the combining mark after the letter. The decoding itself is YAZ's
// (yaz_iconv); this module drives it value by value and makes its gaps
// visible:
//   - a byte or escape sequence no set maps becomes U+FFFD (YAZ would drop
//     it silently); the conversion goes on after it;
//   - diacritics at the end of a value, with no letter after them, stand on
//     a blank (the Unicode form of a spacing diacritic);
//   - bytes below 0x20 other than ESC (line ends, subfield and field marks)
//     pass through unchanged and bring back the default sets, as a new
//     field or subfield does in MARC 21 (a record that leaves the
//     superscripts on at a field's end does not lose the next field);
//   - in ISO 5426 the non-sort markers 0x88 and 0x89 are left out (the MAB2
//     table does the same); in MARC-8 they become U+0098 and U+009C, the
//     markers MARC 21 records use in UTF-8.
// The result is UTF-8 in NFC. Each call starts in the default state
// (MARC-8: Basic Latin as G0, Extended Latin as G1). Stateless between
// calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvanta::records {

enum class Charset { Marc8, Iso5426 };

// The decoder of that name ("MARC8", "ISO5426", case-insensitive); none for
// any other name.
std::optional<Charset> charset_named(std::string_view name);

// `input` in that character set as UTF-8 (NFC).
std::string decode_to_utf8(Charset set, std::string_view input);

}  // namespace corvanta::records
