// The service as a whole: start-up, the command loop, logins and shutdown,
// run as a real process on a temporary installation.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "installation.h"
#include "shell/users.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "login user=sys pass=KWP\n";

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Service, BannerPromptAndEnd) {
  Installation inst;
  const RunResult r = inst.run("end\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "\nCorvanta 5.1 Batch Service\n\n\nCMD> ");
  const std::string log = inst.read("temp/server.log");
  ASSERT_EQ(count(log, "\n"), 2u);
  EXPECT_EQ(log.size(), 2 * 20 + 6 + 4);  // "YYYY/MM/DD HH:MI:SS START\n" and "... END\n"
  EXPECT_NE(log.find(" START\n"), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 5), " END\n");
}

TEST(Service, EmptyAndCommentLinesBringNoPrompt) {
  Installation inst;
  const RunResult r = inst.run("\n* a comment\n\nEnd\n");
  EXPECT_EQ(count(r.output, "CMD> "), 1u);
  const RunResult r2 = inst.run(std::string(kLogin) + "\nfoo\nEND\n");
  EXPECT_EQ(count(r2.output, "CMD> "), 3u);
}

TEST(Service, EndOfInputEndsLikeEnd) {
  Installation inst;
  const RunResult r = inst.run(kLogin);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(inst.read("temp/server.log").find(" END\n"), std::string::npos);
  const RunResult partial = inst.run("help");  // a last line without newline still runs
  EXPECT_NE(partial.output.find("USER  : "), std::string::npos);
}

TEST(Service, FirstCommandPromptsForLogin) {
  Installation inst;
  const RunResult ok = inst.run("help\nsys\nKWP\nend\n");
  EXPECT_NE(ok.output.find("CMD> \nLOGIN\nUSER  : \nPASS  : \nAPPEAL\nACQ_METHOD\n"), std::string::npos);
  EXPECT_NE(ok.output.find("\nRFID\n"), std::string::npos);

  const RunResult bad = inst.run("help\nSYS\nwrong\nend\n");
  EXPECT_NE(bad.output.find("LOGIN : 125 - Kennwort falsch\n"), std::string::npos);
  EXPECT_EQ(bad.output.find("APPEAL"), std::string::npos);  // the command was dropped
}

TEST(Service, LoginCommandPromptsOnlyForWhatIsMissing) {
  Installation inst;
  const RunResult r = inst.run("login user=sys\nKWP\nhelp\nend\n");
  EXPECT_EQ(r.output.find("USER  : "), std::string::npos);
  EXPECT_NE(r.output.find("CMD> \nPASS  : \n"), std::string::npos);
  EXPECT_NE(r.output.find("APPEAL"), std::string::npos);
}

TEST(Service, ThirdFailedLoginEndsTheService) {
  Installation inst;
  const RunResult r = inst.run(
      "login user=x pass=y\n"
      "login user=sys pass=kwp\n"
      "login user=sys pass=KWP\n"
      "login user=waytoolongname pass=y\n"
      "help\n");
  EXPECT_EQ(count(r.output, "LOGIN : 124 - Benutzer unbekannt\n"), 2u);
  EXPECT_EQ(count(r.output, "LOGIN : 125 - Kennwort falsch\n"), 1u);
  EXPECT_NE(r.output.find("Exit after 3 invalid attempts - Sorry\n"), std::string::npos);
  EXPECT_EQ(r.output.find("APPEAL"), std::string::npos);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(inst.read("temp/server.log").find(" END\n"), std::string::npos);
}

TEST(Service, CommandsAnswerWithMessages) {
  Installation inst;
  User reader;
  reader.name = "LESER";
  reader.password = "LESEN";
  reader.set_permission(1, true);
  inst.write("etc/users.tab", inst.read("etc/users.tab") + format_user_line(reader));

  const RunResult r = inst.run(std::string(kLogin) +
                               "bogus a=1\n"
                               "APPEAL POOL=A\n"
                               "down\n"
                               "login user=leser pass=LESEN\n"
                               "DOWN\n"
                               "SETSHUT TIME=2200\n"
                               "end\n");
  EXPECT_NE(r.output.find("Invalid command \"BOGUS\" - type \"help\" for list of services\n"),
            std::string::npos);
  EXPECT_NE(r.output.find("APPEAL POOL=A : 160 - Befehl ist in dieser Installation nicht verf"),
            std::string::npos);
  EXPECT_EQ(r.output.find("down : 129"), std::string::npos);
  EXPECT_NE(r.output.find("DOWN : 129 - Berechtigung fehlt\n"), std::string::npos);
  EXPECT_NE(r.output.find("SETSHUT TIME=2200 : 129 - Berechtigung fehlt\n"), std::string::npos);
}

// A line over 1000 characters runs in no part, neither typed nor in a
// command file: its rest must not become a command of its own (here one
// that would delete a pool's files). A line of exactly 1000 runs.
TEST(Service, OverlongLinesRunInNoPart) {
  Installation inst;
  const std::string overlong = "HELP " + std::string(995, 'X') + "DELETE POOL=A FILES=ALL\n";
  const std::string exact = "HELP " + std::string(995, 'Y') + "\n";
  inst.write("temp/cmds.txt", overlong + exact);
  const RunResult r =
      inst.run(std::string(kLogin) + overlong + exact + "EXECUTE COMMAND=../temp/cmds.txt\nend\n");
  const std::string refused = "HELP XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX... : 163 - Befehlszeile";
  std::size_t count = 0;
  for (std::size_t at = r.output.find(refused); at != std::string::npos; at = r.output.find(refused, at + 1))
    ++count;
  EXPECT_EQ(count, 2u) << r.output;
  EXPECT_EQ(r.output.find("DELETE POOL=A"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("DBM: DELETE"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("APPEAL"), std::string::npos);  // the line of exactly 1000 ran
}

// The exit status tells a scheduler about failures only when asked to.
TEST(Service, StatusOptionHelpAndVersion) {
  Installation inst;
  const std::string good = std::string(kLogin) + "help\nend\n";
  const std::string bad = std::string(kLogin) + "USER_LIST POOL=Q\nhelp\nend\n";
  EXPECT_EQ(inst.run(good, "--status").exit_status, 0);
  EXPECT_EQ(inst.run(bad, "--status").exit_status, 1);
  EXPECT_EQ(inst.run(bad).exit_status, 0);
  EXPECT_EQ(inst.run("login user=sys pass=WRONG\nend\n", "--status").exit_status, 1);
  RunResult r = inst.run("", "--version");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "Corvanta 5.1 Batch Service\n");
  r = inst.run("", "--help");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.output.find("--status"), std::string::npos);
  EXPECT_EQ(inst.run("", "--nonsense").exit_status, 2);
}

TEST(Service, MissingConfigurationEndsQuietly) {
  Installation inst;
  std::filesystem::remove(inst.path("etc/corvanta.cfg"));
  const RunResult r = inst.run("end\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "Configuration : 3 - \n");
}

TEST(Service, UsersTableIsCreatedWhenMissing) {
  Installation inst;
  std::filesystem::remove(inst.path("etc/users.tab"));
  const RunResult r = inst.run(std::string(kLogin) + "help\nend\n");
  EXPECT_NE(r.output.find("APPEAL"), std::string::npos);
  EXPECT_EQ(inst.read("etc/users.tab").substr(0, 10), "SYS       ");
}

TEST(Service, FailedInitialisationIsReported) {
  Installation inst;
  std::string cfg = inst.read("etc/corvanta.cfg");
  cfg.replace(cfg.find("UserTab=../etc/users.tab"), 24, "UserTab=../nowhere/users.tab");
  inst.write("etc/corvanta.cfg", cfg);
  const RunResult r = inst.run("end\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.output.find("Corvanta 5.1 Batch Service\n"), std::string::npos);
  EXPECT_NE(r.output.find("Initialization : 126 - Benutzertabelle kann nicht"), std::string::npos);
  EXPECT_EQ(r.output.find("CMD> "), std::string::npos);
}

// The job file holds MaxJobNo + 1 records, numbered with six digits: a
// larger value fails the start-up before any file is made.
TEST(Service, MaxJobNoIsBoundedByTheJobFile) {
  for (const char* value : {"4294967295", "1000000"}) {
    Installation inst;
    std::string cfg = inst.read("etc/corvanta.cfg");
    cfg.replace(cfg.find("MaxJobNo=100"), 12, std::string("MaxJobNo=") + value);
    inst.write("etc/corvanta.cfg", cfg);
    const RunResult r = inst.run("end\n");
    EXPECT_NE(r.output.find("Initialization : 164 - MaxJobNo"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(inst.path("temp/job.seq")));
    EXPECT_FALSE(std::filesystem::exists(inst.path("temp/job.log")));
  }
  Installation inst;
  std::string cfg = inst.read("etc/corvanta.cfg");
  cfg.replace(cfg.find("MaxJobNo=100"), 12, "MaxJobNo=999999");
  inst.write("etc/corvanta.cfg", cfg);
  const RunResult r = inst.run(std::string(kLogin) + "VIEWLOG\nend\n");
  EXPECT_EQ(r.output.find("Initialization"), std::string::npos) << r.output;
  EXPECT_EQ(std::filesystem::file_size(inst.path("temp/job.log")), 1000000u * 36u);
}

TEST(Service, GarbledConfigurationDoesNotCrash) {
  Installation inst;
  std::mt19937 rng(7);
  for (int round = 0; round < 5; ++round) {
    std::string junk(4000, '\0');
    for (char& c : junk) c = static_cast<char>(rng() % 256);
    inst.write("etc/corvanta.cfg", junk);
    const RunResult r = inst.run(std::string(kLogin) + "help\nend\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.output.find("Batch Service"), std::string::npos);
  }
}

TEST(Service, DictionariesLoadAtStartUp) {
  Installation inst;
  const RunResult clean = inst.run("end\n");
  EXPECT_EQ(clean.output.find("ERROR"), std::string::npos) << clean.output;
  EXPECT_EQ(clean.output.find("LABEL"), std::string::npos);

  std::string dic = inst.read("etc/library.dic");
  dic.replace(dic.find("\n(LOATAGS)\n"), 11, "\n(LOATAGZ)\n");
  inst.write("etc/library.dic", dic);
  const RunResult broken = inst.run("end\n");
  EXPECT_NE(broken.output.find("\nLABEL LOATAGS NOT DEFINED\nInitialization : 146 - "), std::string::npos)
      << broken.output;
  EXPECT_EQ(broken.output.find("CMD> "), std::string::npos);
  EXPECT_EQ(broken.exit_status, 0);
}

TEST(Service, TooManyDictionaryFilesFailTheStartUp) {
  Installation inst;
  std::string cfg = inst.read("etc/corvanta.cfg");
  std::string lines;
  for (int i = 0; i < 50; ++i) lines += "DataDict=../etc/library.dic\n";
  cfg.replace(cfg.find("DataDict=../etc/library.dic\n"), 28, lines);
  inst.write("etc/corvanta.cfg", cfg);
  const RunResult r = inst.run("end\n");
  EXPECT_NE(r.output.find("MORE THAN 49 DataDict FILES"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Initialization : 148 - "), std::string::npos);
}

TEST(Service, MessagesPassTheOutputTable) {
  Installation inst;
  inst.write("etc/iso.tab", "* B becomes X\n66 88\n");
  std::string cfg = inst.read("etc/corvanta.cfg");
  cfg.replace(cfg.find("(Templates)\n"), 12, "(Templates)\nISOSet=../etc/iso.tab\n");
  inst.write("etc/corvanta.cfg", cfg);
  const RunResult r = inst.run("login user=nobody pass=x\nend\n");
  EXPECT_NE(r.output.find("LOGIN : 124 - Xenutzer unbekannt\n"), std::string::npos) << r.output;
}

TEST(Service, UtilityLogIsOpenedAtStartUp) {
  Installation inst;
  (void)inst.run("end\n");
  EXPECT_TRUE(std::filesystem::exists(inst.path("temp/util.log")));
}

}  // namespace
}  // namespace corvanta::testing
