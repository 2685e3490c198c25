#include "app/WVDateTime.h"

#include <gtest/gtest.h>

namespace {

const double kUnixEpoch = 62167219200.0;

TEST(WVBaseDateTimeTest, FixedPointsOfTheScale) {
  CWVBaseDateTime t;
  ASSERT_TRUE(t.SetBaseDateTime(1970, 1, 1, 0, 0, 0));
  EXPECT_EQ(kUnixEpoch, t.GetSeconds());
  ASSERT_TRUE(t.SetBaseDateTime(1, 1, 1, 0, 0, 0));
  EXPECT_EQ(366.0 * 86400, t.GetSeconds());
  ASSERT_TRUE(t.SetBaseDateTime(2000, 3, 1, 0u));
  EXPECT_EQ(730545.0 * 86400, t.GetSeconds());
}

TEST(WVBaseDateTimeTest, LeapDays) {
  CWVBaseDateTime t;
  EXPECT_TRUE(t.SetBaseDateTime(2000, 2, 29, 0u));
  EXPECT_TRUE(t.SetBaseDateTime(2024, 2, 29, 0u));
  EXPECT_FALSE(t.SetBaseDateTime(1900, 2, 29, 0u));
  EXPECT_FALSE(t.IsSet());
  EXPECT_FALSE(t.SetBaseDateTime(2023, 2, 29, 0u));
  EXPECT_EQ(0.0, t.GetSeconds());
}

TEST(WVBaseDateTimeTest, RejectsFieldsOutOfRange) {
  CWVBaseDateTime t;
  EXPECT_FALSE(t.SetBaseDateTime(2020, 1, 1, 86400u));
  EXPECT_FALSE(t.SetBaseDateTime(0, 1, 1, 0u));
  EXPECT_FALSE(t.SetBaseDateTime(10000, 1, 1, 0u));
  EXPECT_FALSE(t.SetBaseDateTime(2020, 13, 1, 0u));
  EXPECT_FALSE(t.SetBaseDateTime(2020, 4, 31, 0u));
  EXPECT_FALSE(t.SetBaseDateTime(2020, 1, 1, 0, 0, 60));
  EXPECT_FALSE(t.SetBaseDateTime(2020, 1, 1, 24, 0, 0));
  EXPECT_FALSE(t.SetBaseDateTime(2020, 1, 1, 0, -1, 0));
  EXPECT_FALSE(t.IsSet());
  EXPECT_TRUE(t.SetBaseDateTime(2020, 12, 31, 23, 59, 59));
}

// Day numbers must agree with the platform's own calendar on every day.
TEST(WVDateTimeTest, AgreesWithPlatformCalendar) {
  CWVDateTime t;
  for (time_t s = -2208988800; s < 4102444800; s += 86400 * 7 + 3599) {
    t.SetDateTimeFromSeconds(s);
    ASSERT_TRUE(t.IsSet());
    ASSERT_EQ(kUnixEpoch + static_cast<double>(s), t.GetSeconds()) << s;
  }
}

TEST(WVDateTimeTest, DifferenceInMinutes) {
  CWVDateTime a;
  CWVDateTime b;
  EXPECT_EQ(0.0, b.GetDifferenceInMinutesSince(a));
  a.SetDateTimeFromSeconds(1000000);
  EXPECT_EQ(0.0, b.GetDifferenceInMinutesSince(a));
  EXPECT_EQ(0.0, a.GetDifferenceInMinutesSince(b));
  b.SetDateTimeFromSeconds(1000090);
  EXPECT_EQ(1.5, b.GetDifferenceInMinutesSince(a));
  EXPECT_EQ(-1.5, a.GetDifferenceInMinutesSince(b));
  b.SetDateTimeFromSeconds(1000001);
  EXPECT_EQ(1.0 / 60, b.GetDifferenceInMinutesSince(a));
  b.SetDateTimeFromSeconds(1000000);
  EXPECT_EQ(0.0, b.GetDifferenceInMinutesSince(a));
}

TEST(WVDateTimeTest, CurrentTimeIsSet) {
  CWVDateTime now;
  now.SetWithCurrentDateTime();
  EXPECT_TRUE(now.IsSet());
  EXPECT_GT(now.GetSeconds(), kUnixEpoch);
}

}  // namespace
