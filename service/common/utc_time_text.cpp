#include "common/utc_time_text.h"

#include "platform/process.h"

#include <chrono>
#include <cstdio>

namespace quorvane {
namespace {

struct CivilDate {
  int64_t year;
  int month;
  int day;
};

// Proleptic Gregorian date of a day count since 1970-01-01 (Howard Hinnant's
// civil_from_days). Pure arithmetic: no time zone, no shared C library state.
CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_index = (5 * day_of_year + 2) / 153;
  const int day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
  const int month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
  return CivilDate{year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace

std::string UtcTimeText(int64_t seconds_since_epoch) {
  int64_t days = seconds_since_epoch / 86400;
  int64_t seconds_of_day = seconds_since_epoch % 86400;
  if (seconds_of_day < 0) {
    seconds_of_day += 86400;
    --days;
  }
  const CivilDate date = CivilFromDays(days);
  char text[48];
  std::snprintf(text, sizeof(text), "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(date.year),
                date.month, date.day, static_cast<int>(seconds_of_day / 3600),
                static_cast<int>(seconds_of_day / 60 % 60), static_cast<int>(seconds_of_day % 60));
  return text;
}

std::string CurrentUtcTimeText() { return UtcTimeText(platform::UnixTimeSeconds()); }

}  // namespace quorvane
