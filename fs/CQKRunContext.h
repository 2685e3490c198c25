#ifndef QK_FS_CQKRUNCONTEXT_H_
#define QK_FS_CQKRUNCONTEXT_H_

#include <cstdint>

// What the long loops of one run ask and tell: whether the run is to stop,
// and how far the current step has come. The job hands it down to the
// database copy, the tree walks, the copies and the archive, which ask at
// their next safe point and fail as for any other error; the program's
// entry decides what asks a run to stop and where progress goes. This base
// never asks to stop and shows nothing.
class CQKRunContext {
 public:
  virtual ~CQKRunContext() = default;

  // The signal that asked the run to stop; 0 while none did.
  virtual int GetStopSignal() const { return 0; }
  bool IsStopRequested() const { return GetStopSignal() != 0; }
  // `done` more units of the current step's work are finished.
  virtual void Advance(uint64_t /*done*/) {}
  // The step's total is now known to be `total` units (database pages).
  virtual void SetTotal(uint64_t /*total*/) {}

  // A context that never stops and shows nothing: for work that must run
  // to its end (clean-up) and for callers outside a run.
  static CQKRunContext& Quiet();
};

#endif  // QK_FS_CQKRUNCONTEXT_H_
