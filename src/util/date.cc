#include "util/date.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::array<std::string_view, 11> kPatterns = {
    "",         "nn.nn.nn", "nn.nn.nnnn", "nn/nn/nn", "nn/nn/nnnn", "nnnnnn",
    "nnnnnnnn", "nnnnn",    "nnnnnnn",    "nn/nn/nn", "nn/nn/nnnn",
};

constexpr std::array<int, 12> kMonthDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Years outside this range cannot be written in four digits; arithmetic that
// would leave it fails instead of producing texts of the wrong width.
constexpr int kMaxYear = 9999;

bool is_leap(int year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool matches(std::string_view text, std::string_view pattern) noexcept {
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'n' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

int digits(std::string_view s) noexcept {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// A date split into its parts.
struct Parts {
  int year = 0;
  int month = 0;
  int day = 0;
};

int day_of_year(const Parts& p) noexcept {
  int doy = p.day;
  for (int m = 1; m < p.month && m <= 12; ++m) doy += days_in_month(p.year, m);
  return doy;
}

// Reads `text` in form `form` into parts and checks that the date is real.
int split(int form, std::string_view text, const CivilTime& today, Parts& p) {
  if (form < 0 || form > 10) return kDateBadForm;
  if (form == 0) {
    p = {today.year, today.month, today.day};
    return kDateOk;
  }
  if (!matches(text, kPatterns[static_cast<std::size_t>(form)])) return kDateBadForm;
  int two_digit_year = -1;
  int doy = -1;
  switch (form) {
    case 1:
    case 2:
    case 9:
    case 10:
      p.day = digits(text.substr(0, 2));
      p.month = digits(text.substr(3, 2));
      if (form == 1 || form == 9)
        two_digit_year = digits(text.substr(6, 2));
      else
        p.year = digits(text.substr(6, 4));
      break;
    case 3:
    case 4:
      p.month = digits(text.substr(0, 2));
      p.day = digits(text.substr(3, 2));
      if (form == 3)
        two_digit_year = digits(text.substr(6, 2));
      else
        p.year = digits(text.substr(6, 4));
      break;
    case 5:
      two_digit_year = digits(text.substr(0, 2));
      p.month = digits(text.substr(2, 2));
      p.day = digits(text.substr(4, 2));
      break;
    case 6:
      p.year = digits(text.substr(0, 4));
      p.month = digits(text.substr(4, 2));
      p.day = digits(text.substr(6, 2));
      break;
    case 7:
      two_digit_year = digits(text.substr(0, 2));
      doy = digits(text.substr(2, 3));
      break;
    case 8:
      p.year = digits(text.substr(0, 4));
      doy = digits(text.substr(4, 3));
      break;
    default: return kDateBadForm;
  }
  const int year_digits = two_digit_year >= 0 ? two_digit_year : p.year;
  if (two_digit_year >= 0) p.year = 2000 + two_digit_year;
  if (doy >= 0) {
    if (doy == 0) {
      p.month = 0;
      p.day = 0;
    } else {
      p.month = 1;
      while (p.month <= 12 && doy > days_in_month(p.year, p.month)) {
        doy -= days_in_month(p.year, p.month);
        ++p.month;
      }
      p.day = doy;  // month 13 means the day lay past the year's end
    }
  }
  // A text whose parts are all zero stands for "no date" and passes.
  const bool any = year_digits != 0 || p.month != 0 || p.day != 0;
  if (any && (p.month < 1 || p.month > 12 || p.day < 1 || p.day > days_in_month(p.year, p.month))) {
    return kDateImpossible;
  }
  return kDateOk;
}

int join(int form, const Parts& p, std::string& out) {
  if (form < 1 || form > 10) return kDateBadForm;
  if (p.year < 0 || p.year > kMaxYear) return kDateImpossible;
  const int yy = p.year % 100;
  char buf[16];
  switch (form) {
    case 1: std::snprintf(buf, sizeof buf, "%02d.%02d.%02d", p.day, p.month, yy); break;
    case 2: std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", p.day, p.month, p.year); break;
    case 3: std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", p.month, p.day, yy); break;
    case 4: std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", p.month, p.day, p.year); break;
    case 5: std::snprintf(buf, sizeof buf, "%02d%02d%02d", yy, p.month, p.day); break;
    case 6: std::snprintf(buf, sizeof buf, "%04d%02d%02d", p.year, p.month, p.day); break;
    case 7: std::snprintf(buf, sizeof buf, "%02d%03d", yy, day_of_year(p)); break;
    case 8: std::snprintf(buf, sizeof buf, "%04d%03d", p.year, day_of_year(p)); break;
    case 9: std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", p.day, p.month, yy); break;
    default: std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", p.day, p.month, p.year); break;
  }
  out = buf;
  return kDateOk;
}

// Year and day of the year of a date (the form-8 view).
struct YearDay {
  int year = 0;
  long doy = 0;
};

int year_day(int form, std::string_view text, const CivilTime& today, YearDay& yd) {
  Parts p;
  const int rc = split(form, text, today, p);
  if (rc != kDateOk) return rc;
  yd = {p.year, day_of_year(p)};
  return kDateOk;
}

Parts from_year_day(int year, long doy) {
  Parts p{year, 0, 0};
  if (doy <= 0) return p;
  p.month = 1;
  while (p.month < 12 && doy > days_in_month(year, p.month)) {
    doy -= days_in_month(year, p.month);
    ++p.month;
  }
  p.day = static_cast<int>(doy);
  return p;
}

// Days since 1 January of year 0 (proleptic Gregorian), for weekdays.
long day_number(int year, long doy) {
  const long y = year - 1;
  const long leap_days = year > 0 ? (y / 4 - y / 100 + y / 400 + 1) : 0;
  return 365L * year + leap_days + doy - 1;
}

}  // namespace

CivilTime local_time(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

CivilTime local_now() {
  return local_time(std::time(nullptr));
}

int days_in_year(int year) noexcept {
  return is_leap(year) ? 366 : 365;
}

int days_in_month(int year, int month) noexcept {
  if (month < 1 || month > 12) return 0;
  if (month == 2 && is_leap(year)) return 29;
  return kMonthDays[static_cast<std::size_t>(month - 1)];
}

int date_convert(int from, int to, std::string_view text, std::string& out, const CivilTime& today) {
  if (to < 1 || to > 10) return kDateBadForm;
  Parts p;
  const int rc = split(from, text, today, p);
  if (rc != kDateOk) return rc;
  return join(to, p, out);
}

int date_valid(int form, std::string_view text) {
  std::string out;
  return date_convert(form, 6, text, out, CivilTime{2000, 1, 1});
}

int date_add_days(int from, int to, std::string_view text, std::string& out, long n, const CivilTime& today) {
  if (to < 1 || to > 10) return kDateBadForm;
  YearDay yd;
  const int rc = year_day(from, text, today, yd);
  if (rc != kDateOk) return rc;
  // Ten thousand years of days is more than any four-digit year can take.
  if (n > 3660000L || n < -3660000L) return kDateImpossible;
  yd.doy += n;
  while (yd.doy < 1) {
    --yd.year;
    if (yd.year < 0) return kDateImpossible;
    yd.doy += days_in_year(yd.year);
  }
  while (yd.doy > days_in_year(yd.year)) {
    yd.doy -= days_in_year(yd.year);
    ++yd.year;
    if (yd.year > kMaxYear) return kDateImpossible;
  }
  return join(to, from_year_day(yd.year, yd.doy), out);
}

int date_add_months(int from, int to, std::string_view text, std::string& out, int n,
                    const CivilTime& today) {
  Parts p;
  const int rc = split(from, text, today, p);
  if (rc != kDateOk) return rc;
  if (n > 120000 || n < -120000) return kDateImpossible;
  long days = 0;
  int month = p.month < 1 ? 1 : p.month;
  if (n >= 0) {
    for (int i = 0; i < n; ++i) {
      days += days_in_month(p.year, month);
      month = month == 12 ? 1 : month + 1;
    }
  } else {
    for (int i = 0; i < -n; ++i) {
      month = month == 1 ? 12 : month - 1;
      days -= days_in_month(p.year, month);
    }
  }
  return date_add_days(from, to, text, out, days, today);
}

int date_diff(int form1, int form2, std::string_view text1, std::string_view text2, long& days_out,
              const CivilTime& today) {
  YearDay a;
  YearDay b;
  int rc = year_day(form1, text1, today, a);
  if (rc == kDateOk) rc = year_day(form2, text2, today, b);
  if (rc != kDateOk) return rc;
  long sign = 1;
  if (b.year < a.year || (b.year == a.year && b.doy < a.doy)) {
    std::swap(a, b);
    sign = -1;
  }
  long days = b.doy - a.doy;
  for (int y = a.year; y < b.year; ++y) days += days_in_year(y);
  days_out = sign * days;
  return kDateOk;
}

int date_weekday(int form, std::string_view text, const CivilTime& today) {
  YearDay yd;
  const int rc = year_day(form, text, today, yd);
  if (rc != kDateOk) return rc;
  // 1 January of year 0 was a Saturday in the proleptic Gregorian calendar.
  const long wd = (day_number(yd.year, yd.doy) + 6) % 7;
  return static_cast<int>(wd < 0 ? wd + 7 : wd);
}

int date_week(int form, std::string_view text, const CivilTime& today) {
  YearDay yd;
  const int rc = year_day(form, text, today, yd);
  if (rc != kDateOk) return rc;
  return static_cast<int>(yd.doy / 7 + 1);
}

int date_season(int form, std::string_view text, const CivilTime& today) {
  Parts p;
  const int rc = split(form, text, today, p);
  if (rc != kDateOk) return rc;
  if (p.month >= 3 && p.month <= 5) return 21;
  if (p.month >= 6 && p.month <= 8) return 22;
  if (p.month >= 9 && p.month <= 11) return 23;
  return 24;
}

int date_age(int form, std::string_view text, std::string& out, const CivilTime& today) {
  out.clear();
  Parts p;
  const int rc = split(form, text, today, p);
  if (rc != kDateOk) return rc;
  int years = today.year - p.year;
  if (today.month < p.month || (today.month == p.month && today.day < p.day)) --years;
  if (years >= 0) out = std::to_string(years);
  return kDateOk;
}

int date_detect(std::string_view text, std::string_view date_template) {
  const std::string_view tmpl = trim_blanks(date_template);
  const bool day_first = tmpl.size() > 6 && (tmpl.substr(0, 2) == "DD" || tmpl.substr(0, 2) == "TT");
  const std::string_view t = text.empty() ? tmpl : trim_blanks(text);
  switch (t.size()) {
    case 5: return 7;
    case 6: return 5;
    case 7: return 8;
    case 8:
      // Only the separators are looked at, so that a template such as
      // "DD.MM.YY" is recognised as well as a date.
      if (t.find_first_of("./") == std::string_view::npos) return 6;
      if (t[2] == '.' && t[5] == '.') return 1;
      if (t[2] == '/' && t[5] == '/') return day_first ? 9 : 3;
      return 0;
    case 10:
      if (t[2] == '.' && t[5] == '.') return 2;
      if (t[2] == '/' && t[5] == '/') return day_first ? 10 : 4;
      return 0;
    default: return 0;
  }
}

std::string date_fill(std::string_view tmpl, const CivilTime& now) {
  struct Token {
    std::string_view name;
    int width;
    int value;
  };
  const Parts p{now.year, now.month, now.day};
  const Token tokens[] = {
      {"YYYY", 4, now.year},      {"JJJJ", 4, now.year}, {"YY", 2, now.year % 100},
      {"JJ", 2, now.year % 100},  {"MM", 2, now.month},  {"DDD", 3, day_of_year(p)},
      {"TTT", 3, day_of_year(p)}, {"DD", 2, now.day},    {"TT", 2, now.day},
      {"HH", 2, now.hour},        {"MI", 2, now.minute}, {"SS", 2, now.second},
  };
  std::string out;
  out.reserve(tmpl.size() + 4);
  std::size_t i = 0;
  while (i < tmpl.size()) {
    const Token* hit = nullptr;
    for (const Token& t : tokens) {
      if (tmpl.substr(i, t.name.size()) == t.name) {
        hit = &t;
        break;
      }
    }
    if (hit == nullptr) {
      out += tmpl[i++];
      continue;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", hit->width, hit->value);
    out += buf;
    i += hit->name.size();
  }
  return out;
}

std::string date_format(std::string_view date6, std::string_view tmpl) {
  Parts p;
  if (split(6, date6, CivilTime{}, p) != kDateOk) return {};
  return date_fill(tmpl, CivilTime{p.year, p.month, p.day, 0, 0, 0});
}

}  // namespace corvanta
