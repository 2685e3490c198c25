#include "app/wv_outstream.h"

// <iostream> above places the standard library's initialisation object in
// this unit ahead of the two streams, so std::cout and std::cerr exist before
// any static constructor here could use them.
wv_outstream wvcout(kWVStdOut);
wv_outstream wvcerr(kWVStdErr);

std::ostream& wv_outstream::Stream() const {
  return kind_ == kWVStdErr ? std::cerr : std::cout;
}

wv_outstream& wv_outstream::operator<<(CQKString& text) {
  // GetData is null for a string without a buffer; the standard stream
  // answers a null text by setting its bad state.
  Stream() << reinterpret_cast<const char*>(text.GetData());
  return *this;
}

wv_outstream& wv_outstream::operator<<(const char* text) {
  Stream() << text;
  return *this;
}

wv_outstream& wv_outstream::operator<<(wv_outconst manipulator) {
  if (manipulator == wvendl) Stream() << std::endl;
  return *this;
}

wv_outstream& wv_outstream::operator<<(wv_outstream& /*other*/) {
  return *this;
}

wv_outstream& wv_outstream::operator<<(unsigned short value) {
  Stream() << static_cast<unsigned long>(value);
  return *this;
}

wv_outstream& wv_outstream::operator<<(char c) {
  Stream() << c;
  return *this;
}

void wv_outstream::flush() { Stream().flush(); }
