#include "util/xml_text.h"

namespace corvanta {

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
        out += kReplacementUtf8;
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
          out += kReplacementUtf8;
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
