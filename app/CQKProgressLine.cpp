#include "app/CQKProgressLine.h"

#include <algorithm>
#include <cstdio>

#include "app/wv_outstream.h"

namespace {

// A person reads a few updates a second; more only costs terminal output.
const std::chrono::milliseconds kRedrawInterval(250);

// Every percentage is drawn in this many characters ("  7%", "100%"), so
// moving back over the previous one is a fixed run of backspaces.
const char kBack[] = "\b\b\b\b";
// The terminal's own erase of the rest of the line.
const char kClearToEnd[] = "\033[K";

}  // namespace

CQKProgressLine::CQKProgressLine(const CQKString& title, uint64_t total)
    : title_(title), total_(total) {
  Show();
}

// Back to the line's start, the title again, and the rest of the line
// cleared: the cursor stands just after the title, wherever it was.
CQKProgressLine::~CQKProgressLine() {
  wvcout << "\r" << title_.GetSafeStringPtr() << kClearToEnd;
  wvcout.flush();
}

void CQKProgressLine::Advance(uint64_t done) {
  done_ += done;
  Show();
}

void CQKProgressLine::SetTotal(uint64_t total) {
  total_ = total;
  Show();
}

void CQKProgressLine::Show() {
  if (total_ == 0) return;
  // A live project may grow while it is copied: never past 100.
  const int percent =
      static_cast<int>(std::min<uint64_t>(done_, total_) * 100 / total_);
  if (percent == shownPercent_) return;
  const auto now = std::chrono::steady_clock::now();
  // The first value shows at once, so even a short step shows where it is.
  if (shownPercent_ >= 0 && now - shownAt_ < kRedrawInterval) return;
  char text[sizeof kBack];
  std::snprintf(text, sizeof text, "%3d%%", percent);
  if (shownPercent_ >= 0) wvcout << kBack;
  wvcout << text;
  wvcout.flush();
  shownPercent_ = percent;
  shownAt_ = now;
}
