#ifndef QK_APP_CQKCONSOLECONTEXT_H_
#define QK_APP_CQKCONSOLECONTEXT_H_

#include <cstdint>

#include "app/CQKProgressLine.h"
#include "fs/CQKRunContext.h"

// The program's run context. SIGINT, SIGTERM and SIGHUP ask the run to stop:
// their handlers only record the first of them, installed without
// SA_RESTART so that a blocked read or write returns and its loop gets to
// ask; a second signal during the clean-up changes nothing. SIGPIPE is
// ignored: a closed standard output never stops a backup. Progress goes to
// the step's progress line while there is one.
class CQKConsoleContext : public CQKRunContext {
 public:
  // Once, before the first step, so no signal can end a run half done.
  static void InstallSignalHandlers();

  int GetStopSignal() const override;
  void Advance(uint64_t done) override;
  void SetTotal(uint64_t total) override;

  // The line that shows the current step's progress; null for none.
  void SetProgressLine(CQKProgressLine* line) { line_ = line; }

 private:
  CQKProgressLine* line_ = nullptr;
};

#endif  // QK_APP_CQKCONSOLECONTEXT_H_
