// Text into XML: escapes, and every byte that would spoil a UTF-8 document
// replaced and counted.
#include "util/xml_text.h"

#include <gtest/gtest.h>

namespace corvanta {
namespace {

std::string xml(std::string_view text, std::size_t& replaced, XmlTextUse use = XmlTextUse::Attribute) {
  std::string out;
  replaced = append_xml_text(out, text, use);
  return out;
}

TEST(XmlText, EscapesAndWellFormedUtf8StayAsTheyAre) {
  std::size_t n = 9;
  EXPECT_EQ(xml("a<b>&\"c' \xC3\xA4\xE2\x82\xAC\xF0\x9F\x93\x9A", n),
            "a&lt;b&gt;&amp;&quot;c' \xC3\xA4\xE2\x82\xAC\xF0\x9F\x93\x9A");
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(xml("1\t2\n3\r", n), "1&#9;2&#10;3&#13;");
  EXPECT_EQ(xml("1\t2\n3\r", n, XmlTextUse::Content), "1\t2\n3&#13;");
  EXPECT_EQ(n, 0u);
}

TEST(XmlText, BytesNoParserReadsBecomeTheReplacementCharacter) {
  const std::string r = "\xEF\xBF\xBD";
  std::size_t n = 0;
  // Latin-1, a stray continuation byte, a sequence cut short.
  EXPECT_EQ(xml("M\xFCller \x80 \xE2\x82", n), "M" + r + "ller " + r + " " + r + r);
  EXPECT_EQ(n, 4u);
  // Overlong forms, a surrogate, beyond U+10FFFF, bytes never used.
  EXPECT_EQ(xml("\xC0\xAF|\xE0\x80\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xF5|\xFF", n),
            r + r + "|" + r + r + r + "|" + r + r + r + "|" + r + r + r + r + "|" + r + "|" + r);
  EXPECT_EQ(n, 14u);
  // Characters XML 1.0 forbids: C0 controls but tab, LF, CR; U+FFFE, U+FFFF.
  EXPECT_EQ(xml(std::string("\x00\x01\x1B\x1F", 4), n), r + r + r + r);
  EXPECT_EQ(xml("\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD", n), r + r + r);
  EXPECT_EQ(n, 2u);  // U+FFFD itself is a character like any other
  // Allowed: DEL and C1 controls written in UTF-8, the last code point.
  EXPECT_EQ(xml("\x7F\xC2\x85\xF4\x8F\xBF\xBF", n), "\x7F\xC2\x85\xF4\x8F\xBF\xBF");
  EXPECT_EQ(n, 0u);
}

}  // namespace
}  // namespace corvanta
