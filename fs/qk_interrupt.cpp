#include "fs/qk_interrupt.h"

#include <signal.h>

#include <initializer_list>

namespace {

volatile sig_atomic_t gSignal = 0;

void RecordSignal(int signal) {
  if (gSignal == 0) gSignal = signal;
}

}  // namespace

void qk_interrupt_install() {
  struct sigaction action = {};
  action.sa_handler = RecordSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocked calls return to be asked
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int qk_interrupted() { return gSignal; }

void qk_interrupt_raise(int signal) { RecordSignal(signal); }

void qk_interrupt_clear() { gSignal = 0; }
