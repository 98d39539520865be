// What users with few rights try against the service: scripts that run
// programs and reach files, the service's own set files, setup backups
// named to escape their directory, groups without a bit in the access sets,
// and the library's policy changed by a searcher. Each is tried as that
// user would, through the service on a copy of the reference installation.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "installation.h"

namespace corvanta::testing {
namespace {

class RightsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A cataloguer, a searcher, a user of group 9 with the pool maintenance
    // functions, and one of group 3 with the same.
    const RunResult r = inst_.run(as("SYS", "KWP") +
                                  "POOL_INIT POOL=A\n"
                                  "LOAD POOL=A DATA=../data/sample.unl\n"
                                  "USER_ADD NAME=CAT1 GROUP=3 POOL=A PERM=CAT FUNC=DEFAULT\n"
                                  "USER_ADD NAME=SEA1 GROUP=1 POOL=A PERM=SEA FUNC=DEFAULT\n"
                                  "USER_ADD NAME=EXP1 GROUP=2 POOL=A PERM=SEA FUNC=EXP\n"
                                  "USER_ADD NAME=NINE GROUP=9 POOL=A PERM=JOB FUNC=DEFAULT\n"
                                  "USER_ADD NAME=THREE GROUP=3 POOL=A PERM=JOB FUNC=DEFAULT\n"
                                  "end\n");
    ASSERT_EQ(r.exit_status, 0) << r.output;
    ASSERT_NE(r.output.find("Geladen: FILE 001"), std::string::npos) << r.output;
  }
  static std::string as(const std::string& user, const std::string& password) {
    return "login user=" + user + " pass=" + password + "\n";
  }
  // The output of `commands` run by `user` (whose password is the name).
  std::string run_as(const std::string& user, const std::string& commands) {
    return inst_.run((user == "SYS" ? as("SYS", "KWP") : as(user, user)) + commands + "end\n").output;
  }
  bool exists(const std::string& relative) const { return std::filesystem::exists(inst_.path(relative)); }

  Installation inst_;
};

// A script that tries everything a cataloguer may not do.
constexpr const char* kGreedyScript =
    "r = syscmd(\"id > ../data/id.txt\")\n"
    "f = fopen(\"../etc/users.tab\", EXT)\n"
    "g = fopen(\"/etc/hostname\", IN)\n"
    "h = fopen(\"../temp/sets1\", OUT)\n"
    "j = fopen(\"../temp/job.log\", IN)\n"
    "fdelete(\"../temp/job.log\")\n"
    "k = writeparm(\"Limits\", \"MaxRecLen\", \"1\")\n"
    "d = dir(\"/etc\")\n"
    "printl(\"reached the end\")\n";

TEST_F(RightsTest, ScriptsOfAnImportDoOnlyWhatTheCataloguerMay) {
  // Every refused step raises its error and ends that run of the script; to
  // see each one refused, the steps run one by one as separate scripts.
  const std::string users = inst_.read("etc/users.tab");
  const std::string config = inst_.read("etc/corvanta.cfg");
  std::string lines = kGreedyScript;
  int n = 0;
  for (std::size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string step = lines.substr(at, end - at + 1);
    if (step.find("reached") != std::string::npos) break;
    inst_.write("data/s" + std::to_string(n) + ".psi", step + "printl(\"step done\")\n");
    ++n;
  }
  std::string commands;
  for (int i = 0; i < n; ++i) {
    commands += "IMPORT POOL=A FILE=VDR TYPE=CORVANTA DATA=../data/vendors.txt DOUBLE=I PSIIN=../data/s" +
                std::to_string(i) + ".psi\n";
  }
  const std::string out = run_as("CAT1", commands);
  EXPECT_EQ(out.find("step done"), std::string::npos) << out;
  EXPECT_TRUE(
      contains(out, {"Nicht erlaubt: syscmd : 129 - ", "Nicht erlaubt: ../etc/users.tab : 168 - ",
                     "Nicht erlaubt: /etc/hostname : 168 - ", "Nicht erlaubt: ../temp/sets1 : 167 - ",
                     "Nicht erlaubt: ../temp/job.log : 172 - ", "Nicht erlaubt: ../temp/job.log : 167 - ",
                     "Nicht erlaubt: writeparm : 129 - ", "Nicht erlaubt: /etc : 168 - "}));
  EXPECT_FALSE(exists("data/id.txt"));
  EXPECT_EQ(inst_.read("etc/users.tab"), users);
  EXPECT_EQ(inst_.read("etc/corvanta.cfg"), config);
  EXPECT_TRUE(exists("temp/job.log"));

  // Inside the installation's directories the cataloguer's script reads and
  // writes as before.
  inst_.write("data/ok.psi",
              "f = fopen(\"../data/note.txt\", OUT)\nfprintln(\"noted\", f)\nfclose(f)\n"
              "g = fopen(\"../data/note.txt\", IN)\nprintl(\"read back \", fgets(g))\n");
  const std::string ok =
      run_as("CAT1",
             "IMPORT POOL=A FILE=VDR TYPE=CORVANTA DATA=../data/vendors.txt DOUBLE=I PSIIN=../data/ok.psi\n");
  EXPECT_NE(ok.find("read back noted"), std::string::npos) << ok;
}

TEST_F(RightsTest, AnAdministratorsScriptsReachFurtherButNeverOverTheServicesFiles) {
  inst_.write("outside.txt", "from outside\n");
  inst_.write("data/adm.psi",
              "r = syscmd(\"echo ran > ../data/ran.txt\")\n"
              "g = fopen(\"../outside.txt\", IN)\nprintl(\"read \", fgets(g))\n"
              "h = fopen(\"../etc/users.tab\", OUT)\n"
              "printl(\"not reached\")\n");
  const std::string out = run_as("SYS", "RUN_PSI POOL=A FILE=BIB SCRIPT=../data/adm.psi\n");
  EXPECT_TRUE(exists("data/ran.txt"));
  EXPECT_TRUE(contains(out, {"read from outside", "Nicht erlaubt: ../etc/users.tab : 167 - "}));
  EXPECT_EQ(out.find("not reached"), std::string::npos) << out;
  EXPECT_NE(inst_.read("etc/users.tab").find("SYS"), std::string::npos);
}

TEST_F(RightsTest, WhatAScriptStoresNeedsTheRightToUpdateRecords) {
  // EXP1 may export but not change records: its export script's update is
  // refused, the cataloguer's goes through.
  inst_.write("data/upd.psi",
              "s = getrec(\"FILE=BIB IDN=9\")\nputfld(s, \"245$a\", \"Changed by export\")\nupdrec(s)\n");
  const std::string export_one =
      "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/out.txt SELECT=\"TIT=effi\" "
      "PSIOUT=../data/upd.psi\n";
  const std::string search = "SEARCH POOL=A FILE=BIB QUERY=\"TIT=changed\"\n";
  const std::string refused = run_as("EXP1", export_one + search);
  EXPECT_NE(refused.find("upd.psi(3/#-129): "), std::string::npos) << refused;
  EXPECT_NE(refused.find("Benötigtes Recht: UPD (3), POOL=A\n"), std::string::npos) << refused;
  EXPECT_NE(refused.find(": 0 Treffer"), std::string::npos) << refused;
  const std::string allowed = run_as("CAT1", export_one + search);
  EXPECT_EQ(allowed.find("#129"), std::string::npos) << allowed;
  EXPECT_NE(allowed.find(": 1 Treffer\n---\n1      Changed by export"), std::string::npos) << allowed;
}

TEST_F(RightsTest, TheSetFilesAreTheServicesOwn) {
  const std::string out =
      run_as("SYS",
             "SEARCH POOL=A FILE=BIB QUERY=\"AUT=fontane?\"\n"
             "NUMB_EXP POOL=A DATA=../temp/sets1\n"
             "SETUP_EXP POOL=A DATA=../temp/sets2\n"
             "IMPORT POOL=A FILE=VDR TYPE=CORVANTA DATA=../data/vendors.txt RECERROR=../temp/sets1\n"
             "LIST_SET SETNO=1\n");
  EXPECT_TRUE(contains(out, {"../temp/sets1 : 167 - ", "../temp/sets2 : 167 - "}));
  EXPECT_EQ(out.find(": 555 - "), std::string::npos) << out;
  EXPECT_NE(out.find("Effi Briest"), std::string::npos) << out;
}

TEST_F(RightsTest, SetupBackupsStayInTheirDirectory) {
  inst_.write("data/rows.txt", "X=1\n");
  const std::string out = run_as("SYS",
                                 "SETUP_PUT POOL=A SUBLIB=ZB BLOCK=../../x DATA=../data/rows.txt\n"
                                 "SETUP_DLB POOL=A SUBLIB=ZB BLOCK=NoSuchBlock\n"
                                 "SETUP_LOD POOL=A SUBLIB=ZB BLOCK=../../x\n"
                                 "SETUP_PUT POOL=A SUBLIB=../.. BLOCK=Period DATA=../data/rows.txt\n"
                                 "SETUP_GET POOL=A SUBLIB=ZB BLOCK=Period\n");
  EXPECT_TRUE(
      contains(out, {"BLOCK=../../x : 170 - ", "BLOCK=NoSuchBlock : 170 - ", "SUBLIB=../.. : 171 - "}));
  EXPECT_EQ(out.find("X=1"), std::string::npos) << out;
  // Nothing was written anywhere: no backup, inside or outside.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(inst_.root()))
    EXPECT_NE(entry.path().extension(), ".par") << entry.path();
  const std::filesystem::path above = std::filesystem::path(inst_.root()).parent_path();
  EXPECT_FALSE(std::filesystem::exists(above / ("xZB_" + local_date("%y%m%d") + ".par")));
}

TEST_F(RightsTest, AGroupWithoutABitHasNoAccess) {
  inst_.edit("etc/library.dic", "POOL=A,", "POOL=A,ACCDEL=1+2,");
  const std::string out =
      run_as("THREE", "DELREC POOL=A FILE=BIB IDN=9\n") + run_as("NINE", "DELREC POOL=A FILE=BIB IDN=9\n");
  EXPECT_EQ(count(out, "BIB [9] : 129 - "), 2u) << out;
  EXPECT_NE(run_as("SYS", "SEARCH POOL=A FILE=BIB QUERY=\"TIT=effi\"\n").find("Ergebnismenge 1: 1 Treffer"),
            std::string::npos);
}

// The display sets bound who sees records: searching, listing, displaying,
// scanning, exporting and scripts' reads alike.
TEST_F(RightsTest, OnlyGroupsOfTheDisplaySetSeeRecords) {
  inst_.edit("etc/library.dic", "FILE=4,TYPE=RECORD:NORM,", "FILE=4,TYPE=RECORD:NORM,ACCDIS=3,");
  inst_.write("data/peek.psi", "s = getrec(\"FILE=USR IDN=1\")\nprintl(\"peeked \", getfld(s, \"IDN\"))\n");
  const std::string search = "SEARCH POOL=A FILE=USR QUERY=\"IDN=1\"\n";
  const std::string seeker = run_as("SEA1", search + "SCAN POOL=A FILE=USR QUERY=\"BAR=0\"\n");
  EXPECT_EQ(count(seeker, ": 129 - "), 2u) << seeker;
  const std::string exporter =
      run_as("EXP1",
             "EXPORT POOL=A FILE=USR TYPE=CORVANTA DATA=../data/usr.txt\n"
             "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/bib.txt SELECT=\"TIT=effi\" "
             "PSIOUT=../data/peek.psi\n");
  EXPECT_NE(exporter.find("CANCELLED: 0129"), std::string::npos) << exporter;
  EXPECT_NE(exporter.find("peek.psi(1/#-129): "), std::string::npos) << exporter;
  EXPECT_EQ(exporter.find("peeked"), std::string::npos) << exporter;
  EXPECT_FALSE(exists("data/usr.txt"));
  // Group 3 is in the set; group 9 in none.
  const std::string cataloguer = run_as("CAT1", search);
  EXPECT_TRUE(contains(cataloguer, {"Ergebnismenge 1: "}));
  EXPECT_TRUE(lacks(cataloguer, {": 129 - "}));
  const std::string nine =
      run_as("NINE", "SEARCH POOL=A FILE=BIB QUERY=\"TIT=effi\"\nUNLOAD POOL=A DATA=../data/all.unl\n");
  EXPECT_TRUE(contains(nine, {"QUERY=\"TIT=effi\" : 129 - ", "CANCELLED: 0129"}));
  EXPECT_FALSE(exists("data/all.unl"));
}

TEST_F(RightsTest, OnlyAnAdministratorChangesTheLibrarysPolicy) {
  inst_.write("data/policy.txt", "(ReminderZB)\n####0 = PERIOD=7, LETTER=Y\n");
  ASSERT_NE(run_as("SYS", "SETUP_IMP POOL=A DATA=../data/policy.txt\n").find("Geladen: 1"),
            std::string::npos);
  inst_.write("data/rows.txt", "####0=PERIOD=1\n");
  for (const char* user : {"SEA1", "CAT1"}) {
    const std::string out = run_as(user,
                                   "SETUP_DLB POOL=A SUBLIB=ZB BLOCK=Reminder\n"
                                   "SETUP_PUT POOL=A SUBLIB=ZB BLOCK=Reminder DATA=../data/rows.txt\n"
                                   "SETUP_IMP POOL=A DATA=../data/policy.txt\n"
                                   "SETUP_GET POOL=A SUBLIB=ZB BLOCK=Reminder\n");
    EXPECT_TRUE(contains(out, {"SETUP_DLB POOL=A SUBLIB=ZB BLOCK=Reminder : 129 - ",
                               "SETUP_PUT POOL=A SUBLIB=ZB BLOCK=Reminder DATA=../data/rows.txt : 129 - ",
                               "SETUP_IMP POOL=A DATA=../data/policy.txt : 129 - ",
                               "SETUP_GET POOL=A SUBLIB=ZB BLOCK=Reminder : 129 - "}))
        << user;
    EXPECT_EQ(count(out, "Benötigtes Recht: ADM\n"), 4u) << out;
  }
  EXPECT_NE(run_as("SYS", "SETUP_GET POOL=A SUBLIB=ZB BLOCK=Reminder\n").find("####0=PERIOD=7, LETTER=Y"),
            std::string::npos);
}

// A stylesheet an import names reads only what the file rules let its user
// read, no document type declarations at all, and runs bounded.
TEST_F(RightsTest, ImportStylesheetsReadNoMoreThanTheirUserAndRunBounded) {
  inst_.edit("etc/corvanta.cfg", "MaxRecLen=", "MaxXslTime=1\nMaxRecLen=");
  const std::string head =
      "<?xml version=\"1.0\"?>\n"
      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n";
  inst_.write("data/steal.xsl",
              head +
                  "<xsl:template match=\"/\"><collection><document><datafield tag=\"245\">"
                  "<subfield code=\"a\"><xsl:value-of select=\"document('../etc/users.tab')\"/>"
                  "</subfield></datafield></document></collection></xsl:template>\n"
                  "</xsl:stylesheet>\n");
  inst_.write("data/entity.xsl",
              "<?xml version=\"1.0\"?>\n<!DOCTYPE x [<!ENTITY e SYSTEM \"../etc/users.tab\">]>\n" +
                  head.substr(head.find('\n') + 1) +
                  "<xsl:template match=\"/\">&e;</xsl:template>\n</xsl:stylesheet>\n");
  // Every template call makes two more: 2^40 calls, were it not stopped.
  inst_.write("data/slow.xsl",
              head +
                  "<xsl:template match=\"/\"><xsl:call-template name=\"t\"><xsl:with-param "
                  "name=\"n\" select=\"40\"/></xsl:call-template></xsl:template>\n"
                  "<xsl:template name=\"t\"><xsl:param name=\"n\"/><xsl:if test=\"$n &gt; 0\">"
                  "<xsl:call-template name=\"t\"><xsl:with-param name=\"n\" select=\"$n - 1\"/>"
                  "</xsl:call-template><xsl:call-template name=\"t\"><xsl:with-param name=\"n\" "
                  "select=\"$n - 1\"/></xsl:call-template></xsl:if></xsl:template>\n"
                  "</xsl:stylesheet>\n");
  inst_.write("data/in.xml", "<collection/>\n");
  inst_.write("data/in.xml_", "a file of the user's\n");  // no copy is made over it
  std::string commands;
  for (const char* sheet : {"steal", "entity", "slow"}) {
    commands += "IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/in.xml XSLT=../data/" + std::string(sheet) +
                ".xsl\n";
  }
  const std::string out = run_as("CAT1", commands);
  EXPECT_EQ(count(out, "CANCELLED: 0460"), 3u) << out;
  EXPECT_TRUE(contains(
      out, {"users.tab", ": 168 - ", "document type declarations are not read", "time limit of 1 s"}));
  EXPECT_TRUE(lacks(out, {"SYS       0"}));
  EXPECT_EQ(inst_.read("data/in.xml_"), "a file of the user's\n");
  for (const auto& entry : std::filesystem::directory_iterator(inst_.path("data")))
    EXPECT_NE(entry.path().filename().string().rfind(".in.xml.", 0), 0u) << entry.path();  // copies gone
}

// A script that never ends, run for a user without ADM, is stopped after
// MaxPsiTime seconds; the import goes on with the next record.
TEST_F(RightsTest, ImportScriptsOfUsersRunBounded) {
  inst_.edit("etc/corvanta.cfg", "MaxRecLen=", "MaxPsiTime=1\nMaxRecLen=");
  inst_.write("data/loop.psi", "while (1) { x = 1 }\n");
  const std::string out = run_as(
      "CAT1", "IMPORT POOL=A FILE=VDR TYPE=CORVANTA DATA=../data/vendors.txt PSIIN=../data/loop.psi\n");
  EXPECT_EQ(count(out, "loop.psi(1/#143): "), 2u) << out;
  EXPECT_NE(out.find("IMPORT 20"), std::string::npos) << out;
}

}  // namespace
}  // namespace corvanta::testing
