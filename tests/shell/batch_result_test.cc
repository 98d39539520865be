#include "shell/batch_result.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace corvanta {
namespace {

std::string printed(const BatchResult& result) {
  std::FILE* out = std::tmpfile();
  print_rows(result, out, nullptr);
  std::rewind(out);
  std::string text;
  int c;
  while ((c = std::getc(out)) != EOF) text += static_cast<char>(c);
  std::fclose(out);
  return text;
}

TEST(RowWriter, WritesTheRowFormatByteForByte) {
  BatchResult result(100);
  RowWriter row(result, 'R');
  row.add_field("abc", FieldStyle{25, 'A', "XY", "Z12", false});
  row.add_field("", FieldStyle{75, 'A', "X", "Z", false});
  row.add_field("", FieldStyle{10, 'A', "", "", true});
  row.add_field("p", FieldStyle{10, 'A', "", "", true});
  row.finish();
  add_text_row(result, "hi");
  EXPECT_EQ(result.rows, 2u);
  EXPECT_EQ(std::string(result.buffer.view()),
            "0064004R"
            "0016025AXYZ12abc"
            "0013075 X Z  "
            "0013010 itmap"
            "0014010bitmapp"
            "0023001U"
            "0015100U01C01hi");
}

TEST(RowWriter, CutsTextsSoThatNoRowExceedsTheLimit) {
  BatchResult result(10);
  RowWriter row(result);
  row.add_field(std::string(12000, 'x'));
  row.add_field("more");
  row.finish();
  const std::string_view data = result.buffer.view();
  EXPECT_EQ(data.size(), kMaxRowLength);
  EXPECT_EQ(data.substr(0, 8), "9999001U");  // the second field found no room
  EXPECT_EQ(data.substr(8, 4), "9991");
}

TEST(PrintRows, FieldWidthsFollowTheirPercentages) {
  BatchResult result(100);
  RowWriter row(result);
  row.add_field(std::string(50, 'a'), FieldStyle{50});
  row.add_field("b", FieldStyle{25});
  row.add_field("c", FieldStyle{25});
  row.finish();
  const std::string expected =
      "---\n" + std::string(38, 'a') + " b" + std::string(18, ' ') + " c" + std::string(18, ' ') + "\n---\n";
  EXPECT_EQ(printed(result), expected);
}

TEST(PrintRows, NothingForAnEmptyBufferAndAMarkEveryTwentyRows) {
  BatchResult result(100);
  EXPECT_EQ(printed(result), "");
  for (int i = 0; i < 45; ++i) add_text_row(result, "r" + std::to_string(i));
  const std::string text = printed(result);
  std::size_t marks = 0;
  for (std::size_t at = text.find("\n..."); at != std::string::npos; at = text.find("\n...", at + 1)) ++marks;
  EXPECT_EQ(marks, 2u);
  // The marks follow the 21st and the 41st row.
  EXPECT_NE(text.find("r20" + std::string(76, ' ') + "\n\n...\nr21"), std::string::npos);
  EXPECT_NE(text.find("r40" + std::string(76, ' ') + "\n\n...\nr41"), std::string::npos);
}

TEST(PrintRows, StopsAtRowsCountAndAtDamagedRows) {
  BatchResult result(100);
  add_text_row(result, "one");
  add_text_row(result, "two");
  result.rows = 1;
  EXPECT_EQ(printed(result).find("two"), std::string::npos);

  BatchResult damaged(100);
  damaged.buffer.append("00x9001U");
  damaged.rows = 1;
  EXPECT_EQ(printed(damaged), "---\n---\n");
  BatchResult too_long(100);
  too_long.buffer.append("9000001U0015100U01C01hi");
  too_long.rows = 1;
  EXPECT_EQ(printed(too_long), "---\n---\n");
}

}  // namespace
}  // namespace corvanta
