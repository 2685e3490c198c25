#include "app/WVDateTime.h"

#include <gtest/gtest.h>

namespace {

const double kUnixEpoch = 62167219200.0;
const double kRefused = -1;

TEST(WVBaseDateTimeTest, FieldsGiveSecondsOrLeaveItUnset) {
  const struct { short year, month, day, hour, minute, second; double seconds; }
  kCases[] = {{1, 1, 1, 0, 0, 0, 366.0 * 86400},
              {2000, 2, 29, 0, 0, 0, 730544.0 * 86400},
              {9999, 12, 31, 23, 59, 59, kUnixEpoch + 253402300799},
              {1900, 2, 29, 0, 0, 0, kRefused}, {2023, 2, 29, 0, 0, 0, kRefused},
              {0, 1, 1, 0, 0, 0, kRefused},     {10000, 1, 1, 0, 0, 0, kRefused},
              {2020, 13, 1, 0, 0, 0, kRefused}, {2020, 4, 31, 0, 0, 0, kRefused},
              {2020, 1, 0, 0, 0, 0, kRefused},  {2020, 1, 1, 0, 0, 60, kRefused},
              {2020, 1, 1, 24, 0, 0, kRefused}, {2020, 1, 1, 0, -1, 0, kRefused}};
  for (const auto& c : kCases) {
    CWVBaseDateTime t;
    t.SetBaseDateTime(2020, 1, 1, 86399u);  // refusal unsets what was there
    EXPECT_EQ(c.seconds != kRefused, t.SetBaseDateTime(c.year, c.month, c.day,
                                                       c.hour, c.minute,
                                                       c.second));
    EXPECT_EQ(c.seconds != kRefused, t.IsSet());
    EXPECT_EQ(c.seconds != kRefused ? c.seconds : 0.0, t.GetSeconds())
        << c.year << "-" << c.month << "-" << c.day;
  }
  EXPECT_FALSE(CWVBaseDateTime().SetBaseDateTime(2020, 1, 1, 86400u));
}

// Day numbers agree with the platform's own calendar; years it cannot hold
// leave the time unset.
TEST(WVDateTimeTest, AgreesWithPlatformCalendar) {
  CWVDateTime t, earlier;
  for (time_t s = -2208988800; s < 4102444800; s += 86400 * 7 + 3599) {
    t.SetDateTimeFromSeconds(s);
    ASSERT_TRUE(t.IsSet());
    ASSERT_EQ(kUnixEpoch + static_cast<double>(s), t.GetSeconds()) << s;
  }
  t.SetDateTimeFromSeconds(1000090);
  earlier.SetDateTimeFromSeconds(1000000);
  EXPECT_EQ(1.5, t.GetDifferenceInMinutesSince(earlier));
  t.SetDateTimeFromSeconds(-62167219201);  // the year 0
  EXPECT_FALSE(t.IsSet());
  EXPECT_EQ(0.0, t.GetDifferenceInMinutesSince(earlier));
  EXPECT_EQ(0.0, earlier.GetDifferenceInMinutesSince(t));
  t.SetWithCurrentDateTime();
  EXPECT_GT(t.GetSeconds(), kUnixEpoch);
}

}  // namespace
