// MakeUpper turns any bytes into well-formed UTF-8, one character for each
// character or stray byte it read, maps ASCII as toupper does, and changes
// nothing more when run again.

#include <cctype>
#include <cstring>

#include "fuzz/fuzz_support.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto exact = fuzz::ExactCopy<unsigned char>(data, size);
  CQKString s;
  s.SetFromUTF8(exact.get(), static_cast<unsigned int>(size));
  const CQKString before(s);
  s.MakeUpper();
  const std::vector<uint32_t> points = fuzz::CodePointsOf(s);

  const unsigned char* in =
      reinterpret_cast<const unsigned char*>(before.GetSafeStringPtr());
  const size_t n = before.GetLength();
  size_t characters = 0;
  for (size_t i = 0; i < n; characters++) {
    uint32_t c;
    const size_t used = fuzz::SequenceAt(in + i, n - i, &c);
    if (used == 1) {
      Require(points[characters] == static_cast<uint32_t>(toupper(c)),
              "ASCII not upper-cased as toupper does");
    }
    i += used == 0 ? 1 : used;
    Require(characters < points.size(), "characters lost");
  }
  Require(characters == points.size(), "characters added");

  CQKString again(s);
  again.MakeUpper();
  Require(again.GetLength() == s.GetLength() && again.Compare(s, false) == 0,
          "upper case of upper case differs");
  return 0;
}
