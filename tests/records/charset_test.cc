#include "records/charset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

#include "records/translate.h"
#include "util/unicode.h"

namespace corvanta::records {
namespace {

std::string marc8(std::string_view in) {
  return decode_to_utf8(Charset::Marc8, in);
}
std::string iso5426(std::string_view in) {
  return decode_to_utf8(Charset::Iso5426, in);
}

TEST(Charset, Marc8SetsAndDiacritics) {
  // The diacritic (0xE8 umlaut) before its letter, composed after it.
  EXPECT_EQ(marc8("\xE8"
                  "ubel \xE8O"),
            "\xC3\xBC"
            "bel \xC3\x96");
  // Extended Latin spacing letters: Polish L, Scandinavian O.
  EXPECT_EQ(marc8("\xA1\xA2"), "\xC5\x81\xC3\x98");
  // Superscripts and subscripts by escape sequence, back to Basic Latin.
  EXPECT_EQ(marc8("A\x1bp4\x1bs B\x1bp2\x1bs"), "A\xE2\x81\xB4 B\xC2\xB2");
  EXPECT_EQ(marc8("H\x1b"
                  "b2\x1bsO"),
            "H\xE2\x82\x82O");
  // A blank stays a blank among the superscripts and between EACC characters.
  EXPECT_EQ(marc8("\x1bp2 3"), "\xC2\xB2 \xC2\xB3");
  EXPECT_EQ(marc8("\x1b$1!0! !0!"), "\xE4\xB8\x80 \xE4\xB8\x80");
  // Cyrillic (G0 "N"), Greek (G0 "S"), Hebrew (G0 "2"), Arabic (G0 "3").
  EXPECT_EQ(marc8("\x1b(NA\x1b(B!"), "\xD0\xB0!");
  EXPECT_EQ(marc8("\x1b(SA\x1b(B"), "\xCE\x91");
  EXPECT_EQ(marc8("\x1b(2`\x1b(B"), "\xD7\x90");
  EXPECT_EQ(marc8("\x1b(3G\x1b(B"), "\xD8\xA7");
  // EACC (three bytes a character) for CJK.
  EXPECT_EQ(marc8("\x1b$1!0!\x1b(B"), "\xE4\xB8\x80");
  // Non-sort markers become the Unicode markers.
  EXPECT_EQ(marc8("\x88The\x89 end"), "\xC2\x98The\xC2\x9C end");
}

TEST(Charset, GapsAreVisibleNeverDropped) {
  // A diacritic at the end of a value stands on a blank.
  EXPECT_EQ(marc8("ab\xE8"), "ab \xCC\x88");
  EXPECT_EQ(iso5426("ab\xC9"), "ab \xCC\x88");
  // An escape sequence no set has: a replacement, the rest read on.
  EXPECT_EQ(marc8("A\x1b(ZB"),
            "A\xEF\xBF\xBD"
            "B");
  // A byte no set maps.
  EXPECT_EQ(marc8("A\xFF"
                  "B"),
            "A\xEF\xBF\xBD"
            "B");
  EXPECT_EQ(marc8("\x1bgA\x1bs"), "\xEF\xBF\xBD");  // no capital A among the Greek symbols
  EXPECT_EQ(iso5426("A\xFF"
                    "B"),
            "A\xEF\xBF\xBD"
            "B");
  // An EACC character cut short.
  EXPECT_EQ(marc8("\x1b$1!0"), "\xEF\xBF\xBD");
  // Control bytes pass and end the set: a subfield after Cyrillic is Latin.
  EXPECT_EQ(marc8("\x1b(NA\x1f"
                  "A\n\x1b(NA"),
            "\xD0\xB0\x1f"
            "A\n\xD0\xB0");
  EXPECT_EQ(marc8(""), "");
}

TEST(Charset, AnyBytesGiveWellFormedUtf8) {
  // Random bytes, rich in escapes, diacritics and set switches.
  std::mt19937 random(20261207);
  const std::string_view alphabet("\x1b()$,-!1NSgbps\xE8\xC9\xE1\xA1\x88\x89\xFF\x1f\n A0", 26);
  for (int round = 0; round < 3000; ++round) {
    std::string in;
    const std::size_t length = random() % 24;
    for (std::size_t i = 0; i < length; ++i)
      in += random() % 3 == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
    for (const Charset set : {Charset::Marc8, Charset::Iso5426}) {
      const std::string out = decode_to_utf8(set, in);
      EXPECT_TRUE(is_valid_utf8(out)) << round;
      // Control bytes all pass (escape sequences and markers may vanish).
      for (const char c : {'\n', '\x1f'})
        EXPECT_EQ(std::count(out.begin(), out.end(), c), std::count(in.begin(), in.end(), c)) << round;
    }
  }
}

TEST(Charset, Iso5426LikeTheMab2Table) {
  // Umlaut before the letter; non-sort markers 0x88/0x89 left out.
  EXPECT_EQ(iso5426("Benjamin \xC9uber Kafka"),
            "Benjamin \xC3\xBC"
            "ber Kafka");
  EXPECT_EQ(iso5426("\x88"
                    "Der\x89 Proze\xFB"),
            "Der Proze\xC3\x9F");
  EXPECT_EQ(iso5426("\xC9"
                    "A\xC2"
                    "e"),
            "\xC3\x84\xC3\xA9");
}

TEST(Charset, UnicodeBasedTablesInTheRegistry) {
  TranslationTable t("MARC8", Charset::Marc8);
  EXPECT_EQ(t.translate("\xE8o", kReadEscapes, '\\'), "\xC3\xB6");
  EXPECT_EQ(charset_named("iso5426"), Charset::Iso5426);
  EXPECT_FALSE(charset_named("../etc/exchange/marc8.tab"));
}

TEST(Charset, RealMarc8RecordKeepsItsSuperscripts) {
  std::ifstream in(std::string(CORVANTA_EXCHANGE) + "/marc21/yaz--marc8.marc", std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(file.empty());
  const std::string text = marc8(file);
  EXPECT_NE(text.find("Signatures: A\xE2\x81\xB4 B\xC2\xB2"), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos);
}

}  // namespace
}  // namespace corvanta::records
