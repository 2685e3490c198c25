#ifndef QK_APP_WVDATETIME_H_
#define QK_APP_WVDATETIME_H_

#include <ctime>

#include "app/WVBaseDateTime.h"

// The wall clock that times the backup steps: UTC, whole seconds.
class CWVDateTime : public CWVBaseDateTime {
 public:
  // Seconds since 1970-01-01 00:00:00 UTC; unset when they cannot be broken
  // into calendar fields.
  void SetDateTimeFromSeconds(time_t seconds);
  void SetWithCurrentDateTime();
  // Minutes from `earlier` to this moment (negative when `earlier` is later);
  // 0.0 when either is unset.
  double GetDifferenceInMinutesSince(const CWVDateTime& earlier) const;
};

#endif  // QK_APP_WVDATETIME_H_
