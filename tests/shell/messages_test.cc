#include "shell/messages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "scratch_dir.h"

namespace corvanta {
namespace {

class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("msg");
    write(dir_ + "/main.cfg", "(Messages)\nGER=" + dir_ + "/ger.msg\nENG=" + dir_ + "/eng.msg\n");
    write(dir_ + "/ger.msg",
          "(Common)\n0124=Benutzer unbekannt\n(Util)\n0007=Datei %s gelesen\n0008=ohne Einsetzung\n");
    write(dir_ + "/eng.msg", "(Common)\n0124=Unknown user\n");
    ASSERT_EQ(configs_.load_main_path(dir_ + "/main.cfg").code(), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

  std::string dir_;
  config::ConfigTable configs_;
};

TEST_F(MessagesTest, LanguagesLoadWhenSelected) {
  MessageCatalogue catalogue(configs_, "Messages");
  ASSERT_EQ(catalogue.init(config::kMainConfig).code(), 0);
  EXPECT_EQ(catalogue.text("Common", -124), "");  // nothing selected yet
  catalogue.select({});                           // the first in name order
  EXPECT_EQ(catalogue.current_language(), "ENG");
  EXPECT_EQ(catalogue.text("Common", -124), "Unknown user");
  catalogue.select("ger");
  EXPECT_EQ(catalogue.text("Common", 124), "Benutzer unbekannt");
  EXPECT_EQ(catalogue.text("Common", -999), "");
  catalogue.select("xyz");  // unknown: the first
  EXPECT_EQ(catalogue.current_language(), "ENG");
  catalogue.release();
  EXPECT_EQ(catalogue.text("Common", -124), "");
  EXPECT_FALSE(configs_.loaded(3));
}

TEST_F(MessagesTest, WithoutLanguagesTextsAreEmpty) {
  MessageCatalogue catalogue(configs_, "Missing");
  EXPECT_EQ(catalogue.init(config::kMainConfig).code(), -103);
  catalogue.select({});
  EXPECT_EQ(catalogue.text("Common", -124), "");
}

TEST_F(MessagesTest, ReporterLines) {
  MessageCatalogue catalogue(configs_, "Messages");
  ASSERT_EQ(catalogue.init(config::kMainConfig).code(), 0);
  catalogue.select("GER");
  std::FILE* screen = std::tmpfile();
  Reporter reporter(catalogue, screen, nullptr);
  reporter.error_message("LOGIN", -124);
  reporter.error_message("X", 0);
  reporter.screen_text("a.txt", 7);
  reporter.screen_text("a.txt", 8);
  reporter.screen_text("plain", 0);
  std::rewind(screen);
  char buf[512] = {};
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, screen);
  std::fclose(screen);
  EXPECT_EQ(std::string(buf, n),
            "LOGIN : 124 - Benutzer unbekannt\n"
            "X : 0 - \n"
            "Datei a.txt gelesen\n"
            "ohne Einsetzung\n"
            "plain\n");
}

TEST_F(MessagesTest, QuestionsWaitForYesOrNo) {
  MessageCatalogue catalogue(configs_, "Messages");
  ASSERT_EQ(catalogue.init(config::kMainConfig).code(), 0);
  struct Case {
    const char* input;
    bool answer;
  };
  for (const Case& c : {Case{"maybe\n\nja\n", true}, Case{"yes\n", true}, Case{"x\nNein\n", false},
                        Case{"", false}, Case{"what\n", false}}) {
    std::FILE* screen = std::tmpfile();
    std::FILE* input = std::tmpfile();
    std::fputs(c.input, input);
    std::rewind(input);
    Reporter reporter(catalogue, screen, input);
    EXPECT_EQ(reporter.question("Sure?", 0), c.answer) << c.input;
    std::fclose(input);
    std::fclose(screen);
  }
}

TEST_F(MessagesTest, CommandLogLines) {
  MessageCatalogue catalogue(configs_, "Messages");
  std::FILE* screen = std::tmpfile();
  Reporter reporter(catalogue, screen, nullptr);
  reporter.command_log_line(12, "SAVE", 1);
  reporter.command_log_line(12, "SAVE", 0);
  reporter.command_log_line(12, "SAVE", -12);
  std::rewind(screen);
  char buf[512] = {};
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, screen);
  std::fclose(screen);
  const std::string text(buf, n);
  // "JOB 000012 SAVE YYYY/MM/DD HH:MI:SS STATUS"
  ASSERT_EQ(text.size(), 3 * 36 + 6 + 4 + 16);
  EXPECT_EQ(text.substr(0, 16), "JOB 000012 SAVE ");
  EXPECT_EQ(text.substr(35, 7), " START\n");
  EXPECT_EQ(text.substr(text.size() - 17), " CANCELLED: 0012\n");
}

TEST(InsertText, KeepsTheLineWithinTwoHundredCharacters) {
  const std::string line = insert_text("Datei %s gelesen", std::string(300, 'x'));
  EXPECT_EQ(line.size(), 200u);
  EXPECT_EQ(line.substr(0, 6), "Datei ");
  EXPECT_EQ(line.substr(line.size() - 8), " gelesen");
  EXPECT_EQ(insert_text("no slot", "x"), "no slot");
  EXPECT_EQ(insert_text("%s", "abc"), "abc");
}

}  // namespace
}  // namespace corvanta
