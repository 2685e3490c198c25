#ifndef QK_APP_WVBASEDATETIME_H_
#define QK_APP_WVBASEDATETIME_H_

// A moment as whole seconds since 0000-01-01 00:00:00 of the proleptic
// Gregorian calendar, or unset. On this scale 1970-01-01 is 62167219200.
class CWVBaseDateTime {
 public:
  CWVBaseDateTime() = default;
  virtual ~CWVBaseDateTime() = default;

  void UnsetDateTime();
  // Years 1-9999, months 1-12, days within the month, secondsOfDay at most
  // 86399. On any other value the object is left unset and false returned.
  bool SetBaseDateTime(short year, short month, short day,
                       unsigned int secondsOfDay);
  bool SetBaseDateTime(short year, short month, short day, short hour,
                       short minute, short second);

  bool IsSet() const { return isSet_; }
  double GetSeconds() const { return seconds_; }

  static bool IsLeapYear(int year);

 protected:
  double seconds_ = 0.0;
  bool isSet_ = false;
};

#endif  // QK_APP_WVBASEDATETIME_H_
