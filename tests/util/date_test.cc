#include "util/date.h"

#include <gtest/gtest.h>

#include <random>

namespace corvanta {
namespace {

const CivilTime kToday{2024, 3, 15, 10, 30, 45};

std::string convert(int from, int to, std::string_view text, int expect_rc = 0) {
  std::string out;
  EXPECT_EQ(date_convert(from, to, text, out, kToday), expect_rc) << from << "->" << to << " " << text;
  return out;
}

TEST(DateConvert, EveryFormReadsAndWritesItsPattern) {
  struct Case {
    int form;
    const char* text;
  };
  // 5 March 2024 in every form.
  const Case cases[] = {{1, "05.03.24"}, {2, "05.03.2024"}, {3, "03/05/24"}, {4, "03/05/2024"},
                        {5, "240305"},   {6, "20240305"},   {7, "24065"},    {8, "2024065"},
                        {9, "05/03/24"}, {10, "05/03/2024"}};
  for (const Case& from : cases) {
    for (const Case& to : cases) EXPECT_EQ(convert(from.form, to.form, from.text), to.text);
  }
  EXPECT_EQ(convert(0, 6, ""), "20240315");
}

TEST(DateConvert, EdgeCases) {
  EXPECT_EQ(convert(1, 6, "31.12.99"), "20991231");
  EXPECT_EQ(convert(6, 2, "20240229"), "29.02.2024");
  convert(6, 2, "20230229", kDateImpossible);
  EXPECT_EQ(convert(6, 2, "00000000"), "00.00.0000");  // no date
  EXPECT_EQ(convert(1, 6, "00.00.00"), "20000000");
  convert(6, 2, "20241301", kDateImpossible);
  convert(6, 2, "20240100", kDateImpossible);
  convert(8, 6, "2023366", kDateImpossible);
  EXPECT_EQ(convert(8, 6, "2024366"), "20241231");
  convert(8, 6, "2024000", kDateImpossible);
  EXPECT_EQ(convert(9, 9, "01/02/03"), "01/02/03");
  // Patterns are checked character by character.
  convert(6, 2, "2024035", kDateBadForm);
  convert(6, 2, "2024o305", kDateBadForm);
  convert(2, 6, "05-03-2024", kDateBadForm);
  convert(11, 6, "20240305", kDateBadForm);
  convert(6, 0, "20240305", kDateBadForm);
  convert(-1, 6, "20240305", kDateBadForm);
  EXPECT_EQ(date_valid(6, "20240229"), 0);
  EXPECT_EQ(date_valid(6, "20230229"), kDateImpossible);
}

TEST(DateArithmetic, DaysMonthsAndDifferences) {
  std::string out;
  EXPECT_EQ(date_add_days(6, 6, "20231231", out, 1, kToday), 0);
  EXPECT_EQ(out, "20240101");
  EXPECT_EQ(date_add_days(6, 6, "20240101", out, -1, kToday), 0);
  EXPECT_EQ(out, "20231231");
  EXPECT_EQ(date_add_days(6, 2, "20240101", out, 366, kToday), 0);
  EXPECT_EQ(out, "01.01.2025");
  EXPECT_EQ(date_add_days(6, 6, "99991231", out, 1, kToday), kDateImpossible);
  EXPECT_EQ(date_add_days(6, 6, "20240101", out, 2147483647L, kToday), kDateImpossible);

  EXPECT_EQ(date_add_months(6, 6, "20240131", out, 1, kToday), 0);
  EXPECT_EQ(out, "20240302");
  EXPECT_EQ(date_add_months(6, 6, "20231215", out, 2, kToday), 0);  // December wraps to January
  EXPECT_EQ(out, "20240215");
  EXPECT_EQ(date_add_months(6, 6, "20240315", out, -1, kToday), 0);
  EXPECT_EQ(out, "20240215");

  long days = 0;
  EXPECT_EQ(date_diff(6, 6, "20231231", "20240101", days, kToday), 0);
  EXPECT_EQ(days, 1);
  EXPECT_EQ(date_diff(6, 2, "20240301", "01.03.2023", days, kToday), 0);
  EXPECT_EQ(days, -366);
  EXPECT_EQ(date_diff(6, 6, "20240301", "2024030x", days, kToday), kDateBadForm);
}

TEST(DateArithmetic, AddAndDiffAgreeOnRandomDates) {
  std::mt19937 rng(4711);
  for (int i = 0; i < 5000; ++i) {
    const int year = 1900 + static_cast<int>(rng() % 300);
    const int doy = 1 + static_cast<int>(rng() % static_cast<unsigned>(days_in_year(year)));
    char start[16];
    std::snprintf(start, sizeof start, "%04d%03d", year, doy);
    const long n = static_cast<long>(rng() % 40000) - 20000;
    std::string later;
    ASSERT_EQ(date_add_days(8, 6, start, later, n, kToday), 0) << start << " + " << n;
    long back = 0;
    ASSERT_EQ(date_diff(8, 6, start, later, back, kToday), 0);
    EXPECT_EQ(back, n) << start << " " << later;
    EXPECT_EQ(date_valid(6, later), 0);
  }
}

TEST(DateCalendar, WeekdayWeekSeasonAge) {
  EXPECT_EQ(date_weekday(6, "20240315", kToday), 5);    // a Friday
  EXPECT_EQ(date_weekday(6, "20000101", kToday), 6);    // a Saturday
  EXPECT_EQ(date_weekday(6, "19700101", kToday), 4);    // a Thursday
  EXPECT_EQ(date_weekday(2, "01.01.2023", kToday), 0);  // a Sunday
  EXPECT_EQ(date_week(6, "20240101", kToday), 1);
  EXPECT_EQ(date_week(6, "20240107", kToday), 2);
  EXPECT_EQ(date_season(6, "20240301", kToday), 21);
  EXPECT_EQ(date_season(6, "20240831", kToday), 22);
  EXPECT_EQ(date_season(6, "20241130", kToday), 23);
  EXPECT_EQ(date_season(6, "20240229", kToday), 24);
  std::string age;
  EXPECT_EQ(date_age(6, "20000315", age, kToday), 0);
  EXPECT_EQ(age, "24");
  EXPECT_EQ(date_age(6, "20000316", age, kToday), 0);
  EXPECT_EQ(age, "23");
  EXPECT_EQ(date_age(6, "20250101", age, kToday), 0);
  EXPECT_EQ(age, "");
}

TEST(DateDetect, LengthAndTemplateDecide) {
  EXPECT_EQ(date_detect("12/03/2024", "DD.MM.YYYY"), 10);
  EXPECT_EQ(date_detect("12/03/2024", "MM/DD/YYYY"), 4);
  EXPECT_EQ(date_detect("12/03/24", "TT.MM.JJJJ"), 9);
  EXPECT_EQ(date_detect("12/03/24", "DD.MM"), 3);  // too short to count as day-first
  EXPECT_EQ(date_detect("12.03.24", ""), 1);
  EXPECT_EQ(date_detect("12.03.2024", ""), 2);
  EXPECT_EQ(date_detect("  20240312 ", ""), 6);
  EXPECT_EQ(date_detect("24071", ""), 7);
  EXPECT_EQ(date_detect("240312", ""), 5);
  EXPECT_EQ(date_detect("2024071", ""), 8);
  EXPECT_EQ(date_detect("12-03-24", ""), 6);  // eight characters without "." or "/"
  EXPECT_EQ(date_detect("1.3.2024", ""), 0);
  EXPECT_EQ(date_detect("2024", ""), 0);
  EXPECT_EQ(date_detect("", "DD.MM.YYYY"), 2);  // the template itself
  EXPECT_EQ(date_detect("", "MM/DD/YY"), 3);
}

TEST(DateTemplates, TokensAreFilled) {
  EXPECT_EQ(date_fill("YYYY/MM/DD HH:MI:SS", kToday), "2024/03/15 10:30:45");
  EXPECT_EQ(date_fill("TT.MM.JJ", kToday), "15.03.24");
  EXPECT_EQ(date_fill("DDD TTT", kToday), "075 075");
  EXPECT_EQ(date_fill("Y M x", kToday), "Y M x");
  EXPECT_EQ(date_format("20240305", kDefaultDateTemplate), "05.03.2024 00:00:00");
  EXPECT_EQ(date_format("20240305", "YYYYMMDD"), "20240305");
  EXPECT_EQ(date_format("20241305", "YYYYMMDD"), "");
  EXPECT_EQ(date_format("garbage", "YYYYMMDD"), "");
}

}  // namespace
}  // namespace corvanta
