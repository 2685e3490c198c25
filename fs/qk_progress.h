#ifndef QK_FS_QK_PROGRESS_H_
#define QK_FS_QK_PROGRESS_H_

#include <cstdint>

// How far a long step has come. The loops that move data (database pages,
// copied and zipped bytes) report their units here; whoever shows progress
// installs a sink for the step and removes it afterwards. Without a sink a
// report costs one test of a pointer.
class QKProgressSink {
 public:
  virtual ~QKProgressSink() = default;
  // `done` more units of the current step's work are finished.
  virtual void Advance(uint64_t done) = 0;
  // The step's total is now known to be `total` units (database pages).
  virtual void SetTotal(uint64_t total) = 0;
};

void qk_progress_set_sink(QKProgressSink* sink);
void qk_progress_advance(uint64_t done);
void qk_progress_total(uint64_t total);

#endif  // QK_FS_QK_PROGRESS_H_
