// ISO 2709 records over the real exchange files: clean records read and
// write back byte for byte; in damaged files every good record is read and
// every bad one is reported and passed over.
#include "imex/iso2709.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace corvanta::imex {
namespace {

std::string exchange_file(const std::string& name, const char* folder = "/marc21/") {
  std::ifstream in(std::string(CORVANTA_EXCHANGE) + folder + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct FileResult {
  std::vector<MarcRecord> good;
  std::vector<std::string> good_images;
  std::vector<Problem> why;  // one per bad record
};

FileResult read_all(const std::string& data) {
  FileResult r;
  InputFile in;
  in.open_text(data);
  Iso2709Reader reader(in);
  MarcRecord record;
  std::string image;
  Problem why;
  for (ResultCode rc = reader.next(record, image, why); rc.code() != 1;
       rc = reader.next(record, image, why)) {
    if (rc.ok()) {
      r.good.push_back(record);
      r.good_images.push_back(image);
    } else {
      r.why.push_back(why);
    }
  }
  return r;
}

TEST(Iso2709, CleanRecordsRoundTripByteForByte) {
  for (const char* name :
       {"marc-record--camel.usmarc", "pymarc--utf8_with_leader_flag.dat", "yaz--marc8.marc"}) {
    SCOPED_TRACE(name);
    const std::string data = exchange_file(name);
    ASSERT_FALSE(data.empty());
    const FileResult r = read_all(data);
    EXPECT_TRUE(r.why.empty()) << r.why.front().argument;
    std::string written;
    for (const MarcRecord& m : r.good) written += iso2709_encode(m);
    EXPECT_EQ(written, data);
  }
  const FileResult camel = read_all(exchange_file("marc-record--camel.usmarc"));
  ASSERT_EQ(camel.good.size(), 10u);
  const MarcRecord& first = camel.good.front();
  EXPECT_EQ(first.fields.front().tag, "001");
  EXPECT_TRUE(first.fields.front().indicators.empty());  // control fields have none
  bool title = false;
  for (const MarcField& f : first.fields) {
    if (f.tag == "245") {
      EXPECT_EQ(f.indicators.size(), 2u);
      EXPECT_EQ(f.content.front(), kSubfieldDelimiter);
      title = true;
    }
  }
  EXPECT_TRUE(title);
}

TEST(Iso2709, JunkBetweenRecordsIsPassedOver) {
  // A DOS end-of-file byte after some records; line feeds after all.
  EXPECT_EQ(read_all(exchange_file("marc-record--cameleof.usmarc")).good.size(), 10u);
  const FileResult lf = read_all(exchange_file("metafacture-tutorial--sample.mrc"));
  EXPECT_EQ(lf.good.size(), 10u);
  EXPECT_TRUE(lf.why.empty());
}

TEST(Iso2709, LengthWithoutTheTerminatorTakesWhatItDeclares) {
  // Three records whose length fields leave out the record terminator, as
  // some deliveries write them: each is read whole, with its terminator.
  const FileResult r = read_all(exchange_file("length-without-terminator.mrc", "/made/"));
  ASSERT_TRUE(r.why.empty()) << r.why.front().argument;
  const FileResult camel = read_all(exchange_file("marc-record--camel.usmarc"));
  ASSERT_EQ(r.good.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(r.good[i].fields.size(), camel.good[i].fields.size());
    EXPECT_EQ(r.good[i].fields.back().content, camel.good[i].fields.back().content);
  }
  // Without any terminator the next record still starts where the length
  // says; one byte too short in the middle of a field is still refused.
  std::string bare = exchange_file("length-without-terminator.mrc", "/made/");
  bare.erase(bare.find('\x1d'), 1);
  EXPECT_EQ(read_all(bare).good.size(), 3u);
  std::string cut = exchange_file("marc-record--camel.usmarc");
  cut.replace(0, 5, "00500");
  const FileResult c = read_all(cut);
  ASSERT_FALSE(c.why.empty());
  EXPECT_EQ(c.why.front().message, kMsgLengthMismatch);
}

TEST(Iso2709, BadRecordsAreReportedAndTheFileGoesOn) {
  // Good, base address past the end, base address 0, directory not in
  // 12-byte entries, a non-ASCII directory entry, base address not a
  // number, no fields, good.
  const FileResult r = read_all(exchange_file("pymarc--bad_records.mrc"));
  EXPECT_EQ(r.good.size(), 2u);
  ASSERT_EQ(r.why.size(), 6u);
  EXPECT_EQ(r.why[0].message, kMsgBadBaseAddress);
  EXPECT_EQ(r.why[0].argument, "99937");
  EXPECT_EQ(r.why[2].message, kMsgBadDirectory);
  EXPECT_EQ(r.why[4].message, kMsgBadBaseAddress);
  EXPECT_EQ(r.why[4].argument, "f0037");
  EXPECT_EQ(r.why[5].message, kMsgNoFields);
  // Blank indicator count and subfield code length in the leader: two
  // indicators, as MARC 21 has them.
  const FileResult blank = read_all(exchange_file("marc4j--bad_leaders_10_11.mrc"));
  ASSERT_EQ(blank.good.size(), 1u);
  for (const MarcField& f : blank.good.front().fields) {
    if (f.tag >= "010") {
      EXPECT_EQ(f.indicators.size(), 2u) << f.tag;
    }
  }
}

TEST(Iso2709, CutAndGarbageInputNeverReadsOutside) {
  const std::string data = exchange_file("marc-record--camel.usmarc");
  // Every prefix of the file: records that are whole are read, the cut one
  // is reported.
  for (std::size_t n = 0; n < 1500; n += 7) {
    const FileResult r = read_all(data.substr(0, n));
    EXPECT_LE(r.good.size(), 3u);
  }
  MarcRecord m;
  Problem why;
  EXPECT_EQ(iso2709_decode("00026nam a2200025   4500\x1e\x1d", m, why).code(), kBadRecord);
  EXPECT_EQ(why.message, kMsgNoFields);
  EXPECT_EQ(iso2709_decode("short", m, why).code(), kBadRecord);
  // A tag with a zero byte writes back as it was read.
  MarcRecord odd;
  odd.leader = std::string(24, ' ');
  odd.fields.push_back({std::string("1\0"
                                    "1",
                                    3),
                        "ab", "text"});
  MarcRecord back;
  ASSERT_EQ(iso2709_decode(iso2709_encode(odd), back, why).code(), 0) << why.argument;
  EXPECT_EQ(back.fields.front().tag, odd.fields.front().tag);
  EXPECT_EQ(back.fields.front().content, "text");
}

}  // namespace
}  // namespace corvanta::imex
