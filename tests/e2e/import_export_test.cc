// IMPORT and EXPORT through the service on a copy of the reference
// installation, with the real exchange files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "exchange_fixture.h"
#include "installation.h"

namespace corvanta::testing {
namespace {

std::string exchange(const std::string& name) {
  return std::string(CORVANTA_EXCHANGE) + "/" + name;
}

class ImportExportTest : public ExchangeTest {};

TEST_F(ImportExportTest, MarcRecordsImportIndexAndExportBack) {
  take("marc21/marc-record--camel.usmarc", "camel.mrc");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/camel.mrc DOUBLE=I\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"TIT=perl\"\n"
          "EXPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/out.mrc\n"
          "EXPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/out.xml SELECT=\"TIT=activeperl\"\n");
  EXPECT_NE(out.find("Gelesen: 10"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 10"), std::string::npos) << out;
  EXPECT_NE(out.find("Geschrieben: 10"), std::string::npos) << out;
  EXPECT_NE(out.find("Geschrieben: 1"), std::string::npos) << out;
  EXPECT_EQ(out.find("Fehlerhaft"), std::string::npos) << out;
  const std::string exported = inst_.read("data/out.mrc");
  EXPECT_NE(exported.find("ActivePerl with ASP and ADO /"), std::string::npos);
  EXPECT_NE(inst_.read("data/out.xml").find("<subfield code=\"a\">ActivePerl with ASP and ADO /</subfield>"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(inst_.path("data/out.mrc.part")));

  // The export read back in without its IDNs: every record is a duplicate
  // of itself, by its ISBN or, the one without, by its control number.
  const std::string again = run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/out.mrc FLAGS=I\n");
  EXPECT_NE(again.find("Dubletten: 10"), std::string::npos) << again;
  EXPECT_EQ(again.find("Neu gespeichert: 1"), std::string::npos) << again;
  EXPECT_NE(again.find("Möglicherweise doppelt: 1"), std::string::npos) << again;
  EXPECT_NE(inst_.read("data/out.mrc.DBL").find("ActivePerl with ASP and ADO /"), std::string::npos);
}

TEST_F(ImportExportTest, DamagedRecordsGoToTheErrorFileAndTheImportGoesOn) {
  take("marc21/pymarc--bad_records.mrc", "bad.mrc");
  const std::string out = run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/bad.mrc RECERROR=.bad\n");
  EXPECT_NE(out.find("Gelesen: 8"), std::string::npos) << out;
  // The two good records are one record twice (same control number).
  EXPECT_NE(out.find("Neu gespeichert: 1"), std::string::npos) << out;
  EXPECT_NE(out.find("[000000008]  Möglicherweise doppelt: 1"), std::string::npos) << out;
  EXPECT_NE(out.find("Fehlerhaft: 6"), std::string::npos) << out;
  EXPECT_NE(out.find("[000000002]  Basisadresse ungültig: 99937"), std::string::npos) << out;
  EXPECT_FALSE(inst_.read("data/bad.mrc.bad").empty());
  // MAXERROR: more errors than allowed stop the import.
  const std::string stopped = run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/bad.mrc MAXERROR=2\n");
  EXPECT_NE(stopped.find(": 30 - "), std::string::npos) << stopped;
  EXPECT_NE(stopped.find("Fehlerhaft: 3"), std::string::npos) << stopped;
}

TEST_F(ImportExportTest, RangesByteOrderMarkAndTheInternalFormat) {
  std::string text = "\xEF\xBB\xBF";
  for (int i = 1; i <= 6; ++i)
    text += "24510$$aTitel " + std::to_string(i) + "\n020  $$a97800000000" + std::to_string(i) + "\n\n";
  inst_.write("data/six.txt", text);
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/six.txt FROM=3 TO=5\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/all.txt FLAGS=IS TO=0\n");
  EXPECT_NE(out.find("Gelesen: 5"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 3"), std::string::npos) << out;
  const std::string all = inst_.read("data/all.txt");
  EXPECT_EQ(all,
            "IDN  000000001\n020  $$a978000000003\n24510$$aTitel 3\n599  $$aTitel 3\n\n"
            "IDN  000000002\n020  $$a978000000004\n24510$$aTitel 4\n599  $$aTitel 4\n\n"
            "IDN  000000003\n020  $$a978000000005\n24510$$aTitel 5\n599  $$aTitel 5\n\n");
  // DOUBLE R: one stored record with the same ISBN is a duplicate; O
  // replaces it.
  inst_.write("data/dup.txt", "24510$$aNeuer Titel\n020  $$a978000000004\n\n");
  const std::string dup =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/dup.txt DOUBLE=R\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/dup.txt DOUBLE=O\n"
          "SEARCH POOL=A FILE=BIB QUERY=\"TIT=neuer\"\n");
  EXPECT_NE(dup.find("Dubletten: 1"), std::string::npos) << dup;
  EXPECT_NE(dup.find("Aktualisiert: 1"), std::string::npos) << dup;
  EXPECT_NE(dup.find("Ergebnismenge 1: 1 Treffer"), std::string::npos) << dup;
  EXPECT_NE(inst_.read("data/dup.txt.DBL").find("Neuer Titel"), std::string::npos);
}

TEST_F(ImportExportTest, WrongParametersAndXmlInput) {
  take("marcxml/marc-file-xml--batch-ns.xml", "batch.xml");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=NOPE DATA=../data/batch.xml\n"
          "IMPORT POOL=A FILE=BIB TYPE=XMARC21\n"
          "IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/batch.xml DOUBLE=I\n"
          "EXPORT POOL=A FILE=BIB TYPE=MAB2 DATA=../data/out.mab LIST=../data/none\n");
  EXPECT_NE(out.find("Neu gespeichert: 10"), std::string::npos) << out;
  EXPECT_NE(out.find("TYPE=NOPE DATA=../data/batch.xml : 11 - "), std::string::npos) << out;
  EXPECT_NE(out.find("TYPE=XMARC21 : 11 - "), std::string::npos) << out;
  EXPECT_NE(out.find("LIST=../data/none : 13 - "), std::string::npos) << out;
}

TEST_F(ImportExportTest, RealMabAndXmlFilesThroughTheInstallationsTables) {
  take("mab2/perl-mab2--kafka.mab", "kafka.mab");
  take("mab2/xbib-marc--DE-Bo410-sample.ma2", "bo410.ma2");
  take("mab2/xbib-marc--mabxml-example.xml", "mab.xml");
  take("marcxml/marc-file-xml--batch-ns.xml", "batch.xml");
  take("marcxml/ruby-marc--three-records-second-bad.xml", "bad.xml");
  take("marc21/yaz--marc8.marc", "marc8.mrc");
  const std::string tables = " CONVIN=../etc/exchange/mab2 DOUBLE=I\n";
  const std::string out = run(
      "IMPORT POOL=A FILE=BIB TYPE=MABI DATA=../data/kafka.mab TRANSLIN=MAB2" + tables +
      "SEARCH POOL=A FILE=BIB QUERY=\"TIT=benjamin\"\n"
      "IMPORT POOL=A FILE=BIB TYPE=MAB2 CHARSET=CP850 DATA=../data/bo410.ma2" +
      tables + "IMPORT POOL=A FILE=BIB TYPE=XMAB2 DATA=../data/mab.xml XSLT=../etc/exchange/mabxml.xsl" +
      tables +
      "IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/batch.xml XSLT=../etc/exchange/marcxml.xsl DOUBLE=I\n"
      "IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/bad.xml DOUBLE=I\n"
      "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/marc8.mrc TRANSLIN=MARC8 DOUBLE=I\n"
      "EXPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/last.mrc SELECT=\"IDN=*\"\n");
  // MAB2 character set: the umlaut before its letter, non-sort markers gone.
  EXPECT_NE(out.find("Benjamin über Kafka"), std::string::npos) << out;
  // 26 band records; 503 line records of which one is an intermediate
  // record that is not stored; the MABxml record without a title is refused
  // by the procedure CHECK.
  EXPECT_NE(out.find("Gelesen: 26\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Gelesen: 503\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 502\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[000000001]  Titel fehlt (245$a)"), std::string::npos) << out;
  // The damaged MARCXML file: the record with the control character goes
  // to the error file, the records before and after it are stored.
  EXPECT_NE(out.find("[000000002]  XML-Fehler: 72:"), std::string::npos) << out;
  EXPECT_FALSE(inst_.read("data/bad.xml.ERR").empty());
  EXPECT_FALSE(std::filesystem::exists(inst_.path("data/batch.xml_")));
  // MARC-8: escape sequences gone, diacritics composed.
  const std::string last = inst_.read("data/last.mrc");
  EXPECT_EQ(last.find('\x1b'), std::string::npos);
}

TEST_F(ImportExportTest, XmlImportReportsBadRecordsAndExportsWellFormedUtf8) {
  take("marcxml/ruby-marc--three-records-second-bad.xml", "bad.xml");
  take("marcxml/marc-file-xml--batch-ns.xml", "batch.xml");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/bad.xml DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/batch.xml XSLT=../etc/exchange/marcxml.xsl "
          "DOUBLE=I\n");
  EXPECT_NE(out.find("[000000002]  XML-Fehler: 72:30 "), std::string::npos) << out;
  EXPECT_NE(out.find("Gelesen: 3\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 2\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Fehlerhaft: 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 10\n"), std::string::npos) << out;
  // The error file is a document of its own with the record's text.
  const std::string errors = inst_.read("data/bad.xml.ERR");
  EXPECT_EQ(errors.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<collection xmlns="), 0u) << errors;
  EXPECT_NE(errors.find("<unreadable>&lt;record&gt;"), std::string::npos) << errors;

  // A record with Latin-1 bytes read as UTF-8 is not stored: it waits in
  // the error file as it came, for a load with its character set (the XML
  // writers' replacement of such bytes: formats tests). Both XML exports
  // are well-formed.
  inst_.write("data/latin.txt", "24510$$aM\xFCller\n\n");
  const std::string exported =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/latin.txt\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/latin.txt CHARSET=LATIN1\n"
          "EXPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/all.xml\n"
          "EXPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/own.xml SELECT=\"IDN=13\"\n");
  EXPECT_NE(exported.find("[000000001]  Bytes, die kein UTF-8 sind, in Feld 245"), std::string::npos)
      << exported;
  EXPECT_EQ(inst_.read("data/latin.txt.ERR"), "24510$$aM\xFCller\n\n");
  EXPECT_NE(exported.find("Geschrieben: 13\n"), std::string::npos) << exported;
  EXPECT_NE(inst_.read("data/all.xml").find("<subfield code=\"a\">M\xC3\xBCller</subfield>"),
            std::string::npos);
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) GTEST_SKIP() << "xmllint not installed";
  for (const char* name : {"data/all.xml", "data/own.xml", "data/bad.xml.ERR"}) {
    const std::string path = inst_.path(name);
    EXPECT_EQ(std::system(("xmllint --noout '" + path + "'").c_str()), 0) << name;
  }
}

TEST_F(ImportExportTest, AnXmlFileCutShortEndsTheImportWithAFailure) {
  std::ifstream in(exchange("marcxml/marc-file-xml--batch-ns.xml"), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  inst_.write("data/cut.xml", text.substr(0, text.size() / 2));
  const std::string out = run("IMPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/cut.xml DOUBLE=I\n");
  EXPECT_NE(out.find("the document ends inside the record that begins at "), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 4\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Fehlerhaft: 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("CANCELLED: 0015"), std::string::npos) << out;
}

TEST_F(ImportExportTest, ScriptsModesAndCsv) {
  inst_.write("data/in.txt",
              "24510$$aErster Band\n020  $$a111\n\n"
              "24510$$aZweiter Band\n020  $$a222\n\n"
              "24510$$aStop\n020  $$a333\n\n");
  // PSIIN changes each record; a record titled "Stop" ends the import
  // with the script's exit value.
  inst_.write("data/in.psi",
              "s = imprec()\n"
              "if (getfld(s, \"245$a\") == \"Stop\") exit(-5)\n"
              "putfld(s, \"250\", \"geprueft\")\n"
              "exprec(s)\n");
  inst_.write("data/merge.txt", "24510$$aErster Band, neu\n020  $$a111\n300  12 S.\n\n");
  inst_.write("data/tab.BIB", "245/10$a\t001\tcnv_norm\n020$a\t002\tcnv_norm\n250\t003\tcnv_norm\n");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/in.txt PSIIN=../data/in.psi\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/merge.txt MODE=M\n"
          "EXPORT POOL=A FILE=BIB TYPE=CSV DATA=../data/out.csv CONVOUT=../data/tab FLAGS=S=;/Q=Y\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/merge.txt MODE=H\n");
  EXPECT_NE(out.find("PSIIN=../data/in.psi : 5 - "), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 2"), std::string::npos) << out;
  EXPECT_NE(out.find("Aktualisiert: 1"), std::string::npos) << out;
  // The merge replaced the title and added the extent; the script's
  // edition stayed.
  EXPECT_EQ(inst_.read("data/out.csv"),
            "\"Erster Band, neu\";\"111\";\"geprueft\"\n\"Zweiter Band\";\"222\";\"geprueft\"\n");
  EXPECT_NE(out.find("Verbinden von Exemplaren nur in der Datei ITEMS"), std::string::npos) << out;
  EXPECT_NE(out.find("MODE=H : 11 - "), std::string::npos) << out;
}

TEST_F(ImportExportTest, RefusedParametersAndRecordsTheImportGoesOnAfter) {
  take("marc21/pymarc--bad_records.mrc", "bad.mrc");
  inst_.write("data/two.txt",
              "IDN  000000001\n24510$$aErster\n\n"
              "24510$$aZweiter\n020  $$a999\n\n"
              "24510$$aDritter\n020  $$a999\n\n"
              "500  $$aOhne Titel\n\n"
              "24510$$aVierter\n\n");
  const std::string out =
      run("IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/bad.mrc RECERROR=../data/bad.mrc\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/bad.mrc TRANSLIN=NOPE\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/two.txt DOUBLE=I\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/two.txt DOUBLE=I RECERROR=.again\n");
  // The error file may not be the input; a table must be there.
  EXPECT_NE(out.find("../data/bad.mrc : 11 - "), std::string::npos) << out;
  EXPECT_NE(out.find("TRANSLIN=NOPE : 11 - "), std::string::npos) << out;
  EXPECT_EQ(inst_.read("data/bad.mrc").size(), 918u);
  // The record without a title gives its IDN back and its error file entry
  // names none; the IDN goes to the next record.
  EXPECT_NE(out.find("Neu gespeichert: 4"), std::string::npos) << out;
  EXPECT_EQ(inst_.read("data/two.txt.ERR"), "500  $$aOhne Titel\n\n");
  // Again with DOUBLE=I: IDN 1 is taken, an error of that record only.
  EXPECT_NE(out.find("Satz existiert bereits"), std::string::npos) << out;
  EXPECT_NE(inst_.read("data/two.txt.again").find("IDN  000000001"), std::string::npos);
}

// The hit counts of the searches of a run, in order.
std::vector<long> hits(const std::string& out) {
  std::vector<long> counts;
  const std::regex re("Ergebnismenge [0-9]+: ([0-9]+) Treffer");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
    counts.push_back(std::stol((*it)[1]));
  return counts;
}

TEST_F(ImportExportTest, AKilledImportRecoversToAConsistentPool) {
  {
    std::ofstream big(inst_.path("data/big.mrc"), std::ios::binary);
    std::ifstream in(exchange("marc21/marc-record--camel.usmarc"), std::ios::binary);
    const std::string records((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (int i = 0; i < 500; ++i) big << records;
  }
  ASSERT_EQ(run("SAVE POOL=A PATH=../save\n").find("CANCELLED"), std::string::npos);
  std::mt19937 timing(7);
  const std::string queries =
      "SEARCH POOL=A FILE=BIB QUERY=\"IDN=1 < *\"\n"
      "SEARCH POOL=A FILE=BIB QUERY=\"TIT=perl\"\n"
      "SEARCH POOL=A FILE=BIB QUERY=\"AUT=wall?\"\n";
  for (int round = 0; round < 2; ++round) {
    const int pid =
        inst_.start(login() + "IMPORT POOL=A FILE=BIB TYPE=MARC21 DATA=../data/big.mrc DOUBLE=I\nend\n");
    ASSERT_GT(pid, 0);
    ::usleep(400000 + static_cast<useconds_t>(timing() % 500000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string out = run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n" + queries +
                                "INDEX POOL=A FILE=BIB\n" + queries);
    ASSERT_EQ(out.find("CANCELLED"), std::string::npos) << out;
    // What the journal held is back with its index entries: the searches
    // give after a rebuild of the indexes what they gave before it.
    const std::vector<long> counts = hits(out);
    ASSERT_EQ(counts.size(), 6u) << out;
    EXPECT_GT(counts[0], 0) << out;
    EXPECT_EQ(std::vector<long>(counts.begin(), counts.begin() + 3),
              std::vector<long>(counts.begin() + 3, counts.end()))
        << out;
  }
}

// Each title names a series that is not there yet, so link maintenance makes
// a target record for it; the title, its IDN and its target are one unit of
// the journal. After a kill and recovery every link names a record that is
// there, and every target made is named by exactly one title.
TEST_F(ImportExportTest, AKilledImportKeepsEachTitleWithTheTargetMadeForIt) {
  {
    std::ofstream titles(inst_.path("data/series.txt"));
    for (int i = 1; i <= 8000; ++i) titles << "24510$$aBand " << i << "\nGT0  $$aReihe " << i << "\n\n";
  }
  ASSERT_EQ(run("SAVE POOL=A PATH=../save\n").find("CANCELLED"), std::string::npos);
  std::mt19937 timing(11);
  for (int round = 0; round < 2; ++round) {
    const int pid =
        inst_.start(login() + "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/series.txt DOUBLE=I\nend\n");
    ASSERT_GT(pid, 0);
    ::usleep(300000 + static_cast<useconds_t>(timing() % 600000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::filesystem::remove(inst_.path("temp/all.txt"));
    const std::string out =
        run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n"
            "EXPORT POOL=A FILE=BIB TYPE=CORVANTA FLAGS=IS DATA=../temp/all.txt\n");
    ASSERT_EQ(out.find("CANCELLED"), std::string::npos) << out;
    // Records by IDN: the titles with the target each names, and the targets.
    std::map<long, long> named_by_title;  // target IDN -> how many titles name it
    std::set<long> targets, all;
    const std::string text = inst_.read("temp/all.txt");
    std::size_t at = 0;
    while ((at = text.find("IDN  ", at)) != std::string::npos) {
      const std::size_t end_of = text.find("\n\n", at);
      const std::string record = text.substr(at, end_of - at);
      const long idn = std::stol(record.substr(5, 9));
      all.insert(idn);
      if (record.find("\n24510") == std::string::npos) {
        targets.insert(idn);
      } else {
        const std::size_t link = record.find("GT0  $$L");
        ASSERT_NE(link, std::string::npos) << record;
        ++named_by_title[std::stol(record.substr(link + 8, 9))];
      }
      at = end_of == std::string::npos ? text.size() : end_of;
    }
    EXPECT_GT(all.size(), 0u);
    for (const auto& [target, titles] : named_by_title) {
      EXPECT_TRUE(targets.count(target)) << "a title names " << target << ", which is not a target";
      EXPECT_EQ(titles, 1) << target;
    }
    EXPECT_EQ(named_by_title.size(), targets.size()) << "a target no title names";
  }
}

}  // namespace
}  // namespace corvanta::testing
