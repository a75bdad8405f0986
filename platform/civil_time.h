// The proleptic Gregorian calendar as day counts from 1970-01-01 (Howard Hinnant's days_from_civil and
// civil_from_days), for every date an NTFS time can name and further.
#pragma once

#include <cstdint>

namespace ostrin::platform {

// Days from 1601-01-01, where FILETIME starts, to 1970-01-01.
inline constexpr int64_t DAYS_FROM_1601_TO_1970 = 134'774;

struct SCivilDate {
  int64_t year;
  unsigned month;  // 1 to 12
  unsigned day;    // 1 to 31
};

// Days from 1970-01-01 to a date (negative before it). Months outside 1 to 12 and days past the
// month's end are not checked: the caller has checked its date.
constexpr int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// The date that lies days after 1970-01-01.
constexpr SCivilDate CivilFromDays(int64_t days) {
  days += 719468;  // from 0000-03-01, where the algorithm's eras of 400 years start
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;  // from March
  SCivilDate date{};
  date.day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  date.month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  date.year = static_cast<int64_t>(yearOfEra) + era * 400 + (date.month <= 2 ? 1 : 0);
  return date;
}

}  // namespace ostrin::platform
