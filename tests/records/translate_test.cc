#include "records/translate.h"

#include <gtest/gtest.h>

#include <random>

namespace corvanta::records {
namespace {

TranslationTable table(std::string_view text) {
  TranslationTable t("T");
  t.load_text(text, '\\');
  return t;
}

TEST(Translate, SequencesAndTheUtf8Check) {
  const TranslationTable checked = table("196 65+101\n");
  EXPECT_EQ(checked.translate("x\xC4y", kPlain, '\\'), "xy");  // "Ae" is not one UTF-8 character
  const TranslationTable open = table("LETPASS=ALL\n196 65+101\n");
  EXPECT_EQ(open.translate("x\xC4y", kPlain, '\\'), "xAey");
  const TranslationTable utf8 = table("196 195+132\n");
  EXPECT_EQ(utf8.translate("\xC4", kPlain, '\\'), "\xC3\x84");
}

TEST(Translate, DroppedBytesAndEscapes) {
  const TranslationTable t = table("* comment\n7 0\n66 67\n");
  EXPECT_EQ(t.translate("A\x07"
                        "B",
                        kPlain, '\\'),
            "AC");
  EXPECT_EQ(t.translate("A\x07"
                        "B",
                        kWriteEscapes, '\\'),
            "A\\007C");
  EXPECT_EQ(t.translate("\\065\\066\\0", kReadEscapes, '\\'), "AC\\0");
  EXPECT_EQ(t.translate("\\007", kBothEscapes, '\\'), "\\007");
  EXPECT_EQ(t.translate("#066", kReadEscapes, '#'), "C");
}

TEST(Translate, LaterLinesOfTheSameFirstByteAreTriedFirst) {
  const TranslationTable t = table("LETPASS=ALL\n97 120\n97+101 228\n97+101+105 49\n");
  // The plain mapping of "a" became a one-byte sequence tried last.
  ASSERT_EQ(t.sequences().size(), 3u);
  EXPECT_EQ(t.sequences()[0].source, "aei");
  EXPECT_EQ(t.sequences()[2].source, "a");
  EXPECT_EQ(t.translate("aei ae a", kPlain, '\\'), "1 \xE4 x");
}

TEST(Translate, ValuesAboveAByteAndLongSequencesLoadSafely) {
  const TranslationTable t = table("300 65\n65 1+2+3+4+5+6+7+8+9+10+11\n" + std::string(500, '9') + "\n");
  // 300 counts as 0, which ends the source sequence: the line maps nothing.
  EXPECT_EQ(t.map()[65], 255);  // 65 went to the sequence list (its target has more than one byte)
  EXPECT_EQ(t.sequences().front().target.size(), 8u);  // cut at 8 bytes
  const TranslationTable u = table("LETPASS=ALL\n66 1+2+3+4+5+6+7+8+9+10\n");
  EXPECT_EQ(u.sequences().front().target.size(), 8u);
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    std::string text(rng() % 3000, ' ');
    for (char& c : text) c = static_cast<char>(rng() % 4 == 0 ? "0123456789+ \n\t"[rng() % 14] : rng() % 256);
    const TranslationTable r = table(text);
    (void)r.translate(text, static_cast<int>(rng() % 4), '\\');
  }
}

TEST(Translate, RegistryLooksUpByName) {
  Translations reg;
  EXPECT_EQ(reg.translate("NONE", "text", kPlain, '\\'), "");
  EXPECT_EQ(reg.load("X", "/nonexistent/table", '\\').code(), -1);
  EXPECT_EQ(reg.find("X"), nullptr);
  EXPECT_TRUE(is_one_utf8_character("\xE2\x82\xAC"));
  EXPECT_FALSE(is_one_utf8_character("\xC0\x80"));  // overlong
  EXPECT_FALSE(is_one_utf8_character("ab"));
}

}  // namespace
}  // namespace corvanta::records
