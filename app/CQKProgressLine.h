#ifndef QK_APP_CQKPROGRESSLINE_H_
#define QK_APP_CQKPROGRESSLINE_H_

#include <chrono>
#include <cstdint>

#include "strings/CQKString.h"


// How far a step has come, as a percentage after its title on standard
// output (a terminal: the percentage is redrawn in place with backspaces).
// The run context hands it the step's reports. It redraws at most a few
// times a second, so a report costs little more than a clock reading, and
// when destroyed it redraws the line as the title alone, whatever the
// terminal put after it meanwhile (the "^C" it echoes for an interrupt),
// so the outcome follows as if no progress had been shown.
class CQKProgressLine {
 public:
  // The line of the step `title`, already shown; `total` units of work, 0
  // when the step reports its total itself or has none.
  CQKProgressLine(const CQKString& title, uint64_t total);
  virtual ~CQKProgressLine();

  CQKProgressLine(const CQKProgressLine&) = delete;
  CQKProgressLine& operator=(const CQKProgressLine&) = delete;

  // `done` more units are finished.
  void Advance(uint64_t done);
  // The step's total is now `total` units.
  void SetTotal(uint64_t total);

 private:
  void Show();

  const CQKString title_;
  uint64_t total_;
  uint64_t done_ = 0;
  int shownPercent_ = -1;  // -1 while nothing is drawn
  std::chrono::steady_clock::time_point shownAt_;
};

#endif  // QK_APP_CQKPROGRESSLINE_H_
