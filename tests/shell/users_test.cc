#include "shell/users.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "scratch_dir.h"
#include "shell/codes.h"

namespace corvanta {
namespace {

class UsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("users");
    path_ = dir_ + "/users.tab";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string read_all() const { return corvanta::testing::read_file(path_); }

  std::string dir_;
  std::string path_;
};

TEST(Scramble, IsReversibleAndKeepsTheLength) {
  std::mt19937 rng(99);
  for (int i = 0; i < 2000; ++i) {
    std::string p(rng() % 11, ' ');
    for (char& c : p) c = static_cast<char>(32 + rng() % 95);
    const std::string s = scramble(p);
    EXPECT_EQ(s.size(), p.size());
    EXPECT_EQ(unscramble(s), p);
  }
  EXPECT_NE(scramble("KWP"), "KWP");
}

TEST(UserLine, FormatAndParseAgree) {
  User u;
  u.name = "MEIER";
  u.password = "GEHEIM";
  u.group = 3;
  u.set_permission(1, true);
  u.set_permission(2, true);
  u.set_permission(9, true);
  u.set_permission(32, true);
  const std::string line = format_user_line(u);
  EXPECT_EQ(line.substr(0, 47),
            std::string("MEIER     ") + "3" + "0000" + "11000000" + "10000000" + "00000000" + "00000001");
  EXPECT_EQ(line.size(), 47u + 6u + 1u);
  const auto back = parse_user_line(line);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->name, "MEIER");
  EXPECT_EQ(back->password, "GEHEIM");
  EXPECT_EQ(back->group, 3);
  EXPECT_EQ(back->permissions, u.permissions);
  EXPECT_FALSE(parse_user_line("* comment").has_value());
  EXPECT_FALSE(parse_user_line("SHORT     1").has_value());
}

TEST_F(UsersTest, MissingTableIsCreatedWithSys) {
  UsersTable table;
  ASSERT_EQ(table.load(path_).code(), 0);
  ASSERT_EQ(table.users().size(), 1u);
  EXPECT_EQ(read_all().substr(0, 47), "SYS       0000011111111111111111111111111111111");
  EXPECT_EQ(read_all().find("KWP"), std::string::npos);  // no password in plain
  EXPECT_EQ(table.login("SYS", "KWP").code(), 0);
  EXPECT_EQ(table.current()->name, "SYS");
  EXPECT_EQ(table.check_permission(kPermissionAdm).code(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/_users.tab"));
}

TEST_F(UsersTest, LoginChecks) {
  {
    std::ofstream f(path_);
    User u;
    u.name = "LESER";
    u.password = "ABC";
    u.set_permission(1, true);
    f << "* comment\n" << format_user_line(u);
  }
  UsersTable table;
  ASSERT_EQ(table.load(path_).code(), 0);
  EXPECT_EQ(table.login("LESER", "abc").code(), codes::kWrongPassword);  // as typed
  EXPECT_EQ(table.current(), nullptr);
  EXPECT_EQ(table.login("LESER   ", "ABC  ").code(), 0);  // trailing blanks do not count
  EXPECT_EQ(table.check_permission(1).code(), 0);
  EXPECT_EQ(table.check_permission(kPermissionAdm).code(), codes::kNoPermission);
  EXPECT_EQ(table.login("NOBODY", "ABC").code(), codes::kUnknownUser);
  EXPECT_EQ(table.current(), nullptr);  // a failed login ends the previous one
  EXPECT_EQ(table.check_permission(1).code(), codes::kUnknownUser);
  EXPECT_EQ(table.login("", "ABC").code(), codes::kUnknownUser);
  EXPECT_EQ(table.login("LESER", "").code(), codes::kUnknownUser);
  EXPECT_EQ(table.login("LESERLESERX", "ABC").code(), codes::kUnknownUser);
}

TEST_F(UsersTest, UnwritableDirectoryGivesCode) {
  UsersTable table;
  EXPECT_EQ(table.load(dir_ + "/missing/users.tab").code(), codes::kUsersTableOpen);
}

TEST_F(UsersTest, ChangesKeepOtherLinesAndIgnoreBrokenOnes) {
  User reader;
  reader.name = "LESER";
  reader.password = "ABC";
  User sys;
  sys.name = "SYS";
  sys.password = "KWP";
  sys.set_permission(kPermissionAdm, true);
  {
    std::ofstream f(path_);
    f << "* kept comment\n"
      << "broken line\n"
      << format_user_line(reader) << format_user_line(sys) << std::string(120, 'x') << "\n";
  }
  UsersTable table;
  ASSERT_EQ(table.load(path_).code(), 0);
  ASSERT_EQ(table.users().size(), 2u);
  ASSERT_EQ(table.login("SYS", "KWP").code(), 0);

  User added;
  added.name = "neu";
  added.password = "geheim";
  ASSERT_EQ(table.add_user(added).code(), 0);
  ASSERT_NE(table.find("NEU"), nullptr);
  EXPECT_EQ(table.find("NEU")->password, "GEHEIM");
  ASSERT_EQ(table.add_user(added).code(), 0);  // a second add changes nothing
  EXPECT_EQ(table.users().size(), 3u);

  User changed = *table.find("LESER");
  changed.group = 7;
  ASSERT_EQ(table.update_user(changed).code(), 0);
  EXPECT_EQ(table.find("LESER")->group, 7);
  EXPECT_EQ(table.find("LESER")->password, "ABC");
  EXPECT_EQ(table.current()->name, "SYS");  // looked up again after the reload

  EXPECT_EQ(table.change_password("LESER", "abc", "X").code(), codes::kWrongPassword);
  ASSERT_EQ(table.change_password("LESER", "ABC", "neues").code(), 0);
  EXPECT_EQ(table.find("LESER")->password, "NEUES");

  EXPECT_EQ(table.delete_user("SYS").code(), codes::kNoPermission);
  EXPECT_EQ(table.delete_user("NOBODY").code(), codes::kUnknownUser);
  ASSERT_EQ(table.delete_user("LESER").code(), 0);
  EXPECT_EQ(table.find("LESER"), nullptr);

  const std::string text = read_all();
  EXPECT_EQ(text.substr(0, 30), "* kept comment\nbroken line\nSYS");  // order and odd lines kept
  EXPECT_NE(text.find(std::string(120, 'x')), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/_users.tab"));
}

// Several processes add users to one table at the same time: none is lost.
TEST_F(UsersTest, ConcurrentChangesLoseNoUser) {
  {
    UsersTable table;
    ASSERT_EQ(table.load(path_).code(), 0);
  }
  constexpr int kProcesses = 4;
  constexpr int kUsersEach = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      UsersTable table;
      if (table.load(path_).failed()) ::_exit(1);
      for (int i = 0; i < kUsersEach; ++i) {
        User u;
        u.name = "U" + std::to_string(p) + "_" + std::to_string(i);
        u.password = u.name;
        if (table.add_user(u).failed()) ::_exit(2);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  UsersTable table;
  ASSERT_EQ(table.load(path_).code(), 0);
  EXPECT_EQ(table.users().size(), 1u + kProcesses * kUsersEach);
}

}  // namespace
}  // namespace corvanta
