#ifndef QK_FUZZ_FUZZ_SUPPORT_H_
#define QK_FUZZ_FUZZ_SUPPORT_H_

// What the fuzz targets share: inputs copied into blocks of exactly their
// size, so that AddressSanitizer catches a read one byte too far, and an
// independent UTF-8 reader to judge the string layer's output by.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "strings/CQKString.h"

namespace fuzz {

// Stops the run with a message; libFuzzer keeps the input that did it.
inline void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "property failed: %s\n", what);
  abort();
}

// `count` items of type T read from the bytes, with nothing after them.
// AddressSanitizer does not guard an empty block, so no items are given as
// the end of a block of one.
template <typename T>
class ExactCopy {
 public:
  ExactCopy(const uint8_t* data, size_t count)
      : block_(new T[count == 0 ? 1 : count]),
        items_(count == 0 ? block_.get() + 1 : block_.get()) {
    if (count != 0) memcpy(items_, data, count * sizeof(T));
  }
  T* get() const { return items_; }
  T& operator[](size_t i) const { return items_[i]; }

 private:
  std::unique_ptr<T[]> block_;
  T* items_;
};

// The bytes with a terminating zero, in a block that ends right there.
inline std::unique_ptr<char[]> TerminatedCopy(const uint8_t* data,
                                              size_t size) {
  std::unique_ptr<char[]> copy(new char[size + 1]);
  if (size != 0) memcpy(copy.get(), data, size);
  copy[size] = 0;
  return copy;
}

// Length of the well-formed UTF-8 sequence at `p` (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0 when there is none.
inline size_t SequenceAt(const unsigned char* p, size_t available,
                         uint32_t* codePoint) {
  const unsigned char b = p[0];
  size_t n;
  uint32_t value;
  uint32_t least;
  if (b < 0x80) {
    *codePoint = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    n = 2, value = b & 0x1F, least = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, value = b & 0x0F, least = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, value = b & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (n > available) return 0;
  for (size_t i = 1; i < n; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3F);
  }
  if (value < least || value > 0x10FFFF) return 0;
  if (value >= 0xD800 && value <= 0xDFFF) return 0;
  *codePoint = value;
  return n;
}

// The code points of well-formed UTF-8; false when the bytes are not.
inline bool Decode(const unsigned char* p, size_t size,
                   std::vector<uint32_t>* out) {
  out->clear();
  for (size_t i = 0; i < size;) {
    uint32_t codePoint;
    const size_t n = SequenceAt(p + i, size - i, &codePoint);
    if (n == 0) return false;
    out->push_back(codePoint);
    i += n;
  }
  return true;
}

// The string's text as code points; stops the run unless it is well-formed
// UTF-8 whose length agrees with its terminator.
inline std::vector<uint32_t> CodePointsOf(const CQKString& s) {
  const char* text = s.GetSafeStringPtr();
  Require(strlen(text) == s.GetLength(), "length disagrees with terminator");
  std::vector<uint32_t> points;
  Require(Decode(reinterpret_cast<const unsigned char*>(text), s.GetLength(),
                 &points),
          "output is not well-formed UTF-8");
  return points;
}

inline bool SameText(const CQKString& s, const void* bytes, size_t n) {
  return s.GetLength() == n && memcmp(s.GetSafeStringPtr(), bytes, n) == 0;
}

}  // namespace fuzz

#endif  // QK_FUZZ_FUZZ_SUPPORT_H_
