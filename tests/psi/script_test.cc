// Loading scripts with their includes, and error lines mapped back to files.
#include "psi/script.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "psi/builtins.h"
#include "psi/engine.h"
#include "scratch_dir.h"

namespace corvanta::psi {
namespace {

class PsiScript : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = corvanta::testing::make_scratch_dir("psi_script"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text) {
    const std::string p = dir_ + "/" + name;
    std::ofstream(p) << text;
    return p;
  }
  // Loads and runs `path`; returns the error output.
  std::string run(const std::string& path, std::string* out = nullptr) {
    Script script;
    std::string err;
    const auto report = [&](int code, const std::string& text) {
      err += "load " + std::to_string(code) + " " + text + "\n";
    };
    if (load_script(path, script, report) != 0) return err;
    Engine engine;
    engine.initialise();
    RunIo io;
    io.err = [&](std::string_view s) { err += s; };
    io.out = [&](std::string_view s) {
      if (out) *out += s;
    };
    engine.run(script, 'Y', io);
    return err;
  }
  std::string dir_;
};

TEST_F(PsiScript, IncludesAreLoadedInPlace) {
  const std::string inc = write("inc.psi", "func twice(x) {\n return 2 * x\n}\n");
  const std::string main =
      write("main.psi", "a = 1\n#include <" + inc + ">\n#include without brackets\nprintl(twice(a))");
  Script script;
  ASSERT_EQ(load_script(main, script, [](int, const std::string&) {}), 0);
  // The last line gets its newline.
  EXPECT_EQ(script.text, "a = 1\nfunc twice(x) {\n return 2 * x\n}\nprintl(twice(a))\n");
  EXPECT_EQ(script.locate(1).file, main);
  EXPECT_EQ(script.locate(3).file, inc);
  EXPECT_EQ(script.locate(3).line, 2);
  EXPECT_EQ(script.locate(5).file, main);
  EXPECT_EQ(script.locate(5).line, 4);
  std::string out;
  EXPECT_EQ(run(main, &out), "");
  EXPECT_EQ(out, "2\n");
}

TEST_F(PsiScript, LinesMayEndInCarriageReturnAndNewline) {
  std::string out;
  EXPECT_EQ(run(write("crlf.psi", "x = 1\r\nif (x) {\r\n printl(\"yes\")\r\n}\r\n"), &out), "");
  EXPECT_EQ(out, "yes\n");
}

TEST_F(PsiScript, ErrorLinesNameTheFileAndItsLine) {
  const std::string inc = write("inc.psi", "x = 1\n\ny = 1 / 0\n");
  const std::string main = write("main.psi", "#include <" + inc + ">\nz = 2\nprintl(undefined)\n");
  EXPECT_EQ(run(main), main.substr(0, 0) + inc + "(3/#114): PSI Error 114\n");
  const std::string main2 =
      write("main2.psi", "z = 1\n#include <" + write("ok.psi", "w = 1\n") + ">\nprintl(u)\n");
  EXPECT_EQ(run(main2), main2 + "(3/#122): PSI Error 122 = \"u\"\n");
}

TEST_F(PsiScript, UnreadableScriptsAndIncludes) {
  EXPECT_EQ(run(dir_ + "/none.psi"), "load 102 " + dir_ + "/none.psi\n");
  const std::string main = write("m.psi", "#include <" + dir_ + "/missing.psi>\n");
  EXPECT_EQ(run(main), "load 102 " + dir_ + "/missing.psi\n");
  // A script that includes itself stops at the nesting limit.
  const std::string self = dir_ + "/self.psi";
  write("self.psi", "#include <" + self + ">\n");
  EXPECT_EQ(run(self), "load 102 " + self + "\n");
  EXPECT_EQ(run(dir_), "load 102 " + dir_ + "\n");
  EXPECT_EQ(run(write("dev.psi", "#include </dev/zero>\n")), "load 102 /dev/zero\n");
  // A FIFO is refused at once, not waited on for a writer.
  const std::string fifo = dir_ + "/fifo.psi";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(run(fifo), "load 102 " + fifo + "\n");
  EXPECT_EQ(run(write("fifo_include.psi", "#include <" + fifo + ">\n")), "load 102 " + fifo + "\n");
  EXPECT_EQ(run(std::string(101, 'p')), "load 102 " + std::string(101, 'p') + "\n");
}

}  // namespace
}  // namespace corvanta::psi
