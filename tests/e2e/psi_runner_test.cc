// The script runner on a copy of the reference installation: the examples of
// the documentation, exit statuses, error lines with the installation's
// texts, and the main configuration.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "installation.h"

namespace corvanta::testing {
namespace {

struct PsiRun {
  std::string out;
  std::string err;
  int status = -1;
};

PsiRun run_psi(const Installation& inst, const std::string& script, const std::string& args = "t.psi") {
  inst.write("work/t.psi", script);
  const std::string command = "cd '" + inst.path("work") + "' && timeout 60 '" CORVANTA_PSI "' " + args +
                              " > ../temp/psi.out 2> ../temp/psi.err";
  const int status = std::system(command.c_str());
  return {inst.read("temp/psi.out"), inst.read("temp/psi.err"), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(PsiRunner, RunsTheDocumentedExamples) {
  Installation inst;
  const auto examples = doc_examples(CORVANTA_DOCS "/psi.md", "```psi", "```text");
  ASSERT_EQ(examples.size(), 3u);
  for (std::size_t i = 0; i < examples.size(); ++i) {
    SCOPED_TRACE("example " + std::to_string(i + 1));
    const PsiRun r = run_psi(inst, examples[i].script);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, examples[i].output);
    EXPECT_EQ(r.status, i == 2 ? 3 : 0);
  }
}

TEST(PsiRunner, ExitStatusIsTheExitValueCut) {
  Installation inst;
  EXPECT_EQ(run_psi(inst, "exit 300\n").status, 255);
  EXPECT_EQ(run_psi(inst, "exit -5\n").status, 0);
  EXPECT_EQ(run_psi(inst, "printl(1)\n").status, 0);
  EXPECT_EQ(run_psi(inst, "", "").status, 2);
  const PsiRun missing = run_psi(inst, "", "none.psi");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "(0/#102): Datei kann nicht geöffnet werden: none.psi\n");
}

TEST(PsiRunner, AnErrorEndsTheScriptWithTheInstallationsText) {
  Installation inst;
  const PsiRun r = run_psi(inst,
                           "printl(\"A\\102\\N\")\n"
                           "func r(n) {\n if (n > 0) return r(n - 1)\n return 0\n}\n"
                           "r(98)\n"
                           "r(99)\n"
                           "printl(\"not reached\")\n");
  EXPECT_EQ(r.out, "ABN\n\t0\n");
  EXPECT_EQ(r.err, "t.psi(3/#117): Zu viele geschachtelte Aufrufe: r\n");
  EXPECT_EQ(r.status, 0);
}

// Edge cases of the language through the binary: what reaches standard
// output and standard error, with the installation's message texts.
TEST(PsiRunner, EdgeCasesEndToEnd) {
  struct Case {
    const char* script;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"func f() {\n x = 1\n}\nf()\n", "", "t.psi(3/#119): Funktion endet ohne Rückgabewert: f\n"},
      {"proc p() {\n return 1\n}\np()\n", "", "t.psi(2/#118): Rückgabewert in einer Prozedur: p\n"},
      {"printl(7 % 0)\n", "", "t.psi(1/#114): Division durch Null\n"},
      {"x = 1 < \"a\"\n", "", "t.psi(1/#128): Zeichenkette erwartet\n"},
      {"x = \"a\" < 1\n", "", "t.psi(1/#127): Zahl erwartet\n"},
      {"a[0] = 1\nb = a\nb[0] = 2\nprintl(a, b)\n", "12\n", ""},
      {"s[5] = \"x\"\nprintl(dim(s), \"[\", s[0], \"]\")\ns[1] = 2\n", "6[]\n",
       "t.psi(3/#127): Zahl erwartet\n"},
      {"printl(strsub(\"abcde\", 3, 10), strsub(\"abcde\", -2, 2))\n", "deab\n", ""},
      {"a = splitline(\",x,\", \",\")\na\n", "\t0:\t\"\"\n\t1:\t\"x\"\n", ""},
      {"n[0] = 3\nn[1] = 1\nn[2] = 2\nsort(n)\n", "\t0:\t1\n\t1:\t2\n\t2:\t0\n", ""},
      {"print(1, 2.5)\nprintl()\n3 + 4\nx = 3 + 4\n", "12.5\n\t7\n", ""},
      {"printl(\"\\101\\N\")\nfunc f() {\n quit\n}\nprintl(2)\n", "AN\n", ""},
      {"f = fopen(\"x\", UPD)\n", "", "t.psi(1/#135): Ungültiger Dateimodus: x\n"},
      {"printf(\"%d %s\", 1)\n", "",
       "t.psi(1/#141): Format passt nicht zum Wert oder hat mehr als eine Umwandlung: %d %s\n"},
  };
  Installation inst;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const PsiRun r = run_psi(inst, c.script);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 0);
  }
}

TEST(PsiRunner, ReadsAndWritesTheMainConfiguration) {
  Installation inst;
  const PsiRun r = run_psi(inst,
                           "printl(readparm(\"Directories\", \"Temp\"))\n"
                           "printl(writeparm(\"Scripts\", \"LastRun\", \"20261206\"))\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "../temp\n0\n");
  EXPECT_NE(inst.read("etc/corvanta.cfg").find("LastRun=20261206"), std::string::npos);
  // Without a configuration the runner still runs scripts.
  std::filesystem::remove(inst.path("etc/corvanta.cfg"));
  const PsiRun bare = run_psi(inst, "printl(readparm(\"Directories\", \"Temp\"), \"|\")\nx = 1 / 0\n");
  EXPECT_EQ(bare.out, "|\n");
  EXPECT_EQ(bare.err, "t.psi(2/#114): PSI Error 114\n");
}

}  // namespace
}  // namespace corvanta::testing
