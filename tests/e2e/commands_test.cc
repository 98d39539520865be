// The shell's commands end to end: dispatch with its job and command-log
// bookkeeping, HELP, VIEWLOG, EXECUTE and the user commands.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "commands/command_table.h"
#include "installation.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "login user=sys pass=KWP\n";

TEST(Commands, HelpListsTheTableInOrder) {
  Installation inst;
  const RunResult r = inst.run(std::string(kLogin) + "Help\nend\n");
  std::string expected;
  for (const CommandEntry& row : command_table()) {
    if (!row.name.empty()) expected += std::string(row.name) + "\n";
  }
  EXPECT_EQ(command_table().size(), 137u);  // 136 commands and the end row
  EXPECT_NE(r.output.find(expected), std::string::npos);
}

TEST(Commands, UnknownWordRunsNoJob) {
  Installation inst;
  const RunResult r = inst.run(std::string(kLogin) + "NOSUCH X=1\nend\n");
  EXPECT_NE(r.output.find("Invalid command \"NOSUCH\""), std::string::npos);
  EXPECT_EQ(r.output.find("JOB "), std::string::npos);
  EXPECT_EQ(inst.read("temp/util.log").find("JOB "), std::string::npos);
  EXPECT_EQ(inst.read("temp/job.seq"), std::string("\0\0\0\0\0\0\0\x01\0\0\0\x64", 12));
  EXPECT_FALSE(std::filesystem::exists(inst.path("temp/prot.0001")));
}

TEST(Commands, JobsGetNumbersRecordsProtocolsAndLogLines) {
  Installation inst;
  const RunResult r = inst.run(std::string(kLogin) + "USER_LIST\nAPPEAL POOL=A\nVIEWLOG\nend\n");
  const std::string log = inst.read("temp/util.log");
  const std::regex start("JOB 000001 USER_LIST \\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d START\n");
  EXPECT_TRUE(std::regex_search(log, start)) << log;
  EXPECT_TRUE(contains(log, {" END\n", "JOB 000002 APPEAL ", " CANCELLED: 0160\n"}));
  // A failing logged command is reported with its word and with its line.
  EXPECT_TRUE(contains(r.output, {"\nAPPEAL : 160 - ", "\nAPPEAL POOL=A : 160 - "}));

  const std::string protocol = inst.read("temp/prot.0001");
  EXPECT_TRUE(contains(protocol, {"JOB 000001 USER_LIST", "SYS"}));
  EXPECT_NE(inst.read("temp/prot.0002").find("APPEAL : 160"), std::string::npos);

  // VIEWLOG lists the newest job first; it runs without a job of its own.
  const std::size_t save = r.output.find("000002 APPEAL     SYS        -160 ");
  const std::size_t list = r.output.find("000001 USER_LIST  SYS        0000 ");
  ASSERT_NE(save, std::string::npos) << r.output;
  ASSERT_NE(list, std::string::npos);
  EXPECT_LT(save, list);
  EXPECT_NE(r.output.find("JOBNO=1 "), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(inst.path("temp/job.log")), 3636u);
}

TEST(Commands, JobProtocolPrefixComesFromTheConfiguration) {
  Installation inst;
  inst.edit("etc/corvanta.cfg", "UtilProt=../temp/prot", "UtilProt=../temp/jp");
  inst.edit("etc/corvanta.cfg", "MaxJobNo=100", "MaxJobNo=3");
  (void)inst.run(std::string(kLogin) + "USER_LIST\nUSER_LIST\nUSER_LIST\nUSER_LIST\nend\n");
  EXPECT_TRUE(std::filesystem::exists(inst.path("temp/jp.0003")));
  EXPECT_FALSE(std::filesystem::exists(inst.path("temp/jp.0004")));  // the fourth job is number 1 again
  EXPECT_EQ(std::filesystem::file_size(inst.path("temp/job.log")), 4u * 36u);
  EXPECT_EQ(inst.read("temp/job.seq").substr(0, 4), std::string("\0\0\0\x01", 4));
}

TEST(Commands, UserCommandsEndToEnd) {
  Installation inst;
  const RunResult r = inst.run(std::string(kLogin) +
                               "USER_ADD NAME=meier GROUP=3 PERM=\"SEA+CAT ADM\"\n"
                               "USER_ADD NAME=leser PERM=SEA+XYZ\n"
                               "USER_INFO NAME=Meier\n"
                               "USER_UPD NAME=leser GROUP=5\n"
                               "USER_COPY NAME=leser TO=kopie\n"
                               "USER_UPD NAME=SYS GROUP=1\n"
                               "USER_UPD NAME=SYS2\n"
                               "USER_DEL NAME=SYS\n"
                               "USER_DEL NAME=kopie\n"
                               "USER_ADD NAME=profil POOL=A\n"
                               "USER_ADD\n"
                               "USER_LIST\n"
                               "end\n");
  const std::string table = inst.read("etc/users.tab");
  const std::string no_more(16, '0');
  EXPECT_TRUE(contains(table, {"\nMEIER     3"
                               "0000"
                               "11000000"
                               "10000000" +
                                   no_more,
                               "\nLESER     5"
                               "0000"
                               "10000000"
                               "00000000" +
                                   no_more}));
  EXPECT_TRUE(lacks(table, {"KOPIE", "PROFIL"}));
  EXPECT_TRUE(contains(r.output, {"Unbekanntes Recht XYZ ignoriert\n", "NAME=MEIER ", "GROUP=03 ",
                                  "PERM=SEA+CAT+ADM ", "USER_UPD NAME=SYS GROUP=1 : 129 - ",
                                  "USER_UPD NAME=SYS2 : 124 - ", "USER_DEL NAME=SYS : 129 - "}));
  EXPECT_NE(r.output.find("USER_ADD NAME=profil POOL=A : 206 - "), std::string::npos);  // pool not set up
  EXPECT_TRUE(contains(r.output, {"USER_ADD : 124 - ", "     MEIER  03         ADM\n          +SEA+CAT+ADM\n",
                                  "     LESER  05         \n          +SEA\n"}));
  EXPECT_NE(inst.read("temp/util.log").find("NAME=MEIER GROUP=3 POOL=\n"), std::string::npos);

  // The new users log in with their names as passwords, in upper case.
  const RunResult again = inst.run(
      "login user=leser pass=leser\n"
      "login user=leser pass=LESER\n"
      "USER_LIST\n"
      "login user=meier pass=MEIER\n"
      "USER_DEL NAME=meier\n"
      "USER_UPD NAME=meier PERM=SEA\n"
      "USER_DEL NAME=leser\n"
      "end\n");
  EXPECT_TRUE(contains(again.output, {"LOGIN : 125 - ", "USER_LIST : 129 - ", "USER_DEL NAME=meier : 128 - ",
                                      "USER_UPD NAME=meier PERM=SEA : 128 - "}));
  EXPECT_EQ(inst.read("etc/users.tab").find("LESER"), std::string::npos);
  EXPECT_NE(inst.read("etc/users.tab").find("MEIER"), std::string::npos);
}

TEST(Commands, CommandFilesRunLineByLine) {
  Installation inst;
  inst.write("work/cmds.txt",
             "! a comment\n"
             "* another\n"
             "\n"
             "USER_ADD NAME=eins\n"
             "NOSUCH\n"
             "USER_LIST POOL=B\n"
             "USER_ADD NAME=zwei\n"
             "HELP\n");
  inst.write("work/loop.txt", "EXECUTE COMMAND=loop.txt\n");
  inst.write("work/own.txt", "USER_ADD NAME=drei\nUSER_ADD NAME=vier POOL=\n");
  const RunResult r = inst.run(std::string(kLogin) +
                               "EXECUTE COMMAND=cmds.txt\n"
                               "EXECUTE COMMAND=missing.txt\n"
                               "EXECUTE\n"
                               "EXECUTE COMMAND=loop.txt\n"
                               "EXECUTE COMMAND=own.txt POOL=C\n"
                               "DOWN SUBLIB=HB1\n"
                               "end\n");
  const std::string table = inst.read("etc/users.tab");
  // POOL=B from the line before is inherited, and so is a command file's
  // own POOL=C; a value written on the line wins over the inherited one.
  EXPECT_TRUE(contains(table, {"EINS", "VIER"}));
  EXPECT_TRUE(lacks(table, {"ZWEI", "DREI"}));
  EXPECT_TRUE(contains(r.output, {"USER_LIST POOL=B\n : 151 - ", "USER_ADD NAME=zwei\n : 151 - ",
                                  "USER_ADD NAME=drei\n : 151 - "}));
  EXPECT_TRUE(lacks(r.output, {"DOWN SUBLIB=HB1 : "}));  // SYS may
  EXPECT_EQ(r.output.find("Invalid command"), std::string::npos);
  EXPECT_EQ(r.output.find("APPEAL"), std::string::npos);  // HELP has no handler: skipped
  EXPECT_TRUE(contains(r.output, {"EXECUTE COMMAND=missing.txt : 11 - ", "\nEXECUTE : 11 - ",
                                  "EXECUTE COMMAND=loop.txt\n : 162 - "}));
  const std::string log = inst.read("temp/util.log");
  EXPECT_TRUE(contains(log, {" COMMAND=cmds.txt\n", " NOSUCH\n"}));
  EXPECT_EQ(count(r.output, "JOB 000001 EXECUTE"), 2u);
}

}  // namespace
}  // namespace corvanta::testing
