#ifndef QK_APP_WV_OUTSTREAM_H_
#define QK_APP_WV_OUTSTREAM_H_

#include <iostream>

#include "strings/CQKString.h"

// Kinds of console stream.
enum wvstream_type { kWVStdOut = 0, kWVStdErr = 1 };

// Manipulators; only end-of-line has an effect.
enum wv_outconst { wvendl = 0 };

// A thin forwarder to std::cout (kind 0) or std::cerr (kind 1) that chains
// CQKString values. Bytes pass through unconverted; write errors stay in the
// standard stream's state, as with the standard streams themselves.
class wv_outstream {
 public:
  explicit wv_outstream(wvstream_type kind) : kind_(kind) {}

  // The bytes up to the first NUL; a string without a buffer writes nothing
  // and sets the standard stream's bad state, as a null text does.
  wv_outstream& operator<<(CQKString& text);
  wv_outstream& operator<<(const char* text);
  // wvendl writes a line break and flushes; other values do nothing.
  wv_outstream& operator<<(wv_outconst manipulator);
  wv_outstream& operator<<(wv_outstream& other);
  wv_outstream& operator<<(unsigned short value);
  wv_outstream& operator<<(char c);

  void flush();

 private:
  std::ostream& Stream() const;

  const wvstream_type kind_;
};

extern wv_outstream wvcout;
extern wv_outstream wvcerr;

#endif  // QK_APP_WV_OUTSTREAM_H_
