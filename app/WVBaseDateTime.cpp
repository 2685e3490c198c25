#include "app/WVBaseDateTime.h"

namespace {

// Days before the first of month m (1-13) in a common year.
const int kDaysBeforeMonth[14] = {0,   0,   31,  59,  90,  120, 151,
                                  181, 212, 243, 273, 304, 334, 365};

const unsigned int kSecondsPerDay = 86400;

}  // namespace

bool CWVBaseDateTime::IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

void CWVBaseDateTime::UnsetDateTime() {
  seconds_ = 0.0;
  isSet_ = false;
}

bool CWVBaseDateTime::SetBaseDateTime(short year, short month, short day,
                                      unsigned int secondsOfDay) {
  UnsetDateTime();
  if (secondsOfDay >= kSecondsPerDay || year < 1 || year > 9999 || month < 1 ||
      month > 12 || day < 1) {
    return false;
  }
  const bool leap = IsLeapYear(year);
  int monthLength = kDaysBeforeMonth[month + 1] - kDaysBeforeMonth[month];
  if (month == 2 && leap) monthLength++;
  if (day > monthLength) return false;

  long dayNumber = 365L * year + year / 4 - year / 100 + year / 400 +
                   kDaysBeforeMonth[month] + day;
  if (leap && month <= 2) dayNumber--;
  seconds_ = static_cast<double>(dayNumber) * kSecondsPerDay + secondsOfDay;
  isSet_ = true;
  return true;
}

bool CWVBaseDateTime::SetBaseDateTime(short year, short month, short day,
                                      short hour, short minute, short second) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
      second > 59) {
    UnsetDateTime();
    return false;
  }
  return SetBaseDateTime(year, month, day,
                         static_cast<unsigned int>(second +
                                                   (minute + hour * 60) * 60));
}
