// The setup table commands through the service, on a copy of the reference
// installation: import, listing, changes with the day's backup, restoring a
// block from it, and the export read back in.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "installation.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "login user=sys pass=KWP\n";

constexpr const char* kPolicy =
    "* Policy of the main library\n"
    "(Opening)\n"
    "####1224 = C\n"
    "\n"
    "(WeekdaysZB)\n"
    "Sun = C\n"
    "Sat = Closed\n"
    "\n"
    "(ReminderZB)\n"
    "####0 = PERIOD=7, LETTER=Y, FINE=1.50\n"
    "ABCD1 = PERIOD=14, LETTER=N\n";

class SetupCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.write("data/policy.txt", kPolicy);
    const RunResult r =
        inst_.run(std::string(kLogin) + "POOL_INIT POOL=A\nSETUP_IMP POOL=A DATA=../data/policy.txt\nend\n");
    ASSERT_EQ(r.exit_status, 0) << r.output;
    ASSERT_NE(r.output.find("POOL=A FILE=9 ISO=N DATA=../data/policy.txt"), std::string::npos) << r.output;
    ASSERT_NE(r.output.find("Geladen: 5"), std::string::npos) << r.output;
  }
  std::string run(const std::string& commands) {
    return inst_.run(std::string(kLogin) + commands + "end\n").output;
  }
  Installation inst_;
};

TEST_F(SetupCommandsTest, ListChangeAndRestoreABlock) {
  inst_.write("data/rows.txt", "Mon=Open late\nSun=C\n\n");
  const std::string out =
      run("SETUP_GET POOL=A SUBLIB=ZB BLOCK=weekdays\n"
          "SETUP_PUT POOL=A SUBLIB=ZB BLOCK=Weekdays DATA=../data/rows.txt\n"
          "SETUP_DEL POOL=A SUBLIB=ZB BLOCK=Weekdays ENTRY=Sat\n"
          "SETUP_GET POOL=A SUBLIB=ZB BLOCK=Weekdays\n");
  EXPECT_NE(out.find("---\nSat=Closed"), std::string::npos) << out;
  EXPECT_NE(out.find("Mon=Open late"), std::string::npos) << out;
  EXPECT_NE(out.find("POOL=A SUBLIB=ZB BLOCK=Weekdays ENTRY=Sat"), std::string::npos) << out;

  // One backup for the day, holding the block as it was before its first
  // change.
  const std::string backup = "save/WeekdaysZB_" + local_date("%y%m%d") + ".par";
  EXPECT_EQ(inst_.read(backup), "\n(WeekdaysZB)\nSat = Closed\nSun = C\n");

  const std::string restored =
      run("SETUP_LOD POOL=A SUBLIB=ZB BLOCK=Weekdays\n"
          "SETUP_GET POOL=A SUBLIB=ZB BLOCK=Weekdays\n");
  EXPECT_NE(restored.find("PATH=../save/WeekdaysZB_"), std::string::npos) << restored;
  EXPECT_NE(restored.find("Geladen: 2"), std::string::npos) << restored;
  EXPECT_NE(restored.find("Sat=Closed"), std::string::npos) << restored;
  EXPECT_EQ(restored.find("Mon=Open"), std::string::npos) << restored;

  // A whole block goes; a block without a backup of today cannot be restored.
  const std::string gone =
      run("SETUP_DLB POOL=A SUBLIB=ZB BLOCK=Reminder\n"
          "SETUP_GET POOL=A SUBLIB=ZB BLOCK=Reminder\n"
          "SETUP_LOD POOL=A SUBLIB=HB1 BLOCK=Reminder\n"
          "SETUP_GET POOL=A SUBLIB=ZB\n"
          "SETUP_DEL POOL=A SUBLIB=ZB BLOCK=Reminder\n");
  EXPECT_EQ(gone.find("PERIOD=7"), std::string::npos) << gone;
  EXPECT_NE(gone.find("SETUP_LOD POOL=A SUBLIB=HB1 BLOCK=Reminder : 31 - "), std::string::npos) << gone;
  EXPECT_NE(gone.find("SETUP_GET POOL=A SUBLIB=ZB : 11 - "), std::string::npos) << gone;
  EXPECT_NE(gone.find("SETUP_DEL POOL=A SUBLIB=ZB BLOCK=Reminder : 11 - "), std::string::npos) << gone;
  EXPECT_NE(inst_.read("save/ReminderZB_" + local_date("%y%m%d") + ".par").find("####0 = PERIOD=7"),
            std::string::npos);
}

TEST_F(SetupCommandsTest, ExportReadsBackToTheSameTables) {
  const std::string out =
      run("SETUP_EXP POOL=A DATA=../data/all.txt\n"
          "SETUP_EXP POOL=A DATA=../data/zb.txt SUBLIB=ZB BLOCK=Reminder\n");
  EXPECT_NE(out.find("Entladen: 5"), std::string::npos) << out;
  EXPECT_NE(out.find("Entladen: 2"), std::string::npos) << out;
  const std::string all = inst_.read("data/all.txt");
  EXPECT_EQ(all,
            "\n(Opening)\n####1224 = C\n"
            "\n(ReminderZB)\n####0 = PERIOD=7, LETTER=Y, FINE=1.50\nABCD1 = PERIOD=14, LETTER=N\n"
            "\n(WeekdaysZB)\nSat = Closed\nSun = C\n");
  EXPECT_EQ(inst_.read("data/zb.txt"),
            "\n(ReminderZB)\n####0 = PERIOD=7, LETTER=Y, FINE=1.50\nABCD1 = PERIOD=14, LETTER=N\n");

  // Into a fresh pool and out again: the same text. A file in ISO 8859-1
  // is read with ISO=Y.
  inst_.write("data/iso.txt",
              "(AddressZB)\nMAIN = Stra\xDF"
              "e 1\n");
  const std::string again =
      run("POOL_INIT POOL=A\n"
          "SETUP_IMP POOL=A DATA=../data/all.txt\n"
          "SETUP_IMP POOL=A DATA=../data/iso.txt ISO=Y\n"
          "SETUP_EXP POOL=A DATA=../data/again.txt\n");
  EXPECT_NE(again.find("Geladen: 5"), std::string::npos) << again;
  EXPECT_EQ(inst_.read("data/again.txt"),
            "\n(Opening)\n####1224 = C\n"
            "\n(AddressZB)\nMAIN = Straße 1\n"
            "\n(ReminderZB)\n####0 = PERIOD=7, LETTER=Y, FINE=1.50\nABCD1 = PERIOD=14, LETTER=N\n"
            "\n(WeekdaysZB)\nSat = Closed\nSun = C\n");
}

TEST_F(SetupCommandsTest, BadFilesEndWithTheirCodeAndChangeNothing) {
  const std::string out =
      run("SETUP_IMP POOL=A DATA=../data/missing.txt\n"
          "SETUP_IMP POOL=A DATA=/etc/passwd\n"
          "SETUP_PUT POOL=A SUBLIB=ZB BLOCK=Weekdays DATA=../data/missing.txt\n"
          "SETUP_EXP POOL=A DATA=../data/after.txt\n");
  EXPECT_NE(out.find("../data/missing.txt : 13 - "), std::string::npos) << out;
  EXPECT_NE(out.find("/etc/passwd : 168 - "), std::string::npos) << out;
  EXPECT_NE(out.find("Entladen: 5"), std::string::npos) << out;
  // Nothing changed, so nothing was backed up.
  EXPECT_FALSE(std::filesystem::exists(inst_.path("save/WeekdaysZB_" + local_date("%y%m%d") + ".par")));
}

}  // namespace
}  // namespace corvanta::testing
