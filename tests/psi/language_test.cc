// The language: tokens, grammar and precedence, and the machine's errors.
#include <gtest/gtest.h>

#include "psi_test_util.h"

namespace corvanta::psi {
namespace {

using testing::error_at;
using testing::run_text;

TEST(PsiLexer, CommentsContinuationsAndNumbers) {
  auto o = run_text(
      "x = 1 + \\\n 2 // a comment\n"
      "x\n"
      ".5 + 1e3 + 2.5E-1\n"
      "12.\n"
      "\"a // b\" // not the string's\n"
      "// a whole line\n"
      "x // a comment after code\n");
  EXPECT_EQ(o.out, "\t3\n\t1000.75\n\t12\n\t\"a // b\"\n\t3\n");
  EXPECT_EQ(o.err, "");
}

TEST(PsiLexer, StringEscapes) {
  auto o = run_text("\"\\101\\N\\t|\\q\\\"\"\n\"a\\\nb\"\n\"x\\0y\"\n");
  EXPECT_EQ(o.out, "\t\"AN\t|q\"\"\n\t\"ab\"\n\t\"x\"\n");
}

TEST(PsiLexer, OverlongNamesStringsAndNumbersAreErrors) {
  EXPECT_EQ(run_text(std::string(1024, 'a') + " = 1\n").err.substr(0, 13), "t.psi(1/#106)");
  EXPECT_EQ(run_text(std::string(1023, 'a') + " = 1\n").err, "");
  EXPECT_EQ(run_text("x = \"" + std::string(1024, 's') + "\"\n").err.substr(0, 13), "t.psi(1/#110)");
  EXPECT_EQ(run_text("x = \"" + std::string(1023, 's') + "\"\n").err, "");
  EXPECT_EQ(run_text("x = " + std::string(1024, '1') + "\n").err, error_at(1, 129));
  EXPECT_EQ(run_text("x = \"open\ny = 1\n").err, error_at(1, 109));
}

TEST(PsiLexer, ArgumentsAndLocals) {
  EXPECT_EQ(run_text("x = $1\n").err, error_at(1, 105, "$"));
  EXPECT_EQ(run_text("func f() {\n return $0\n}\n").err, error_at(2, 108));
  EXPECT_EQ(run_text("func f(a, a) {\n return 1\n}\n").err, error_at(1, 107, "a"));
  EXPECT_EQ(run_text("func f(a) {\n auto b, a\n}\n").err, error_at(2, 107, "a"));
  // Parameters by name or number; auto locals from several statements.
  auto o = run_text(
      "func f(a, b) {\n auto s\n auto t\n s = a - $2\n t = s * 10\n return t + b\n}\n"
      "f(5, 3)\n");
  EXPECT_EQ(o.out, "\t23\n");
  EXPECT_EQ(run_text("func f(a, b) {\n return $3\n}\nf(1, 2)\n").err, error_at(2, 120, "f"));
}

TEST(PsiLexer, QuitEndsTheRunEvenInsideADefinition) {
  auto o = run_text("printl(1)\nfunc f() {\n quit\n printl(2)\n}\nprintl(3)\n");
  EXPECT_EQ(o.out, "1\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.value, 0);
}

TEST(PsiGrammar, TheFunctionExample) {
  auto o = run_text("func f(a, b) {\n return a + b\n}\nn = f(1, 2)\nprintl(\"Summe: \", n)\nf(1, 2)\n");
  EXPECT_EQ(o.out, "Summe: 3\n\t3\n");
}

TEST(PsiGrammar, PrecedenceAndAssociativity) {
  auto o = run_text(
      "-2^2\n"       // unary minus negates the power
      "2^3^2\n"      // right associative
      "!0 == 1\n"    // NOT binds to the left operand only
      "1 | 2 & 0\n"  // & before |
      "7 - 2 - 1\n"  // left associative
      "1 + 2 * 3 % 4\n"
      "1 < 2 == 1\n"
      "0 || 1 && 0\n"
      "a = b = 4\n"
      "a + b\n"
      "+5\n");
  EXPECT_EQ(o.out, "\t-4\n\t512\n\t1\n\t1\n\t4\n\t3\n\t1\n\t0\n\t8\n\t5\n");
  EXPECT_EQ(o.err, "");
}

TEST(PsiGrammar, OneStatementALine) {
  EXPECT_EQ(run_text("x = 1 y = 2\n").err, error_at(1, 103, "syntax error"));
  auto o = run_text("x = 1\ny = 2\nx + y\n");
  EXPECT_EQ(o.out, "\t3\n");
  // A name followed by an underscore is a syntax error.
  EXPECT_EQ(run_text("a_b = 1\n").err, error_at(1, 103, "syntax error"));
}

TEST(PsiGrammar, ElseStandsOnTheLineOfTheThenPart) {
  EXPECT_EQ(run_text("if (1) {\n printl(1)\n}\nelse {\n printl(2)\n}\n").err,
            error_at(4, 103, "syntax error"));
  auto o = run_text(
      "if (0) {\n printl(1)\n} else {\n printl(2)\n}\n"
      "if (1) if (0) printl(3) else printl(4)\n");
  EXPECT_EQ(o.out, "2\n4\n");
}

TEST(PsiGrammar, WhileAndBlocks) {
  auto o = run_text("i = 0\nwhile (i < 3) {\n\n print(i)\n i = i + 1\n}\nprintl()\n");
  EXPECT_EQ(o.out, "012\n");
}

TEST(PsiGrammar, ParserStackOverflow) {
  auto o = run_text("x = " + std::string(12000, '(') + "1" + std::string(12000, ')') + "\n");
  EXPECT_EQ(o.err, error_at(1, 103, "parser stack overflow"));
  // Deep, but within the limit.
  EXPECT_EQ(run_text("x = " + std::string(1000, '(') + "1" + std::string(1000, ')') + "\n").err, "");
}

TEST(PsiGrammar, OutsideDefinitions) {
  EXPECT_EQ(run_text("return 1\n").err, error_at(1, 105, "return"));
  EXPECT_EQ(run_text("auto x\n").err, error_at(1, 105, "auto"));
  EXPECT_EQ(run_text("func f() {\n setup(1, 1, 1)\n}\n").err, error_at(2, 134, "setup"));
  EXPECT_EQ(run_text("printf(\"x\")\n").err, error_at(1, 130, "printf"));
}

TEST(PsiMachine, CallsNestNinetyNineDeep) {
  const std::string def = "func r(n) {\n if (n > 0) return r(n - 1)\n return 7\n}\n";
  EXPECT_EQ(run_text(def + "r(98)\n").out, "\t7\n");
  auto o = run_text(def + "r(99)\nprintl(\"after\")\n");
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, error_at(2, 117, "r"));
}

TEST(PsiMachine, DeepRecursionIsRefusedBeforeTheProcessStackRunsOut) {
  auto o = run_text(
      "setup(1000000, 0, 100000)\nfunc r(n) {\n while (n > 0) {\n  if (n > 0) return r(n - 1)\n }\n return "
      "0\n}\n"
      "r(99990)\nprintl(\"after\")\n");
  EXPECT_EQ(o.out, "");
  // The while (line 3) or the call (line 4), whichever crosses the limit.
  EXPECT_TRUE(o.err == error_at(3, 117, "r") || o.err == error_at(4, 117, "r")) << o.err;
}

TEST(PsiMachine, ReturnKindsAreChecked) {
  EXPECT_EQ(run_text("func f() {\n x = 1\n}\nf()\n").err, error_at(3, 119, "f"));
  EXPECT_EQ(run_text("proc p() {\n return 1\n}\np()\n").err, error_at(2, 118, "p"));
  auto o = run_text(
      "proc p(a) {\n if (a) {\n  printl(\"early\")\n  return\n }\n printl(\"late\")\n}\np(1)\np(0)\n");
  EXPECT_EQ(o.out, "early\nlate\n");
}

TEST(PsiMachine, ArraysAreCopied) {
  auto o = run_text(
      "a[0] = 1\na[1] = 2\nb = a\nb[0] = 9\n"
      "proc change(x) {\n x[1] = 8\n printl(x)\n}\n"
      "change(a)\nprintl(a, \" \", b)\n");
  EXPECT_EQ(o.out, "18\n12 92\n");
}

TEST(PsiMachine, ArraysGrowWithEmptyElements) {
  auto o = run_text("s[5] = \"x\"\ndim(s)\ntype(s)\nstrlen(s[2])\ns[3] = 4\n");
  EXPECT_EQ(o.out, "\t6\n\t4\n\t0\n");
  EXPECT_EQ(o.err, error_at(5, 127));
  EXPECT_EQ(run_text("n[2] = 1\nn[0]\nn[1] = \"x\"\n").err, error_at(3, 128));
  EXPECT_EQ(run_text("n[2] = 1\nn[3]\n").err, error_at(2, 132));
  EXPECT_EQ(run_text("n[-1] = 1\n").err, error_at(1, 132));
  EXPECT_EQ(run_text("n = 1\nn[0]\n").err, error_at(2, 131));
  EXPECT_EQ(run_text("n[0] = 1\nm[0] = n\n").err, error_at(2, 133));
  // An absent element copied into another array is an undefined value.
  EXPECT_EQ(run_text("s[1] = \"x\"\nt[0] = s[0]\n").err, error_at(2, 122, "t"));
}

TEST(PsiMachine, TypesAndDimensions) {
  auto o = run_text("type(x)\nx = 1\ntype(x)\ndim(x)\nx = \"s\"\ntype(x)\nn[1] = 2\ntype(n)\ndim(n)\n");
  EXPECT_EQ(o.out, "\t0\n\t1\n\t0\n\t2\n\t3\n\t2\n");
}

TEST(PsiMachine, MixedOperandsAreErrors) {
  EXPECT_EQ(run_text("\"abc\" < \"abd\"\n").out, "\t1\n");
  EXPECT_EQ(run_text("1 < \"a\"\n").err, error_at(1, 128));
  EXPECT_EQ(run_text("\"a\" < 1\n").err, error_at(1, 127));
  EXPECT_EQ(run_text("\"a\" + \"b\"\n").out, "\t\"ab\"\n");
  EXPECT_EQ(run_text("1 + \"b\"\n").err, error_at(1, 128));
  EXPECT_EQ(run_text("\"a\" * 2\n").err, error_at(1, 127));
  EXPECT_EQ(run_text("7 / 0\n").err, error_at(1, 114));
  EXPECT_EQ(run_text("7 % 0\n").err, error_at(1, 114));
  EXPECT_EQ(run_text("7 % 3\n-7 % 3\n").out, "\t1\n\t-1\n");
  EXPECT_EQ(run_text("(-8) ^ 0.5\n").err, error_at(1, 112, "'X ^ Y'"));
  EXPECT_EQ(run_text("10 ^ 400\n").err, error_at(1, 113, "'X ^ Y'"));
  EXPECT_EQ(run_text("1e300 | 1\n").out, "\t9.223372e+18\n");
}

TEST(PsiMachine, UndefinedNamesAndAssignments) {
  EXPECT_EQ(run_text("printl(zz)\n").err, error_at(1, 122, "zz"));
  // A name later defined as a function is no longer a variable.
  EXPECT_EQ(run_text("proc p() {\n x = f\n}\nfunc f() {\n return 1\n}\np()\n").err, error_at(2, 121, "f"));
  EXPECT_EQ(run_text("proc p() {\n f = 1\n}\nfunc f() {\n return 1\n}\np()\n").err, error_at(2, 123, "f"));
}

TEST(PsiMachine, AnErrorEndsTheRun) {
  auto o = run_text("printl(1)\nx = 1 / 0\nprintl(2)\n");
  EXPECT_EQ(o.out, "1\n");
  EXPECT_EQ(o.err, error_at(2, 114));
  EXPECT_EQ(o.value, 0);
}

TEST(PsiMachine, ExitValues) {
  EXPECT_EQ(run_text("exit 3\nprintl(1)\n").value, 3);
  EXPECT_EQ(run_text("exit 2.9\n").value, 2);
  EXPECT_EQ(run_text("exit -2.9\n").value, -2);
  auto o = run_text("proc p() {\n exit\n}\np()\nprintl(1)\n");
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.value, 0);
}

TEST(PsiMachine, StoreSizesAndSetup) {
  // setup discards everything defined before it.
  auto o = run_text("x = 1\nsetup(0, 0, 0)\ntype(x)\n");
  EXPECT_EQ(o.out, "\t0\n");
  // A small value stack, code array and frame stack.
  // (A number right of an operator takes no entry of its own.)
  EXPECT_EQ(run_text("setup(3, 0, 0)\nx = 1 + (2 + (3 + 4))\n").err, "");
  EXPECT_EQ(run_text("setup(3, 0, 0)\nx = 1 + (2 + (3 + (4 * 1)))\n").err, error_at(2, 115));
  EXPECT_EQ(run_text("setup(0, 10, 0)\nx = 1 + 2 + 3 + 4\n").err, error_at(2, 126));
  EXPECT_EQ(run_text("setup(0, 0, 3)\nfunc r(n) {\n if (n) return r(n - 1)\n return 0\n}\nr(1)\nr(2)\n").err,
            error_at(3, 117, "r"));
}

TEST(PsiMachine, ScriptInputIsReadByScanAndFlush) {
  auto o =
      run_text("x = scans()\nhello world\nn = scan()\n  42.5\nprintl(x, \"|\", n)\nflush()\nprintl(2)\n");
  EXPECT_EQ(o.out, "hello world|42.5\n");
  EXPECT_EQ(run_text("n = scan()\nabc\n").err, error_at(1, 124));
}

TEST(PsiMachine, ErrorLinesUseTheCatalogue) {
  Engine engine;
  EXPECT_EQ(engine.error_line("s", 3, 122, "x"), "s(3/#122): PSI Error 122 = \"x\"\n");
  EXPECT_EQ(engine.error_line("", 0, 114, ""), "(0/#114): PSI Error 114\n");
  engine.set_messages([](std::string_view group, int code) -> std::string {
    if (group == "PSI" && code == 122) return "Variable %s fehlt";
    if (group == "Common" && code == -151) return "Pool fehlt";
    return {};
  });
  EXPECT_EQ(engine.error_line("s", 3, 122, "x"), "s(3/#122): Variable x fehlt\n");
  EXPECT_EQ(engine.error_line("s", 3, -151, ""), "s(3/#-151): Pool fehlt\n");
  EXPECT_EQ(engine.error_line("s", 3, 114, ""), "s(3/#114): PSI Error 114\n");
}

TEST(PsiMachine, TracingPrintsLineNumbers) {
  auto o = run_text("test(1)\nx = 1\ny = 2\ntest(0)\nz = 3\n");
  EXPECT_EQ(o.err, "3     4     5     ");
}

TEST(PsiMachine, ALineProviderKeepsTheRunGoingAfterAnError) {
  Engine engine;
  engine.initialise();
  Script script;
  script.text = "printl(1)\n";
  // After an error the rest of the current input line is skipped: here the
  // line after the faulty item, whose own newline was read already.
  std::vector<std::string> lines = {"x = 1 / 0\n", "printl(\"skipped\")\n", "x = 5\n", "printl(x)\n"};
  std::size_t next = 0;
  std::string out;
  std::string err;
  RunIo io;
  io.out = [&](std::string_view s) { out += s; };
  io.err = [&](std::string_view s) { err += s; };
  io.next_text = [&]() -> std::optional<std::string> {
    if (next == lines.size()) return std::nullopt;
    return lines[next++];
  };
  engine.run(script, 'Y', io);
  EXPECT_EQ(out, "1\n5\n");
  EXPECT_EQ(err, "(2/#114): PSI Error 114\n");
}

}  // namespace
}  // namespace corvanta::psi
