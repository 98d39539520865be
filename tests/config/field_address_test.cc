#include "config/field_address.h"

#include <gtest/gtest.h>

#include "config/dictionary.h"
#include "records/field_path.h"

namespace corvanta::config {
namespace {

struct Case {
  const char* text;
  bool valid;
  const char* tag = "";
  const char* indicators = "";
  std::uint16_t occurrence = 0;
  const char* subfield = "";
  std::uint16_t subfield_occurrence = 0;
};

TEST(FieldAddressGrammar, PartsOfEachAddress) {
  const Case cases[] = {
      {"245", true, "245"},
      {"LDR", true, "LDR"},
      {"245.2/14$a.3", true, "245", "14", 2, "a", 3},  // occurrence before the indicators
      {"700/1 .2$a.3", true, "700", "1 ", 2, "a", 3},  // and after them; a blank indicator
      {"245/", true, "245"},                           // no indicators after the slash
      {"245/1$a", true, "245", "1", 0, "a"},           // one indicator, then the subfield
      {"245$abc.12", true, "245", "", 0, "abc", 12},   // codes of up to three characters
      {"650.99999", true, "650", "", 65535},           // occurrences saturate
      {"245/.2", true, "245", "", 2},                  // indicators stop at "."
      {"", false},
      {"24", false},
      {"24$a", false},    // a shorter tag would find other fields
      {"2455$a", false},  // indicators need the slash
      {" 245", false},    // blanks are not dropped here
      {"245 ", false},
      {"245.x", false},
      {"245.$a", false},
      {"245$", false},
      {"245$a.", false},
      {"245$abcd", false},
      {"245.1/2.3", false},  // the occurrence once only
      {"245/123", false},    // at most two indicators
      {"500/\n\n", false},   // control characters would split exported records
      {"245//$a", false},    // neither "/" nor bytes above ASCII are indicators
      {"245/\xc3\xa4", false},
      {"2.5", false},
      {"$z", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto a = parse_field_address(c.text);
    ASSERT_EQ(a.has_value(), c.valid);
    if (!a) continue;
    EXPECT_EQ(a->tag, c.tag);
    EXPECT_EQ(a->indicators, c.indicators);
    EXPECT_EQ(a->occurrence, c.occurrence);
    EXPECT_EQ(a->subfield, c.subfield);
    EXPECT_EQ(a->subfield_occurrence, c.subfield_occurrence);
  }
}

// Dictionaries, forms and letters take a one-character subfield code and
// drop blanks around the address.
TEST(FieldAddressGrammar, DictionaryElements) {
  const auto e = dict::parse_element(" 245.2/1$a ");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->tag, "245");
  EXPECT_EQ(e->indicators, "1");
  EXPECT_EQ(e->field_occurrence, 2);
  EXPECT_EQ(e->subfield, 'a');
  EXPECT_FALSE(dict::parse_element("245$ab"));
  EXPECT_EQ(dict::parse_element("245/$a")->subfield, 'a');  // "$" ends the indicators
}

// Scripts and union numbers take codes of up to three characters and cap
// occurrences at the record model's last one.
TEST(FieldAddressGrammar, RecordFieldPaths) {
  const records::FieldPath a = records::parse_field_path("245.2/14$abc.3");
  ASSERT_TRUE(a.valid);
  EXPECT_EQ(a.field.tag, "245");
  EXPECT_EQ(a.field.indicators, "14");
  EXPECT_EQ(a.field.occurrence, 2);
  EXPECT_EQ(a.subfield.tag, "abc");
  EXPECT_EQ(a.subfield.occurrence, 3);
  EXPECT_EQ(records::parse_field_path("650.99999").field.occurrence, records::kLastOccurrence);
  EXPECT_FALSE(records::parse_field_path("245 x").valid);
}

}  // namespace
}  // namespace corvanta::config
