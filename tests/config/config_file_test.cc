#include "config/config_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "scratch_dir.h"

namespace corvanta::config {
namespace {

ConfigTree tree_of(std::string_view text) {
  ConfigTree t;
  t.read_text(text);
  return t;
}

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "cfg_" + std::to_string(::getpid()) + "_" + name;
}

TEST(ConfigTree, RepeatedNamesKeepEveryValue) {
  ConfigTree t = tree_of("(Files)\nUserTab=a\nUSERTAB = b\n");
  EXPECT_EQ(t.get("files", "usertab"), "b");
  int reached = 0;
  EXPECT_EQ(t.get_nth("Files", "UserTab", 2, &reached), "a");
  EXPECT_EQ(reached, 2);
  EXPECT_EQ(t.get_nth("Files", "UserTab", 3, &reached), std::nullopt);
  EXPECT_EQ(reached, 2);
  const auto entries = t.enumerate("FILES");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].value, "a");
  EXPECT_EQ(entries[1].value, "b");
}

TEST(ConfigTree, LineRules) {
  ConfigTree t = tree_of(
      "top=1\n"
      "* a comment line\n"
      "   (  Sec  )   \n"
      "OnlyName\n"
      "Star=x\\*y\n"
      "Cut=x*y\n"
      "  Spaced   =   v  w   \n"
      "\\(Paren)=p\n"
      "NoEq value\n"
      "Ctl=ab\x01"
      "cd\n"
      "(Other\n"
      "k=v\n");
  EXPECT_EQ(t.get("", "top"), "1");
  EXPECT_EQ(t.get("Sec", "OnlyName"), "");
  EXPECT_EQ(t.enumerate("Sec").front().name, "(Paren)");
  EXPECT_EQ(t.get("Sec", "Star"), "x*y");
  EXPECT_EQ(t.get("Sec", "Cut"), "x");
  EXPECT_EQ(t.get("Sec", "spaced"), "v  w");
  EXPECT_EQ(t.get("Sec", "(paren)"), "p");
  EXPECT_EQ(t.get("Sec", "NoEq value"), "");
  EXPECT_EQ(t.get("Sec", "Ctl"), "ab");
  EXPECT_EQ(t.get("Other", "k"), "v");
  EXPECT_EQ(t.get("Missing", "k"), "");
  EXPECT_EQ(t.get("Sec", "Missing"), "");
}

TEST(ConfigTree, RepeatedSectionAddsToTheFirst) {
  ConfigTree t = tree_of("(Files)\na=1\n(Other)\nb=2\n(files)\nc=3\n");
  EXPECT_EQ(t.get("Files", "a"), "1");
  EXPECT_EQ(t.get("Files", "c"), "3");
  EXPECT_EQ(t.enumerate("Files").size(), 2u);
}

TEST(ConfigTree, LongLinesAndNamesAreCut) {
  const std::string long_name(60, 'n');
  ConfigTree t = tree_of("(S)\n" + long_name + "=v\nx=" + std::string(250, 'a') + "\n");
  EXPECT_EQ(t.get("S", long_name.substr(0, 50)), "v");
  // The line is read in pieces of 199 characters; the second piece is an
  // entry of its own.
  EXPECT_EQ(t.get("S", "x"), std::string(197, 'a'));
  EXPECT_EQ(t.enumerate("S").size(), 3u);
}

TEST(ConfigTree, EnumerationIsInNameOrder) {
  ConfigTree t = tree_of("(S)\nzeta=1\nAlpha=2\nbeta=3\nalpha=4\n");
  std::vector<std::string> seen;
  for (const auto& e : t.enumerate("S")) seen.push_back(e.name + "=" + e.value);
  EXPECT_EQ(seen, (std::vector<std::string>{"Alpha=2", "Alpha=4", "beta=3", "zeta=1"}));
  const auto top = t.enumerate("");
  ASSERT_EQ(top.size(), 1u);
  EXPECT_FALSE(top[0].has_value);
}

TEST(ConfigTree, AddReplaceSetDelete) {
  ConfigTree t = tree_of("(S)\nk=1\nk=2\nk=3\n");
  t.replace("S", "k", "two", 2);
  EXPECT_EQ(t.get_nth("S", "k", 2), "two");
  t.replace("S", "k", std::nullopt, 3);  // removes the oldest value from the chain
  EXPECT_EQ(t.get_nth("S", "k", 3), std::nullopt);
  t.replace("S", "k", std::nullopt, 1);  // the newest is cleared, the entry stays
  EXPECT_EQ(t.get("S", "k"), "");
  EXPECT_EQ(t.get_nth("S", "k", 2), "two");
  t.replace("S", "k", "", 2);
  EXPECT_EQ(t.get_nth("S", "k", 2), "");

  t.set("S", "new", " v ");
  EXPECT_EQ(t.get("S", "new"), "v");
  t.set("S", "new", "w");
  EXPECT_EQ(t.get("S", "new"), "w");
  EXPECT_EQ(t.get_nth("S", "new", 2), std::nullopt);

  t.add("", "ignored", "x");  // without a section nothing happens
  EXPECT_EQ(t.get("", "ignored"), "");
  t.add("Fresh", "a", "1");
  EXPECT_EQ(t.get("fresh", "A"), "1");

  t.remove("S", std::string_view("new"), 1);
  EXPECT_EQ(t.get("S", "new"), "");
  t.remove("Fresh", std::nullopt, 0);
  EXPECT_EQ(t.get("Fresh", "a"), "");
  EXPECT_FALSE(t.has_section("Fresh"));
  t.add("Fresh", "b", "2");  // adding brings the section back
  EXPECT_EQ(t.get("Fresh", "b"), "2");
}

TEST(ConfigTree, DeletedValuesAreLeftOutOfEnumeration) {
  ConfigTree t = tree_of("(S)\nk=1\nk=2\nk=3\n");
  t.remove("S", std::string_view("k"), 2);
  std::vector<std::string> seen;
  for (const auto& e : t.enumerate("S")) seen.push_back(e.value);
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "3"}));
  EXPECT_EQ(t.get_nth("S", "k", 2), "1");
}

TEST(ConfigTree, SaveWritesSortedSectionsAndReadsBack) {
  ConfigTree t =
      tree_of("top=1\n(Zed)\nb=2\na=1\nnovalue\n* comment\n(Alpha)\nstar=x\\*y\n\\(p)=q\nk=1\nk=2\n");
  const std::string path = temp_path("save.cfg");
  ASSERT_EQ(t.save(path).code(), 0);
  EXPECT_EQ(corvanta::testing::read_file(path),
            "top=1\n"
            "\n(Alpha)\n\\(p)=q\nk=1\nk=2\nstar=x\\*y\n"
            "\n(Zed)\na=1\nb=2\n");
  ConfigTree again;
  std::FILE* in = std::fopen(path.c_str(), "r");
  ASSERT_NE(in, nullptr);
  again.read(in);
  std::fclose(in);
  EXPECT_EQ(again.get("", "top"), "1");
  EXPECT_EQ(again.get("Alpha", "star"), "x*y");
  EXPECT_EQ(again.get("Alpha", "(p)"), "q");
  EXPECT_EQ(again.get_nth("Alpha", "k", 2), "1");
  std::remove(path.c_str());
  EXPECT_EQ(t.save("/nonexistent-dir/x.cfg").code(), kCannotOpen);
}

TEST(ConfigTable, HandlesAndTheirLimits) {
  const std::string path = temp_path("h.cfg");
  {
    std::ofstream f(path);
    f << "(S)\nk=v\nn=42\nc=xyz\n";
  }
  ConfigTable table;
  EXPECT_EQ(table.load_main_path("/nonexistent/corvanta.cfg").code(), kCannotOpenMain);
  ASSERT_EQ(table.load_main_path(path).code(), 0);
  EXPECT_EQ(table.load_main_path(path).code(), kNoFreeHandle);
  EXPECT_EQ(table.get(kMainConfig, "S", "k"), "v");
  EXPECT_EQ(table.get_int(kMainConfig, "S", "n"), 42);
  EXPECT_EQ(table.get_int(kMainConfig, "S", "k"), 0);
  EXPECT_EQ(table.get_char(kMainConfig, "S", "c"), 'x');
  EXPECT_EQ(table.get_char(kMainConfig, "S", "none"), '\0');
  EXPECT_EQ(table.load("/nonexistent/x.cfg"), kCannotOpen);

  for (int h = 3; h <= 20; ++h) EXPECT_EQ(table.load(path), h);
  EXPECT_EQ(table.load(path), kNoFreeHandle);
  table.close(7);
  EXPECT_EQ(table.load(path), 7);  // the lowest free handle first

  // Invalid and free handles read as empty and ignore updates.
  EXPECT_EQ(table.get(0, "S", "k"), "");
  EXPECT_EQ(table.get(1, "S", "k"), "");
  EXPECT_EQ(table.get(21, "S", "k"), "");
  EXPECT_EQ(table.get(-4, "S", "k"), "");
  table.close(9);
  EXPECT_EQ(table.get(9, "S", "k"), "");
  std::remove(path.c_str());
}

TEST(ConfigTable, GetNextWalksValuesFromTheNewest) {
  const std::string path = temp_path("n.cfg");
  {
    std::ofstream f(path);
    f << "(Files)\nDataDict=a\nDataDict=b\nDataDict=c\n";
  }
  ConfigTable table;
  ASSERT_EQ(table.load_main_path(path).code(), 0);
  std::vector<std::string> seen;
  int n = 0;
  while (auto v = table.get_next(kMainConfig, "Files", "DataDict", n)) seen.push_back(*v);
  EXPECT_EQ(seen, (std::vector<std::string>{"c", "b", "a"}));
  std::remove(path.c_str());
}

TEST(ConfigTree, RandomBytesDoNotBreakTheReader) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::string text(static_cast<std::size_t>(rng() % 2000), '\0');
    for (char& c : text) {
      const unsigned r = rng() % 10;
      c = r < 3 ? "()=*\\ \n"[rng() % 7] : static_cast<char>(rng() % 256);
    }
    ConfigTree t = tree_of(text);
    for (const auto& section : t.enumerate("")) {
      for (const auto& e : t.enumerate(section.name)) EXPECT_LE(e.name.size(), kMaxNameLength);
    }
  }
}

}  // namespace
}  // namespace corvanta::config
