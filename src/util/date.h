// Dates and date forms.
//
// Dates travel through the service as short digit texts in one of ten
// numbered forms; records store them in form 6, "YYYYMMDD", which compares
// correctly as a string. This module converts between the forms, recognises
// the form of a typed date, does calendar arithmetic and fills date templates
// such as "DD.MM.YYYY HH:MI:SS".
//
// It owns no state: "today" is passed in as a CivilTime (local_now() for the
// real clock), and configured templates are passed in by the caller, so the
// functions are pure and testable.
//
// Forms (n is one digit):
//   0  (none)        the current date; source only
//   1  nn.nn.nn      day, month, two-digit year
//   2  nn.nn.nnnn    day, month, year
//   3  nn/nn/nn      month, day, two-digit year
//   4  nn/nn/nnnn    month, day, year
//   5  nnnnnn        two-digit year, month, day
//   6  nnnnnnnn      year, month, day
//   7  nnnnn         two-digit year, day of the year
//   8  nnnnnnn       year, day of the year
//   9  nn/nn/nn      day, month, two-digit year
//   10 nn/nn/nnnn    day, month, year
// A two-digit year yy always means 2000 + yy. A date whose parts are all zero
// ("00000000") is valid: it stands for no date.
#pragma once

#include <string>
#include <string_view>

namespace corvanta {

struct CivilTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The current local date and time.
CivilTime local_now();
// A stored time (seconds since 1970) as local date and time.
CivilTime local_time(std::int64_t seconds);

inline constexpr int kDateOk = 0;
inline constexpr int kDateImpossible = -1;  // month or day out of range
inline constexpr int kDateBadForm = -2;     // text does not fit the form, or bad form number

inline constexpr std::string_view kDefaultDateTemplate = "DD.MM.YYYY HH:MI:SS";

// Days in `year` (365 or 366) and in `month` (1..12) of `year`.
int days_in_year(int year) noexcept;
int days_in_month(int year, int month) noexcept;

// Converts `text` from form `from` into form `to`, written to `out`.
// Returns 0, -2 (text does not match, form outside 0..10, or target form 0)
// or -1 (impossible date). `today` is read only for source form 0.
int date_convert(int from, int to, std::string_view text, std::string& out,
                 const CivilTime& today = local_now());

// 0 when `text` is a valid date of `form`, else the conversion's code.
int date_valid(int form, std::string_view text);

// The date `n` days later (n may be negative), in form `to`.
int date_add_days(int from, int to, std::string_view text, std::string& out, long n,
                  const CivilTime& today = local_now());

// The date advanced by the lengths of `n` months counted from the date's own
// month onwards (December wraps to January). February counts with the length
// it has in the starting date's year. A negative n goes back by the lengths
// of the n months before the date's month.
int date_add_months(int from, int to, std::string_view text, std::string& out, int n,
                    const CivilTime& today = local_now());

// Days from the first date to the second; negative when the second is earlier.
int date_diff(int form1, int form2, std::string_view text1, std::string_view text2, long& days_out,
              const CivilTime& today = local_now());

// 0 for Sunday .. 6 for Saturday; negative code for an invalid date.
int date_weekday(int form, std::string_view text, const CivilTime& today = local_now());

// Day of the year / 7 + 1; negative code for an invalid date.
int date_week(int form, std::string_view text, const CivilTime& today = local_now());

// 21 spring (3-5), 22 summer (6-8), 23 autumn (9-11), 24 winter (12, 1, 2).
int date_season(int form, std::string_view text, const CivilTime& today = local_now());

// Whole years from the date to `today` as decimal text; `out` stays empty
// when the date lies in the future. Returns 0 or the conversion's code.
int date_age(int form, std::string_view text, std::string& out, const CivilTime& today = local_now());

// The form of a typed date, or 0 when none fits. `date_template` is the
// installation's date template for the language in use; it decides between
// day-first and month-first for texts with "/". An empty text examines the
// template itself.
int date_detect(std::string_view text, std::string_view date_template);

// `now` filled into `tmpl` (tokens YYYY JJJJ YY JJ MM DDD TTT DD TT HH MI SS).
std::string date_fill(std::string_view tmpl, const CivilTime& now);

// The current local time filled into `tmpl`.
inline std::string date_now(std::string_view tmpl = kDefaultDateTemplate) {
  return date_fill(tmpl, local_now());
}

// A form-6 date filled into `tmpl`; time tokens give 00. An invalid date
// gives the empty text.
std::string date_format(std::string_view date6, std::string_view tmpl = kDefaultDateTemplate);

}  // namespace corvanta
