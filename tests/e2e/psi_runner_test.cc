// The script runner on a copy of the reference installation: the examples of
// the documentation, exit statuses, error lines with the installation's
// texts, and the main configuration.
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
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

struct Example {
  std::string script;
  std::string output;
};

// The ```psi blocks of the language page, each with the ```text block after it.
std::vector<Example> documented_examples() {
  std::ifstream in(CORVANTA_DOCS "/psi.md");
  std::vector<Example> examples;
  std::string line;
  std::string* into = nullptr;
  while (std::getline(in, line)) {
    if (into != nullptr) {
      if (line == "```") {
        into = nullptr;
      } else {
        *into += line + "\n";
      }
    } else if (line == "```psi") {
      examples.emplace_back();
      into = &examples.back().script;
    } else if (line == "```text" && !examples.empty()) {
      into = &examples.back().output;
    }
  }
  return examples;
}

TEST(PsiRunner, RunsTheDocumentedExamples) {
  Installation inst;
  const auto examples = documented_examples();
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
