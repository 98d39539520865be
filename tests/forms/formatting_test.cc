// Record forms: what a layout shows of a record, and the layout lines it
// refuses.
#include "forms/formatting.h"

#include <gtest/gtest.h>

#include <string>

#include "record_fields.h"

namespace corvanta::records {
namespace {

class FormattingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rec_init(h_, 4096, 1);
    h_.idn = 42;
    h_.order = 'N';
    testing::put_subfield(h_, "245", "10", 'a', "Haus am See");
    testing::put_subfield(h_, "245", "10", 'c', "Anna Müller");
    testing::put_subfield(h_, "650", "", 'a', "Seen");
    testing::put_subfield(h_, "650", "", 'a', "Häuser");
    testing::put_field(h_, "300", "200 S.   ");
    rec_store_header(h_);
  }
  std::vector<FormattedLine> format(const std::string& text, std::uint32_t hit = 0) {
    Layout layout;
    long line = 0;
    EXPECT_EQ(parse_layout(text, layout, line).code(), 0) << text;
    FormatContext ctx;
    ctx.hit_number = hit;
    return format_record(&layout, h_, ctx);
  }
  RecordHandle h_;
};

TEST_F(FormattingTest, LiteralsShowWithTheirElements) {
  // $b missing: its separator goes with it; the label stays.
  EXPECT_EQ(format("'Titel: ' 245$a ' : ' 245$b ' / ' 245$c"),
            (std::vector<FormattedLine>{{"Titel: Haus am See / Anna Müller"}}));
  // Nothing of the line's elements: no line.
  EXPECT_TRUE(format("'Ausgabe: ' 250 ' (' 250 ')'").empty());
  // A trailing literal follows its element only.
  EXPECT_EQ(format("245$a ' (' 250 ')'"), (std::vector<FormattedLine>{{"Haus am See"}}));
  // Lines without elements are constant text; '' is a quote.
  EXPECT_EQ(format("'It''s' | '*'"), (std::vector<FormattedLine>{{"It's", "*"}}));
}

TEST_F(FormattingTest, OccurrencesFieldsAndColumns) {
  EXPECT_EQ(format("650$a"), (std::vector<FormattedLine>{{"Seen; Häuser"}}));
  EXPECT_EQ(format("650$a+' / '"), (std::vector<FormattedLine>{{"Seen / Häuser"}}));
  EXPECT_EQ(format("650$a.2"), (std::vector<FormattedLine>{{"Häuser"}}));
  EXPECT_EQ(format("245/10$c"), (std::vector<FormattedLine>{{"Anna Müller"}}));
  EXPECT_TRUE(format("245/14$c").empty());
  // A whole field: its subfields joined by blanks; trailing blanks go.
  EXPECT_EQ(format("245 | 300"), (std::vector<FormattedLine>{{"Haus am See Anna Müller", "200 S."}}));
  EXPECT_EQ(format("245$a\t'!'"), (std::vector<FormattedLine>{{"Haus am See!"}}));
  // Nonfiling characters: the second indicator of 245 is 0, the first 1.
  EXPECT_EQ(format("245$a!2"), (std::vector<FormattedLine>{{"Haus am See"}}));
  EXPECT_EQ(format("245$a!1 | 245$c!1"), (std::vector<FormattedLine>{{"aus am See", "nna Müller"}}));
  EXPECT_EQ(format("@NO | @IDN\n* a comment\n\n245$a", 7),
            (std::vector<FormattedLine>{{"7", "42"}, {"Haus am See"}}));
  EXPECT_EQ(format_text(nullptr, h_), "245 Haus am See Anna Müller 300 200 S. 650 Seen Häuser");
}

TEST(LayoutParse, RefusesWhatIsNoLayout) {
  for (const char* bad : {"'open", "245$a+", "245$a+x", "@WHAT", "24", "245 'a' |\n'unclosed", "245/\x01$a",
                          "\x01\x02\x03$a", "245$a!3", "245$a!"}) {
    Layout layout;
    long line = 0;
    EXPECT_EQ(parse_layout(bad, layout, line).code(), -145) << bad;
    EXPECT_GE(line, 1);
  }
  Layout layout;
  long line = 0;
  EXPECT_EQ(parse_layout("245\n\n'x'\n@IDN 'y", layout, line).code(), -145);
  EXPECT_EQ(line, 4);
}

}  // namespace
}  // namespace corvanta::records
