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

TEST(Service, BannerPromptAndEnd) {
  Installation inst;
  const RunResult r = inst.run("end\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.output, "\nCorvanta 5.1 Batch Service\n\n\nCMD> ");
  EXPECT_TRUE(std::filesystem::exists(inst.path("temp/util.log")));
  const std::string log = inst.read("temp/server.log");
  ASSERT_EQ(count(log, "\n"), 2u);
  EXPECT_EQ(log.size(), 2 * 20 + 6 + 4);  // "YYYY/MM/DD HH:MI:SS START\n" and "... END\n"
  EXPECT_NE(log.find(" START\n"), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 5), " END\n");
}

// Sessions on the reference installation: what the output must and must
// not hold, how often some text occurs, the exit status.
struct Session {
  const char* name;
  std::string input;
  std::string options;
  std::vector<std::string> present, absent;
  std::vector<std::pair<std::string, std::size_t>> counted = {};
  int exit_status = 0;
};

TEST(Service, Sessions) {
  const std::string overlong = "HELP " + std::string(995, 'X') + "DELETE POOL=A FILES=ALL\n";
  const std::string exact = "HELP " + std::string(995, 'Y') + "\n";
  const std::string bad = std::string(kLogin) + "USER_LIST POOL=Q\nhelp\nend\n";
  const Session sessions[] = {
      {"comments bring no prompt", "\n* a comment\n\nEnd\n", "", {}, {}, {{"CMD> ", 1}}},
      {"unknown words do", std::string(kLogin) + "\nfoo\nEND\n", "", {}, {}, {{"CMD> ", 3}}},
      {"end of input ends like END", kLogin, "", {}, {}},
      {"a last line without newline runs", "help", "", {"LOGIN : 124 - "}, {"USER  : "}},
      // Without a terminal nothing is asked: a command before the login is
      // refused, and the lines after it stay commands.
      {"a command file's first command needs a LOGIN line",
       "help\nlogin user=sys pass=KWP\nhelp\nend\n",
       "",
       {"CMD> LOGIN : 124 - Benutzer unbekannt\n", "APPEAL\nACQ_METHOD\n", "\nRFID\n"},
       {"USER  : ", "PASS  : "},
       {{"APPEAL", 1}}},
      {"a failed LOGIN swallows no line",
       "login user=sys pass=wrong\nhelp\nlogin user=sys pass=KWP\nhelp\nend\n",
       "",
       {"LOGIN : 125 - Kennwort falsch\n", "LOGIN : 124 - "},
       {"USER  : "},
       {{"APPEAL", 1}}},
      {"LOGIN without a password reads none",
       "login user=sys\nlogin user=sys pass=KWP\nhelp\nend\n",
       "",
       {"LOGIN : 124 - ", "APPEAL"},
       {"PASS  : "}},
      {"the third failed login ends the service",
       "login user=x pass=y\nlogin user=sys pass=kwp\nlogin user=sys pass=KWP\n"
       "login user=waytoolongname pass=y\nhelp\n",
       "",
       {"Exit after 3 invalid attempts - Sorry\n"},
       {"APPEAL"},
       {{"LOGIN : 124 - Benutzer unbekannt\n", 2}, {"LOGIN : 125 - Kennwort falsch\n", 1}}},
      // A line over 1000 characters runs in no part, neither typed nor in a
      // command file: its rest must not become a command of its own. A line
      // of exactly 1000 runs.
      {"overlong lines run in no part",
       std::string(kLogin) + overlong + exact + "EXECUTE COMMAND=../temp/cmds.txt\nend\n",
       "",
       {"APPEAL"},
       {"DELETE POOL=A", "DBM: DELETE"},
       {{"HELP XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX... : 163 - Befehlszeile", 2}}},
      // The exit status tells a scheduler about failures only when asked to.
      {"--status after success", std::string(kLogin) + "help\nend\n", "--status", {}, {}, {}, 0},
      {"--status after a failure", bad, "--status", {}, {}, {}, 1},
      {"a failure without --status", bad, "", {}, {}, {}, 0},
      {"--status after a failed login", "login user=sys pass=WRONG\nend\n", "--status", {}, {}, {}, 1},
      {"--version", "", "--version", {"Corvanta 5.1 Batch Service\n"}, {"CMD> "}},
      {"--help", "", "--help", {"--status"}, {}},
      {"an unknown option", "", "--nonsense", {}, {}, {}, 2},
  };
  Installation inst;
  inst.write("temp/cmds.txt", overlong + exact);
  for (const Session& s : sessions) {
    SCOPED_TRACE(s.name);
    const RunResult r = inst.run(s.input, s.options);
    EXPECT_EQ(r.exit_status, s.exit_status) << r.output;
    for (const std::string& p : s.present) EXPECT_TRUE(contains(r.output, {p}));
    for (const std::string& p : s.absent) EXPECT_TRUE(lacks(r.output, {p}));
    for (const auto& [text, n] : s.counted) EXPECT_EQ(count(r.output, text), n) << r.output;
    const std::string log = inst.read("temp/server.log");
    EXPECT_EQ(log.substr(log.size() - 5), " END\n");
  }
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
  EXPECT_TRUE(contains(
      r.output, {"Invalid command \"BOGUS\" - type \"help\" for list of services\n",
                 "APPEAL POOL=A : 160 - Befehl ist in dieser Installation nicht verf",
                 "DOWN : 129 - Berechtigung fehlt\n", "SETSHUT TIME=2200 : 129 - Berechtigung fehlt\n"}));
  EXPECT_TRUE(lacks(r.output, {"down : 129"}));
}

// Start-ups of a changed installation: the change, and what the output must
// and must not hold.
struct StartUp {
  const char* name;
  std::string file, from, to;
  std::vector<std::string> present, absent;
};

TEST(Service, StartUps) {
  std::string dictionaries;
  for (int i = 0; i < 50; ++i) dictionaries += "DataDict=../etc/library.dic\n";
  const StartUp cases[] = {
      {"unchanged", "", "", "", {"\nCMD> "}, {"ERROR", "LABEL"}},
      {"a missing users table", "etc/users.tab", "", "", {"\nCMD> "}, {"Initialization"}},
      {"an unreachable users table",
       "etc/corvanta.cfg",
       "UserTab=../etc/users.tab",
       "UserTab=../nowhere/users.tab",
       {"Batch Service\n", "Initialization : 126 - Benutzertabelle kann nicht"},
       {"CMD> "}},
      {"a dictionary label missing",
       "etc/library.dic",
       "\n(LOATAGS)\n",
       "\n(LOATAGZ)\n",
       {"\nLABEL LOATAGS NOT DEFINED\nInitialization : 146 - "},
       {"CMD> "}},
      {"too many dictionaries",
       "etc/corvanta.cfg",
       "DataDict=../etc/library.dic\n",
       dictionaries,
       {"MORE THAN 49 DataDict FILES", "Initialization : 148 - "},
       {"CMD> "}},
      // The job file holds MaxJobNo + 1 records, numbered with six digits: a
      // larger value fails the start-up before any file is made.
      {"MaxJobNo beyond 32 bits",
       "etc/corvanta.cfg",
       "MaxJobNo=100",
       "MaxJobNo=4294967295",
       {"Initialization : 164 - MaxJobNo"},
       {"CMD> "}},
      {"MaxJobNo beyond six digits",
       "etc/corvanta.cfg",
       "MaxJobNo=100",
       "MaxJobNo=1000000",
       {"Initialization : 164 - MaxJobNo"},
       {"CMD> "}},
      {"messages pass the output table",
       "etc/corvanta.cfg",
       "(Templates)\n",
       "(Templates)\nISOSet=../etc/iso.tab\n",
       {"LOGIN : 124 - Xenutzer unbekannt\n"},
       {}},
  };
  for (const StartUp& c : cases) {
    SCOPED_TRACE(c.name);
    Installation inst;
    inst.write("etc/iso.tab", "* B becomes X\n66 88\n");
    if (c.from.empty() && !c.file.empty()) std::filesystem::remove(inst.path(c.file));
    if (!c.from.empty()) inst.edit(c.file, c.from, c.to);
    const RunResult r = inst.run("login user=nobody pass=x\nend\n");
    EXPECT_EQ(r.exit_status, 0);
    for (const std::string& p : c.present) EXPECT_TRUE(contains(r.output, {p}));
    for (const std::string& p : c.absent) EXPECT_TRUE(lacks(r.output, {p}));
    if (c.from.starts_with("MaxJobNo")) {
      EXPECT_FALSE(std::filesystem::exists(inst.path("temp/job.seq")));
      EXPECT_FALSE(std::filesystem::exists(inst.path("temp/job.log")));
    }
    if (c.file == "etc/users.tab") {
      EXPECT_EQ(inst.read("etc/users.tab").substr(0, 10), "SYS       ");
    }
  }

  Installation inst;
  inst.edit("etc/corvanta.cfg", "MaxJobNo=100", "MaxJobNo=999999");
  const RunResult r = inst.run(std::string(kLogin) + "VIEWLOG\nend\n");
  EXPECT_TRUE(lacks(r.output, {"Initialization"}));
  EXPECT_EQ(std::filesystem::file_size(inst.path("temp/job.log")), 1000000u * 36u);

  std::filesystem::remove(inst.path("etc/corvanta.cfg"));
  EXPECT_EQ(inst.run("end\n").output, "Configuration : 3 - \n");
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

}  // namespace
}  // namespace corvanta::testing
