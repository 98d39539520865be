// The core and file built-ins.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "config/config_file.h"
#include "psi_test_util.h"
#include "scratch_dir.h"

namespace corvanta::psi {
namespace {

using testing::error_at;
using testing::run_text;

TEST(PsiPrint, PrintWritesValuesAsTheyAre) {
  auto o = run_text(
      "print(1, 2.5)\nprintl()\n"
      "s[0] = \"a\"\ns[2] = \"c\"\nprintl(s)\n"
      "n[0] = 1\nn[1] = 0.5\nprintl(n)\n"
      "printl(1/3, \" \", 1e20, \" \", -0.000001)\n"
      "printl(99999999, \" \", 100000000, \" \", -12, \" \", -0, \" \", 0 * -1)\n");
  EXPECT_EQ(o.out, "12.5\na\nc\n\n10.5\n0.33333333 1e+20 -1e-06\n99999999 1e+08 -12 -0 -0\n");
}

TEST(PsiPrint, TopLevelValues) {
  auto o = run_text("n[1] = 2.5\nn\ns[1] = \"b\"\ns\n\"q\"\n");
  EXPECT_EQ(o.out, "\t0:\t0\n\t1:\t2.5\n\t0:\t\"\"\n\t1:\t\"b\"\n\t\"q\"\n");
}

TEST(PsiPrint, FormatsAreCheckedAgainstTheValue) {
  auto o = run_text(
      "printf(\"[%6.2f]\", PI)\nprintf(\"[%-4s]\", \"ab\")\nprintf(\"[%5d]\", 42.9)\n"
      "printf(\"[%x]\", 255)\nprintf(\"100%%\", 1)\nprintf(\"[%ld]\", 7)\n"
      "n[0] = 1\nn[1] = 2\nprintf(\"<%g>\", n)\n"
      "printl(sprintf(\"%03d\", 5), sprint(\"a\", 1), sprintl(\"b\"))\n");
  EXPECT_EQ(o.out, "[  3.14][ab  ][   42][ff]100%[7]<1><2>005a1b\n\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(run_text("printf(\"%s\", 1)\n").err, error_at(1, 141, "%s"));
  EXPECT_EQ(run_text("printf(\"%d\", \"x\")\n").err, error_at(1, 141, "%d"));
  EXPECT_EQ(run_text("printf(\"%d %d\", 1)\n").err, error_at(1, 141, "%d %d"));
  EXPECT_EQ(run_text("printf(\"%n\", 1)\n").err, error_at(1, 141, "%n"));
  EXPECT_EQ(run_text("printf(\"%*d\", 1)\n").err, error_at(1, 141, "%*d"));
  EXPECT_EQ(run_text("printf(\"%\", 1)\n").err, error_at(1, 141, "%"));
}

TEST(PsiPrint, PiecesAreCutAt1023Bytes) {
  auto o =
      run_text("s = \"" + std::string(1000, 'x') + "\"\nt = strcat(s, s)\nprint(t)\nprintl(strlen(t))\n");
  EXPECT_EQ(o.out, std::string(1023, 'x') + "2000\n");
  // A width or precision of two thousand million is taken at the cut, not
  // formatted first (which took a minute and gigabytes).
  o = run_text(
      "printl(strlen(sprintf(\"%.2147483647f\", 1)), \" \", strlen(sprintf(\"%2147483647d\", 7)), \" \", "
      "sprintf(\"%.99999999999999999999s\", \"ab\"))\n");
  EXPECT_EQ(o.out, "1023 1023 ab\n");
  EXPECT_EQ(o.err, "");
}

TEST(PsiStrings, SubstringsAndSearch) {
  auto o = run_text(
      "printl(strsub(\"abcde\", 3, 10), \"|\", strsub(\"abcde\", -2, 2), \"|\", strsub(\"abcde\", 9, 1), "
      "\"|\","
      " strsub(\"abcde\", 1, -1))\n"
      "printl(strstr(\"abcabc\", \"ca\"), \" \", strstr(\"abc\", \"\"), \" \", strstr(\"abc\", \"x\"))\n"
      "printl(strrpl(\"a-b-c\", \"-\", \"+\"), \" \", strrpl(\"abc\", \"x\", \"y\"))\n"
      "printl(strcmp(\"a\", \"b\"), strcmp(\"b\", \"b\"), strcmp(\"c\", \"b\"))\n"
      "printl(strtod(\"  -12.5e1xyz\"), \" \", strtod(\"abc\"))\n"
      "printl(tolower(\"AbC-\\304\"), toupper(\"aBc\"))\n"
      "printl(num(\"A\"), \" \", num(\"\"), \" \", strlen(str(0)), \" \", str(66))\n");
  EXPECT_EQ(o.out, "de|ab||\n2 -1 -1\na+b-c abc\n-101\n-125 0\nabc-\304ABC\n65 0 0 B\n");
}

TEST(PsiStrings, ArgumentKindsAreChecked) {
  EXPECT_EQ(run_text("strlen(1)\n").err, error_at(1, 128));
  EXPECT_EQ(run_text("strsub(\"a\", \"b\", 1)\n").err, error_at(1, 127));
  EXPECT_EQ(run_text("strlen(\"a\", \"b\")\n").err, error_at(1, 130, "strlen"));
}

TEST(PsiMath, FunctionsAndTheirErrors) {
  auto o = run_text("sqrt(16)\nint(-2.7)\nabs(-3)\natan2(1, 1) * 4\nlog(E)\nexp(0)\ncos(0)\n");
  EXPECT_EQ(o.out, "\t4\n\t-2\n\t3\n\t3.1415927\n\t1\n\t1\n\t1\n");
  EXPECT_EQ(run_text("sqrt(-1)\n").err, error_at(1, 112, "sqrt"));
  EXPECT_EQ(run_text("log(0)\n").err, error_at(1, 113, "log"));
  EXPECT_EQ(run_text("acos(2)\n").err, error_at(1, 112, "acos"));
  EXPECT_EQ(run_text("exp(1000)\n").err, error_at(1, 113, "exp"));
  // Named constants are numbers, not variables.
  EXPECT_EQ(run_text("PI = 3\n").err, error_at(1, 103, "syntax error"));
}

TEST(PsiArrays, SortAndIndex) {
  auto o = run_text(
      "n[0] = 3\nn[1] = 1\nn[2] = 2\nprintf(\"%g \", sort(n))\nprintl()\n"
      "s[0] = \"b\"\ns[1] = \"a\"\ns[3] = \"c\"\nprintf(\"%g \", sort(s))\nprintl()\n"
      "printl(index(n, 2), \" \", index(n, 7), \" \", index(s, \"c\"), \" \", index(s, \"\"))\n");
  EXPECT_EQ(o.out, "1 2 0 \n2 1 0 3 \n2 -1 3 2\n");
  EXPECT_EQ(run_text("sort(1)\n").err, error_at(1, 133));
  // Not-a-number values sort last.
  auto nan =
      run_text("i = 1e308 * 10\nn[0] = i - i\nn[1] = 2\nn[2] = i - i\nn[3] = -1\nprintf(\"%g \", sort(n))\n");
  EXPECT_EQ(nan.out, "3 1 0 2 ");
  EXPECT_EQ(run_text("n[0] = 1\nindex(n, \"a\")\n").err, error_at(2, 127));
  EXPECT_EQ(run_text("s[0] = \"a\"\nindex(s, 1)\n").err, error_at(2, 128));
}

TEST(PsiSplit, SplitLineEdges) {
  auto o = run_text(
      "a = splitline(\"a,b,,c,\", \",\")\nprintl(dim(a))\na\n"
      "b = splitline(\",x\", \",\")\nprintl(dim(b), b[0], b[1])\n"
      "c = splitline(\"\", \",\")\nprintl(dim(c))\n"
      "d = splitline(\"abc\", \"\")\nprintl(dim(d), d[0])\n"
      "e = splitline(\"a::b\", \"::\")\nprintl(dim(e), e[1])\n");
  EXPECT_EQ(o.out,
            "4\n\t0:\t\"a\"\n\t1:\t\"b\"\n\t2:\t\"\"\n\t3:\t\"c\"\n"
            "2x\n0\n1abc\n2b\n");
}

TEST(PsiSplit, SplitRegex) {
  auto o = run_text(
      "r = splitregex(\"date 2026-12-06\", \"([0-9]+)-([0-9]+)(x)?\")\nprintl(dim(r))\nr\n"
      "x = splitregex(\"abc\", \"[0-9]\")\nprintl(dim(x))\n");
  EXPECT_EQ(o.out, "3\n\t0:\t\"2026-12\"\n\t1:\t\"2026\"\n\t2:\t\"12\"\n0\n");
  EXPECT_EQ(run_text("splitregex(\"a\", \"(\")\n").err.substr(0, 14), "t.psi(1/#140):");
}

class PsiFiles : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = corvanta::testing::make_scratch_dir("psi_files"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string q(const std::string& name) const { return "\"" + path(name) + "\""; }
  std::string dir_;
};

TEST_F(PsiFiles, WriteAppendAndReadLines) {
  auto o = run_text(
      "f = fopen(" + q("a.txt") +
      ", OUT)\nfprintln(\"one \", 1, f)\nfprint(\"two\", f)\nfclose(f)\n"
      "f = fopen(" +
      q("a.txt") +
      ", EXT)\nfprintf(\"|%s\\n\", \"three\", f)\nfclose(f)\n"
      "f = fopen(" +
      q("a.txt") +
      ", IN)\n"
      "while (!feof(f)) {\n printl(\"<\", fgets(f), \">\")\n}\n"
      "printl(feof(f), fok(f), ferror(f), \" \", feof(7), fok(7), ferror(7), \" \", fgets(7), fexist(" +
      q("a.txt") + "), fexist(" + q("none") + "))\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(corvanta::testing::read_file(path("a.txt")), "one 1\ntwo|three\n");
  EXPECT_EQ(o.out, "<one 1>\n<two|three>\n100 101 10\n");
}

TEST_F(PsiFiles, SlotsAndModes) {
  EXPECT_EQ(run_text("fopen(" + q("x") + ", UPD)\n").err, error_at(1, 135, path("x")));
  EXPECT_EQ(run_text("fopen(" + q("no/such") + ", IN)\n").err, error_at(1, 102, path("no/such")));
  std::string many;
  for (int i = 0; i < 10; ++i) many += "fopen(" + q("f" + std::to_string(i)) + ", OUT)\n";
  auto o = run_text(many + "fopen(" + q("f10") + ", OUT)\n");
  EXPECT_EQ(o.out, "\t0\n\t1\n\t2\n\t3\n\t4\n\t5\n\t6\n\t7\n\t8\n\t9\n");
  EXPECT_EQ(o.err, error_at(11, 102, path("f10")));
  // Only a slot: nothing written, no error. No argument at all: an error.
  EXPECT_EQ(run_text("fprint(3)\nfprintln(-1)\n").err, "");
  EXPECT_EQ(run_text("fprint()\n").err, error_at(1, 130, "fprint"));
  EXPECT_EQ(run_text("fprintln()\n").err, error_at(1, 130, "fprintln"));
  EXPECT_EQ(run_text("fopen(\"" + std::string(102, 'n') + "\", OUT)\n").err,
            error_at(1, 102, std::string(102, 'n')));
}

TEST_F(PsiFiles, DirectoryListingStopsAt500) {
  for (int i = 0; i < 501; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d", i);
    std::ofstream(path(name)) << "abc";
  }
  ::mkdir(path("sub").c_str(), 0777);
  auto o = run_text("d = dir(\"" + dir_ + "\")\nprintl(dim(d))\nprintl(d[0])\nprintl(d[500])\n");
  ASSERT_EQ(o.err, "");
  const auto lines = o.out;
  EXPECT_EQ(lines.substr(0, 4), "501\n");
  // "%12s %9s %s": modification time, size, name.
  const std::string first = lines.substr(4, lines.find('\n', 4) - 4);
  ASSERT_EQ(first.size(), 12u + 1 + 9 + 1 + 4);
  EXPECT_EQ(first.substr(13), "000000003 f000");
  EXPECT_EQ(lines.substr(lines.size() - 4), "...\n");
  EXPECT_EQ(run_text("dir(" + q("none") + ")\n").err, error_at(1, 102, path("none")));
}

// A FIFO or a device is no file a script reads or writes: opening one
// fails at once instead of waiting for the other end.
TEST_F(PsiFiles, OnlyRegularFilesOpen) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(run_text("fopen(" + q("fifo") + ", IN)\n").err, error_at(1, 102, path("fifo")));
  EXPECT_EQ(run_text("fopen(" + q("fifo") + ", OUT)\n").err, error_at(1, 102, path("fifo")));
  EXPECT_EQ(run_text("fcopy(" + q("fifo") + ", " + q("x") + ")\n").err, error_at(1, 102, path("fifo")));
  EXPECT_EQ(run_text("fopen(\"/dev/zero\", IN)\n").err, error_at(1, 102, "/dev/zero"));
}

TEST_F(PsiFiles, CopyRenameDeleteAndDirectories) {
  std::ofstream(path("src")) << "content\n";
  auto o = run_text("fcopy(" + q("src") + ", " + q("copy") + ")\nrename(" + q("copy") + ", " + q("moved") +
                    ")\nmkdir(" + q("d") + ")\nfdelete(" + q("src") + ")\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(corvanta::testing::read_file(path("moved")), "content\n");
  EXPECT_NE(::access(path("src").c_str(), F_OK), 0);
  EXPECT_EQ(::access(path("d").c_str(), F_OK), 0);
  EXPECT_EQ(run_text("fcopy(" + q("none") + ", " + q("x") + ")\n").err, error_at(1, 102, path("none")));
  EXPECT_EQ(run_text("fcopy(" + q("moved") + ", " + q("no/x") + ")\n").err, error_at(1, 102, path("no/x")));
  EXPECT_EQ(run_text("rename(" + q("none") + ", " + q("x") + ")\n").err, error_at(1, 102, path("none")));
  EXPECT_EQ(run_text("rename(" + q("moved") + ", " + q("no/x") + ")\n").err, error_at(1, 102, path("no/x")));
  EXPECT_EQ(run_text("fdelete(" + q("none") + ")\n").err, error_at(1, 136, path("none")));
  EXPECT_EQ(run_text("mkdir(" + q("d") + ")\n").err, error_at(1, 139, path("d")));
  EXPECT_EQ(run_text("syscmd(\"exit 3\")\nsyscmd(\"test -d " + path("d") + "\")\n").out, "\t3\n\t0\n");
}

TEST_F(PsiFiles, DatesAndClock) {
  auto o = run_text(
      "datadd(\"20261231\", 1)\ndatadd(\"20240301\", -1)\ndatadd(\"2024\", 1)\n"
      "strlen(date())\nstrlen(date(\"YYYYMMDD\"))\nc = clock()\nclock() - c < 5\n");
  EXPECT_EQ(o.out, "\t\"20270101\"\n\t\"20240229\"\n\t\"\"\n\t19\n\t8\n\t1\n");
  EXPECT_EQ(run_text("date(\"a\", \"b\")\n").err, error_at(1, 130, "date"));
}

TEST_F(PsiFiles, ReadAndWriteTheMainConfiguration) {
  const std::string cfg = path("main.cfg");
  std::ofstream(cfg) << "(Limits)\nMaxRecLen=30000\n";
  config::ConfigTable configs;
  ASSERT_EQ(configs.load_main_path(cfg).code(), 0);
  auto o = testing::run_text(
      "readparm(\"Limits\", \"MaxRecLen\")\nreadparm(\"Limits\", \"None\")\n"
      "writeparm(\"Limits\", \"MaxFldLen\", \"7500\")\nreadparm(\"Limits\", \"MaxFldLen\")\n",
      &configs, cfg);
  EXPECT_EQ(o.out, "\t\"30000\"\n\t\"\"\n\t0\n\t\"7500\"\n");
  EXPECT_NE(corvanta::testing::read_file(cfg).find("MaxFldLen=7500"), std::string::npos);
  // Without a main configuration there is nothing to read or write.
  EXPECT_EQ(run_text("readparm(\"Limits\", \"MaxRecLen\")\nwriteparm(\"a\", \"b\", \"c\")\n").out,
            "\t\"\"\n\t-3\n");
}

}  // namespace
}  // namespace corvanta::psi
