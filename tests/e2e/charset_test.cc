// Character sets of real exchange files through IMPORT (CHARSET=), and
// composed and decomposed letters and line feeds in the index.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "exchange_fixture.h"
#include "installation.h"

namespace corvanta::testing {
namespace {

class CharsetTest : public ExchangeTest {
 protected:
  // The hit counts of the searches, in order.
  static std::vector<long> hits(const std::string& out) {
    std::vector<long> counts;
    const std::regex re("Ergebnismenge [0-9]+: ([0-9]+) Treffer");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
      counts.push_back(std::stol((*it)[1]));
    return counts;
  }
  static std::string search(const std::string& query) {
    return "SEARCH POOL=A FILE=BIB QUERY=\"" + query + "\"\n";
  }
};

TEST_F(CharsetTest, RealFilesInTheirCharacterSetsComeOutUtf8) {
  take("marc21/yaz--marc8.marc", "marc8.mrc");
  take("mab2/perl-mab2--kafka.mab", "kafka.mab");
  take("mab2/xbib-marc--DE-Bo410-sample.ma2", "bo410.ma2");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/marc8.mrc CHARSET=MARC8 DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=MABI DATA=../data/kafka.mab CHARSET=MAB2 CONVIN=../etc/exchange/mab2 "
          "DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=MAB2 DATA=../data/bo410.ma2 charset=cp850 CONVIN=../etc/exchange/mab2 "
          "DOUBLE=I\n" +
          search("TIT=countreymen") +
          search("TIT=\xC3\xBC"
                 "ber AND TIT=kafka") +
          search("TIT=einmaleins") + "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/all.txt\n");
  EXPECT_EQ(out.find("Fehlerhaft"), std::string::npos) << out;
  EXPECT_EQ(hits(out), (std::vector<long>{1, 1, 1})) << out;
  const std::string all = inst_.read("data/all.txt");
  // MARC-8: superscripts kept, escape sequences gone.
  EXPECT_NE(all.find("Signatures: A\xE2\x81\xB4 B\xC2\xB2"), std::string::npos);
  EXPECT_EQ(all.find('\x1b'), std::string::npos);
  // ISO 5426: the umlaut after its letter and composed; non-sort markers gone.
  EXPECT_NE(all.find("Benjamin \xC3\xBC"
                     "ber Kafka"),
            std::string::npos);
  EXPECT_NE(all.find("hrsg. von Hermann Schweppenh\xC3\xA4user"), std::string::npos);
  EXPECT_NE(all.find("David, Claude [Hrsg.]"), std::string::npos);
  // Code page 850: umlauts, and no non-sort signs.
  EXPECT_NE(all.find("Einf\xC3\xBChrung"), std::string::npos);
  EXPECT_NE(all.find("$$aDas Einmaleins der Skepsis"), std::string::npos);
  EXPECT_EQ(all.find("\xC2\xAC"), std::string::npos);
  // Nothing unmapped in any of them.
  EXPECT_EQ(all.find("\xEF\xBF\xBD"), std::string::npos);
}

TEST_F(CharsetTest, AutoFollowsTheLeaderAndBadValuesAreRefused) {
  take("marc21/yaz--marc8.marc", "marc8.mrc");
  take("marc21/pymarc--utf8_with_leader_flag.dat", "utf8.mrc");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/utf8.mrc CHARSET=AUTO DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/marc8.mrc CHARSET=AUTO DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/marc8.mrc CHARSET=EBCDIC\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/marc8.mrc CHARSET=AUTO\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/marc8.mrc CHARSET=MARC8 TRANSLIN=MAB2\n"
          "EXPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/out.mrc TRANSLOUT=MARC8\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/all.txt\n");
  EXPECT_NE(out.find("CHARSET=EBCDIC : 11 - "), std::string::npos) << out;
  EXPECT_NE(out.find("CHARSET=AUTO : 11 - "), std::string::npos) << out;
  EXPECT_NE(out.find("CHARSET=MARC8 : 11 - "), std::string::npos) << out;
  EXPECT_NE(out.find("TRANSLOUT=MARC8 : 11 - "), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(inst_.path("data/out.mrc")));
  // Two records stored, the refused imports read nothing.
  EXPECT_NE(out.find("Geschrieben: 2"), std::string::npos) << out;
  const std::string all = inst_.read("data/all.txt");
  EXPECT_NE(all.find("A\xE2\x81\xB4 B\xC2\xB2"), std::string::npos);
  EXPECT_EQ(all.find("\xEF\xBF\xBD"), std::string::npos);  // UTF-8 not read as MARC-8
}

TEST_F(CharsetTest, UmlautsAreFoundWhicheverFormTheyArrivedIn) {
  // A national library's UTF-8, decomposed: "A" + U+0308 and so on.
  take("marc21/metafacture-tutorial--sample.mrc", "dnb.mrc");
  inst_.write("data/two.txt",
              "24510$$aO\xCC\x88kologie im Garten\n\n"
              "24510$$a\xC3\x96kologie der St\xC3\xA4"
              "dte\n\n");
  inst_.write("data/lf.xml",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<collection xmlns=\"http://www.loc.gov/MARC21/slim\"><record>"
              "<datafield tag=\"245\" ind1=\"1\" ind2=\"0\"><subfield code=\"a\">Erster Teil&#10;"
              "Zweiter&#9;Band</subfield></datafield></record></collection>\n");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/dnb.mrc DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/two.txt DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/lf.xml DOUBLE=I\n" +
          search("TIT=\xC3\xB6kologie") + search("TIT=o\xCC\x88kologie") +
          search("TIT=ver\xC3\xB6"
                 "ffentlichung") +
          search("TIT=st\xC3\xA4"
                 "dte") +
          search("TIT=teil AND TIT=zweiter AND TIT=band") +
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/all.txt\n");
  const std::vector<long> counts = hits(out);
  ASSERT_EQ(counts.size(), 5u) << out;
  EXPECT_EQ(counts[0], 2) << out;  // composed query: both of the made records
  EXPECT_EQ(counts[1], 2) << out;  // decomposed query
  EXPECT_EQ(counts[2], 1) << out;  // a record of the national library
  EXPECT_EQ(counts[3], 1) << out;
  EXPECT_EQ(counts[4], 1) << out;  // words after a line feed and a tab
  // Stored composed.
  const std::string all = inst_.read("data/all.txt");
  EXPECT_EQ(all.find("\xCC\x88"), std::string::npos);
  EXPECT_NE(all.find("Pr\xC3\xBC"
                     "fungsvorbereitung f\xC3\xBCr das Fachabitur"),
            std::string::npos);
}

}  // namespace
}  // namespace corvanta::testing
