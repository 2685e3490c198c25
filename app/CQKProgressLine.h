#ifndef QK_APP_CQKPROGRESSLINE_H_
#define QK_APP_CQKPROGRESSLINE_H_

#include <chrono>
#include <cstdint>

#include "fs/qk_progress.h"

// How far a step has come, as a percentage after its title on standard
// output (a terminal: the percentage is redrawn in place with backspaces).
// While it lives it is the run's progress sink. It redraws at most a few
// times a second, so a report costs little more than a clock reading, and
// when destroyed it erases what it drew: the line holds the title alone
// again and the outcome follows as if no progress had been shown.
class CQKProgressLine : public QKProgressSink {
 public:
  // `total` units of work; 0 when the step reports its total itself.
  explicit CQKProgressLine(uint64_t total);
  ~CQKProgressLine() override;

  CQKProgressLine(const CQKProgressLine&) = delete;
  CQKProgressLine& operator=(const CQKProgressLine&) = delete;

  void Advance(uint64_t done) override;
  void SetTotal(uint64_t total) override;

 private:
  void Show();

  uint64_t total_;
  uint64_t done_ = 0;
  int shownPercent_ = -1;  // -1 while nothing is drawn
  std::chrono::steady_clock::time_point shownAt_;
};

#endif  // QK_APP_CQKPROGRESSLINE_H_
