#include "imex/record_convert.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "imex/formats.h"

namespace corvanta::imex {
namespace {

using records::FieldDesc;
using records::RecordHandle;

FieldDesc field(std::string tag, std::string_view content = {}, std::string indicators = "") {
  FieldDesc f;
  f.tag = std::move(tag);
  f.indicators = std::move(indicators);
  f.type = 1;
  f.occurrence = records::kLastOccurrence;
  f.set(content);
  return f;
}

FieldDesc sub(char code, std::string_view data) {
  FieldDesc s;
  s.tag.assign(1, code);
  s.type = 1;
  s.set(data);
  return s;
}

std::string text_of(RecordHandle& h) {
  return generic_internal_text(h);
}

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    records::rec_init(source_, 4096, 1);
    records::rec_init(target_, 4096, 1);
    source_.idn = 7;
    ASSERT_EQ(records::fld_put(source_, field("100", "Autor")).code(), 0);
    ASSERT_EQ(records::fld_put(source_, field("200", "Erster")).code(), 0);
    ASSERT_EQ(records::fld_put(source_, field("200", "Zweiter")).code(), 0);
    FieldDesc f = field("245");
    const FieldDesc a = sub('a', "Haupttitel");
    ASSERT_EQ(records::fld_put(source_, f, &a).code(), 0);
    FieldDesc g = field("245");
    g.occurrence = 1;
    ASSERT_EQ(records::fld_get(source_, g).code(), 0);
    ASSERT_EQ(records::sfl_put(source_, g, sub('b', "Zusatz")).code(), 0);
  }
  void TearDown() override {
    records::rec_free(source_);
    records::rec_free(target_);
  }
  RecordHandle source_, target_;
};

TEST(Addresses, Parse) {
  const auto a = parse_address("245/1_.2$a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->tag, "245");
  EXPECT_EQ(*a->indicators, "1 ");
  EXPECT_EQ(a->occurrence, 2);
  EXPECT_EQ(a->subfield, 'a');
  EXPECT_EQ(parse_address("1000")->indicators, "0");
  EXPECT_FALSE(parse_address("24"));
  EXPECT_FALSE(parse_address("245$"));
  EXPECT_EQ(routine_names().size(), 62u);
  EXPECT_EQ(routine_names().front(), "cnv_copy");
  EXPECT_EQ(routine_names().back(), "cnv_keep_local");
}

TEST_F(ConvertTest, WithoutRulesTheRecordIsCopied) {
  RecordConverter c;
  ASSERT_EQ(c.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_), text_of(source_));
  EXPECT_FALSE(c.load("/nonexistent/table", "BIB"));
  ASSERT_EQ(c.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_), text_of(source_));
}

TEST_F(ConvertTest, OnlyADefaultLineConvertsEveryField) {
  RecordConverter c;
  c.load_text("DEFAULT\tcnv_norm\n");
  ASSERT_EQ(c.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_), text_of(source_));  // a field's subfields travel with its content
  RecordConverter prefix;
  prefix.load_text("245$a\t\tcnv_norm\nDEFAULT\tcnv_prefix\t\">\"\n");
  ASSERT_EQ(prefix.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_),
            "IDN  000000007\n100  >Autor\n200  >Erster\n200  >Zweiter\n245  $$aHaupttitel$$b>Zusatz\n\n");
}

TEST_F(ConvertTest, KeepLocalKeepsEveryUnplacedFieldWithItsTagAndIndicator) {
  RecordConverter c;
  c.load_text("100\t700\tcnv_norm\nDEFAULT\tcnv_keep_local\tMAB\n");
  ASSERT_EQ(c.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_),
            "IDN  000000007\n700  Autor\nMAB  $$t200$$i_$$aErster\nMAB  $$t200$$i_$$aZweiter\n"
            "MAB  $$t245$$i_$$aHaupttitel$$bZusatz\n\n");
}

TEST_F(ConvertTest, RulesAndRoutines) {
  RecordConverter c;
  c.load_text(
      "* a comment\n"
      "! another\n"
      "100\t700\tcnv_norm\n"
      "200.2\t500\tcnv_suffix\t\" (2)\"\n"
      "245$a\t240$t\tcnv_prefix\t\"T: \"\n"
      "245$b\t240$u\tcnv_substr\t3,4\n"
      "DEFAULT\tcnv_delete\n");
  ASSERT_EQ(c.rules().size(), 4u);
  ASSERT_EQ(c.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_),
            "IDN  000000007\n240  $$tT: Haupttitel$$uatz\n500  Zweiter (2)\n700  Autor\n\n");
}

TEST_F(ConvertTest, CatIncremAllSubfieldsAndConditions) {
  RecordConverter c;
  c.load_text(
      "100\t900\tcnv_cond_tag\t245\n"
      "100\t901\tcnv_cond_notag\t999\n"
      "200\t300\tcnv_cat\t\"; \"\n"
      "245\t600\tcnv_all_subfields\n");
  ASSERT_EQ(c.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_), "IDN  000000007\n300  Erster; Zweiter\n600  Haupttitel/Zusatz\n900  Autor\n\n");

  RecordConverter inc;
  inc.load_text("200\t500\tcnv_increm\t10\n");
  ASSERT_EQ(inc.apply(target_, source_).code(), 0);
  EXPECT_EQ(text_of(target_), "IDN  000000007\n500  Erster\n510  Zweiter\n\n");
}

TEST_F(ConvertTest, TestFileReceivesTheResult) {
  const std::string path = ::testing::TempDir() + "convtest_" + std::to_string(::getpid());
  RecordConverter c;
  c.load_text("100\t\tcnv_copy\n");
  ASSERT_EQ(c.apply(target_, source_, path).code(), 0);
  std::ifstream in(path);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, "IDN  000000007\n100  Autor\n\n");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace corvanta::imex
