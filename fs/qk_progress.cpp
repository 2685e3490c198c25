#include "fs/qk_progress.h"

namespace {

QKProgressSink* gSink = nullptr;

}  // namespace

void qk_progress_set_sink(QKProgressSink* sink) { gSink = sink; }

void qk_progress_advance(uint64_t done) {
  if (gSink != nullptr) gSink->Advance(done);
}

void qk_progress_total(uint64_t total) {
  if (gSink != nullptr) gSink->SetTotal(total);
}
