// Comparison is an order: a text equals itself, swapping the sides flips the
// sign, case-sensitive comparison is strcmp, and ignoring case, ASCII texts
// compare as strcasecmp does. Buffers are exactly as large as the callers
// say, so a read past a terminator or a claimed size is caught.

#include <strings.h>

#include <cstring>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::Require;

int Sign(int v) { return (v > 0) - (v < 0); }

bool IsAscii(const char* text) {
  for (; *text != 0; text++) {
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] * (size - 1) / 255 + 1;
  const auto a = fuzz::TerminatedCopy(data + 1, split - 1);
  const auto b = fuzz::TerminatedCopy(data + split, size - split);
  const unsigned char* ua = reinterpret_cast<const unsigned char*>(a.get());
  const unsigned char* ub = reinterpret_cast<const unsigned char*>(b.get());
  const unsigned int sizeA = static_cast<unsigned int>(split);
  const unsigned int sizeB = static_cast<unsigned int>(size - split + 1);

  for (bool ignoreCase : {false, true}) {
    const int ab =
        CQKString::CompareUTF8Buffers(ua, ub, -1, ignoreCase, sizeA, sizeB);
    const int ba =
        CQKString::CompareUTF8Buffers(ub, ua, -1, ignoreCase, sizeB, sizeA);
    Require(Sign(ab) == -Sign(ba), "swapping the sides does not flip the sign");
    Require(CQKString::CompareUTF8Buffers(ua, ua, -1, ignoreCase, sizeA,
                                          sizeA) == 0,
            "a text differs from itself");
    // Measured sizes must agree with given ones.
    Require(Sign(CQKString::CompareUTF8Buffers(ua, ub, -1, ignoreCase, 0, 0)) ==
                Sign(ab),
            "sizes change the result");
  }
  Require(Sign(CQKString::CompareUTF8Buffers(ua, ub, -1, false, sizeA, sizeB)) ==
              Sign(strcmp(a.get(), b.get())),
          "case-sensitive comparison is not strcmp");
  if (IsAscii(a.get()) && IsAscii(b.get())) {
    Require(Sign(CQKString::CompareUTF8Buffers(ua, ub, -1, true, sizeA,
                                               sizeB)) ==
                Sign(strcasecmp(a.get(), b.get())),
            "ASCII ignoring case is not strcasecmp");
  }

  // The string forms, including a text that is converted before comparing.
  CQKString sa;
  sa.SetFromUTF8(a.get());
  CQKString sb;
  sb.SetFromUTF8(b.get());
  Require(Sign(sa.Compare(sb, true)) == -Sign(sb.Compare(sa, true)),
          "string comparison is not antisymmetric");
  const CQKString converted(b.get());
  Require(Sign(sa.Compare(b.get(), true)) == Sign(sa.Compare(converted, true)),
          "comparing with text differs from comparing with its string");
  Require(converted.EndsWith(converted, true), "a string does not end with itself");
  return 0;
}
