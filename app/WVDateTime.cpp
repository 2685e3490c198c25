#include "app/WVDateTime.h"

void CWVDateTime::SetDateTimeFromSeconds(time_t seconds) {
  struct tm fields;
  // Years beyond the calendar's range would wrap in the 16-bit fields.
  if (gmtime_r(&seconds, &fields) == nullptr || fields.tm_year + 1900 < 1 ||
      fields.tm_year + 1900 > 9999) {
    UnsetDateTime();
    return;
  }
  SetBaseDateTime(static_cast<short>(fields.tm_year + 1900),
                  static_cast<short>(fields.tm_mon + 1),
                  static_cast<short>(fields.tm_mday),
                  static_cast<short>(fields.tm_hour),
                  static_cast<short>(fields.tm_min),
                  static_cast<short>(fields.tm_sec));
}

void CWVDateTime::SetWithCurrentDateTime() {
  SetDateTimeFromSeconds(time(nullptr));
}

double CWVDateTime::GetDifferenceInMinutesSince(
    const CWVDateTime& earlier) const {
  if (!IsSet() || !earlier.IsSet()) return 0.0;
  return (seconds_ - earlier.seconds_) / 60.0;
}
