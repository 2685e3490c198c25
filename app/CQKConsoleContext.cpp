#include "app/CQKConsoleContext.h"

#include <signal.h>

#include <initializer_list>

namespace {

// The one piece of process-wide state a signal handler can reach.
volatile sig_atomic_t gStopSignal = 0;

void RecordSignal(int signal) {
  if (gStopSignal == 0) gStopSignal = signal;
}

}  // namespace

void CQKConsoleContext::InstallSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = RecordSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocked calls return to be asked
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int CQKConsoleContext::GetStopSignal() const { return gStopSignal; }

void CQKConsoleContext::Advance(uint64_t done) {
  if (line_ != nullptr) line_->Advance(done);
}

void CQKConsoleContext::SetTotal(uint64_t total) {
  if (line_ != nullptr) line_->SetTotal(total);
}
