// Scripts that reach the library: RUN_PSI with the library built-ins on the
// reference installation's sample catalogue, and the pool procedures run
// as scripts.
#include "scripting/psi_library.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "installation.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "login user=sys pass=KWP\n";

class PsiLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult r =
        inst_.run(std::string(kLogin) + "POOL_INIT POOL=A\nLOAD POOL=A DATA=../data/sample.unl\nend\n");
    ASSERT_NE(r.output.find("Geladen: FILE 001"), std::string::npos) << r.output;
  }
  // Runs `script` with RUN_PSI, then `after` (command lines).
  std::string script(const std::string& text, const std::string& after = "", const std::string& extra = "") {
    inst_.write("data/t.psi", text);
    return inst_
        .run(std::string(kLogin) + "RUN_PSI POOL=A FILE=BIB SCRIPT=../data/t.psi" + extra + "\n" + after +
             "end\n")
        .output;
  }
  Installation inst_;
};

TEST_F(PsiLibraryTest, AScriptFindsChangesAndStoresAndSearchesSeeIt) {
  const std::string out = script(
      "n = find(\"FILE=BIB QUERY=\\\"AUT=fontane?\\\"\")\n"
      "idns = getset(n)\n"
      "k = 0\n"
      "while (k < dim(idns)) {\n"
      "  s = getrec(sprintf(\"FILE=BIB IDN=%.0f\", idns[k]))\n"
      "  putfld(s, \"245$a\", getfld(s, \"245$a\") + \" Jubilaeumsausgabe\")\n"
      "  updrec(s)\n"
      "  printl(\"changed \", getfld(s, \"IDN\"))\n"
      "  freerec(s)\n"
      "  k = k + 1\n"
      "}\n",
      "SEARCH POOL=A FILE=BIB QUERY=\"TIT=jubilaeumsausgabe\"\n");
  EXPECT_NE(out.find("changed 000000009"), std::string::npos) << out;
  EXPECT_NE(out.find("changed 000000008"), std::string::npos) << out;
  EXPECT_NE(out.find("Ergebnismenge 2: 2 Treffer"), std::string::npos) << out;
  EXPECT_NE(out.find("Effi Briest Jubilaeumsausgabe"), std::string::npos) << out;
}

TEST_F(PsiLibraryTest, ChangesOfScriptsAreJournalled) {
  ASSERT_NE(inst_.run(std::string(kLogin) + "SAVE POOL=A\nend\n").output.find("SAVE"), std::string::npos);
  script(
      "s = getrec(\"FILE=BIB IDN=4\")\n"
      "putfld(s, \"245$a\", \"Das Haus am Meer\")\n"
      "updrec(s)\n"
      "x = initrec()\n"
      "putfld(x, \"245/10$a\", \"Neue Wege\")\n"
      "printl(\"new \", addrec(x, \"FILE=BIB\"))\n");
  const std::string out = inst_
                              .run(std::string(kLogin) +
                                   "RESTORE POOL=A CONFIRM=N RECOVER=Y\n"
                                   "SEARCH POOL=A FILE=BIB QUERY=\"TIT=meer OR TIT=wege\"\n"
                                   "end\n")
                              .output;
  EXPECT_NE(out.find("Ergebnismenge 1: 2 Treffer"), std::string::npos) << out;
  EXPECT_NE(out.find("Das Haus am Meer"), std::string::npos) << out;
}

TEST_F(PsiLibraryTest, TheLibraryGroupsEdgeCases) {
  const std::string out = script(
      "s = getrec(\"FILE=BIB IDN=4\")\n"
      "printl(\"idn \", getfld(s, \"IDN\"), \" \", getfld(s, \"idn\"), \" [\", getfld(11, \"IDN\"), \"]\")\n"
      "putfld(s, \"599\", 5)\n"
      "printl(\"num [\", getfld(s, \"599\"), \"]\")\n"
      "printl(\"sub [\", getfld(s, \"650$a.2\"), \"] \", getfld(s, \"650.2$a\"))\n"
      "delfld(s, \"650.2\")\n"
      "printl(\"gone [\", getfld(s, \"650.2$a\"), \"]\")\n"
      "printl(\"missing \", getrec(\"FILE=BIB IDN=999\"))\n"
      "printl(\"parm \", getparm(\"save\"), getparm(\"NOPE\"))\n"
      "k = 0\n"
      "while (k < 9) {\n"
      "  initrec()\n"
      "  k = k + 1\n"
      "}\n"
      "printl(\"nine more\")\n"
      "initrec()\n"
      "printl(\"not reached\")\n",
      "", " SAVE=N");
  EXPECT_NE(out.find("idn 000000004 000000004 []"), std::string::npos) << out;
  EXPECT_NE(out.find("num [              5.00]"), std::string::npos) << out;
  EXPECT_NE(out.find("sub [] Familie"), std::string::npos) << out;  // one subject per field
  EXPECT_NE(out.find("gone []"), std::string::npos) << out;
  EXPECT_NE(out.find("missing -457"), std::string::npos) << out;
  EXPECT_NE(out.find("parm N"), std::string::npos) << out;
  EXPECT_NE(out.find("nine more"), std::string::npos) << out;
  EXPECT_NE(out.find("#138"), std::string::npos) << out;
  EXPECT_EQ(out.find("not reached"), std::string::npos) << out;
  EXPECT_NE(out.find("RUN_PSI"), std::string::npos);
  EXPECT_EQ(out.find("CANCELLED"), std::string::npos)
      << out;  // a script error ends the script, not the command

  for (const char* call : {"x = imprec()", "x = get(\"FILE=BIB IDN=1\")", "exprec(0)"}) {
    const std::string failed = script(std::string(call) + "\nprintl(\"not reached\")\n");
    EXPECT_NE(failed.find("#-402"), std::string::npos) << call << failed;
    EXPECT_EQ(failed.find("not reached"), std::string::npos) << failed;
  }
  const std::string no_link = script("x = get(\"FILE=BIB IDN=1\")\n");
  EXPECT_NE(no_link.find("fehlt: LINK"), std::string::npos) << no_link;
}

TEST_F(PsiLibraryTest, LinkedRecordsAreNotDeletedAndProceduresComplete) {
  // A copy of title 1 links to it; the title cannot be deleted then.
  const std::string out = script(
      "c = initrec()\n"
      "putfld(c, \"200\", \"B0001\")\n"
      "putfld(c, \"BIB$L\", \"000000001\")\n"
      "printl(\"copy \", addrec(c, \"FILE=ITM\"))\n"
      "n = get(\"FILE=BIB IDN=1 LINK=MEX\")\n"
      "ids = getset(n)\n"
      "printl(\"copies \", dim(ids))\n"
      "t = getrec(\"FILE=BIB IDN=1\")\n"
      "x = initrec()\n"
      "putfld(x, \"245/14$a\", \"Der Hof\")\n"
      "printl(\"hof \", addrec(x, \"FILE=BIB\"), \" \", getfld(x, \"599\"))\n"
      "printl(\"edit \", editrec(t, \"SHORT\"))\n"
      "printl(\"transl \", transl(\"Gärten\", \"WORDS\"))\n"
      "delrec(t)\n"
      "printl(\"not reached\")\n");
  EXPECT_NE(out.find("copy 1"), std::string::npos) << out;
  EXPECT_NE(out.find("copies 1"), std::string::npos) << out;
  EXPECT_NE(out.find("hof 16 Hof"), std::string::npos) << out;  // COMPL made the sort title
  EXPECT_NE(out.find("edit Titel: Der Garten im Winter / Klara Berger"), std::string::npos) << out;
  EXPECT_NE(out.find("transl GAERTEN"), std::string::npos) << out;
  EXPECT_NE(out.find("#-905"), std::string::npos) << out;
  EXPECT_EQ(out.find("not reached"), std::string::npos) << out;
  const std::string after =
      inst_.run(std::string(kLogin) + "SEARCH POOL=A FILE=BIB QUERY=\"IDN=1\"\nend\n").output;
  EXPECT_NE(after.find(": 1 Treffer"), std::string::npos) << after;  // the title is still there
}

TEST_F(PsiLibraryTest, TheScriptRunnerReachesThePoolsToo) {
  inst_.write("data/l.psi",
              "n = find(\"FILE=BIB QUERY=\\\"WRD=elbe\\\"\")\n"
              "ids = getset(n)\n"
              "printl(dim(ids), \" \", getparm(\"POOL\"), \"-\", getparm(\"FILE\"))\n"
              "exit(7)\n");
  const std::string command = "cd '" + inst_.path("work") +
                              "' && '" CORVANTA_PSI
                              "' --library A BIBLS ../data/l.psi > ../temp/psi.out 2>&1";
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
  EXPECT_EQ(inst_.read("temp/psi.out"), "2 A-BIBLS\n");
}

TEST_F(PsiLibraryTest, StoresKeepTheIndexesAndTheLimits) {
  const std::string out = script(
      "s = initrec()\n"
      "putfld(s, \"245/10$a\", \"Neu Titel\")\n"
      "printl(\"loaded \", loadrec(s, \"FILE=BIB IDN=9\"))\n"
      "printl(\"whole [\", getfld(s, \"245\"), \"] [\", getfld(s, \"24\"), \"]\")\n"
      "delfld(s, \"2\")\n"
      "printl(\"kept \", getfld(s, \"245$a\"))\n"
      "v = \"x\"\n"
      "while (strlen(v) < 7500) v = v + v\n"
      "putfld(s, \"500$a\", v)\n"
      "printl(\"not reached\")\n",
      "SEARCH POOL=A FILE=BIB QUERY=\"TIT=stechlin OR TIT=neu\"\n");
  EXPECT_NE(out.find("loaded 9"), std::string::npos) << out;
  EXPECT_NE(out.find("whole [Neu Titel] []"), std::string::npos) << out;
  EXPECT_NE(out.find("kept Neu Titel"), std::string::npos) << out;
  EXPECT_NE(out.find("#-407"), std::string::npos) << out;  // longer than MaxFldLen
  EXPECT_EQ(out.find("not reached"), std::string::npos) << out;
  // The replaced record's old terms are gone from the indexes.
  EXPECT_NE(out.find(": 1 Treffer"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu Titel"), std::string::npos) << out;
}

TEST_F(PsiLibraryTest, ProceduresKeepTheirRecordAndFailLoudly) {
  // A COMPL that tries to store, free or delete its own record, or fails.
  std::string compl_script = inst_.read("etc/compl.prc");
  inst_.write("etc/compl.prc",
              "if (getfld(0, \"245$a\") == \"Fehler\") x = nichtda + 1\n"
              "if (getfld(0, \"245$a\") == \"Speichern\") addrec(0, \"FILE=BIB\")\n"
              "if (getfld(0, \"245$a\") == \"Abgelehnt\") {\n"
              "  printl(\"von COMPL abgelehnt\")\n"
              "  exit(-1)\n"
              "}\n" +
                  compl_script);
  for (const char* title : {"Fehler", "Speichern", "Abgelehnt"}) {
    const std::string out = script(std::string("s = initrec()\nputfld(s, \"245/10$a\", \"") + title +
                                   "\")\nprintl(\"stored \", addrec(s, \"FILE=BIB\"))\n");
    EXPECT_EQ(out.find("stored"), std::string::npos) << title << out;
    if (std::string(title) == "Abgelehnt") {
      EXPECT_NE(out.find("von COMPL abgelehnt"), std::string::npos) << out;
    }
  }
  const std::string after =
      inst_.run(std::string(kLogin) + "SEARCH POOL=A FILE=BIB QUERY=\"IDN>15\"\nend\n").output;
  EXPECT_NE(after.find(": 0 Treffer"), std::string::npos) << after;  // nothing was stored
}

// A procedure's engine is kept from record to record: what one run defined
// is gone in the next (a function may be defined again, a variable set in
// the first run is unknown in the second), and each run has its record.
TEST_F(PsiLibraryTest, EachProcedureRunStartsAfresh) {
  const std::string compl_script = inst_.read("etc/compl.prc");
  inst_.write("etc/compl.prc",
              "func twice(x) { return x + x }\n"
              "if (getfld(0, \"245$a\") == \"Eins\") n = 21\n"
              "putfld(0, \"250\", sprintf(\"Lauf %.0f \", twice(n)) + getfld(0, \"245$a\"))\n" +
                  compl_script);
  inst_.write("data/three.txt", "24510$$aEins\n\n24510$$aZwei\n\n");
  const std::string out = inst_
                              .run(std::string(kLogin) +
                                   "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/three.txt DOUBLE=I\n"
                                   "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/out.txt FROM=16\n"
                                   "end\n")
                              .output;
  EXPECT_NE(inst_.read("data/out.txt").find("250  $$aLauf 42 Eins"), std::string::npos) << out;
  EXPECT_NE(out.find("[000000002]  ../etc/compl.prc(3/#122): Variable nicht definiert: n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("[000000001]"), std::string::npos) << out;
}

// An import holds its pool open for update; the scripts it runs for each
// record read, change and store in that pool as it is (a store running the
// COMPL procedure inside it, a copy stored in another file), the import goes
// on in its own file, and the changes are journalled. An export holds the
// pool for inquiry; its script's update opens it for update and the export
// goes on.
TEST_F(PsiLibraryTest, ScriptsWorkInThePoolTheCommandHoldsOpen) {
  ASSERT_NE(inst_.run(std::string(kLogin) + "SAVE POOL=A\nend\n").output.find("SAVE"), std::string::npos);
  inst_.write("data/two.txt", "24510$$aEins\n\n24510$$aZwei\n\n");
  inst_.write("data/in.psi",
              "s = imprec()\n"
              "t = getrec(\"FILE=BIB IDN=4\")\n"
              "putfld(t, \"245$a\", getfld(t, \"245$a\") + \" neu\")\n"
              "updrec(t)\n"
              "freerec(t)\n"
              "u = getrec(\"FILE=BIB IDN=4\")\n"
              "printl(\"title \", getfld(u, \"245$a\"))\n"
              "x = initrec()\n"
              "putfld(x, \"245/14$a\", \"Der Hof\")\n"
              "printl(\"hof \", addrec(x, \"FILE=BIB\"), \" \", getfld(x, \"599\"))\n"
              "c = initrec()\n"
              "putfld(c, \"200\", \"B0001\")\n"
              "putfld(c, \"BIB$L\", \"000000001\")\n"
              "printl(\"copy \", addrec(c, \"FILE=ITM\"))\n"
              "putfld(s, \"250\", \"geprueft\")\n"
              "exprec(s)\n");
  inst_.write("data/out.psi",
              "t = getrec(\"FILE=BIB IDN=5\")\n"
              "putfld(t, \"500$a\", getfld(t, \"500$a\") + \"x\")\n"
              "updrec(t)\n"
              "printl(\"note \", getfld(t, \"500$a\"))\n");
  const std::string out =
      inst_
          .run(std::string(kLogin) +
               "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/two.txt DOUBLE=I PSIIN=../data/in.psi\n"
               "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/out.txt FROM=16 PSIOUT=../data/out.psi\n"
               "end\n")
          .output;
  EXPECT_NE(out.find(" neu neu"), std::string::npos) << out;
  EXPECT_NE(out.find("hof 16 Hof"), std::string::npos) << out;  // COMPL ran inside the store
  EXPECT_NE(out.find("hof 18 Hof"), std::string::npos) << out;
  EXPECT_NE(out.find("copy 2"), std::string::npos) << out;
  EXPECT_NE(out.find("Neu gespeichert: 2"), std::string::npos) << out;
  EXPECT_NE(out.find("note xxxx"), std::string::npos) << out;  // four records from 16 on
  const std::string exported = inst_.read("data/out.txt");
  EXPECT_NE(exported.find("Eins"), std::string::npos) << exported;
  EXPECT_NE(exported.find("250  $$ageprueft"), std::string::npos) << exported;
  // The import's scripts' changes are in the journal.
  const std::string after = inst_
                                .run(std::string(kLogin) +
                                     "RESTORE POOL=A CONFIRM=N RECOVER=Y\n"
                                     "SEARCH POOL=A FILE=BIB QUERY=\"TIT=hof OR TIT=eins OR TIT=zwei\"\n"
                                     "SEARCH POOL=A FILE=BIB QUERY=\"TIT=neu\"\n"
                                     "end\n")
                                .output;
  EXPECT_NE(after.find("Ergebnismenge 1: 4 Treffer"), std::string::npos) << after;
  EXPECT_NE(after.find("Ergebnismenge 2: 1 Treffer"), std::string::npos) << after;
}

TEST_F(PsiLibraryTest, OnlyAnAdministratorRunsScripts) {
  std::string users = inst_.read("etc/users.tab");
  users += "NOBODY    50000" + std::string(32, '0') + "h'1\n";  // group 5, no rights, password KWP
  inst_.write("etc/users.tab", users);
  inst_.write("data/t.psi", "printl(\"ran\")\n");
  const std::string out =
      inst_.run("login user=nobody pass=KWP\nRUN_PSI POOL=A FILE=BIB SCRIPT=../data/t.psi\nend\n").output;
  EXPECT_EQ(out.find("ran"), std::string::npos) << out;
  EXPECT_NE(out.find(": 129 - "), std::string::npos) << out;
}

// The library example of docs/psi.md, run as it says, prints what it says.
TEST_F(PsiLibraryTest, TheDocumentedExampleRuns) {
  const auto examples = doc_examples(CORVANTA_DOCS "/psi.md", "```psi-library", "```library-output");
  ASSERT_EQ(examples.size(), 1u);
  const std::string& example = examples.front().script;
  const std::string& expected = examples.front().output;
  ASSERT_FALSE(expected.empty());
  const std::string out = script(example);
  EXPECT_NE(out.find(expected), std::string::npos) << out;
}

}  // namespace
}  // namespace corvanta::testing
