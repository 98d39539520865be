#include "indexing/terms.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "records/translate.h"
#include "scratch_dir.h"

namespace corvanta::records {
namespace {

using Terms = std::vector<std::string>;

// The terms of a list, each with its class letter in front ("Nword").
Terms classed(const TermList& list) {
  Terms out;
  for (const auto& e : list.entries()) out.push_back(std::string(1, e.cls) + e.term);
  return out;
}

class TermTest : public ::testing::Test {
 protected:
  // Blank and comma end a word; lower case becomes upper case; "#" is a
  // part-term mark, "?" truncation, "!" keeps a word from stop words,
  // "<" ... ">" is skipped.
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("terms");
    std::string table = "LETPASS=ALL\n32 1\n44 1\n35 6\n63 8\n33 5\n60 2\n62 3\n";
    for (int c = 97; c <= 122; ++c) table += std::to_string(c) + " " + std::to_string(c - 32) + "\n";
    std::ofstream(dir_ + "/w.tab") << table;
    ASSERT_EQ(translations_.load("W", dir_ + "/w.tab", '\\').code(), 0);
    def_.translation = "W";
    def_.max_length = 60;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Terms generate(std::string_view value, TermMode mode = TermMode::Index, std::uint8_t type = 1,
                 std::string_view indicators = "") {
    TermContext ctx;
    ctx.translations = &translations_;
    TermList list(10000);
    EXPECT_GE(trm_generate(ctx, list, indicators, &def_, mode, value, type).code(), 0);
    return classed(list);
  }

  std::string dir_;
  Translations translations_;
  dict::TermDef def_;
};

TEST_F(TermTest, WordsLengthsFillAndAlignment) {
  EXPECT_EQ(generate("Der  kleine, Prinz"), (Terms{"NDER", "NKLEINE", "NPRINZ"}));
  def_.min_length = 3;
  EXPECT_EQ(generate("an der Elbe"), (Terms{"NDER", "NELBE"}));
  // A word longer than MAXLEN gives one term cut there; its rest no term.
  def_.min_length = 1;
  def_.max_length = 4;
  EXPECT_EQ(generate("Donaudampfschiff ab"), (Terms{"NDONA", "NAB"}));
  // Right alignment with zeros: 123 becomes 000000123.
  def_.max_length = 9;
  def_.align = dict::Align::Right;
  def_.fill = '0';
  EXPECT_EQ(generate("123"), (Terms{"N000000123"}));
  def_.align = dict::Align::Left;
  def_.fill = ' ';
  EXPECT_EQ(generate("ab"), (Terms{"NAB       "}));
}

TEST_F(TermTest, YearTermsTakeTheFirstRunOfExactlyFourDigits) {
  def_.type = dict::TermType::Year;
  def_.translation.clear();
  def_.max_length = 9;
  def_.align = dict::Align::Right;
  def_.fill = '0';
  EXPECT_EQ(generate("c1999."), (Terms{"N000001999"}));
  EXPECT_EQ(generate("1959 -2001"), (Terms{"N000001959"}));
  EXPECT_EQ(generate("[ca. 12345, 1880?]"), (Terms{"N000001880"}));  // a longer run is no year
  EXPECT_EQ(generate("19uu"), Terms{});
  EXPECT_EQ(generate(""), Terms{});
  EXPECT_EQ(generate("1990", TermMode::Search), (Terms{"N000001990"}));  // queries alike
  EXPECT_EQ(generate("2000", TermMode::Retrieval), (Terms{"N000002000"}));
}

TEST_F(TermTest, IsbnTermsAreTheDigitsOfTheFirstIsbn) {
  // One term whatever the hyphens, prefixes and qualifiers; a value with
  // no ISBN is taken as it is.
  def_.type = dict::TermType::Isbn;
  def_.translation.clear();
  def_.max_length = 20;
  for (const char* v : {"3-518-07941-7", "ISBN 3518079417", "3518079417 (kart.)", "3 518 07941 7"})
    EXPECT_EQ(generate(v, TermMode::Search), (Terms{"N3518079417"})) << v;
  EXPECT_EQ(generate("ISBN 3-10-038119-x Gewebe : DM 48.00", TermMode::Search), (Terms{"N310038119X"}));
  EXPECT_EQ(generate("978-3-16-148410-0", TermMode::Search), (Terms{"N9783161484100"}));
  EXPECT_EQ(generate("Preis 12, ISBN 0-471-38314-7", TermMode::Search), (Terms{"N0471383147"}));
  EXPECT_EQ(generate("12345678901", TermMode::Search), (Terms{"N12345678901"}));  // 11 digits: no ISBN
  EXPECT_EQ(generate("vergriffen", TermMode::Search), (Terms{"Nvergriffen"}));
}

TEST_F(TermTest, ModesAndControlBytes) {
  // Search mode: the whole text is one term, blanks kept as they are.
  def_.translation.clear();
  EXPECT_EQ(generate("  goethe  johann", TermMode::Search), (Terms{"Ngoethe  johann"}));
  def_.translation = "W";
  // A word end the translation makes stays inside the one search term.
  EXPECT_EQ(generate("a b", TermMode::Search), (Terms{"NA\x01"
                                                      "B"}));
  // Skipped pieces, a kept word, truncation only in retrieval.
  EXPECT_EQ(generate("<Der> Tod"), (Terms{"NTOD"}));
  EXPECT_EQ(generate("goe?"), (Terms{"NGOE"}));
  EXPECT_EQ(generate("goe?", TermMode::Retrieval), (Terms{"TGOE\x08"}));
  // Phrase mode skips nothing: the 0x02 is dropped, the 0x03 kept.
  EXPECT_EQ(generate("<Der> Tod", TermMode::Phrase), (Terms{"NDER\x03", "NTOD"}));
  // Part terms from marks, indexing only: every piece but the whole word.
  EXPECT_EQ(generate("Haus#tuer#schluessel"),
            (Terms{"NHAUSTUERSCHLUESSEL", "NHAUS", "NHAUSTUER", "NTUER", "NTUERSCHLUESSEL", "NSCHLUESSEL"}));
  EXPECT_EQ(generate("Haus#tuer", TermMode::Retrieval), (Terms{"NHAUSTUER"}));
  EXPECT_EQ(generate("#haus#tuer#"), (Terms{"NHAUSTUER", "NHAUS", "NTUER"}));  // marks at the edges
  // A search term stops at MAXLEN and has no word ends at its edges.
  EXPECT_EQ(generate("  ab  cd  ", TermMode::Search), (Terms{"NAB\x01\x01"
                                                             "CD"}));
  def_.max_length = 3;
  EXPECT_EQ(generate("abcdef gh", TermMode::Search), (Terms{"NABC"}));
  def_.max_length = 0;  // the default 240
  EXPECT_EQ(generate("abcdef"), (Terms{"NABCDEF"}));
}

TEST_F(TermTest, DecomposedLettersAndControlBytesInValues) {
  // A letter and its combining mark give the terms of the composed letter,
  // in stored values and query words alike.
  EXPECT_EQ(generate("O\xCC\x88kologie"), generate("\xC3\x96kologie"));
  EXPECT_EQ(generate("O\xCC\x88kologie", TermMode::Retrieval), (Terms{"N\xC3\x96KOLOGIE"}));
  // Text that is not UTF-8 is indexed as it is.
  EXPECT_EQ(generate("Einf\x81hrung"), (Terms{"NEINF\x81HRUNG"}));
  // A line feed, a carriage return, a tab or another byte below 0x20 ends a
  // word (MARCXML "&#10;" inside a title).
  const Terms two{"NERSTER", "NZWEITER"};
  for (const char* value : {"erster\nzweiter", "erster\r\nzweiter", "erster\tzweiter", "erster\x1fzweiter"}) {
    EXPECT_EQ(generate(value), two) << value;
    EXPECT_EQ(generate(value, TermMode::Retrieval), two) << value;
  }
}

TEST_F(TermTest, TypedPiecesAndIndicatorPrefixes) {
  // IDNs in 4-byte pieces; a rest shorter than a piece gives none.
  EXPECT_EQ(generate(std::string("\0\0\0\7\0\0\0\x09\1", 9), TermMode::Index, 2),
            (Terms{std::string("N\0\0\0\7", 5), std::string("N\0\0\0\x09", 5)}));
  // Negative numbers are inverted and order before the positive ones, and
  // among themselves by magnitude.
  const std::string minus_big =
      "\x01"
      "00000099";
  const std::string minus_small =
      "\x01"
      "00000001";
  const std::string plus =
      "\xFF"
      "00000001";
  const Terms a = generate(minus_big, TermMode::Index, 4);
  const Terms b = generate(minus_small, TermMode::Index, 4);
  const Terms c = generate(plus, TermMode::Index, 4);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_LT(a[0], b[0]);
  EXPECT_LT(b[0], c[0]);
  dict::TermDef number;
  EXPECT_EQ(trm_display(a[0].substr(1), number, 4, 100), minus_big);
  // INDIC=YES: two characters from the indicators, '_' for blank or none.
  def_.indicators = true;
  EXPECT_EQ(generate("Titel", TermMode::Index, 1, "14"), (Terms{"N14TITEL"}));
  EXPECT_EQ(generate("Titel", TermMode::Index, 1, " 4"), (Terms{"N_4TITEL"}));
  EXPECT_EQ(generate("Titel", TermMode::Index, 1, ""), (Terms{"N__TITEL"}));
  EXPECT_EQ(trm_display("14TITEL", def_, 1, 100), "TITEL");
  EXPECT_EQ(trm_display("14TITEL", def_, 1, 3), "TIT");
}

TEST_F(TermTest, AFullListFailsWith702) {
  TermContext ctx;
  TermList list(12);
  def_.translation.clear();
  EXPECT_EQ(trm_generate(ctx, list, "", &def_, TermMode::Index, std::string(20, 'x'), 1).code(),
            kTermListFull);
  EXPECT_EQ(trm_generate(ctx, list, "", nullptr, TermMode::Index, "x", 1).code(), kNoTermDefinition);
  ASSERT_EQ(trm_generate(ctx, list, "", &def_, TermMode::Index, "abc", 1).code(), 1);
  EXPECT_EQ(list.encode(), std::string("\0\6Nabc", 6));
}

// Stop words from a stop file of a real pool.
class StopWordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("stop");
    dbm_ = std::make_unique<dbm::Dbm>(dbm::default_file_system(), nullptr);
    ASSERT_EQ(dbm_->initialize("A", dir_ + "/a").code(), 0);
    ASSERT_EQ(dbm_->open("A", dir_ + "/a", 'U').code(), 0);
    ASSERT_EQ(dbm_->create("A", dbm::FileSpec{'N', 12, 0, 'D', 62, 0, 'F', 60, 'V'}).code(), 0);
    for (const char* w : {"DER", "DIE", "UND"}) ASSERT_EQ(stp_add(*dbm_, "A", 12, 1, w, "").code(), 0);
    ASSERT_EQ(stp_add(*dbm_, "A", 12, 1, "ST", "SANKT").code(), 0);
    ASSERT_EQ(stp_add(*dbm_, "A", 12, 2, "TOD", "").code(), 0);  // another list
    def_.stop_file = 12;
    def_.stop_list = 1;
    // Blanks end words, "!" keeps a word from stop words.
    std::ofstream(dir_ + "/s.tab") << "LETPASS=ALL\n32 1\n33 5\n";
    ASSERT_EQ(translations_.load("S", dir_ + "/s.tab", '\\').code(), 0);
    def_.translation = "S";
  }
  void TearDown() override {
    dbm_.reset();
    std::filesystem::remove_all(dir_);
  }
  Terms generate(std::string_view value, TermMode mode = TermMode::Index) {
    TermContext ctx;
    ctx.dbm = dbm_.get();
    ctx.pool = "A";
    ctx.translations = &translations_;
    TermList list(10000);
    EXPECT_GE(trm_generate(ctx, list, "", &def_, mode, value, 1).code(), 0);
    return classed(list);
  }

  std::string dir_;
  std::unique_ptr<dbm::Dbm> dbm_;
  Translations translations_;
  dict::TermDef def_;
};

TEST_F(StopWordTest, StopWordsAdditionalTermsAndValuesOfStopWordsOnly) {
  std::string target;
  EXPECT_EQ(stp_lookup(*dbm_, "A", 12, 1, "DER", target).code(), 1);
  EXPECT_EQ(stp_lookup(*dbm_, "A", 12, 1, "ST", target).code(), 2);
  EXPECT_EQ(target, "SANKT");
  EXPECT_EQ(stp_lookup(*dbm_, "A", 12, 1, "TOD", target).code(), 0);
  EXPECT_EQ(generate("DER TOD UND DIE ST"), (Terms{"NTOD", "NST", "NSANKT"}));
  // A title of stop words only is indexed with all of them.
  EXPECT_EQ(generate("DER DIE"), (Terms{"NDER", "NDIE"}));
  // A kept word is not looked up; phrases skip stop words altogether.
  EXPECT_EQ(generate("!DER TOD"), (Terms{"NDER", "NTOD"}));
  EXPECT_EQ(generate("DER TOD", TermMode::Phrase), (Terms{"NDER", "NTOD"}));
  // Control bytes in the data itself steer nothing: they count as blanks.
  EXPECT_EQ(generate(std::string("TOD\x05"
                                 "DER\x02"
                                 "ELBE",
                                 12)),
            (Terms{"NTOD", "NELBE"}));
}

}  // namespace
}  // namespace corvanta::records
