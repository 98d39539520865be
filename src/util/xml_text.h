// Text written into XML documents: the one place that makes any bytes safe
// to stand in a well-formed UTF-8 document.
//
// The markup characters & < > " are written as entities; a byte that does
// not belong to a well-formed UTF-8 character (a Latin-1 byte, a stray
// continuation byte, an overlong form, a surrogate, a code point beyond
// U+10FFFF) and a character XML 1.0 forbids (control characters other than
// tab, line feed and carriage return; U+FFFE, U+FFFF) are each replaced by
// U+FFFD, the replacement character (EF BF BD). Nothing else changes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "util/unicode.h"

namespace corvanta {

enum class XmlTextUse {
  Content,    // element content: tab, line feed, carriage return as they are
  Attribute,  // attribute values (and content that must keep them): as &#9; &#10; &#13;
};

// Appends `text` to `out`; returns how many bytes or characters were
// replaced (0 when the text went in unchanged but for its escapes).
std::size_t append_xml_text(std::string& out, std::string_view text, XmlTextUse use = XmlTextUse::Attribute);

}  // namespace corvanta
