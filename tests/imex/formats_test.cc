// The exchange formats over the real files and over generated records with
// the oddities the readers must handle.
#include "imex/formats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "record_fields.h"
#include "scratch_dir.h"
#include "util/unicode.h"

namespace corvanta::imex {
namespace {

using testing::put_field;
using testing::put_subfield;
using testing::read_file;

std::string exchange(const std::string& name) {
  return std::string(CORVANTA_EXCHANGE) + "/" + name;
}

// A record as the line dump of yaz-marcdump shows it: the leader, then
// "tag value" for fields without subfields, "tag ii $a value ..." for the
// others; an empty line after the record.
std::string dump(records::RecordHandle& h) {
  std::string out;
  records::FieldDesc f;
  std::string fields;
  for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
    if (f.tag == "LDR") {
      out += std::string(f.content()) + '\n';
      continue;
    }
    records::FieldDesc s;
    if (records::sfl_first(h, f, s).code() != 0) {
      fields += f.tag + ' ' + std::string(f.content()) + '\n';
      continue;
    }
    std::string ind = f.indicators;
    ind.resize(2, ' ');
    fields += f.tag + ' ' + ind;
    do {
      fields += " $" + s.tag + ' ' + std::string(s.content());
    } while (records::sfl_next(h, f, s).code() == 0);
    fields += '\n';
  }
  return out + fields + '\n';
}

struct Read {
  std::vector<std::string> dumps;
  std::vector<Problem> problems;
  std::vector<std::string> bad_texts;
  std::vector<char> types;
  std::vector<std::uint32_t> idns;
  ResultCode end = 0;
};

Read read_all(const FormatOptions& o, InputFile& in) {
  Read r;
  auto reader = make_reader(o, in);
  records::RecordHandle h;
  for (int n = 0; n < 100000; ++n) {
    const ResultCode rc = reader->next(h);
    if (rc.code() == kEndOfInput || rc.failed()) {
      r.end = rc;
      break;
    }
    if (rc.code() == kUnreadable) {
      r.problems.push_back(reader->problem());
      r.bad_texts.push_back(reader->text());
      continue;
    }
    r.dumps.push_back(dump(h));
    r.types.push_back(reader->record_type());
    r.idns.push_back(h.idn);
  }
  return r;
}

Read read_file_as(FormatType type, const std::string& path, std::string flags = {}) {
  FormatOptions o;
  o.type = type;
  o.flags = std::move(flags);
  InputFile in;
  EXPECT_EQ(in.open(path).code(), 0) << path;
  return read_all(o, in);
}

Read read_text_as(FormatType type, std::string text, std::string flags = {}) {
  FormatOptions o;
  o.type = type;
  o.flags = std::move(flags);
  InputFile in;
  in.open_text(std::move(text));
  return read_all(o, in);
}

// Reads a file and writes every record back in the same format.
std::string copy_through(FormatType type, const std::string& path, const std::string& out_path,
                         const std::string& flags = {}) {
  FormatOptions o;
  o.type = type;
  o.flags = flags;
  o.today = "20261207";
  InputFile in;
  EXPECT_EQ(in.open(path).code(), 0);
  OutputFile out;
  EXPECT_EQ(out.create(out_path).code(), 0);
  auto reader = make_reader(o, in);
  auto writer = make_writer(o, out);
  writer->begin();
  records::RecordHandle h;
  for (ResultCode rc = reader->next(h); rc.code() != kEndOfInput && !rc.failed(); rc = reader->next(h)) {
    if (rc.code() == 0) {
      EXPECT_EQ(writer->write(h).code(), 1);
    }
  }
  writer->end();
  EXPECT_EQ(out.commit().code(), 0);
  return read_file(out_path);
}

// yaz-marcdump's dump of a file with each record's fields in tag order (the
// order records keep them in), or empty when the program is not there.
std::vector<std::string> yaz_dump(const std::string& path, const std::string& options = {}) {
  std::vector<std::string> records;
  FILE* p = ::popen(("yaz-marcdump " + options + " '" + path + "' 2>/dev/null").c_str(), "r");
  if (p == nullptr) return records;
  std::string text;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  ::pclose(p);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find("\n\n", at);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> lines;
    for (std::size_t l = at; l < end;) {
      std::size_t e = text.find('\n', l);
      if (e == std::string::npos || e > end) e = end;
      if (text.compare(l, 4, "<!--") != 0) lines.push_back(text.substr(l, e - l));  // yaz's notes
      l = e + 1;
    }
    if (!lines.empty()) {
      std::stable_sort(lines.begin() + 1, lines.end(), [](const std::string& a, const std::string& b) {
        return a.substr(0, 3) < b.substr(0, 3);
      });
      std::string rec;
      for (const std::string& l : lines) rec += l + '\n';
      records.push_back(rec + '\n');
    }
    at = end + 2;
  }
  return records;
}

class FormatFiles : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::make_scratch_dir("formats"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(FormatFiles, Marc21ReadsAsYazDumpsAndRoundTrips) {
  const bool have_yaz = std::system("command -v yaz-marcdump >/dev/null 2>&1") == 0;
  for (const char* name : {"marc21/marc-record--camel.usmarc", "marc21/marc-record--cameleof.usmarc",
                           "marc21/pymarc--utf8_with_leader_flag.dat", "marc21/yaz--marc8.marc",
                           "marc21/metafacture-tutorial--sample.mrc"}) {
    SCOPED_TRACE(name);
    const Read r = read_file_as(FormatType::Marc21, exchange(name));
    EXPECT_TRUE(r.problems.empty());
    EXPECT_EQ(r.end.code(), kEndOfInput);
    ASSERT_FALSE(r.dumps.empty());
    if (have_yaz && std::string(name).find("cameleof") == std::string::npos) {
      const std::vector<std::string> yaz = yaz_dump(exchange(name));
      ASSERT_EQ(r.dumps.size(), yaz.size());
      // Values are read in NFC (the national library's file is decomposed).
      for (std::size_t i = 0; i < yaz.size(); ++i) EXPECT_EQ(r.dumps[i], to_nfc(yaz[i])) << "record " << i;
    }
    // Written back and read again: the same records, but for the leader's
    // record length where composing made a record shorter, and leader/09
    // "a" where the data are UTF-8 (ASCII included), as it was over MARC-8
    // escape sequences.
    copy_through(FormatType::Marc21, exchange(name), dir_ + "/out.mrc");
    Read again = read_file_as(FormatType::Marc21, dir_ + "/out.mrc");
    ASSERT_EQ(again.dumps.size(), r.dumps.size());
    const bool marc8 = std::string(name).find("marc8") != std::string::npos;
    for (std::size_t i = 0; i < r.dumps.size(); ++i) {
      EXPECT_EQ(again.dumps[i][9], marc8 ? r.dumps[i][9] : 'a');
      again.dumps[i][9] = r.dumps[i][9];
      EXPECT_EQ(again.dumps[i].substr(5), r.dumps[i].substr(5)) << "record " << i;
    }
  }
  if (!have_yaz) GTEST_SKIP() << "yaz-marcdump not installed: dumps not compared";
}

TEST_F(FormatFiles, DamagedMarc21RecordsAreReportedAndReadingGoesOn) {
  const Read r = read_file_as(FormatType::Marc21, exchange("marc21/pymarc--bad_records.mrc"));
  EXPECT_EQ(r.dumps.size(), 2u);
  ASSERT_EQ(r.problems.size(), 6u);
  for (std::size_t i = 0; i < r.problems.size(); ++i) {
    EXPECT_NE(r.problems[i].message, 0);
    EXPECT_FALSE(r.bad_texts[i].empty());  // what the error file gets
  }
}

// A MARC record of exactly `size` bytes (one 245 field filled up).
std::string marc_of_size(std::size_t size) {
  MarcRecord m;
  m.leader = "00000nam  2200000   4500";
  m.fields.push_back({"001", "", "x"});
  m.fields.push_back({"245", "10",
                      std::string("\x1f"
                                  "a")});
  const std::size_t fixed = iso2709_encode(m).size();
  m.fields.back().content += std::string(size - fixed, 'y');
  return iso2709_encode(m);
}

TEST_F(FormatFiles, Marc21RecordTextLimit) {
  // A field's length has four digits: split the filler over many fields.
  auto record = [](std::size_t size) {
    MarcRecord m;
    m.leader = "00000nam  2200000   4500";
    for (int i = 0; i < 5; ++i)
      m.fields.push_back({"500", "  ",
                          std::string("\x1f"
                                      "a") +
                              std::string(5000, 'z')});
    const std::size_t fixed = iso2709_encode(m).size();
    m.fields.back().content += std::string(size - fixed, 'y');
    return iso2709_encode(m);
  };
  const std::string exact = record(30000);
  const std::string over = record(30001);
  ASSERT_EQ(exact.size(), 30000u);
  ASSERT_EQ(over.size(), 30001u);
  const Read r = read_text_as(FormatType::Marc21, exact + over + marc_of_size(100));
  EXPECT_EQ(r.dumps.size(), 2u);
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0].message, kMsgRecordTooLong);
  EXPECT_EQ(r.bad_texts[0], over);
}

TEST(Formats, Marc21WriterLeaderAndLinks) {
  records::RecordHandle h;
  records::rec_init(h, 30000, records::kExternalForm);
  put_subfield(h, "245", "", 'a', "Title");
  put_subfield(h, "245", "", 'L', "000000042");
  FormatOptions o;
  o.type = FormatType::Marc21;
  OutputFile out;
  const std::string path = ::testing::TempDir() + "/leader.mrc";
  ASSERT_EQ(out.create(path).code(), 0);
  ASSERT_EQ(make_writer(o, out)->write(h).code(), 1);
  ASSERT_EQ(out.commit().code(), 0);
  const std::string image = read_file(path);
  // No LDR: a plain MARC 21 leader (UTF-8 data); subfield L left out.
  EXPECT_EQ(image.substr(5, 19), std::string("nam a2200037 u 4500"));
  EXPECT_NE(image.find("  \x1f"
                       "aTitle\x1e\x1d"),
            std::string::npos);
  EXPECT_EQ(image.find("000000042"), std::string::npos);
  std::remove(path.c_str());
}

TEST(Formats, Marc21WriterMakesRecordsOtherReadersTake) {
  // A MAB leader, a local field with plain content and Latin-1 bytes: the
  // leader becomes a MARC 21 one, the field gets subfield a, and position
  // 9 stays blank over data that are not UTF-8.
  FormatOptions o;
  o.type = FormatType::Marc21;
  const auto write = [&](records::RecordHandle& h) {
    OutputFile out;
    const std::string path = ::testing::TempDir() + "/local.mrc";
    EXPECT_EQ(out.create(path).code(), 0);
    EXPECT_EQ(make_writer(o, out)->write(h).code(), 1);
    EXPECT_EQ(out.commit().code(), 0);
    std::string image = read_file(path);
    std::remove(path.c_str());
    return image;
  };
  records::RecordHandle h;
  records::rec_init(h, 30000, records::kExternalForm);
  put_field(h, "LDR", "00000nM2.01200024------h");
  put_field(h, "599", "Lokal");
  put_field(h, "005", "20261207");
  std::string image = write(h);
  EXPECT_EQ(image.substr(5, 19), std::string("nam a2200049 u 4500"));
  EXPECT_NE(image.find("  \x1f"
                       "aLokal\x1e"),
            std::string::npos);
  EXPECT_NE(image.find("20261207\x1e"), std::string::npos);  // control fields stay plain
  records::RecordHandle latin;
  records::rec_init(latin, 30000, records::kExternalForm);
  put_field(latin, "LDR", "00000cam  2200000 a 4500");
  put_subfield(latin, "245", "", 'a', "M\xfcller");
  image = write(latin);
  EXPECT_EQ(image.substr(5, 19), std::string("cam  2200037 a 4500"));
}

TEST_F(FormatFiles, InternalFormatFlagsAndOddities) {
  records::RecordHandle h;
  records::rec_init(h, 30000, records::kExternalForm);
  h.idn = 42;
  put_subfield(h, "245", "10", 'a', "Title");
  put_subfield(h, "245", "10", 'L', "000000007");
  put_field(h, "300", "123 p.");
  FormatOptions o;
  EXPECT_EQ(internal_text(o, h), "24510$$aTitle\n300  123 p.\n\n");
  o.flags = "I";
  EXPECT_EQ(internal_text(o, h),
            "IDN  000000042\n24510\x1fL000000007\x1f"
            "aTitle\n300  123 p.\n\n");
  o.flags = "IS";
  EXPECT_EQ(internal_text(o, h), "IDN  000000042\n24510$$L000000007$$aTitle\n300  123 p.\n\n");

  // CR LF, 31-subfields, trailing blanks, a "!" line ending a record.
  const Read r = read_text_as(FormatType::Corvanta,
                              "IDN  000000042\r\n24510$$aTitle   $$bRest\r\n500  \x1f"
                              "aNote \r\n\r\n"
                              "\n300  12 p.\n! comment\n650  $$aX\n");
  ASSERT_EQ(r.dumps.size(), 3u);
  EXPECT_EQ(r.idns[0], 42u);
  EXPECT_EQ(r.dumps[0], "245 10 $a Title $b Rest\n500    $a Note\n\n");
  EXPECT_EQ(r.dumps[1], "300 12 p.\n\n");
  EXPECT_EQ(read_text_as(FormatType::Corvanta, "IDN  000000042\n300  x\n", "I").idns[0], 0u);
}

TEST_F(FormatFiles, Mab2LinesWithContinuationsAndRecordTypes) {
  const Read r = read_file_as(FormatType::Mab2, exchange("mab2/xbib-marc--DE-Bo410-sample.ma2"));
  EXPECT_TRUE(r.problems.empty());
  ASSERT_EQ(r.dumps.size(), 503u);
  EXPECT_EQ(std::count(r.types.begin(), r.types.end(), 'h'), 500);
  EXPECT_EQ(std::count(r.types.begin(), r.types.end(), 'y'), 1);
  EXPECT_EQ(std::count(r.types.begin(), r.types.end(), 'u'), 2);
  // No carriage return survives; continuation lines are joined with a blank.
  for (const std::string& d : r.dumps) EXPECT_EQ(d.find('\r'), std::string::npos);
  const Read joined =
      read_text_as(FormatType::Mab2, "junk\n### 00001nM2.01000024      h\n331 Anfang\nund Ende\n\n");
  ASSERT_EQ(joined.dumps.size(), 1u);
  EXPECT_EQ(joined.dumps[0], "00001nM2.01000024      h\n331 Anfang und Ende\n\n");

  const Read disk = read_file_as(FormatType::Mab2, exchange("mab2/catmandu-mab2--mab2disk.dat"));
  EXPECT_EQ(disk.dumps.size(), 20u);
  // Written and read again: the same fields, with the export's own 004 (the
  // date) and 027 (the IDN) and running numbers in the leader.
  const std::string written =
      copy_through(FormatType::Mab2, exchange("mab2/catmandu-mab2--mab2disk.dat"), dir_ + "/out.mab");
  EXPECT_EQ(written.substr(0, 9), "### 00001");
  const Read again = read_file_as(FormatType::Mab2, dir_ + "/out.mab");
  ASSERT_EQ(again.dumps.size(), 20u);
  EXPECT_NE(again.dumps[0].find("004 20261207\n"), std::string::npos);
  EXPECT_NE(again.dumps[0].find("027 000000000\n"), std::string::npos);
}

TEST_F(FormatFiles, MabBandWritesBackByteForByte) {
  const std::string path = exchange("mab2/perl-mab2--kafka.mab");
  const Read r = read_file_as(FormatType::Mabi, path);
  EXPECT_TRUE(r.problems.empty());
  EXPECT_EQ(r.dumps.size(), 26u);
  EXPECT_EQ(copy_through(FormatType::Mabi, path, dir_ + "/out.mab"), read_file(path));
}

TEST_F(FormatFiles, VornaRecordsGroupByNumber) {
  const std::string text =
      "000000007 24510 L $$aErster$$bTeil\n"
      "000000007 300   L 12 S.\n"
      "x\n"
      "000000009 245   L $$aZweiter\n";
  const Read r = read_text_as(FormatType::Vorna, text);
  ASSERT_EQ(r.dumps.size(), 2u);
  EXPECT_EQ(r.idns, (std::vector<std::uint32_t>{7, 9}));
  EXPECT_EQ(r.dumps[0], "245 10 $a Erster $b Teil\n300 12 S.\n\n");
  const std::string path = dir_ + "/in.seq";
  { std::ofstream(path) << text; }
  const std::string written = copy_through(FormatType::Vorna, path, dir_ + "/out.seq");
  EXPECT_EQ(read_text_as(FormatType::Vorna, written).dumps, r.dumps);
}

TEST(Formats, CsvOptionsQuotingAndEmptyValues) {
  const Read r =
      read_text_as(FormatType::Csv, "a;\"x\"\"y\";\"semi;colon\"\n\n\"open\nline\";b\n", "S=;/Q=Y");
  ASSERT_EQ(r.dumps.size(), 2u);
  EXPECT_EQ(r.dumps[0], "001 a\n002 x\"y\n003 semi;colon\n\n");
  EXPECT_EQ(r.dumps[1], "001 open|line\n002 b\n\n");
  EXPECT_EQ(read_text_as(FormatType::Csv, "a\t\tc  \n").dumps[0], "001 a\n003 c\n\n");

  records::RecordHandle h;
  records::rec_init(h, 30000, records::kExternalForm);
  put_field(h, "001", "a,b");
  put_field(h, "003", "c");
  FormatOptions o;
  o.type = FormatType::Csv;
  o.csv_columns = 3;
  o.flags = "S=COMMA/E=SPACE";
  const std::string path = ::testing::TempDir() + "/out.csv";
  OutputFile out;
  ASSERT_EQ(out.create(path).code(), 0);
  ASSERT_EQ(make_writer(o, out)->write(h).code(), 1);
  o.flags = "S=TAB/Q=Y";
  ASSERT_EQ(make_writer(o, out)->write(h).code(), 1);
  ASSERT_EQ(out.commit().code(), 0);
  EXPECT_EQ(read_file(path), "\"a,b\", ,c\n\"a,b\"\t\t\"c\"\n");
  std::remove(path.c_str());
}

TEST_F(FormatFiles, XmlReadsMarcXmlAndRoundTrips) {
  const Read xml = read_file_as(FormatType::XMarc21, exchange("marcxml/marc-file-xml--batch-ns.xml"));
  const Read marc = read_file_as(FormatType::Marc21, exchange("marc21/marc-record--camel.usmarc"));
  EXPECT_TRUE(xml.problems.empty());
  ASSERT_EQ(xml.dumps.size(), 10u);
  // The same records as their ISO 2709 twin, leaders aside (lengths differ).
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(xml.dumps[i].substr(xml.dumps[i].find('\n')), marc.dumps[i].substr(marc.dumps[i].find('\n')));
  }
  copy_through(FormatType::XMarc21, exchange("marcxml/marc-file-xml--batch-ns.xml"), dir_ + "/out.xml");
  EXPECT_EQ(read_file_as(FormatType::XMarc21, dir_ + "/out.xml").dumps, xml.dumps);

  // A control character in an attribute spoils the second record only.
  const Read bad =
      read_file_as(FormatType::XMarc21, exchange("marcxml/ruby-marc--three-records-second-bad.xml"));
  EXPECT_GE(bad.dumps.size(), 1u);
  ASSERT_GE(bad.problems.size(), 1u);
  EXPECT_EQ(bad.problems[0].message, kMsgXmlError);
  EXPECT_NE(bad.problems[0].argument.find("72:"), std::string::npos) << bad.problems[0].argument;

  EXPECT_EQ(read_text_as(FormatType::XMarc21, "<datei><datensatz/></datei>").end.code(), kNotXmlCollection);
  EXPECT_EQ(bad.dumps.size(), 2u);
  EXPECT_EQ(bad.problems.size(), 1u);
  // External entities are never loaded.
  const Read entity =
      read_text_as(FormatType::XMarc21,
                   "<!DOCTYPE collection [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>"
                   "<collection><document idn=\"5\"><controlfield tag=\"001\">&e;</controlfield>"
                   "</document></collection>");
  EXPECT_EQ(entity.dumps.size() + entity.problems.size(), 1u);
  for (const std::string& d : entity.dumps) EXPECT_EQ(d, "001 \n\n");
}

// A generated collection of `n` records; record `i` gets `value(i)` as its
// title.
template <typename Value>
std::string collection(int n, Value&& value) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<marc:collection xmlns:marc=\"x\">\n";
  for (int i = 1; i <= n; ++i) {
    text += "<marc:record><marc:controlfield tag=\"001\">r";
    text += std::to_string(i);
    text +=
        "</marc:controlfield>\n<marc:datafield tag=\"245\" ind1=\"1\" ind2=\"0\"><marc:subfield code=\"a\">";
    text += value(i);
    text += "</marc:subfield></marc:datafield></marc:record>\n";
  }
  return text + "</marc:collection>\n";
}

TEST_F(FormatFiles, XmlRecordsThatAreNotWellFormedAreReportedOneByOne) {
  // Record 1500 of 2000 with a Latin-1 byte, 1600 with a tag never closed,
  // 1700 without its end tag, 1800 with an open quote, 1900 with an
  // undeclared entity: each is reported with its own place, the others read.
  const std::string text = collection(2000, [](int i) -> std::string {
    switch (i) {
      case 1500: return "Caf\xE9";
      case 1600: return "<b";
      case 1700: return "x</marc:subfield></marc:datafield><marc:datafield tag=\"500\">";
      case 1800: return "<i a=\"open>x</i>";
      case 1900: return "&nbsp;";
      default: return std::string("Titel ").append(std::to_string(i)).append(" &amp; &#10;mehr");
    }
  });
  const Read r = read_text_as(FormatType::MarcXml, text);
  EXPECT_EQ(r.end.code(), kEndOfInput);
  ASSERT_EQ(r.dumps.size(), 1995u);
  ASSERT_EQ(r.problems.size(), 5u);
  // Record n stands on lines 2n+1 and 2n+2.
  EXPECT_EQ(r.problems[0].argument, "3002:72 byte 0xE9 is not UTF-8");
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(r.problems[i].message, kMsgXmlError);
    const std::string line = std::to_string(3002 + 200 * i) + ":";
    EXPECT_EQ(r.problems[i].argument.compare(0, line.size(), line), 0) << r.problems[i].argument;
    // The bytes as read, for the error file: the record and nothing else.
    EXPECT_EQ(r.bad_texts[i].find("<marc:record>"), 0u);
    EXPECT_EQ(r.bad_texts[i].find("<marc:record>", 1), std::string::npos);
  }
  EXPECT_NE(r.bad_texts[0].find("Caf\xE9"), std::string::npos);
  // A line feed in a value stays in the value.
  EXPECT_EQ(r.dumps[0], "001 r1\n245 10 $a Titel 1 & \nmehr\n\n");
  EXPECT_EQ(r.dumps[1994], "001 r2000\n245 10 $a Titel 2000 & \nmehr\n\n");
}

TEST_F(FormatFiles, XmlDocumentsBrokenBeyondARecordEndTheInput) {
  const std::string good = collection(3, [](int i) { return std::to_string(i); });
  // Cut inside the third record: two records, the third reported, then
  // the end of the input as a failure naming the place.
  const Read cut = read_text_as(FormatType::MarcXml, good.substr(0, good.rfind("</marc:datafield>")));
  EXPECT_EQ(cut.dumps.size(), 2u);
  EXPECT_EQ(cut.problems.size(), 1u);
  EXPECT_EQ(cut.end.code(), kCannotRead);
  // So is one record as the whole document, cut short.
  const Read one = read_text_as(FormatType::MarcXml, "<record><controlfield tag=\"001\">x</controlfield>");
  EXPECT_EQ(one.problems.size(), 1u);
  EXPECT_EQ(one.end.code(), kCannotRead);
  // Cut after the last record, before the root's end tag.
  EXPECT_EQ(read_text_as(FormatType::MarcXml, good.substr(0, good.rfind("</marc:collection>"))).end.code(),
            kCannotRead);
  EXPECT_EQ(read_text_as(FormatType::MarcXml, good + "<collection/>").end.code(), kCannotRead);
  EXPECT_EQ(read_text_as(FormatType::MarcXml, "no XML at all").end.code(), kCannotRead);
  EXPECT_EQ(read_text_as(FormatType::MarcXml, "").end.code(), kCannotRead);
  EXPECT_EQ(read_text_as(FormatType::MarcXml, "\xFF\xFE<\0c\0").end.code(), kCannotRead);
  // One MARCXML record as the document, with and without namespace; an
  // empty collection; a record in another encoding the declaration names.
  for (const char* one : {"<record xmlns=\"http://www.loc.gov/MARC21/slim\"><leader>00000nam a2200000 a 4500"
                          "</leader><controlfield tag=\"001\">x</controlfield></record>",
                          "\xEF\xBB\xBF<!-- c --><record><leader>00000nam a2200000 a 4500</leader>"
                          "<controlfield tag=\"001\">x</controlfield></record>\n"}) {
    const Read r = read_text_as(FormatType::MarcXml, one);
    EXPECT_EQ(r.end.code(), kEndOfInput);
    ASSERT_EQ(r.dumps.size(), 1u);
    EXPECT_EQ(r.dumps[0], "00000nam a2200000 a 4500\n001 x\n\n");
  }
  EXPECT_EQ(read_text_as(FormatType::MarcXml, "<collection/>").end.code(), kEndOfInput);
  const Read latin = read_text_as(FormatType::MarcXml,
                                  "<?xml version='1.0' encoding='ISO-8859-1'?><collection><record>"
                                  "<controlfield tag=\"001\">M\xFCller</controlfield></record></collection>");
  ASSERT_EQ(latin.dumps.size(), 1u);
  EXPECT_EQ(latin.dumps[0], "001 M\xC3\xBCller\n\n");
}

// Writes `h` in `type` and returns the document.
std::string written(FormatType type, records::RecordHandle& h, const std::string& path,
                    std::size_t* replaced = nullptr) {
  FormatOptions o;
  o.type = type;
  o.generic = true;
  OutputFile out;
  EXPECT_EQ(out.create(path).code(), 0);
  auto writer = make_writer(o, out);
  writer->begin();
  EXPECT_EQ(writer->write(h).code(), 1);
  if (replaced != nullptr) *replaced = writer->replaced();
  writer->end();
  EXPECT_EQ(out.commit().code(), 0);
  return read_file(path);
}

bool xmllint_accepts(const std::string& path) {
  return std::system(("xmllint --noout '" + path + "' 2>/dev/null").c_str()) == 0;
}

TEST_F(FormatFiles, XmlWritersWriteWellFormedUtf8AndMarcXmlAsMarc21Has) {
  records::RecordHandle h;
  records::rec_init(h, 30000, records::kExternalForm);
  put_field(h, "LDR", "00000cam  2200000 i 4500");
  put_field(h, "001", "id\x01");
  put_field(h, "FMT", "MM");
  put_subfield(h, "245", "1", 'a', "M\xFCller <&> \"x\"\nzwei");
  put_subfield(h, "245", "1", 'L', "000000042");
  put_subfield(h, "GT0", "", 'a', "000000007");
  std::size_t replaced = 0;
  const std::string marcxml = written(FormatType::MarcXml, h, dir_ + "/m.xml", &replaced);
  EXPECT_EQ(replaced, 2u);
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(
      marcxml,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<collection xmlns=\"http://www.loc.gov/MARC21/slim\">\n"
      "<record>\n  <leader>00078cam a2200049 i 4500</leader>\n"
      "  <controlfield tag=\"001\">id" +
          r +
          "</controlfield>\n"
          "  <datafield tag=\"245\" ind1=\"1\" ind2=\" \">\n"
          "    <subfield code=\"a\">M" +
          r +
          "ller &lt;&amp;&gt; &quot;x&quot;&#10;zwei</subfield>\n"
          "  </datafield>\n</record>\n</collection>\n");
  const std::string own = written(FormatType::XMarc21, h, dir_ + "/x.xml", &replaced);
  EXPECT_EQ(replaced, 2u);
  EXPECT_NE(own.find("<datafield tag=\"FMT\" ind1=\" \" ind2=\" \">MM</datafield>"), std::string::npos);
  // Both read back with the parser; with xmllint too when it is there.
  for (const auto& [type, path] :
       {std::pair{FormatType::MarcXml, dir_ + "/m.xml"}, std::pair{FormatType::XMarc21, dir_ + "/x.xml"}}) {
    const Read back = read_file_as(type, path);
    EXPECT_TRUE(back.problems.empty()) << path;
    ASSERT_EQ(back.dumps.size(), 1u);
    EXPECT_NE(back.dumps[0].find("$a M" + r + "ller <&> \"x\"\nzwei"), std::string::npos) << back.dumps[0];
  }
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) GTEST_SKIP() << "xmllint not installed";
  EXPECT_TRUE(xmllint_accepts(dir_ + "/m.xml"));
  EXPECT_TRUE(xmllint_accepts(dir_ + "/x.xml"));
}

TEST_F(FormatFiles, MarcXmlWrittenReadsInYazAsTheRecords) {
  if (std::system("command -v yaz-marcdump >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "yaz-marcdump not installed: MARCXML not compared";
  for (const char* name :
       {"marc21/marc-record--camel.usmarc", "marc21/pymarc--utf8_with_leader_flag.dat",
        "marc21/metafacture-tutorial--sample.mrc", "marcxml/marc-file-xml--batch-ns.xml"}) {
    SCOPED_TRACE(name);
    const bool xml = std::string(name).find("marcxml/") == 0;
    const FormatType from = xml ? FormatType::MarcXml : FormatType::Marc21;
    const Read records = read_file_as(from, exchange(name));
    ASSERT_FALSE(records.dumps.empty());
    FormatOptions o;
    o.type = from;
    InputFile in;
    ASSERT_EQ(in.open(exchange(name)).code(), 0);
    OutputFile out;
    ASSERT_EQ(out.create(dir_ + "/out.xml").code(), 0);
    FormatOptions w;
    w.type = FormatType::MarcXml;
    auto reader = make_reader(o, in);
    auto writer = make_writer(w, out);
    writer->begin();
    records::RecordHandle h;
    for (ResultCode rc = reader->next(h); rc.code() == 0; rc = reader->next(h)) {
      ASSERT_EQ(writer->write(h).code(), 1);
      EXPECT_EQ(writer->replaced(), 0u);
    }
    writer->end();
    ASSERT_EQ(out.commit().code(), 0);
    const std::vector<std::string> yaz = yaz_dump(dir_ + "/out.xml", "-i marcxml -o line");
    ASSERT_EQ(yaz.size(), records.dumps.size());
    for (std::size_t i = 0; i < yaz.size(); ++i) {
      // Fields and subfields alike; the leader's lengths are the written ones.
      const std::string& d = records.dumps[i];
      EXPECT_EQ(yaz[i].substr(yaz[i].find('\n')), d.substr(d.find('\n'))) << "record " << i;
      EXPECT_EQ(yaz[i].substr(9, 3), "a22") << yaz[i].substr(0, 24);
      EXPECT_EQ(yaz[i].substr(5, 4), d.substr(5, 4));
    }
  }
}

TEST_F(FormatFiles, HostileInputStaysContained) {
  // A record cut short (its terminator gone) does not take the next one.
  const std::string camel = read_file(exchange("marc21/marc-record--camel.usmarc"));
  std::size_t second_end = camel.find('\x1d', camel.find('\x1d') + 1);
  std::string cut = camel.substr(0, second_end - 99) + camel.substr(second_end + 1);
  const Read r = read_text_as(FormatType::Marc21, cut);
  EXPECT_EQ(r.dumps.size(), 9u);
  EXPECT_EQ(r.problems.size(), 1u);

  // An unclosed quote takes lines only up to the record limit.
  std::string csv = "\"open\n";
  for (int i = 0; i < 20000; ++i) csv += "a;b;c\n";
  const Read q = read_text_as(FormatType::Csv, csv, "S=;/Q=Y");
  EXPECT_EQ(q.problems.size(), 1u);
  EXPECT_GT(q.dumps.size(), 10000u);

  // Document type declarations (entity expansions, external entities) are
  // refused; an IDN beyond what a pool holds makes the record unreadable.
  std::string bomb = "<!DOCTYPE collection [<!ENTITY a \"aaaaaaaaaa\">";
  for (int i = 1; i < 9; ++i) {
    bomb += "<!ENTITY " + std::string(1, static_cast<char>('a' + i)) + " \"";
    for (int j = 0; j < 10; ++j) bomb += "&" + std::string(1, static_cast<char>('a' + i - 1)) + ";";
    bomb += "\">";
  }
  bomb += "]><collection><document><controlfield tag=\"001\">&i;</controlfield></document></collection>";
  const Read b = read_text_as(FormatType::XMarc21, bomb);
  EXPECT_TRUE(b.dumps.empty());
  const Read big = read_text_as(FormatType::XMarc21,
                                "<collection><document idn=\"4294967299\"><controlfield tag=\"001\">x"
                                "</controlfield></document><record><controlfield tag=\"001\">y</controlfield>"
                                "</record></collection>");
  ASSERT_EQ(big.problems.size(), 1u);
  EXPECT_EQ(big.problems[0].message, kMsgBadIdn);
  EXPECT_EQ(big.dumps.size(), 1u);

  // Plain content beginning with the subfield mark stays plain content.
  const Read mark = read_text_as(FormatType::Csv,
                                 "\x1f"
                                 "abc\n");
  ASSERT_EQ(mark.dumps.size(), 1u);
  EXPECT_EQ(mark.dumps[0], "001  abc\n\n");

  // A line end inside a value never starts a line of its own.
  records::RecordHandle h;
  records::rec_init(h, 30000, records::kExternalForm);
  put_subfield(h, "245", "10", 'a', "Harmless\n\nIDN  000000001\n24510$$aOWNED");
  FormatOptions o;
  o.flags = "IS";
  EXPECT_EQ(internal_text(o, h), "IDN  000000000\n24510$$aHarmless  IDN  000000001 24510$$aOWNED\n\n");
}

}  // namespace
}  // namespace corvanta::imex
