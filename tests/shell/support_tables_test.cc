#include "shell/support_tables.h"

#include <gtest/gtest.h>

#include "shell/support.h"

namespace corvanta {
namespace {

// A request row with the given field texts.
std::string row(std::initializer_list<std::string> fields) {
  std::string body;
  for (const std::string& f : fields) {
    char head[16];
    std::snprintf(head, sizeof head, "%04zu", f.size() + 13);
    body += head + std::string(9, ' ') + f;
  }
  char head[16];
  std::snprintf(head, sizeof head, "%04zu%03zu ", body.size() + 8, fields.size());
  return head + body;
}

TEST(RequestItem, RowsFieldsAndTheirNames) {
  const std::string data = row({"", "IDN=42   "}) + row({"FLAG"}) + row({"A=b=c"});
  std::string name, value;
  int index = 0;
  ASSERT_EQ(bat_request_item(data, name, value, index).code(), 0);
  EXPECT_EQ(name, "IDN");
  EXPECT_EQ(value, "42");  // the first non-empty field, without trailing blanks
  ASSERT_EQ(bat_request_item(data, name, value, index).code(), 0);
  EXPECT_EQ(name, "FLAG");
  EXPECT_EQ(value, "");
  ASSERT_EQ(bat_request_item(data, name, value, index).code(), 0);
  EXPECT_EQ(value, "b=c");
  EXPECT_EQ(index, 3);
  EXPECT_EQ(bat_request_item(data, name, value, index).code(), -1);
  EXPECT_EQ(bat_request_item("", name, value, index).code(), -11);
  index = 0;
  EXPECT_EQ(bat_request_item("00991", name, value, index).code(), -1);  // a row longer than the data
}

std::vector<unsigned char> finding(std::string tag, int occ, int number, std::vector<std::string> texts) {
  std::vector<unsigned char> f(9);
  std::copy(tag.begin(), tag.end(), f.begin() + 2);
  f[5] = static_cast<unsigned char>(occ >> 8);
  f[6] = static_cast<unsigned char>(occ);
  f[7] = static_cast<unsigned char>(number >> 8);
  f[8] = static_cast<unsigned char>(number);
  for (const std::string& t : texts) {
    f.push_back(static_cast<unsigned char>(t.size() >> 8));
    f.push_back(static_cast<unsigned char>(t.size()));
    f.insert(f.end(), t.begin(), t.end());
  }
  f[0] = static_cast<unsigned char>(f.size() >> 8);
  f[1] = static_cast<unsigned char>(f.size());
  return f;
}

TEST(CheckReport, MessagesWithTheirTexts) {
  std::vector<unsigned char> buffer = finding("245", 2, 7, {"a", "b", "", "", "e"});
  const auto second = finding("100", 0, 8, {"x", "", "", "", ""});
  buffer.insert(buffer.end(), second.begin(), second.end());
  buffer.push_back(0);  // a cut finding at the end is ignored
  const MessageLookup text = [](std::string_view section, std::int32_t code) -> std::string {
    if (section == "CAT_CHECK_ERROR" && code == 7) return "&1 vor &2, &5 && &x &9";
    if (section == "CAT_CHECK_WARNING" && code == 8) return "Hinweis &1";
    return {};
  };
  std::vector<std::string> lines;
  bat_check_report(text, buffer, [&](const std::string& l) { lines.push_back(l); });
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "TAG: 245.2 a vor b, e & x 9");
  EXPECT_EQ(lines[1], "TAG: 100 Hinweis x");
}

TEST(CounterTable, AddsSortsAndTotals) {
  CounterTable t;
  ASSERT_EQ(t.add("Zweigstelle", 0, 2, 1.5).code(), 0);
  ASSERT_EQ(t.add("Hauptstelle", 9, 1).code(), 0);
  ASSERT_EQ(t.add("Zweigstelle", 0, 3, 2.0).code(), 0);
  EXPECT_EQ(t.add("Hauptstelle", 10, 1).code(), -2);
  t.sort();
  ASSERT_EQ(t.rows().size(), 2u);
  EXPECT_EQ(t.rows()[0].name, "Hauptstelle");
  EXPECT_EQ(t.rows()[1].counts[0], 5);
  EXPECT_DOUBLE_EQ(t.rows()[1].amounts[0], 3.5);
  const CounterRow total = t.total();
  EXPECT_EQ(total.counts[0], 5);
  EXPECT_EQ(total.counts[9], 1);
}

TEST(SublibMatch, OccurrencesAndWildcards) {
  records::RecordHandle h;
  records::rec_init(h, 4096, 1);
  records::RecordHandle none;
  records::rec_init(none, 4096, 1);
  for (const char* code : {"ZB", "FILI2xyz"}) {
    records::FieldDesc f;
    f.tag = "852";
    f.occurrence = 999;  // after the last
    f.set(code);
    ASSERT_EQ(records::fld_put(h, f).code(), 0);
  }
  EXPECT_TRUE(bat_sublib_match(h, "852", "ZB"));
  EXPECT_TRUE(bat_sublib_match(h, "852", "FILI2"));  // five characters compared
  EXPECT_FALSE(bat_sublib_match(h, "852", "FILI"));
  EXPECT_FALSE(bat_sublib_match(h, "852", "XX"));
  EXPECT_TRUE(bat_sublib_match(h, "852", "*"));
  EXPECT_TRUE(bat_sublib_match(h, "852", ""));
  EXPECT_TRUE(bat_sublib_match(none, "852", "XX"));  // no such field: every sub-library
  records::rec_free(h);
  records::rec_free(none);
}

}  // namespace
}  // namespace corvanta
