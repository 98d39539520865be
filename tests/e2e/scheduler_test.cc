// The service driven as a scheduler drives it: a command file on standard
// input, nobody to answer. Nothing is asked, no line is taken for an
// answer, and what cannot be done is refused before anything is written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "installation.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "LOGIN USER=SYS PASS=KWP\n";

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult r =
        inst_.run(std::string(kLogin) + "POOL_INIT POOL=A\nLOAD POOL=A DATA=../data/sample.unl\n");
    ASSERT_EQ(r.exit_status, 0) << r.output;
  }
  Installation inst_;
};

TEST_F(SchedulerTest, AFailedLoginIsLoggedAndTheNextLinesStayCommands) {
  const RunResult r = inst_.run(
      "LOGIN USER=SYS PASS=wrong\n"
      "UNLOAD POOL=A DATA=../temp/a1.unl\n" +
          std::string(kLogin) + "UNLOAD POOL=A DATA=../temp/a2.unl\nend\n",
      "--status");
  EXPECT_TRUE(contains(r.output, {"LOGIN : 125 - ", "LOGIN : 124 - "}));
  EXPECT_TRUE(lacks(r.output, {"USER  : ", "PASS  : "}));
  EXPECT_FALSE(std::filesystem::exists(inst_.path("temp/a1.unl")));
  EXPECT_TRUE(std::filesystem::exists(inst_.path("temp/a2.unl")));
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(contains(inst_.read("temp/util.log"), {"LOGIN : 125 - Kennwort falsch", "LOGIN : 124 - "}));
}

TEST_F(SchedulerTest, AQuestionIsNeverAnsweredByTheNextLine) {
  ASSERT_EQ(inst_.run(std::string(kLogin) + "SAVE POOL=A\nend\n").exit_status, 0);
  // The installation asks before a restore (Confirm=Y): from a command file
  // the command is refused, and the line after it runs as a command.
  const RunResult r = inst_.run(
      std::string(kLogin) + "RESTORE POOL=A\nUNLOAD POOL=A DATA=../temp/after.unl\nend\n", "--status");
  EXPECT_TRUE(contains(r.output, {"CONFIRM=N : 173 - ", "CANCELLED: 0173"}));
  EXPECT_TRUE(std::filesystem::exists(inst_.path("temp/after.unl")));
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(inst_.run(std::string(kLogin) + "RESTORE POOL=A CONFIRM=N\nend\n").output.find("RESTORE 20"),
            std::string::npos);
}

TEST_F(SchedulerTest, MissingTablesAreRefusedBeforeAnythingIsWritten) {
  const RunResult r =
      inst_.run(std::string(kLogin) +
                "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/sample.unl CONVIN=../data/none\n"
                "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/out1.txt CONVOUT=../data/none\n"
                "EXPORT POOL=A FILE=BIB TYPE=CSV DATA=../data/out2.csv\n"
                "end\n");
  EXPECT_TRUE(contains(r.output, {"../data/none.BIB : 13 - ", "CONVOUT : 11 - "}));
  EXPECT_EQ(count(r.output, "CANCELLED: 00"), 3u) << r.output;
  EXPECT_FALSE(std::filesystem::exists(inst_.path("data/out1.txt")));
  EXPECT_FALSE(std::filesystem::exists(inst_.path("data/out2.csv")));
  EXPECT_TRUE(lacks(r.output, {"Gelesen: "}));
}

}  // namespace
}  // namespace corvanta::testing
