#include "util/xml_text.h"

namespace corvanta {

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
}

std::size_t utf8_char_length(std::string_view s) noexcept {
  if (s.empty()) return 0;
  const auto b = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < low || b(1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

std::size_t append_xml_text(std::string& out, std::string_view text, XmlTextUse use) {
  std::size_t replaced = 0;
  const bool attribute = use == XmlTextUse::Attribute;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
      const std::size_t n = utf8_char_length(text.substr(i));
      // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are no XML characters.
      const bool nonchar = n == 3 && u == 0xEF && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                           static_cast<unsigned char>(text[i + 2]) >= 0xBE;
      if (n == 0 || nonchar) {
        out += kReplacement;
        ++replaced;
        i += n == 0 ? 1 : n;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += attribute ? "&#9;" : "\t"; break;
      case '\n': out += attribute ? "&#10;" : "\n"; break;
      case '\r': out += "&#13;"; break;  // a parser would read a raw one as a line feed
      default:
        if (u < 0x20) {
          out += kReplacement;
          ++replaced;
        } else {
          out += c;
        }
    }
    ++i;
  }
  return replaced;
}

}  // namespace corvanta
