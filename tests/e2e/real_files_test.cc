// Real exchange files through IMPORT and EXPORT as a library receives and
// sends them: every record read is accounted for, what is refused can be
// mended and loaded again as it came, and what is exported other readers
// take with the same fields and subfields.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "exchange_fixture.h"
#include "installation.h"

namespace corvanta::testing {
namespace {

// The numbers of the import summary ("Gelesen: 12"), by their label.
std::map<std::string, long> summary(const std::string& out) {
  std::map<std::string, long> n;
  static const std::regex line(
      "(Gelesen|Neu gespeichert|Aktualisiert|Fehlerhaft|Dubletten|Nicht gespeichert, gemeldet): ([0-9]+)");
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
    n[(*it)[1]] = std::stol((*it)[2]);  // the last one of each: the final count
  return n;
}

// A command's output and its status.
struct Shell {
  int status;
  std::string out;
};
Shell shell(const std::string& command) {
  Shell r{-1, {}};
  std::FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  r.status = pclose(p);
  return r;
}

// An ISO 2709 record of `fields` (tag, indicators and content).
std::string iso2709(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string directory;
  std::string data;
  char entry[16];
  for (const auto& [tag, content] : fields) {
    std::snprintf(entry, sizeof entry, "%s%04zu%05zu", tag.c_str(), content.size() + 1, data.size());
    directory += entry;
    data += content + "\x1e";
  }
  const std::size_t base = 24 + directory.size() + 1;
  char leader[32];
  std::snprintf(leader, sizeof leader, "%05zunam a22%05zu a 4500", base + data.size() + 1, base);
  return leader + directory + "\x1e" + data + "\x1d";
}

bool have_yaz() {
  return std::system("command -v yaz-marcdump >/dev/null 2>&1") == 0;
}

class RealFilesTest : public ExchangeTest {};

// How the library reads each file it receives.
std::string import_options(const std::string& name) {
  const std::string mab = " CONVIN=../etc/exchange/mab2";
  if (name.find("kafka") != std::string::npos) return "TYPE=MABI CHARSET=MAB2" + mab;
  if (name.find("DE-Bo410") != std::string::npos) return "TYPE=MAB2 CHARSET=CP850" + mab;
  if (name.find("mabxml") != std::string::npos) return "TYPE=XMAB2 XSLT=../etc/exchange/mabxml.xsl" + mab;
  if (name.rfind("mab2/", 0) == 0) return "TYPE=MAB2" + mab;
  if (name.rfind("marcxml/", 0) == 0 || name.ends_with(".xml")) return "TYPE=MARCXML";
  return "TYPE=MARC21 CHARSET=AUTO";
}

TEST_F(RealFilesTest, EveryRecordReadIsStoredRefusedOrReportedAndExportsReadBack) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(CORVANTA_EXCHANGE)) {
    if (!e.is_regular_file() || e.path().extension() == ".md" ||
        e.path().filename().string().rfind("LICENSE", 0) == 0)
      continue;
    names.push_back(std::filesystem::relative(e.path(), CORVANTA_EXCHANGE).string());
  }
  ASSERT_GE(names.size(), 15u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    init_pool();
    take(name, "in");
    const std::string out =
        run("IMPORT POOL=A FILE=BIB DATA=../data/in DOUBLE=I " + import_options(name) + "\n");
    std::map<std::string, long> n = summary(out);
    ASSERT_GT(n["Gelesen"], 0) << out;
    EXPECT_EQ(n["Gelesen"], n["Neu gespeichert"] + n["Aktualisiert"] + n["Fehlerhaft"] + n["Dubletten"] +
                                n["Nicht gespeichert, gemeldet"])
        << out;
    // Exported twice: both files read by the other reader without a word,
    // with the same fields and subfields.
    if (!have_yaz() || n["Neu gespeichert"] == 0) continue;
    run("EXPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/out.mrc\n"
        "EXPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/out.xml\n");
    const Shell iso = shell("yaz-marcdump -i marc -o line '" + inst_.path("data/out.mrc") + "'");
    const Shell xml = shell("yaz-marcdump -i marcxml -o line '" + inst_.path("data/out.xml") + "'");
    EXPECT_EQ(iso.status, 0) << iso.out;
    EXPECT_EQ(xml.status, 0) << xml.out;
    // The reader's complaints are lines in brackets.
    EXPECT_EQ(iso.out.find("\n("), std::string::npos) << iso.out;
    EXPECT_NE(iso.out.front(), '(');
    EXPECT_EQ(xml.out.find("\n("), std::string::npos) << xml.out;
    // MARCXML carries the tags of three digits; the ISO 2709 records also
    // the service's own (links, kept MAB fields), which changes the numbers
    // of their leaders.
    const auto fields = [](const std::string& dump, bool numeric_only) {
      std::string kept;
      std::istringstream lines(dump);
      for (std::string line; std::getline(lines, line);) {
        const auto tag_char = [&](std::size_t i) {
          return std::isupper(static_cast<unsigned char>(line[i])) ||
                 std::isdigit(static_cast<unsigned char>(line[i]));
        };
        const bool local_tag = line.size() > 3 && std::isupper(static_cast<unsigned char>(line[0])) &&
                               tag_char(1) && tag_char(2) && line[3] == ' ';
        if (numeric_only && local_tag) continue;
        if (line.size() == 24 && line.compare(20, 4, "4500") == 0) {
          line.replace(0, 5, "00000");
          line.replace(12, 5, "00000");
        }
        kept += line + "\n";
      }
      return kept;
    };
    EXPECT_EQ(fields(iso.out, true), fields(xml.out, false));
  }
}

TEST_F(RealFilesTest, RefusedRecordsComeOutAsTheyCameAndLoadAgain) {
  // The diskette export twice: the second time every head record is a
  // duplicate; it goes to the duplicate file in CP850 with its CRLF lines,
  // its dependent records to the error file rather than to another head,
  // and the intermediate record is reported.
  take("mab2/xbib-marc--DE-Bo410-sample.ma2", "bo.ma2");
  const std::string import =
      "IMPORT POOL=A FILE=BIB TYPE=MAB2 CHARSET=CP850 CONVIN=../etc/exchange/mab2 DATA=../data/bo.ma2";
  const std::string first = run(import + " RECDOUBLE=../data/first.dbl\n");
  const std::string second = run(import + "\n");
  std::map<std::string, long> n = summary(second);
  EXPECT_EQ(n["Gelesen"], 503) << second;
  EXPECT_EQ(n["Neu gespeichert"], 0) << second;
  EXPECT_EQ(n["Nicht gespeichert, gemeldet"], 1) << second;  // the intermediate record
  EXPECT_NE(second.find("Zwischensatz"), std::string::npos);
  EXPECT_EQ(n["Gelesen"], n["Dubletten"] + n["Fehlerhaft"] + 1) << second;
  const std::string original = inst_.read("data/bo.ma2");
  const std::string doubles = inst_.read("data/bo.ma2.DBL");
  ASSERT_FALSE(doubles.empty());
  // Byte for byte: the first record of the file is the first duplicate.
  const std::size_t first_end = original.find("\r\n\r\n###");
  ASSERT_NE(first_end, std::string::npos);
  const std::size_t start = original.find("###");
  EXPECT_EQ(doubles.substr(0, first_end + 2 - start), original.substr(start, first_end + 2 - start));
  EXPECT_NE(doubles.find("\x84"), std::string::npos);  // CP850 as it came, not converted
  EXPECT_EQ(doubles.find("FMT"), std::string::npos);
  if (n["Fehlerhaft"] > 0) {
    EXPECT_NE(second.find("Kopfsatz nicht gespeichert"), std::string::npos) << second;
    EXPECT_NE(inst_.read("data/bo.ma2.ERR").find("u\r\n"), std::string::npos);
  }
  // The duplicate file reads again as the original did: every record a
  // duplicate once more.
  const std::string again = run(
      "IMPORT POOL=A FILE=BIB TYPE=MAB2 CHARSET=CP850 CONVIN=../etc/exchange/mab2 DATA=../data/bo.ma2.DBL "
      "RECDOUBLE=../data/dbl2\n");
  EXPECT_EQ(summary(again)["Dubletten"], n["Dubletten"]) << again;
}

TEST_F(RealFilesTest, FieldsWithoutSubfieldsAndUndefinedTagsAreNeverLostSilently) {
  // A field the file defines as plain text that arrives with subfields
  // keeps their values and reads back; a tag the file does not define is
  // named in the summary.
  inst_.edit("etc/library.dic", "TAG=300(*),SUB=SANY,INDIC=YES", "TAG=300,TYPE=CHAR");
  take("made/plain-field-with-subfields.mrc", "t.mrc");
  inst_.write("data/odd.mrc", iso2709({{"245",
                                        "10\x1f"
                                        "aSeltsam"},
                                       {"XYZ",
                                        "  \x1f"
                                        "aFremd"}}));
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/t.mrc\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/odd.mrc\n"
          "EXPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/o.mrc\n"
          "DISPLAY POOL=A FILE=BIB IDN=1\n");
  EXPECT_NE(out.find("Geschrieben: 2"), std::string::npos) << out;
  EXPECT_NE(inst_.read("data/o.mrc")
                .find("\x1f"
                      "a1 negative\x1e"),
            std::string::npos);
  EXPECT_NE(out.find("Nicht gespeichert, in der Datei nicht definiert: XYZ (1)"), std::string::npos) << out;
  EXPECT_EQ(out.find("457"), std::string::npos) << out;
}

TEST_F(RealFilesTest, LinkTargetsOfARecordNotStoredAreTakenAway) {
  // A record whose series head would be made anew, but which duplicates a
  // stored record by its ISBN: neither it nor the new head stays.
  inst_.write("data/first.txt", "020  $$a3-00-000001-1\n245  $$aErster Band\nGT0  $$aAlte Reihe\n\n");
  inst_.write("data/second.txt", "020  $$a3-00-000001-1\n245  $$aZweiter Band\nGT0  $$aNeue Reihe\n\n");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/first.txt\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/second.txt\n"
          "INDEX POOL=A FILE=BIBLS\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA GENERIC=Y DATA=../data/all.txt\n");
  EXPECT_NE(out.find("Dubletten: 1"), std::string::npos) << out;
  const std::string all = inst_.read("data/all.txt");
  EXPECT_NE(all.find("Alte Reihe"), std::string::npos) << all;
  EXPECT_EQ(all.find("Neue Reihe"), std::string::npos) << all;
  EXPECT_NE(out.find("Geschrieben: 2"), std::string::npos) << out;  // the title and its old series
}

TEST_F(RealFilesTest, ExportTakesTheRecordsThereAreAndOnlyThose) {
  // Two records, one of them with a number near the highest a pool has:
  // the export reads two, not sixteen million.
  inst_.write("data/in.txt", "IDN  000000003\n245  $$aDrei\n\nIDN  016777000\n245  $$aHoch\n\n");
  inst_.write("data/list.txt", "3\n4294967297\nzwei\n\n16777000\n123456789012345678901234\n99\n");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/in.txt DOUBLE=I\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/all.txt\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/listed.txt LIST=../data/list.txt\n");
  EXPECT_NE(out.find("Neu gespeichert: 2"), std::string::npos) << out;
  const std::size_t walk = out.find("Gelesen: 2");
  ASSERT_NE(walk, std::string::npos) << out;
  // Lines 2, 3 and 6 are no IDN: named, and record 1 is not written for
  // 4294967297 (which is 1 beyond 32 bits).
  EXPECT_NE(out.find("Zeile der Liste ist keine IDN: 2: 4294967297"), std::string::npos) << out;
  EXPECT_NE(out.find("Zeile der Liste ist keine IDN: 3: zwei"), std::string::npos) << out;
  EXPECT_NE(out.find("Zeile der Liste ist keine IDN: 6"), std::string::npos) << out;
  const std::string listed = inst_.read("data/listed.txt");
  EXPECT_NE(listed.find("Drei"), std::string::npos);
  EXPECT_NE(listed.find("Hoch"), std::string::npos);
  EXPECT_EQ(count(listed, "245"), 2u);
  EXPECT_NE(out.find("[000000099]  Satz nicht vorhanden: 99"), std::string::npos) << out;
}

TEST_F(RealFilesTest, AnIsbnIsOneKeyWhateverItsForm) {
  inst_.write("data/first.txt", "020  $$a3-11-111111-1\n245  $$aErstes\n\n");
  inst_.write("data/more.txt",
              "020  $$a3111111111\n245  $$aZweites\n\n"
              "020  $$aISBN 3-11-111111-1 (pbk.)\n245  $$aDrittes\n\n"
              "020  $$a3-11-222222-9\n245  $$aViertes\n\n");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/first.txt\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/more.txt\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"ISB=3111111111\"\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"ISB=3-11-222222-9\"\n");
  EXPECT_NE(out.find("Dubletten: 2"), std::string::npos) << out;
  EXPECT_NE(out.find("Ergebnismenge 1: 1 Treffer"), std::string::npos) << out;
  EXPECT_NE(out.find("Ergebnismenge 2: 1 Treffer"), std::string::npos) << out;
}

TEST_F(RealFilesTest, AFileReadWithTheWrongTypeOrSideFilesIsNoSilentSuccess) {
  // The band file read as lines has no record of that type: the import
  // fails and says so. An XML error file cannot also be the duplicate file.
  take("mab2/perl-mab2--kafka.mab", "kafka.mab");
  take("marcxml/marc-file-xml--batch-ns.xml", "batch.xml");
  const std::string out = run(
      "IMPORT POOL=A FILE=BIB TYPE=MAB2 DATA=../data/kafka.mab CHARSET=MAB2\n"
      "IMPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/batch.xml RECERROR=../data/x RECDOUBLE=../data/x\n");
  EXPECT_NE(out.find("Kein Satz des Formats TYPE=MAB2 in der Datei"), std::string::npos) << out;
  EXPECT_NE(out.find("CANCELLED: 0015"), std::string::npos) << out;
  EXPECT_NE(out.find("CHARSET=MAB2 TRANSLIN= CONVIN= XSLT="), std::string::npos) << out;
  EXPECT_NE(out.find("../data/x : 11 - "), std::string::npos) << out;
}

TEST_F(RealFilesTest, ValuesTheDollarMarksCannotCarryAreNamedNotSplit) {
  inst_.write("data/in.xml",
              "<collection><document idn=\"000000001\"><datafield tag=\"245\" ind1=\"1\" ind2=\"0\">"
              "<subfield code=\"a\">Preise in $$ und mehr</subfield></datafield></document>"
              "<document idn=\"000000002\"><datafield tag=\"245\" ind1=\"1\" ind2=\"0\">"
              "<subfield code=\"a\">Kosten in $</subfield><subfield code=\"b\">Teil</subfield>"
              "</datafield></document>"
              "<document idn=\"000000003\"><datafield tag=\"245\" ind1=\"1\" ind2=\"0\">"
              "<subfield code=\"a\">$ vorn ist gut</subfield></datafield></document></collection>");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/in.xml DOUBLE=I\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/out.txt\n");
  EXPECT_NE(out.find("Neu gespeichert: 3"), std::string::npos) << out;
  EXPECT_NE(out.find("nicht schreibbar: 000000001 245$a"), std::string::npos) << out;
  EXPECT_NE(out.find("nicht schreibbar: 000000002 245$a"), std::string::npos) << out;
  EXPECT_NE(out.find("Geschrieben: 1"), std::string::npos) << out;
  // What is written reads back whole.
  const std::string back =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/out.txt FLAGS=I DOUBLE=I\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/back.txt FROM=4\n");
  EXPECT_NE(inst_.read("data/back.txt").find("$$a$ vorn ist gut"), std::string::npos) << back;
}

TEST_F(RealFilesTest, WordsAreFoundWhateverFormTheyArrivedIn) {
  // Decomposed umlauts, composed ones typed in a query, a word after a
  // line feed, and a record with a byte that is not UTF-8 among good ones.
  take("made/marc21-decomposed-umlauts.mrc", "nfd.mrc");
  take("made/marcxml-line-feed-and-dollars.xml", "lf.xml");
  take("made/marcxml-latin1-byte-in-record-3.xml", "bad.xml");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/nfd.mrc\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/lf.xml\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/bad.xml\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"TIT=arch\xC3\xA4ologie\"\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"TIT=o\xCC\x88sterreich\"\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"TIT=zeilenumbruch\"\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"TIT=\xC3\xB6kologie\"\n");
  EXPECT_NE(out.find("[000000003]  XML-Fehler"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 4"), std::string::npos) << out;
  EXPECT_EQ(count(out, ": 1 Treffer"), 3u) << out;
  EXPECT_NE(out.find("Ergebnismenge 4: 4 Treffer"), std::string::npos) << out;
}

}  // namespace
}  // namespace corvanta::testing
