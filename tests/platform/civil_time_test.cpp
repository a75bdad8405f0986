// The calendar that the tools and the test oracles share, against dates whose day counts are known.
#include "platform/civil_time.h"

#include <gtest/gtest.h>

namespace ostrin::platform {
namespace {

TEST(CivilTimeTest, KnownDatesAndTheirDayCounts) {
  struct SCase {
    int64_t year;
    unsigned month, day;
    int64_t days;  // from 1970-01-01
  };
  const SCase cases[] = {
      {1601, 1, 1, -134774},   // the start of FILETIME: 11644473600 s before 1970
      {1900, 2, 28, -25509},   // 1900 is no leap year: 03-01 follows
      {1900, 3, 1, -25508},
      {1969, 12, 31, -1},
      {1970, 1, 1, 0},
      {2000, 2, 29, 11016},    // 2000 is a leap year
      {2000, 3, 1, 11017},
      {2038, 1, 19, 24855},    // 2^31 s after 1970 falls on this day
      {2100, 3, 1, 47541},     // 2100-02-29 does not exist
      {9999, 12, 31, 2932896}, // the last day of four-digit years
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day);
    EXPECT_EQ(DaysFromCivil(c.year, c.month, c.day), c.days);
    const SCivilDate date = CivilFromDays(c.days);
    EXPECT_EQ(date.year, c.year);
    EXPECT_EQ(date.month, c.month);
    EXPECT_EQ(date.day, c.day);
  }
}

TEST(CivilTimeTest, FileTimeStartsWhereItsDayCountSays) {
  EXPECT_EQ(DaysFromCivil(1601, 1, 1), -DAYS_FROM_1601_TO_1970);
}

TEST(CivilTimeTest, EveryDayFrom1601To9999ComesBackAndFollowsTheDayBefore) {
  SCivilDate previous = CivilFromDays(DaysFromCivil(1601, 1, 1) - 1);
  EXPECT_EQ(previous.year, 1600);
  for (int64_t days = DaysFromCivil(1601, 1, 1); days <= DaysFromCivil(9999, 12, 31); ++days) {
    const SCivilDate date = CivilFromDays(days);
    ASSERT_EQ(DaysFromCivil(date.year, date.month, date.day), days);
    // Each day is the next day of its month, or the first of the next month (or year).
    const bool nextDay = date.year == previous.year && date.month == previous.month && date.day == previous.day + 1;
    const bool nextMonth = date.day == 1 && ((date.year == previous.year && date.month == previous.month + 1) ||
                                             (date.year == previous.year + 1 && date.month == 1 && previous.month == 12));
    ASSERT_TRUE(nextDay || nextMonth) << date.year << "-" << date.month << "-" << date.day;
    previous = date;
  }
}

}  // namespace
}  // namespace ostrin::platform
