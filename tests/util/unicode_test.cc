#include "util/unicode.h"

#include <gtest/gtest.h>

namespace corvanta {
namespace {

TEST(Unicode, NfcComposesWhatArrivesDecomposed) {
  // o + U+0308, a + U+0308, O + U+0308: the letters with the umlaut.
  EXPECT_EQ(to_nfc("o\xCC\x88kologie"), "\xC3\xB6kologie");
  EXPECT_EQ(to_nfc("Arch\x61\xCC\x88ologie"), "Arch\xC3\xA4ologie");
  EXPECT_EQ(to_nfc("O\xCC\x88sterreich"), "\xC3\x96sterreich");
  // Composed text, ASCII and the empty text stay as they are.
  EXPECT_EQ(to_nfc("\xC3\xB6kologie"), "\xC3\xB6kologie");
  EXPECT_EQ(to_nfc("plain ASCII\n"), "plain ASCII\n");
  EXPECT_EQ(to_nfc(""), "");
  // A combining mark with nothing to combine with stays a combining mark.
  EXPECT_EQ(to_nfc("\xCC\x88"), "\xCC\x88");
  // Two marks in canonical order: dot below before the circumflex.
  EXPECT_EQ(to_nfc("a\xCC\x82\xCC\xA3"), "\xE1\xBA\xAD");
}

TEST(Unicode, TextThatIsNotUtf8PassesUnchanged) {
  for (const std::string_view bad :
       {std::string_view("Einf\x81hrung o\xCC\x88"), std::string_view("\xC3"), std::string_view("\xC0\xAF"),
        std::string_view("\xED\xA0\x80"), std::string_view("\xF4\x90\x80\x80"), std::string_view("\xFF")}) {
    EXPECT_FALSE(is_valid_utf8(bad));
    EXPECT_EQ(to_nfc(bad), bad);
  }
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80 \xE2\x81\xB4"));
  EXPECT_TRUE(is_valid_utf8(std::string_view("a\0b", 3)));
}

}  // namespace
}  // namespace corvanta
