#include "records/record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "records/convert.h"

namespace corvanta::records {
namespace {

FieldDesc field(std::string tag, std::string indicators = "", std::string_view content = {},
                std::uint16_t occ = 0) {
  FieldDesc f;
  f.tag = std::move(tag);
  f.indicators = std::move(indicators);
  f.type = 1;
  f.occurrence = occ;
  f.set(content);
  return f;
}

FieldDesc sub(char code, std::string_view data = {}, std::uint16_t occ = 0) {
  FieldDesc s;
  s.tag.assign(1, code);
  s.type = 1;
  s.occurrence = occ;
  s.set(data);
  return s;
}

// The address of a descriptor that lives until the end of the statement.
const FieldDesc* ptr(const FieldDesc& d) {
  return &d;
}

std::string content_of(RecordHandle& h, const std::string& tag, std::uint16_t occ,
                       std::string indicators = "") {
  FieldDesc f = field(tag, std::move(indicators), {}, occ);
  if (fld_get(h, f).code() != 0) return "<none>";
  return std::string(f.content());
}

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override { rec_init(h_, 4096, 1); }
  void TearDown() override {
    std::string why;
    EXPECT_TRUE(rec_check_image(h_, &why)) << why;
    rec_free(h_);
  }
  RecordHandle h_;
};

TEST_F(RecordTest, FreshHandleAndImageLayout) {
  EXPECT_EQ(h_.length, 12u);
  FieldDesc f;
  EXPECT_EQ(fld_first(h_, f).code(), kNotFound);
  h_.idn = 0x0A0B0C;
  h_.order = 'N';
  h_.status = 7;
  ASSERT_EQ(fld_put(h_, field("245", "10", "Titel")).code(), 0);
  const auto img = h_.image();
  const std::vector<unsigned char> expected = {0, 0x0A, 0x0B, 0x0C, 0,   0,   0,   27,  7,
                                               1, 'N',  0,    '2',  '4', '5', 0,   7,   1,
                                               0, 2,    '1',  '0',  'T', 'i', 't', 'e', 'l'};
  EXPECT_EQ(std::vector<unsigned char>(img.begin(), img.end()), expected);
}

TEST_F(RecordTest, OccurrencePlacement) {
  ASSERT_EQ(fld_put(h_, field("100", "", "eins")).code(), 0);
  ASSERT_EQ(fld_put(h_, field("100", "", "zwei", 999)).code(), 0);
  ASSERT_EQ(fld_put(h_, field("100", "", "neu")).code(), 0);  // no occurrence: before the first
  EXPECT_EQ(content_of(h_, "100", 1), "neu");
  ASSERT_EQ(fld_put(h_, field("100", "", "letzt", 999)).code(), 0);
  EXPECT_EQ(content_of(h_, "100", 4), "letzt");
  ASSERT_EQ(fld_put(h_, field("050", "", "vorn")).code(), 0);
  ASSERT_EQ(fld_put(h_, field("900", "", "hinten")).code(), 0);
  ASSERT_EQ(fld_put(h_, field("100", "", "mitte", 3)).code(), 0);  // before the present third
  EXPECT_EQ(content_of(h_, "100", 3), "mitte");
  EXPECT_EQ(content_of(h_, "100", 4), "zwei");
  FieldDesc f = field("0");
  ASSERT_EQ(fld_get(h_, f).code(), 0);  // a short tag matches every tag beginning with it
  EXPECT_EQ(f.tag, "050");
  FieldDesc last = field("100", "", {}, 999);
  ASSERT_EQ(fld_get(h_, last).code(), 0);
  EXPECT_EQ(last.occurrence, 5);
  EXPECT_EQ(last.content(), "letzt");
  // Walking the fields gives occurrences in order.
  std::vector<std::string> seen;
  FieldDesc w;
  for (ResultCode rc = fld_first(h_, w); rc.code() == 0; rc = fld_next(h_, w)) {
    seen.push_back(w.tag + "." + std::to_string(w.occurrence));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"050.1", "100.1", "100.2", "100.3", "100.4", "100.5", "900.1"}));
}

TEST_F(RecordTest, IndicatorTest) {
  ASSERT_EQ(fld_put(h_, field("700", " y", "a")).code(), 0);
  ASSERT_EQ(fld_put(h_, field("700", "", "b", 999)).code(), 0);
  ASSERT_EQ(fld_put(h_, field("700", "1x", "c", 999)).code(), 0);
  EXPECT_EQ(content_of(h_, "700", 1, "_x"), "a");
  EXPECT_EQ(content_of(h_, "700", 2, "_x"), "b");
  EXPECT_EQ(content_of(h_, "700", 3, "_x"), "<none>");
  EXPECT_EQ(content_of(h_, "700", 1, "1x"), "c");
  EXPECT_EQ(content_of(h_, "700", 1, "1y"), "<none>");
}

TEST_F(RecordTest, SubfieldsSortedUnlessOrderN) {
  ASSERT_EQ(fld_put(h_, field("245")).code(), 0);
  FieldDesc f = field("245");
  ASSERT_EQ(fld_get(h_, f).code(), 0);
  ASSERT_EQ(sfl_put(h_, f, sub('b', "zwei")).code(), 0);
  ASSERT_EQ(fld_get(h_, f).code(), 0);
  ASSERT_EQ(sfl_put(h_, f, sub('a', "eins")).code(), 0);
  ASSERT_EQ(fld_get(h_, f).code(), 0);
  ASSERT_EQ(sfl_put(h_, f, sub('a', "noch")).code(), 0);
  ASSERT_EQ(fld_get(h_, f).code(), 0);
  std::string order;
  FieldDesc s;
  for (ResultCode rc = sfl_first(h_, f, s); rc.code() == 0; rc = sfl_next(h_, f, s)) {
    order += s.tag + std::to_string(s.occurrence) + "=" + std::string(s.content()) + " ";
  }
  EXPECT_EQ(order, "a1=eins a2=noch b1=zwei ");

  // Order N: a, b, a as entered; the search goes past b only under N.
  RecordHandle n;
  rec_init(n, 1024, 1);
  n.order = 'N';
  ASSERT_EQ(fld_append(n, field("245")).code(), 0);
  ASSERT_EQ(fld_append(n, field("245"), ptr(sub('a', "1"))).code(), 0);
  ASSERT_EQ(fld_append(n, field("245"), ptr(sub('b', "2"))).code(), 0);
  ASSERT_EQ(fld_append(n, field("245"), ptr(sub('a', "3"))).code(), 0);
  FieldDesc nf = field("245");
  FieldDesc second = sub('a', {}, 2);
  ASSERT_EQ(fld_get(n, nf, &second).code(), 0);
  EXPECT_EQ(second.content(), "3");
  n.order = 0;
  second = sub('a', {}, 2);
  EXPECT_EQ(fld_get(n, nf, &second).code(), kNotFound);
  rec_free(n);
}

TEST_F(RecordTest, ReplaceDeleteAndTheLastSubfield) {
  ASSERT_EQ(fld_put(h_, field("245"), ptr(sub('a', "Titel"))).code(), 0);
  ASSERT_EQ(fld_put(h_, field("300", "", "200 S.")).code(), 0);
  ASSERT_EQ(fld_replace(h_, field("300", "", "350 Seiten")).code(), 0);
  EXPECT_EQ(content_of(h_, "300", 1), "350 Seiten");
  ASSERT_EQ(fld_replace(h_, field("245"), ptr(sub('a', "Neuer Titel"))).code(), 0);
  FieldDesc f = field("245");
  FieldDesc s = sub('a');
  ASSERT_EQ(fld_get(h_, f, &s).code(), 0);
  EXPECT_EQ(s.content(), "Neuer Titel");
  EXPECT_EQ(fld_replace(h_, field("999", "", "x")).code(), kNotFound);
  ASSERT_EQ(fld_delete(h_, field("245"), ptr(sub('a'))).code(), 0);  // the only subfield: the field goes
  EXPECT_EQ(content_of(h_, "245", 1), "<none>");
  EXPECT_EQ(fld_delete(h_, field("245")).code(), kNotFound);
  ASSERT_EQ(fld_delete(h_, field("300")).code(), 0);
  EXPECT_EQ(h_.length, 12u);
}

TEST_F(RecordTest, InsertBeforeAndAfter) {
  h_.order = 'N';
  ASSERT_EQ(fld_put(h_, field("650"), ptr(sub('a', "mitte"))).code(), 0);
  FieldDesc f = field("650");
  FieldDesc ref = sub('a');
  ASSERT_EQ(fld_get(h_, f, &ref).code(), 0);
  ASSERT_EQ(sfl_insert_before(h_, f, sub('x', "vorn"), ref).code(), 0);
  EXPECT_EQ(ref.content(), "vorn");
  ASSERT_EQ(fld_get(h_, f).code(), 0);
  FieldDesc mid = sub('a');
  ASSERT_EQ(sfl_get(h_, f, mid).code(), 0);
  ASSERT_EQ(sfl_insert_after(h_, f, sub('y', "hinten"), mid).code(), 0);
  ASSERT_EQ(fld_get(h_, f).code(), 0);
  std::string all;
  FieldDesc s;
  for (ResultCode rc = sfl_first(h_, f, s); rc.code() == 0; rc = sfl_next(h_, f, s)) all += s.tag;
  EXPECT_EQ(all, "xay");
}

TEST_F(RecordTest, CapacityFailuresLeaveTheImageAlone) {
  RecordHandle small;
  rec_init(small, 40, 1);
  ASSERT_EQ(fld_put(small, field("100", "", "abcdefgh")).code(), 0);  // 12 + 16 = 28
  const std::vector<unsigned char> before(small.image().begin(), small.image().end());
  EXPECT_EQ(fld_put(small, field("200", "", "0123456789")).code(), kTooLong);
  EXPECT_EQ(fld_replace(small, field("100", "", "far too long for the buffer")).code(), kTooLong);
  FieldDesc with_sub = field("300");
  EXPECT_EQ(fld_put(small, with_sub, ptr(sub('a', "xxxx"))).code(),
            kTooLong);  // the field came and went again
  EXPECT_EQ(std::vector<unsigned char>(small.image().begin(), small.image().end()), before);
  EXPECT_EQ(small.length, 28u);
  RecordHandle target;
  rec_init(target, 20, 1);
  EXPECT_EQ(rec_copy(target, small).code(), kTargetTooSmall);
  rec_free(small);
  rec_free(target);
}

TEST_F(RecordTest, LyingLengthsAreWalkedSafely) {
  ASSERT_EQ(fld_put(h_, field("100", "", "abc")).code(), 0);
  ASSERT_EQ(fld_put(h_, field("245"), ptr(sub('a', "t"))).code(), 0);
  std::mt19937 rng(8);
  for (int round = 0; round < 2000; ++round) {
    std::vector<unsigned char> image(h_.image().begin(), h_.image().end());
    for (int hits = 0; hits < 3; ++hits)
      image[12 + rng() % (image.size() - 12)] = static_cast<unsigned char>(rng());
    RecordHandle bad;
    bad.attach(image.data(), image.size());
    bad.length = static_cast<std::uint32_t>(image.size());
    FieldDesc f;
    for (ResultCode rc = fld_first(bad, f); rc.code() == 0; rc = fld_next(bad, f)) {
      FieldDesc s;
      for (ResultCode r = sfl_first(bad, f, s); r.code() == 0; r = sfl_next(bad, f, s)) {
      }
    }
    FieldDesc g = field("245");
    FieldDesc s = sub('a');
    (void)fld_get(bad, g, &s);
  }
}

TEST_F(RecordTest, CompareTrimNumberAndPrint) {
  FieldDesc a = field("100", "", "Abc  ");
  FieldDesc b = field("100", "", "aBC");
  EXPECT_EQ(fld_compare(a, b, 'N'), 0);
  FieldDesc c = field("100", "", "abcd");
  EXPECT_LT(fld_compare(b, c, 'N'), 0);
  a.indicators = "1";
  EXPECT_NE(fld_compare(a, b, 'Y'), 0);
  FieldDesc t = field("100", "", "  mitte  ");
  fld_trim(t, "LR");
  EXPECT_EQ(t.content(), "mitte");
  EXPECT_EQ(fld_number(field("BOR", "", "000001234extra")), 1234);

  h_.idn = 42;
  ASSERT_EQ(fld_put(h_, field("100", "1", "Name")).code(), 0);
  ASSERT_EQ(fld_put(h_, field("245"), ptr(sub('a', "Titel"))).code(), 0);
  std::FILE* out = std::tmpfile();
  rec_print(h_, out);
  std::rewind(out);
  char buf[512] = {};
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(buf, n),
            "=========== IDN=000000042 ===========\n"
            "100/1_.1 Length=4 Data=Name\n"
            "245/__.1$a.1 Length=5 Data=Titel\n");
}

TEST_F(RecordTest, WalkByDefinition) {
  dict::TagDef tag;
  tag.tag = "650";
  tag.max_occurrence = 100;
  dict::SubfieldDef code;
  code.code = 'a';
  code.max_occurrence = 3;
  // Two fields 650; fld_put with a subfield would add it to the present one.
  std::uint16_t occ = 1;
  for (const char* words : {"eins", "zwei"}) {
    ASSERT_EQ(fld_put(h_, field("650", "", {}, 999)).code(), 0);
    FieldDesc f = field("650", "", {}, occ++);
    ASSERT_EQ(fld_get(h_, f).code(), 0);
    ASSERT_EQ(sfl_put(h_, f, sub('a', words)).code(), 0);
  }
  FieldDesc f = field("650", "", {}, 1);
  ASSERT_EQ(fld_get(h_, f).code(), 0);
  ASSERT_EQ(sfl_put(h_, f, sub('a', "drei")).code(), 0);
  WalkElement el{&tag, &code, "", 0, 0};
  FieldDesc wf;
  FieldDesc ws;
  std::vector<std::string> seen;
  while (fld_walk(h_, wf, ws, el).code() == 0) seen.push_back(std::string(ws.content()));
  EXPECT_EQ(seen, (std::vector<std::string>{"eins", "drei", "zwei"}));
  WalkElement fields_only{&tag, nullptr, "", 0, 0};
  FieldDesc f2;
  FieldDesc s2;
  int count = 0;
  while (fld_walk(h_, f2, s2, fields_only).code() == 0) ++count;
  EXPECT_EQ(count, 2);
}

TEST(Convert, ValuesByType) {
  auto type = [](std::uint8_t code, std::uint16_t length = 0, std::uint8_t decimals = 0) {
    dict::ValueType t;
    t.code = code;
    t.length = length;
    t.decimals = decimals;
    return t;
  };
  std::string out;
  ASSERT_EQ(fld_to_internal(type(4, 0, 2), "-12,5", out, 100).code(), 0);
  EXPECT_EQ(out, std::string("\x01\0\0\0\x0C\0\0\0\x32", 9));
  std::string text;
  ASSERT_EQ(fld_to_external(type(4, 0, 2), {reinterpret_cast<const unsigned char*>(out.data()), out.size()},
                            text, 100)
                .code(),
            0);
  EXPECT_EQ(text, "-12.50");
  ASSERT_EQ(fld_to_internal(type(5), "2024031", out, 100).code(), 0);
  EXPECT_TRUE(out.empty());  // seven characters: no date
  ASSERT_EQ(fld_to_internal(type(5), "\"20240315", out, 100).code(), 0);
  ASSERT_EQ(out.size(), 4u);
  ASSERT_EQ(
      fld_to_external(type(5), {reinterpret_cast<const unsigned char*>(out.data()), 4}, text, 100).code(), 0);
  EXPECT_EQ(text, "20240315");
  ASSERT_EQ(fld_to_internal(type(2), "*", out, 100).code(), 0);
  EXPECT_EQ(out, std::string(4, '\xFF'));
  ASSERT_EQ(fld_to_internal(type(2), "000123abc", out, 100).code(), 0);
  ASSERT_EQ(
      fld_to_external(type(2), {reinterpret_cast<const unsigned char*>(out.data()), 4}, text, 100).code(), 0);
  EXPECT_EQ(text, "000000123");
  ASSERT_EQ(fld_to_internal(type(6), "20240315123456", out, 100).code(), 0);
  ASSERT_EQ(
      fld_to_external(type(6), {reinterpret_cast<const unsigned char*>(out.data()), 8}, text, 100).code(), 0);
  EXPECT_EQ(text, "20240315123456");
  ASSERT_EQ(fld_to_internal(type(1), "abc   ", out, 100).code(), 0);
  EXPECT_EQ(out, "abc");
  ASSERT_EQ(
      fld_to_external(type(1, 6), {reinterpret_cast<const unsigned char*>(out.data()), 3}, text, 100).code(),
      0);
  EXPECT_EQ(text, "abc   ");
  EXPECT_EQ(fld_to_internal(type(1), "abcdef", out, 4).code(), kDoesNotFit);
  EXPECT_EQ(out, "abcd");
  EXPECT_EQ(fld_to_internal(type(9), "x", out, 10).code(), kBadType);
  EXPECT_EQ(fld_to_internal(type(2), "1", out, 3).code(), kDoesNotFit);
}

TEST(Convert, WholeRecords) {
  dict::FileDef file;
  dict::TagDef t100;
  t100.tag = "100";
  dict::TagDef t103;
  t103.tag = "103";
  t103.type.code = 5;
  dict::TagDef t245;
  t245.tag = "245";
  t245.sub.name = "S";
  dict::SubfieldDef sa;
  sa.code = 'a';
  t245.subfields.push_back(&sa);
  file.tags = {&t100, &t103, &t245};

  RecordHandle ext;
  rec_init(ext, 1024, 1);
  ext.idn = 5;
  ASSERT_EQ(fld_put(ext, field("100", "", "Name   ")).code(), 0);
  ASSERT_EQ(fld_put(ext, field("103", "", "2024031")).code(), 0);  // too short: left out
  ASSERT_EQ(fld_put(ext, field("245"), ptr(sub('a', "Titel"))).code(), 0);
  FieldDesc f245 = field("245");
  ASSERT_EQ(fld_get(ext, f245).code(), 0);
  ASSERT_EQ(sfl_put(ext, f245, sub('z', "undefined")).code(), 0);
  ASSERT_EQ(fld_put(ext, field("999", "", "undefined")).code(), 0);

  RecordHandle in;
  rec_init(in, 1024, 0);
  ConversionContext ctx;
  ctx.file = &file;
  ASSERT_EQ(rec_to_internal(ctx, ext, in).code(), 0);
  EXPECT_EQ(in.form, 0);
  EXPECT_EQ(in.idn, 5u);
  EXPECT_EQ(content_of(in, "100", 1), "Name");
  EXPECT_EQ(content_of(in, "103", 1), "<none>");
  EXPECT_EQ(content_of(in, "999", 1), "<none>");
  FieldDesc g = field("245");
  FieldDesc z = sub('z');
  EXPECT_EQ(fld_get(in, g, &z).code(), kNotFound);

  RecordHandle back;
  rec_init(back, 1024, 0);
  ASSERT_EQ(rec_to_external(ctx, in, back).code(), 0);
  EXPECT_EQ(back.form, 1);
  EXPECT_EQ(content_of(back, "100", 1), "Name");
  FieldDesc ba = sub('a');
  FieldDesc b245 = field("245");
  ASSERT_EQ(fld_get(back, b245, &ba).code(), 0);
  EXPECT_EQ(ba.content(), "Titel");
  rec_free(ext);
  rec_free(in);
  rec_free(back);
}

}  // namespace
}  // namespace corvanta::records
