#include "shell/params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvanta {
namespace {

struct ParseCase {
  std::string line;
  std::string command;
  std::vector<ParamEntry> entries;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << '"' << c.line << '"';
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesCommandAndEntries) {
  const ParseCase& c = GetParam();
  ParamList list;
  list.parse(c.line);
  EXPECT_EQ(list.command(), c.command);
  ASSERT_EQ(list.count(), c.entries.size()) << c.line;
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    EXPECT_EQ(list.entries()[i].name, c.entries[i].name) << c.line;
    EXPECT_EQ(list.entries()[i].value, c.entries[i].value) << c.line;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseTest,
    ::testing::Values(ParseCase{"search pool=a", "SEARCH", {{"POOL", "a"}}},
                      ParseCase{"X A=\"two words\" B=1", "X", {{"A", "two words"}, {"B", "1"}}},
                      ParseCase{"X A=\"say \"\"hi\"\"\"", "X", {{"A", "say \"hi\""}}},
                      ParseCase{"X A=1 B C=2", "X", {{"A", "1"}}}, ParseCase{"X A= B=1", "X", {{"A", "B=1"}}},
                      ParseCase{"X A=", "X", {{"A", ""}}}, ParseCase{"X A=1\tB=2", "X", {{"A", "1"}}},
                      ParseCase{" X A=1", "", {}},  // a leading blank: empty word, and X is no entry
                      ParseCase{"X   A=1    B=2  ", "X", {{"A", "1"}, {"B", "2"}}},
                      ParseCase{"X A=\"open quote", "X", {{"A", "open quote"}}},
                      ParseCase{"X A=x\"y B=2", "X", {{"A", "x\"y"}, {"B", "2"}}}, ParseCase{"X =1", "X", {}},
                      ParseCase{"X A=1 A=2", "X", {{"A", "1"}, {"A", "2"}}},
                      ParseCase{"x \xC3\xA4=\xC3\xB6", "X", {{"\xC3\xA4", "\xC3\xB6"}}},
                      ParseCase{"", "", {}}));

TEST(ParamList, CutsWordNameAndValue) {
  ParamList list;
  list.parse("ABCDEFGHIJKLMNOPQRSTUVWXY abcdefghijklmnopqrst=" + std::string(250, 'v'));
  EXPECT_EQ(list.command(), "ABCDEFGHIJKLMNOPQRS");
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.entries()[0].name, "ABCDEFGHIJKLMN");
  EXPECT_EQ(list.entries()[0].value, std::string(200, 'v'));
}

TEST(ParamList, RemainderOfCutValueIsReadAsNextEntry) {
  ParamList list;
  list.parse("X A=" + std::string(200, 'a') + "B=1 C=2");
  ASSERT_EQ(list.count(), 3u);
  EXPECT_EQ(list.entries()[1].name, "B");
  EXPECT_EQ(list.entries()[2].value, "2");
}

TEST(ParamList, KnowsWhichValuesWereCut) {
  auto cut = [](const std::string& value) {
    ParamList list;
    list.parse("X A=" + value);
    return list.was_cut("A");
  };
  EXPECT_TRUE(cut(std::string(201, 'a')));
  EXPECT_TRUE(cut("\"" + std::string(199, 'b') + " c\""));      // a blank inside the quotes goes on
  EXPECT_FALSE(cut(std::string(200, 'c') + " B=1"));            // exactly 200, then a blank
  EXPECT_FALSE(cut("\"" + std::string(200, 'd') + "\""));       // exactly 200, then the closing quote
  EXPECT_TRUE(cut("\"" + std::string(199, 'e') + "\"\"\"\""));  // 199, a quote, and more
  EXPECT_FALSE(cut("short"));
  ParamList list;
  list.parse("X A=1");
  EXPECT_FALSE(list.was_cut("B"));
}

TEST(ParamList, IgnoresParametersBeyondItsRoom) {
  std::string line = "X";
  for (int i = 0; i < 40; ++i) line += " P" + std::to_string(i) + "=" + std::to_string(i);
  ParamList list(kCommandLineEntries);
  list.parse(line);
  ASSERT_EQ(list.count(), kCommandLineEntries);
  EXPECT_EQ(list.entries().back().name, "P23");
  list.add("EXTRA", "1");
  EXPECT_EQ(list.count(), kCommandLineEntries);

  ParamList no_room(0);
  no_room.parse("X A=1");
  EXPECT_EQ(no_room.command(), "X");
  EXPECT_EQ(no_room.count(), 0u);
  EXPECT_EQ(no_room.get("A"), "");
}

TEST(ParamList, LookupsTakeTheFirstEntryWithoutRegardToCase) {
  ParamList list;
  list.parse("X POOL=B pool=C EMPTY=");
  EXPECT_EQ(list.get("pool"), "B");
  EXPECT_EQ(list.get("missing"), "");
  EXPECT_TRUE(list.has("empty"));
  EXPECT_EQ(list.get_into("POOL", "Z", 10, false), "B");
  EXPECT_EQ(list.get_into("EMPTY", "Z", 10, false), "");  // present but empty: no default
  EXPECT_EQ(list.get_into("MISSING", "zz", 10, true), "ZZ");
  EXPECT_EQ(list.get_into("MISSING", "", 10, true), "");

  list.parse("X V=abc");
  EXPECT_EQ(list.get_into("V", "", 1, false), "a");
  EXPECT_EQ(list.get_into("V", "", 1, true), "A");
}

TEST(ParamList, AddKeepsExistingValueAndScansText) {
  ParamList list;
  list.parse("X POOL=B");
  list.add("pool", "C");
  EXPECT_EQ(list.get("POOL"), "B");
  list.add("language", "\"GER\"");
  EXPECT_EQ(list.get("LANGUAGE"), "GER");
  EXPECT_EQ(list.entries().back().name, "LANGUAGE");
  list.add("averyveryverylongname", "two words");
  EXPECT_EQ(list.entries().back().name, "AVERYVERYVERYL");
  EXPECT_EQ(list.entries().back().value, "two");
}

TEST(ScanValue, ReportsCharactersConsumed) {
  std::string v;
  EXPECT_EQ(scan_value(v, "abc def"), 3u);
  EXPECT_EQ(v, "abc");
  EXPECT_EQ(scan_value(v, "\"a b\" c"), 5u);
  EXPECT_EQ(v, "a b");
  EXPECT_EQ(scan_value(v, "\"a\"\"b\""), 6u);
  EXPECT_EQ(v, "a\"b");
  EXPECT_EQ(scan_value(v, ""), 0u);
  EXPECT_EQ(v, "");
  EXPECT_EQ(scan_value(v, std::string(300, 'x')), 200u);
  // A quoted value cut at 200 characters stops before its closing quote.
  EXPECT_EQ(scan_value(v, "\"" + std::string(250, 'q') + "\""), 201u);
  EXPECT_EQ(v.size(), 200u);
}

}  // namespace
}  // namespace corvanta
