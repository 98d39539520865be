// The time and memory limits of a run.
#include <gtest/gtest.h>

#include "psi_test_util.h"

namespace corvanta::psi {
namespace {

using testing::error_at;
using testing::Outcome;

// An engine with the core and file groups that runs texts as "t.psi" and
// keeps what the runs leave, as the service's engines do between restarts.
class PsiLimits : public ::testing::Test {
 protected:
  PsiLimits() {
    engine_.add_group(make_file_group(nullptr));
    engine_.initialise();
  }
  Outcome run(const std::string& text, const std::vector<std::string>& more = {}) {
    return testing::run_in(engine_, text, more);
  }
  static std::string memory_error(int line, std::size_t limit) {
    std::string text = "memory limit of ";
    text += std::to_string(limit);
    text += " bytes reached";
    return error_at(line, err::kNoMemory, text);
  }
  Engine engine_;
};

constexpr std::size_t kMegabyte = 1u << 20;

// A loop of a few thousand steps, past the first look at the clock.
const char* const kShortLoop = "i = 0\nwhile (i < 20000) i = i + 1\nprintl(i)\n";

TEST_F(PsiLimits, AnEndlessLoopEndsAtTheTimeLimitAndTheEngineRunsOn) {
  engine_.set_time_limit(0.5);
  auto o = run("x = 7\nwhile (1) {\n}\nprintl(\"not reached\")\n");
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, error_at(2, err::kTimeLimit, "0.5"));
  // Each run has its own time: the next one starts with all of it.
  o = run(std::string(kShortLoop) + "printl(x)\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out, "20000\n7\n");
}

TEST_F(PsiLimits, TheTimeLimitEndsARunThatHasMoreInputToCome) {
  engine_.set_time_limit(0.1);
  // Unlike other errors, after which the input is read on.
  const auto o = run("printl(1)\n", {"while (1) x = 1\n", "printl(2)\n", "printl(3)\n"});
  EXPECT_EQ(o.out, "1\n");
  EXPECT_EQ(o.err, "(2/#143): PSI Error 143 = \"0.1\"\n");
}

TEST_F(PsiLimits, DoublingAStringEndsAtTheMemoryLimit) {
  engine_.set_memory_limit(kMegabyte);
  const auto o = run("s = \"x\"\nwhile (1) s = s + s\n");
  EXPECT_EQ(o.err, memory_error(2, kMegabyte));
  // The run's values are given back when the engine forgets them.
  EXPECT_GT(engine_.memory_held(), kMegabyte / 4);
  engine_.restart();
  EXPECT_EQ(engine_.memory_held(), 0u);
}

TEST_F(PsiLimits, ArraysAndTheStringsInThemCount) {
  // Should the strings escape the count, the element bound stops the loop.
  engine_.set_value_limits(ValueLimits{1000, 256u << 20});
  engine_.set_memory_limit(kMegabyte);
  auto o =
      run("big = \"x\"\ni = 0\nwhile (i < 16) {\n  big = big + big\n  i = i + 1\n}\n"
          "i = 0\nwhile (1) {\n  a[i] = big + str(65 + i % 26)\n  i = i + 1\n}\n");
  EXPECT_EQ(o.err, memory_error(9, kMegabyte));
  engine_.restart();
  // Elements of numbers: 8 bytes each, counted as the array grows.
  engine_.set_value_limits(ValueLimits{});
  o = run("i = 0\nwhile (1) {\n  n[i] = i\n  i = i + 1\n}\nprintl(i)\n");
  EXPECT_EQ(o.err, memory_error(3, kMegabyte));
  // A copy made when a shared array changes counts as well.
  engine_.restart();
  o = run("i = 0\nwhile (i < 100000) {\n  n[i] = i\n  i = i + 1\n}\nm = n\nm[0] = 1\n");
  EXPECT_EQ(o.err, memory_error(7, kMegabyte));
  // So do the results of built-ins.
  engine_.restart();
  o = run("s = \"x;\"\ni = 0\nwhile (i < 17) {\n  s = s + s\n  i = i + 1\n}\nparts = splitline(s, \";\")\n");
  EXPECT_EQ(o.err, memory_error(7, kMegabyte));
}

TEST_F(PsiLimits, WhatIsFreedIsGivenBack) {
  engine_.set_memory_limit(kMegabyte);
  // 1000 strings of 64 KB and arrays of 50,000 numbers, one at a time.
  const auto o =
      run("big = \"x\"\ni = 0\nwhile (i < 16) {\n  big = big + big\n  i = i + 1\n}\n"
          "i = 0\nwhile (i < 1000) {\n  s = big + \"y\"\n  t[0] = s\n  i = i + 1\n}\n"
          "i = 0\nwhile (i < 50000) {\n  n[i] = i\n  i = i + 1\n}\n"
          "k = 0\nwhile (k < 20) {\n  m = n\n  m[0] = k\n  k = k + 1\n}\n"
          "printl(strlen(t[0]), \" \", m[0])\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out, "65537 19\n");
}

TEST_F(PsiLimits, AScriptWithinTheLimitsRunsAsWithout) {
  const std::string text =
      "func fib(n) {\n  if (n < 2) return n\n  return fib(n - 1) + fib(n - 2)\n}\n"
      "printl(fib(18))\n"
      "i = 0\nwhile (i < 500) {\n  a[i] = sprint(\"item\", 500 - i)\n  i = i + 1\n}\n"
      "o = sort(a)\nprintl(a[o[0]], \" \", a[o[499]], \" \", dim(a))\n"
      "p = splitline(\"a;b;c\", \";\")\nprintl(p[2], strcat(p[0], p[1]))\n"
      "exit(3)\n";
  const Outcome free = run(text);
  engine_.restart();
  engine_.set_time_limit(30);
  engine_.set_memory_limit(kMegabyte);
  const Outcome bounded = run(text);
  EXPECT_EQ(bounded.err, "");
  EXPECT_EQ(bounded.out, free.out);
  EXPECT_EQ(bounded.value, 3);
  EXPECT_EQ(free.out, "2584\nitem1 item99 500\ncab\n");
}

TEST_F(PsiLimits, LimitsOutliveRestartAndSetup) {
  engine_.set_time_limit(0.1);
  engine_.set_memory_limit(kMegabyte);
  run("x = 1\n");
  engine_.restart();
  EXPECT_EQ(run("while (1) {\n}\n").err, error_at(1, err::kTimeLimit, "0.1"));
  engine_.restart();
  // setup() initialises the engine anew within the run.
  EXPECT_EQ(run("setup(0, 0, 0)\nwhile (1) {\n}\n").err, error_at(2, err::kTimeLimit, "0.1"));
  engine_.restart();
  EXPECT_EQ(run("s = \"x\"\nwhile (1) s = s + s\n").err, memory_error(2, kMegabyte));
}

}  // namespace
}  // namespace corvanta::psi
