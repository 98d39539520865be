#include "imex/update_service.h"

#include <gtest/gtest.h>

#include <string>

namespace corvanta::imex {
namespace {

std::string entry(const std::string& tag, const std::string& ind, const std::string& content) {
  char head[8];
  std::snprintf(head, sizeof head, "%04zu", tag.size() + 3 + content.size());
  std::string indicators = ind;
  indicators.resize(2, ' ');
  return head + tag + indicators + " " + content;
}

std::string content_of(records::RecordHandle& h, const std::string& tag, char code = 0,
                       std::uint16_t occ = 1) {
  records::FieldDesc f;
  f.tag = tag;
  f.occurrence = occ;
  if (code == 0) return records::fld_get(h, f).code() == 0 ? std::string(f.content()) : "<none>";
  records::FieldDesc s;
  s.tag.assign(1, code);
  s.occurrence = 1;
  return records::fld_get(h, f, &s).code() == 0 ? std::string(s.content()) : "<none>";
}

TEST(UpdateFunctions, ANamePrefixSelectsTheFirstRow) {
  EXPECT_EQ(find_update_function("N")->name, "NEW");
  EXPECT_EQ(find_update_function("NEW-")->name, "NEW-CHK");
  EXPECT_EQ(find_update_function("D")->name, "DELETE");
  EXPECT_EQ(find_update_function("UPDATE-C")->name, "UPDATE-CHK");
  EXPECT_EQ(find_update_function("FIXTITLE")->name, "FIX");
  EXPECT_EQ(find_update_function("X"), nullptr);
  EXPECT_EQ(find_update_function(""), nullptr);
}

TEST(TransferText, FieldsSubfieldsBlanksAndIndicators) {
  const dict::FileDef file;
  records::RecordHandle h;
  const std::string text = entry("245", "10", "$$a  Der Titel $$b Zusatz") +
                           entry("100", "", "  Mann, Thomas  ") + entry("650", "", "$$aElbe") +
                           entry("650", "", "$$aHamburg") +
                           entry("300", std::string(1, '\x01') + " ", "200 S.");
  ASSERT_EQ(parse_transfer_text(text, file, h, 4096, false, false).code(), 0);
  EXPECT_EQ(content_of(h, "245", 'a'), "Der Titel");
  EXPECT_EQ(content_of(h, "245", 'b'), "Zusatz");
  EXPECT_EQ(content_of(h, "100"), "Mann, Thomas");
  EXPECT_EQ(content_of(h, "650", 'a', 2), "Hamburg");  // after the first occurrence
  EXPECT_EQ(h.order, 'N');
  // Written back, the fields come in tag order with their subfields.
  const std::string back = write_transfer_text(h);
  EXPECT_EQ(back.substr(0, 22), entry("100", "", "Mann, Thomas"));
  EXPECT_NE(back.find(entry("245", "10", "$$aDer Titel$$bZusatz")), std::string::npos) << back;
  records::RecordHandle again;
  ASSERT_EQ(parse_transfer_text(back, file, again, 4096, false, false).code(), 0);
  EXPECT_EQ(write_transfer_text(again), back);

  // Keep-blanks: values as given, an empty one as one blank.
  ASSERT_EQ(
      parse_transfer_text(entry("100", "", "") + entry("250", "", " 2. "), file, h, 4096, true, false).code(),
      0);
  EXPECT_EQ(content_of(h, "100"), " ");
  EXPECT_EQ(content_of(h, "250"), " 2. ");
}

TEST(TransferText, WrongLengthsAndOversizedRecordsAreRefused) {
  const dict::FileDef file;
  records::RecordHandle h;
  EXPECT_EQ(parse_transfer_text("0004245", file, h, 4096, false, false).code(), kBadTransferText);
  EXPECT_EQ(parse_transfer_text("0100245 1 abc", file, h, 4096, false, false).code(), kBadTransferText);
  EXPECT_EQ(parse_transfer_text("00x9245   abc", file, h, 4096, false, false).code(), kBadTransferText);
  EXPECT_EQ(parse_transfer_text(entry("245", "", "ok") + "00", file, h, 4096, false, false).code(),
            kBadTransferText);
  EXPECT_EQ(parse_transfer_text(entry("245", "", std::string(500, 'x')), file, h, 100, false, false).code(),
            records::kTooLong);
}

TEST(TransferText, TheOriginIsRecognised) {
  const dict::FileDef file;
  records::RecordHandle h;
  ASSERT_EQ(
      parse_transfer_text(entry("001", "", "$$a123") + entry("903", "", "$$eX"), file, h, 4096, false, false)
          .code(),
      0);
  auto origin = recognise_origin(h);
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->name, "VORNA");
  EXPECT_TRUE(origin->gnd);
  ASSERT_EQ(parse_transfer_text(entry("Z39", "", "VERBUNDNORD-X"), file, h, 4096, false, false).code(), 0);
  origin = recognise_origin(h);
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->name, "VERBUNDNOR");
  ASSERT_EQ(parse_transfer_text(entry("245", "", "x"), file, h, 4096, false, false).code(), 0);
  EXPECT_FALSE(recognise_origin(h).has_value());
}

}  // namespace
}  // namespace corvanta::imex
