#include "strings/CQKString.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "strings/CQKStringUnicodeTables.h"

namespace {

// Trailing bytes that follow each lead byte.
const unsigned char trailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x00
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x10
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x20
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x30
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x40
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x50
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x60
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x70
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x80
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x90
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xA0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xB0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xC0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 0xD0
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // 0xE0
    3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};  // 0xF0

// What the marker bits leave behind when a sequence is summed six bits at a
// time, by trailing-byte count.
const unsigned int offsetsFromUTF8[6] = {0x00000000u, 0x00003080u,
                                         0x000E2080u, 0x03C82080u,
                                         0xFA082080u, 0x82082080u};

// Lead-byte marker by sequence length.
const unsigned char firstByteMark[7] = {0x00, 0x00, 0xC0, 0xE0,
                                        0xF0, 0xF8, 0xFC};

// Bytes of 0x80-0x9F that Windows-1252 defines; Latin-1 has only controls
// there, so one of them marks the text as Windows-1252.
const unsigned char gbProbableWin1252Char[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x00
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x10
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x20
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x30
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x40
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x50
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x60
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0x70
    1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0,  // 0x80
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1,  // 0x90
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xA0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xB0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xC0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xD0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 0xE0
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // 0xF0

// UTF-8 of the Windows-1252 characters 0x80-0x9F, zero-padded; the bytes
// Windows-1252 leaves undefined become '?'. From 0xA0 up the code page
// agrees with Latin-1.
const unsigned char Win1252SpecialChars[32][3] = {
    {0xE2, 0x82, 0xAC}, {0x3F, 0x00, 0x00}, {0xE2, 0x80, 0x9A},
    {0xC6, 0x92, 0x00}, {0xE2, 0x80, 0x9E}, {0xE2, 0x80, 0xA6},
    {0xE2, 0x80, 0xA0}, {0xE2, 0x80, 0xA1}, {0xCB, 0x86, 0x00},
    {0xE2, 0x80, 0xB0}, {0xC5, 0xA0, 0x00}, {0xE2, 0x80, 0xB9},
    {0xC5, 0x92, 0x00}, {0x3F, 0x00, 0x00}, {0xC5, 0xBD, 0x00},
    {0x3F, 0x00, 0x00}, {0x3F, 0x00, 0x00}, {0xE2, 0x80, 0x98},
    {0xE2, 0x80, 0x99}, {0xE2, 0x80, 0x9C}, {0xE2, 0x80, 0x9D},
    {0xE2, 0x80, 0xA2}, {0xE2, 0x80, 0x93}, {0xE2, 0x80, 0x94},
    {0xCB, 0x9C, 0x00}, {0xE2, 0x84, 0xA2}, {0xC5, 0xA1, 0x00},
    {0xE2, 0x80, 0xBA}, {0xC5, 0x93, 0x00}, {0x3F, 0x00, 0x00},
    {0xC5, 0xBE, 0x00}, {0xC5, 0xB8, 0x00}};

const char kNoText[] = "";

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// A size that does not fit the buffer's 32-bit size can never be allocated.
unsigned int CheckedSize(unsigned long long size) {
  if (size > 0xFFFFFFFFu) throw std::bad_alloc();
  return static_cast<unsigned int>(size);
}

bool PointsInto(const CQKBuffer& buffer, const void* p) {
  const unsigned char* bytes = static_cast<const unsigned char*>(p);
  return buffer.GetData() != nullptr && bytes >= buffer.GetData() &&
         bytes < buffer.GetData() + buffer.GetSize();
}

// A private copy of `count` bytes, for input that lies in the buffer about
// to be rewritten. It ends with four zero bytes so that it also reads as a
// terminated text of units.
const unsigned char* CopyAside(CQKBuffer& copy, const void* bytes,
                               unsigned long long count) {
  copy.ReAlloc(CheckedSize(count + 4));
  memcpy(copy.GetData(), bytes, count);
  memset(copy.GetData() + count, 0, 4);
  return copy.GetData();
}

constexpr unsigned short DecimalDigits(unsigned long long value) {
  return value < 10 ? 1 : 1 + DecimalDigits(value / 10);
}

unsigned short UpperCaseOf(unsigned short unit) {
  if (CQKStringUnicodeTables::GetCategory(unit) !=
      CQKStringUnicodeTables::kLowercaseLetter) {
    return unit;
  }
  unsigned short other = CQKStringUnicodeTables::GetOtherCase(unit);
  return other != 0 ? other : unit;
}

// Case-insensitive comparison looks at both sides in lower case.
unsigned short FoldedCaseOf(unsigned short unit) {
  if (CQKStringUnicodeTables::GetCategory(unit) !=
      CQKStringUnicodeTables::kUppercaseLetter) {
    return unit;
  }
  unsigned short other = CQKStringUnicodeTables::GetOtherCase(unit);
  return other != 0 ? other : unit;
}

// One step of a conversion: the UTF-8 bytes to write and the free room the
// writer wants before writing them.
struct Piece {
  unsigned char bytes[4];
  unsigned int length;
  unsigned int room;
};

unsigned int EncodeUTF8(unsigned int codePoint, unsigned char* out) {
  unsigned int n = codePoint < 0x80      ? 1
                   : codePoint < 0x800   ? 2
                   : codePoint < 0x10000 ? 3
                                         : 4;
  for (unsigned int i = n - 1; i > 0; --i) {
    out[i] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
    codePoint >>= 6;
  }
  out[0] = static_cast<unsigned char>(codePoint | firstByteMark[n]);
  return n;
}

class Latin1Source {
 public:
  Latin1Source(const char* text, unsigned int length)
      : next_(reinterpret_cast<const unsigned char*>(text)),
        end_(next_ + length) {}
  bool Next(Piece* piece) {
    if (next_ == end_) return false;
    unsigned char b = *next_++;
    if (b < 0x80) {
      piece->bytes[0] = b;
      piece->length = 1;
    } else {
      piece->bytes[0] = static_cast<unsigned char>(0xC0 | (b >> 6));
      piece->bytes[1] = static_cast<unsigned char>(0x80 | (b & 0x3F));
      piece->length = 2;
    }
    piece->room = piece->length;
    return true;
  }

 private:
  const unsigned char* next_;
  const unsigned char* end_;
};

class Windows1252Source {
 public:
  Windows1252Source(const char* text, unsigned int length)
      : latin1_(text, length),
        next_(reinterpret_cast<const unsigned char*>(text)) {}
  bool Next(Piece* piece) {
    // The Latin-1 reading says whether a byte is left before this one is read.
    if (!latin1_.Next(piece)) return false;
    const unsigned char b = *next_++;
    if (b >= 0x80) {
      // A high byte asks for room for the longest entry.
      piece->room = 4;
      if (b < 0xA0) {
        const unsigned char* entry = Win1252SpecialChars[b - 0x80];
        piece->length = entry[0] >= 0xE0 ? 3 : entry[0] >= 0xC0 ? 2 : 1;
        memcpy(piece->bytes, entry, 3);
      }
    }
    return true;
  }

 private:
  Latin1Source latin1_;
  const unsigned char* next_;
};

class UCS2Source {
 public:
  UCS2Source(const unsigned short* units, unsigned int count, bool swapBytes)
      : next_(units), end_(units + count), swap_(swapBytes) {}
  // An unpaired surrogate ends the text.
  bool Next(Piece* piece) {
    if (next_ == end_) return false;
    unsigned int codePoint = Unit(*next_++);
    if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) return false;
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      if (next_ == end_) return false;
      unsigned int low = Unit(*next_);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      ++next_;
      codePoint = ((codePoint - 0xD800) << 10) + (low - 0xDC00) + 0x10000;
    }
    piece->length = EncodeUTF8(codePoint, piece->bytes);
    piece->room = piece->length;
    return true;
  }

 private:
  unsigned int Unit(unsigned short u) const {
    return swap_ ? static_cast<unsigned short>((u >> 8) | (u << 8)) : u;
  }
  const unsigned short* next_;
  const unsigned short* end_;
  bool swap_;
};

class UTF32Source {
 public:
  UTF32Source(const unsigned int* codePoints, unsigned int count)
      : next_(codePoints), end_(codePoints + count) {}
  // A surrogate ends the text; what lies beyond Unicode becomes U+FFFD.
  bool Next(Piece* piece) {
    if (next_ == end_) return false;
    unsigned int codePoint = *next_++;
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
    if (codePoint > 0x10FFFF) codePoint = 0xFFFD;
    piece->length = EncodeUTF8(codePoint, piece->bytes);
    piece->room = piece->length;
    return true;
  }

 private:
  const unsigned int* next_;
  const unsigned int* end_;
};

unsigned int UnitCount(const unsigned short* units) {
  unsigned int n = 0;
  while (units[n] != 0) ++n;
  return n;
}

unsigned int CodePointCount(const unsigned int* codePoints) {
  unsigned int n = 0;
  while (codePoints[n] != 0) ++n;
  return n;
}

// Decodes the character at `p` for the case-insensitive walk. The zero byte
// is the terminator whatever size the caller claimed, so the walk never
// passes it.
int DecodeForCompare(const unsigned char* p, unsigned int remaining,
                     unsigned short* unit) {
  if (*p == 0) {
    *unit = 0;
    return 1;
  }
  return CQKString::UTF8CharToUCS2Char(p, remaining, unit);
}


// --- Measuring printf formats ---

// What walking a format found: the bytes formatting needs, and whether a
// text or count argument points into a given buffer.
struct FormatScan {
  unsigned long long bytes = 0;
  bool argumentInBuffer = false;
};

// One conversion as written, with what its '*' fields took.
struct Conversion {
  bool plus = false;
  bool alternate = false;
  bool hasWidth = false;
  long long width = 0;
  bool hasPrecision = false;
  long long precision = 0;
  int stars[2] = {0, 0};
  int starCount = 0;
  char spec[64];  // the conversion alone, '%' to letter
  char base[8];   // '%', the length modifier and the letter
};

// Bytes snprintf writes for one value, or 0 when it reports an error.
template <typename T>
unsigned long long Printed(const char* format, const int* stars,
                           int starCount, T value) {
  int n;
  if (starCount == 0) {
    n = snprintf(nullptr, 0, format, value);
  } else if (starCount == 1) {
    n = snprintf(nullptr, 0, format, stars[0], value);
  } else {
    n = snprintf(nullptr, 0, format, stars[0], stars[1], value);
  }
  return n < 0 ? 0 : static_cast<unsigned long long>(n);
}

unsigned long long Larger(unsigned long long a, unsigned long long b) {
  return a > b ? a : b;
}

// The estimate's own rule for a width, then never less than snprintf's
// count for the conversion as written.
template <typename T>
unsigned long long Settle(const Conversion& c, unsigned long long size,
                          T value) {
  if (c.hasWidth && c.width > 0 &&
      static_cast<unsigned long long>(c.width) > size) {
    size = static_cast<unsigned long long>(c.width);
  }
  return Larger(size, Printed(c.spec, c.stars, c.starCount, value));
}

template <typename T>
unsigned long long SignedSize(const Conversion& c, va_list* args) {
  T value = va_arg(*args, T);
  unsigned long long size = Printed(c.base, nullptr, 0, value);
  if (c.hasPrecision && c.precision > static_cast<long long>(size)) {
    size = static_cast<unsigned long long>(c.precision) + (value < 0 ? 1 : 0);
  }
  if (c.plus && value > 0) ++size;
  return Settle(c, size, value);
}

template <typename T>
unsigned long long UnsignedSize(const Conversion& c, va_list* args) {
  T value = va_arg(*args, T);
  unsigned long long size = Printed(c.base, nullptr, 0, value);
  if (c.hasPrecision && c.precision > static_cast<long long>(size)) {
    size = static_cast<unsigned long long>(c.precision);
  }
  if (c.alternate) size += 2;
  return Settle(c, size, value);
}

template <typename T>
unsigned long long FloatSize(const Conversion& c, char letter, bool isLong,
                             va_list* args) {
  T value = va_arg(*args, T);
  char format[8];
  char* f = format;
  *f++ = '%';
  if (c.alternate && letter != 'a' && letter != 'A') *f++ = '#';
  if (c.hasPrecision) {
    *f++ = '.';
    *f++ = '*';
  }
  if (isLong) *f++ = 'L';
  *f++ = letter;
  *f = 0;
  int precision = static_cast<int>(c.precision);
  unsigned long long size =
      Printed(format, &precision, c.hasPrecision ? 1 : 0, value);
  if (c.plus && value > 0) ++size;
  return Settle(c, size, value);
}

int StarArgument(va_list* args, Conversion* c) {
  int value = va_arg(*args, int);
  c->stars[c->starCount++] = value;
  return value;
}

long long DecimalField(const char** p) {
  long long value = 0;
  for (; **p >= '0' && **p <= '9'; ++*p) {
    // Beyond INT_MAX printf fails anyway; stop the number from overflowing.
    if (value <= INT_MAX) value = value * 10 + (**p - '0');
  }
  return value;
}

enum LengthModifier { kNoModifier, kChar, kShort, kLong, kLongLong,
                      kLongDouble, kIntMax, kSizeT, kPtrDiff };

// Measures the conversion at *cursor and moves past it. Returns false, having
// measured nothing, for what it does not know how glibc reads: positional
// arguments, wide characters and texts, conversions beyond C's, a format
// that ends inside a conversion.
bool MeasureConversion(const char** cursor, va_list* args,
                       const CQKBuffer* own, FormatScan* scan) {
  Conversion c;
  const char* p = *cursor + 1;
  for (; *p != 0 && strchr("+#0- 'I", *p) != nullptr; ++p) {
    if (*p == '+') c.plus = true;
    if (*p == '#') c.alternate = true;
  }
  if (*p == '*') {
    c.hasWidth = true;
    c.width = StarArgument(args, &c);
    ++p;
  } else if (*p >= '0' && *p <= '9') {
    c.hasWidth = true;
    c.width = DecimalField(&p);
  }
  if (*p == '.') {
    c.hasPrecision = true;
    ++p;
    if (*p == '*') {
      c.precision = StarArgument(args, &c);
      ++p;
    } else {
      c.precision = DecimalField(&p);
    }
  }
  const char* modifierStart = p;
  LengthModifier modifier = kNoModifier;
  switch (*p) {
    case 'h':
      modifier = p[1] == 'h' ? kChar : kShort;
      break;
    case 'l':
      modifier = p[1] == 'l' ? kLongLong : kLong;
      break;
    case 'q': modifier = kLongLong; break;
    case 'L': modifier = kLongDouble; break;
    case 'j': modifier = kIntMax; break;
    case 'z':
    case 'Z': modifier = kSizeT; break;
    case 't': modifier = kPtrDiff; break;
    default: break;
  }
  if (modifier != kNoModifier) p += (modifier == kChar || (modifier == kLongLong && *p == 'l')) ? 2 : 1;
  char letter = *p;
  if (letter == 0) return false;
  ++p;
  size_t specLength = static_cast<size_t>(p - *cursor);
  size_t modifierLength = static_cast<size_t>(p - 1 - modifierStart);
  if (specLength >= sizeof c.spec) return false;
  memcpy(c.spec, *cursor, specLength);
  c.spec[specLength] = 0;
  c.base[0] = '%';
  memcpy(c.base + 1, modifierStart, modifierLength + 1);
  c.base[modifierLength + 2] = 0;

  unsigned long long size;
  switch (letter) {
    case 'd':
    case 'i':
      switch (modifier) {
        case kNoModifier:
        case kChar:
        case kShort: size = SignedSize<int>(c, args); break;
        case kLong: size = SignedSize<long>(c, args); break;
        case kLongLong:
        case kLongDouble: size = SignedSize<long long>(c, args); break;
        case kIntMax: size = SignedSize<intmax_t>(c, args); break;
        case kSizeT: size = SignedSize<ssize_t>(c, args); break;
        case kPtrDiff: size = SignedSize<ptrdiff_t>(c, args); break;
      }
      break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      switch (modifier) {
        case kNoModifier:
        case kChar:
        case kShort: size = UnsignedSize<unsigned int>(c, args); break;
        case kLong: size = UnsignedSize<unsigned long>(c, args); break;
        case kLongLong:
        case kLongDouble: size = UnsignedSize<unsigned long long>(c, args); break;
        case kIntMax: size = UnsignedSize<uintmax_t>(c, args); break;
        case kSizeT:
        case kPtrDiff: size = UnsignedSize<size_t>(c, args); break;
      }
      break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (modifier == kLongDouble) {
        size = FloatSize<long double>(c, letter, true, args);
      } else if (modifier == kNoModifier || modifier == kLong) {
        size = FloatSize<double>(c, letter, false, args);
      } else {
        return false;
      }
      break;
    case 'c':
      if (modifier != kNoModifier) return false;
      size = Settle(c, 1, va_arg(*args, int));
      break;
    case 's': {
      if (modifier != kNoModifier) return false;
      const char* text = va_arg(*args, const char*);
      if (text == nullptr) {
        size = 6;
        if (c.hasPrecision && c.precision >= 1 && c.precision < 6) {
          size = static_cast<unsigned long long>(c.precision);
        }
      } else if (c.hasPrecision && c.precision >= 0) {
        // Never read past the bytes the precision allows: the text need
        // not be terminated.
        size = strnlen(text, static_cast<size_t>(c.precision));
      } else {
        size = strlen(text);
      }
      if (own != nullptr && PointsInto(*own, text)) scan->argumentInBuffer = true;
      size = Settle(c, size, text);
      break;
    }
    case 'p': {
      if (modifier != kNoModifier) return false;
      const void* pointer = va_arg(*args, const void*);
      size = Settle(c, Printed("%p", nullptr, 0, pointer), pointer);
      break;
    }
    case 'n': {
      void* count = va_arg(*args, void*);
      if (own != nullptr && PointsInto(*own, count)) scan->argumentInBuffer = true;
      size = c.hasWidth && c.width > 0 ? static_cast<unsigned long long>(c.width) : 0;
      break;
    }
    case '%':
      if (specLength != 2) return false;
      size = 1;
      break;
    default:
      return false;
  }
  scan->bytes += size;
  *cursor = p;
  return true;
}

FormatScan ScanFormat(const char* format, va_list args, const CQKBuffer* own) {
  FormatScan scan;
  if (format == nullptr) return scan;
  va_list walk;
  va_copy(walk, args);
  const char* p = format;
  while (*p != 0) {
    if (*p != '%') {
      ++scan.bytes;
      ++p;
    } else if (p[1] == 0) {
      ++scan.bytes;
      break;
    } else if (!MeasureConversion(&p, &walk, own, &scan)) {
      // Let the platform measure the whole format it alone understands.
      va_list whole;
      va_copy(whole, args);
      int n = vsnprintf(nullptr, 0, format, whole);
      va_end(whole);
      if (n > 0) scan.bytes = Larger(scan.bytes, static_cast<unsigned long long>(n));
      if (own != nullptr && own->GetData() != nullptr) scan.argumentInBuffer = true;
      break;
    }
  }
  va_end(walk);
  return scan;
}

}  // namespace

const CQKString CQKString::kEmptyString;
const unsigned short CQKString::kMaxLenOfULongAsStr =
    DecimalDigits(4294967295ull);
const unsigned short CQKString::kMaxLenOfInt16AsStr = DecimalDigits(32767);
const unsigned short CQKString::kMaxLenOfInt32AsStr =
    DecimalDigits(2147483647);
const unsigned int CQKGrowString::kDefaultGrowSize;

// --- Construction and assignment ---

CQKString::CQKString(const char* text) {
  if (text == nullptr) return;
  size_t n = strlen(text);
  if (IsLegalUTF8String(reinterpret_cast<const unsigned char*>(text),
                        CheckedSize(n))) {
    GrowTo(CheckedSize(n + 1ull), false);
    memcpy(data_, text, n + 1);
    length_ = static_cast<unsigned int>(n);
  } else if (IsProbableWindows1252String(text)) {
    InitializeFromWindows1252(text, static_cast<unsigned int>(n));
  } else {
    InitializeFromLatin1(text, static_cast<unsigned int>(n));
  }
}

CQKString::CQKString(char c) {
  GrowTo(2, false);
  data_[0] = static_cast<unsigned char>(c);
  data_[1] = 0;
  length_ = c != 0 ? 1 : 0;
}

CQKString::CQKString(int value) { PrintNumber("%d", value, 32); }
CQKString::CQKString(short value) { PrintNumber("%d", int{value}, 32); }
CQKString::CQKString(unsigned int value) { PrintNumber("%u", value, 32); }
CQKString::CQKString(unsigned short value) {
  PrintNumber("%u", static_cast<unsigned int>(value), 32);
}
CQKString::CQKString(long value) { PrintNumber("%ld", value, 32); }
CQKString::CQKString(unsigned long value) { PrintNumber("%lu", value, 32); }
CQKString::CQKString(long long value) { PrintNumber("%lld", value, 62); }
CQKString::CQKString(unsigned long long value) {
  PrintNumber("%llu", value, 62);
}

CQKString::CQKString(ConstructorType type, const char* text,
                     unsigned int length) {
  Initialize(type, text, length);
}

CQKString::CQKString(const CQKString& other) : CQKBuffer() {
  SetFromUTF8WithLength(
      reinterpret_cast<const unsigned char*>(other.GetSafeStringPtr()),
      other.length_);
}

CQKString::CQKString(CQKString&& other) noexcept {
  StealCQKStringFromCQKString(other);
}

CQKString::~CQKString() { DiscardCache(); }

void CQKString::Initialize(ConstructorType type, const char* text,
                           unsigned int length) {
  if (length == 0xFFFFFFFFu && text != nullptr) {
    length = CheckedSize(strlen(text));
  }
  switch (type) {
    case kLatin1:
      InitializeFromLatin1(text, length);
      break;
    case kUTF8:
    case kASCII:
      InitializeFromUTF8(reinterpret_cast<const unsigned char*>(text), length);
      break;
    case kLocal8Bit:
      InitializeFromLocal8Bit(text, length);
      break;
    case kWindows1252:
      InitializeFromWindows1252(text, length);
      break;
    default:
      Empty(1);
      break;
  }
}

CQKString& CQKString::operator=(const CQKString& other) {
  if (&other == this) return *this;
  if (other.length_ == 0) {
    Empty(1);
  } else {
    SetFromUTF8(other.data_, other.length_);
  }
  return *this;
}

CQKString& CQKString::operator=(CQKString&& other) {
  FreeString();
  StealCQKStringFromCQKString(other);
  return *this;
}

CQKString& CQKString::operator=(const char* text) {
  if (text == nullptr) {
    Empty(1);
    return *this;
  }
  unsigned int n = CheckedSize(strlen(text));
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  if (IsLegalUTF8String(bytes, n)) {
    SetFromUTF8(bytes, n);
  } else if (IsProbableWindows1252String(text)) {
    SetFromWindows1252(text, n);
  } else {
    SetFromLatin1(text, n);
  }
  return *this;
}

CQKString& CQKString::operator=(int value) {
  PrintNumber("%d", value, 32);
  return *this;
}
CQKString& CQKString::operator=(short value) {
  PrintNumber("%d", int{value}, 32);
  return *this;
}
CQKString& CQKString::operator=(unsigned int value) {
  PrintNumber("%u", value, 32);
  return *this;
}
CQKString& CQKString::operator=(unsigned short value) {
  PrintNumber("%u", static_cast<unsigned int>(value), 32);
  return *this;
}
CQKString& CQKString::operator=(long value) {
  PrintNumber("%ld", value, 32);
  return *this;
}
CQKString& CQKString::operator=(unsigned long value) {
  PrintNumber("%lu", value, 32);
  return *this;
}
CQKString& CQKString::operator=(long long value) {
  PrintNumber("%lld", value, 62);
  return *this;
}
CQKString& CQKString::operator=(unsigned long long value) {
  PrintNumber("%llu", value, 62);
  return *this;
}

template <typename T>
void CQKString::PrintNumber(const char* format, T value, unsigned int room) {
  DiscardCache();
  GrowTo(room, false);
  snprintf(reinterpret_cast<char*>(data_), size_, format, value);
  length_ = static_cast<unsigned int>(strlen(reinterpret_cast<char*>(data_)));
}

void CQKString::StealCQKStringFromCQKString(CQKString& other) {
  if (&other == this) return;
  StealContentsFrom(other);
  delete cache_;
  cache_ = other.cache_;
  flags_ = other.flags_;
  length_ = other.length_;
  other.cache_ = nullptr;
  other.flags_ = 0;
  other.length_ = 0;
}

// --- Buffer slots ---

void CQKString::ClearBuffer() { Empty(1); }

// Without a buffer there is no text, so the length goes with it.
void CQKString::FreeBuffer() {
  CQKBuffer::FreeBuffer();
  length_ = 0;
}

unsigned int CQKString::GetLength() const { return length_; }

bool CQKString::GrowTo(unsigned int size, bool keepContents) {
  return CQKBuffer::GrowTo(size, keepContents);
}

void CQKString::DiscardCache() {
  delete cache_;
  cache_ = nullptr;
  flags_ &= ~0x000Fu;
}

// --- Setting from UTF-8 ---

void CQKString::SetFromUTF8WithLength(const unsigned char* text,
                                      unsigned int n) {
  DiscardCache();
  // With no bytes to take, the first byte lies beyond the text: not read.
  if (text == nullptr || n == 0 || text[0] == 0) {
    length_ = 0;
    if (data_ != nullptr) memset(data_, 0, size_);
    return;
  }
  // Text from this buffer needs no growth but may overlap its new place.
  bool inside = PointsInto(*this, text);
  size_t offset = inside ? static_cast<size_t>(text - data_) : 0;
  GrowTo(CheckedSize(n + 1ull), false);
  if (inside) text = data_ + offset;
  memmove(data_, text, n);
  length_ = n;
  data_[n] = 0;
}

void CQKString::SetFromUTF8(const unsigned char* text, unsigned int maxBytes) {
  SetFromUTF8WithLength(
      text, strnlenCompat(reinterpret_cast<const char*>(text), maxBytes));
}

void CQKString::SetFromUTF8(const unsigned char* text) {
  SetFromUTF8WithLength(
      text, text == nullptr
                ? 0
                : CheckedSize(strlen(reinterpret_cast<const char*>(text))));
}

void CQKString::InitializeFromUTF8(const unsigned char* text, unsigned int n) {
  SetFromUTF8(text, n);
}

unsigned int CQKString::strnlenCompat(const char* text, unsigned int maxBytes) {
  if (text == nullptr) return 0;
  return static_cast<unsigned int>(strnlen(text, maxBytes));
}

// --- Conversions into UTF-8 ---

template <typename Source>
void CQKString::ConvertFrom(unsigned long long initialSize, Source source) {
  GrowTo(CheckedSize(initialSize > 0 ? initialSize : 1), false);
  Piece piece;
  unsigned int used = 0;
  Source plan = source;
  while (plan.Next(&piece)) {
    if (size_ - 1 - used < piece.room) {
      GrowTo(CheckedSize(size_ + 10ull), true);
    }
    used += piece.length;
  }
  unsigned char* out = data_;
  while (source.Next(&piece)) {
    memcpy(out, piece.bytes, piece.length);
    out += piece.length;
  }
  *out = 0;
  length_ = static_cast<unsigned int>(strlen(reinterpret_cast<char*>(data_)));
}

void CQKString::SetFromLatin1(const char* text, unsigned int length) {
  DiscardCache();
  if (text == nullptr) {
    Empty(1);
    return;
  }
  if (PointsInto(*this, text)) {
    CQKBuffer copy;
    SetFromLatin1(reinterpret_cast<const char*>(CopyAside(copy, text, length)),
                  length);
    return;
  }
  ConvertFrom(length + 5ull, Latin1Source(text, length));
}

void CQKString::SetFromLatin1(const char* text) {
  SetFromLatin1(text, text == nullptr ? 0 : CheckedSize(strlen(text)));
}

void CQKString::InitializeFromLatin1(const char* text, unsigned int length) {
  SetFromLatin1(text, length);
}

void CQKString::SetFromWindows1252(const char* text, unsigned int length) {
  DiscardCache();
  if (text == nullptr) {
    Empty(1);
    return;
  }
  if (PointsInto(*this, text)) {
    CQKBuffer copy;
    SetFromWindows1252(
        reinterpret_cast<const char*>(CopyAside(copy, text, length)), length);
    return;
  }
  ConvertFrom(length + 5ull, Windows1252Source(text, length));
}

void CQKString::SetFromWindows1252(const char* text) {
  SetFromWindows1252(text, text == nullptr ? 0 : CheckedSize(strlen(text)));
}

void CQKString::InitializeFromWindows1252(const char* text,
                                          unsigned int length) {
  SetFromWindows1252(text, length);
}

void CQKString::SetFromUCS2(const unsigned short* units, unsigned int count,
                            bool swapBytes) {
  DiscardCache();
  if (units == nullptr) {
    Empty(1);
    return;
  }
  if (PointsInto(*this, units)) {
    CQKBuffer copy;
    const void* aside = CopyAside(copy, units, 2ull * count);
    SetFromUCS2(static_cast<const unsigned short*>(aside), count, swapBytes);
    return;
  }
  ConvertFrom(2ull * count + 2, UCS2Source(units, count, swapBytes));
}

void CQKString::SetFromUCS2(const unsigned short* units) {
  SetFromUCS2(units, units == nullptr ? 0 : UnitCount(units), false);
}

void CQKString::SetFromUTF32(const unsigned int* codePoints,
                             unsigned int count) {
  DiscardCache();
  if (codePoints == nullptr) {
    Empty(1);
    return;
  }
  if (PointsInto(*this, codePoints)) {
    CQKBuffer copy;
    const void* aside = CopyAside(copy, codePoints, 4ull * count);
    SetFromUTF32(static_cast<const unsigned int*>(aside), count);
    return;
  }
  ConvertFrom(2ull * count, UTF32Source(codePoints, count));
}

void CQKString::SetFromUTF32(const unsigned int* codePoints) {
  SetFromUTF32(codePoints,
               codePoints == nullptr ? 0 : CodePointCount(codePoints));
}

void CQKString::SetFromLocal8Bit(const char* text, unsigned int length) {
  DiscardCache();
  if (text == nullptr || length == 0) {
    Empty(1);
    return;
  }
  CQKBuffer wide(CheckedSize(4ull * length + 4));
  unsigned int* out = reinterpret_cast<unsigned int*>(wide.GetData());
  unsigned int count = 0;
  mbtowc(nullptr, nullptr, 0);
  for (unsigned int pos = 0; pos < length;) {
    wchar_t wc = 0;
    unsigned int limit = length - pos < 5 ? length - pos : 5;
    int used = mbtowc(&wc, text + pos, limit);
    if (used == 0) break;
    if (used < 0) {
      out[count++] = '@';
      mbtowc(nullptr, nullptr, 0);
      ++pos;
    } else {
      out[count++] = static_cast<unsigned int>(wc);
      pos += static_cast<unsigned int>(used);
    }
  }
  out[count] = 0;
  SetFromUTF32(out);
}

void CQKString::InitializeFromLocal8Bit(const char* text, unsigned int length) {
  SetFromLocal8Bit(text, length);
}

// --- Validity and guessing ---

bool CQKString::IsLegalUTF8Sequence(const unsigned char* bytes,
                                    unsigned int length) {
  if (bytes == nullptr || length < 1 || length > 4) return false;
  unsigned char lead = bytes[0];
  if (length == 1) return lead < 0x80;
  if (lead < 0xC2 || lead > 0xF4 || trailingBytesForUTF8[lead] + 1u != length) {
    return false;
  }
  // The second byte's range rules out overlong forms, surrogates and code
  // points above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  switch (lead) {
    case 0xE0: low = 0xA0; break;
    case 0xED: high = 0x9F; break;
    case 0xF0: low = 0x90; break;
    case 0xF4: high = 0x8F; break;
    default: break;
  }
  if (bytes[1] < low || bytes[1] > high) return false;
  for (unsigned int i = 2; i < length; ++i) {
    if (!IsContinuation(bytes[i])) return false;
  }
  return true;
}

bool CQKString::IsLegalUTF8String(const unsigned char* text,
                                  unsigned int length) {
  if (text == nullptr) return false;
  unsigned int pos = 0;
  while (pos < length) {
    unsigned int n = trailingBytesForUTF8[text[pos]] + 1u;
    if (n > length - pos || !IsLegalUTF8Sequence(text + pos, n)) return false;
    pos += n;
  }
  return true;
}

bool CQKString::IsLegalUTF8String(const unsigned char* text) {
  if (text == nullptr) return false;
  return IsLegalUTF8String(
      text, CheckedSize(strlen(reinterpret_cast<const char*>(text))));
}

bool CQKString::IsProbableWindows1252String(const char* text) {
  return IsProbableWindows1252String(text, 0xFFFFFFFFu);
}

bool CQKString::IsProbableWindows1252String(const char* text,
                                            unsigned int length) {
  if (text == nullptr) return false;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (unsigned int i = 0; i < length && p[i] != 0; ++i) {
    if (gbProbableWin1252Char[p[i]]) return true;
  }
  return false;
}

int CQKString::UTF8CharToUCS2Char(const unsigned char* bytes,
                                  unsigned int available,
                                  unsigned short* out) {
  if (bytes == nullptr || out == nullptr) return -1;
  if (available > 0) {
    unsigned int trailing = trailingBytesForUTF8[bytes[0]];
    if (trailing < available && IsLegalUTF8Sequence(bytes, trailing + 1)) {
      unsigned int value = 0;
      for (unsigned int i = 0; i <= trailing; ++i) value = (value << 6) + bytes[i];
      value -= offsetsFromUTF8[trailing];
      bool outsideBMP = value > 0xFFFF || (value >= 0xD800 && value <= 0xDFFF);
      *out = outsideBMP ? 0xFFFD : static_cast<unsigned short>(value);
      return static_cast<int>(trailing + 1);
    }
  }
  *out = 0xFFFD;
  return -1;
}

// --- Emptying ---

void CQKString::Empty(unsigned int reserve) {
  DiscardCache();
  GrowTo(reserve, false);
  length_ = 0;
  if (data_ != nullptr) memset(data_, 0, size_);
}

void CQKString::FreeString() {
  DiscardCache();
  length_ = 0;
  FreeBuffer();
}

// --- Appending ---

void CQKString::AppendBytes(const unsigned char* bytes, unsigned int n) {
  GrowTo(CheckedSize(length_ + 1ull + n), true);
  memcpy(data_ + length_, bytes, n);
  length_ += n;
  data_[length_] = 0;
}

void CQKString::AppendUTF8(const unsigned char* text) {
  DiscardCache();
  if (text == nullptr || text[0] == 0) return;
  unsigned int n = CheckedSize(strlen(reinterpret_cast<const char*>(text)));
  if (PointsInto(*this, text)) {
    CQKBuffer copy;
    AppendBytes(CopyAside(copy, text, n), n);
  } else {
    AppendBytes(text, n);
  }
}

void CQKString::Append(const CQKString& other) {
  if (other.length_ == 0) return;
  AppendUTF8(other.data_);
}

void CQKString::Append(const CQKString* other) {
  if (other != nullptr) Append(*other);
}

void CQKString::Append(const char* text) {
  if (text == nullptr) return;
  if (IsLegalUTF8String(reinterpret_cast<const unsigned char*>(text))) {
    AppendUTF8(reinterpret_cast<const unsigned char*>(text));
  } else if (IsProbableWindows1252String(text)) {
    AppendWindows1252(text);
  } else {
    AppendLatin1(text);
  }
}

void CQKString::Append(char c) {
  if (c == 0) return;
  DiscardCache();
  unsigned char byte = static_cast<unsigned char>(c);
  AppendBytes(&byte, 1);
}

void CQKString::AppendLatin1(const char* text) {
  if (text == nullptr || text[0] == 0) return;
  CQKString converted;
  converted.SetFromLatin1(text);
  DiscardCache();
  AppendBytes(converted.data_, converted.length_);
}

void CQKString::AppendWindows1252(const char* text) {
  if (text == nullptr || text[0] == 0) return;
  CQKString converted;
  converted.SetFromWindows1252(text);
  DiscardCache();
  AppendBytes(converted.data_, converted.length_);
}

CQKString& CQKString::operator+=(const CQKString& other) {
  Append(other);
  return *this;
}
CQKString& CQKString::operator+=(const CQKString* other) {
  Append(other);
  return *this;
}
CQKString& CQKString::operator+=(char c) {
  Append(c);
  return *this;
}
CQKString& CQKString::operator+=(const unsigned char* text) {
  AppendUTF8(text);
  return *this;
}
CQKString& CQKString::operator+=(const char* text) {
  Append(text);
  return *this;
}

// Large enough for any 64-bit value with its sign.
static const int kNumberTextSize = 24;

CQKString& CQKString::operator+=(int value) {
  char text[kNumberTextSize];
  snprintf(text, sizeof text, "%d", value);
  Append(text);
  return *this;
}
CQKString& CQKString::operator+=(short value) {
  return *this += static_cast<int>(value);
}
CQKString& CQKString::operator+=(unsigned int value) {
  char text[kNumberTextSize];
  snprintf(text, sizeof text, "%u", value);
  Append(text);
  return *this;
}
CQKString& CQKString::operator+=(unsigned short value) {
  return *this += static_cast<unsigned int>(value);
}
CQKString& CQKString::operator+=(long value) {
  char text[kNumberTextSize];
  snprintf(text, sizeof text, "%ld", value);
  Append(text);
  return *this;
}
CQKString& CQKString::operator+=(unsigned long value) {
  char text[kNumberTextSize];
  snprintf(text, sizeof text, "%lu", value);
  Append(text);
  return *this;
}
CQKString& CQKString::operator+=(long long value) {
  char text[kNumberTextSize];
  snprintf(text, sizeof text, "%lld", value);
  Append(text);
  return *this;
}
CQKString& CQKString::operator+=(unsigned long long value) {
  char text[kNumberTextSize];
  snprintf(text, sizeof text, "%llu", value);
  Append(text);
  return *this;
}

// --- Access ---

const char* CQKString::GetSafeStringPtr() const {
  return data_ != nullptr ? reinterpret_cast<const char*>(data_) : kNoText;
}

unsigned int CQKString::GetCharLength() const {
  return CalculateCharLength(data_);
}

unsigned int CQKString::CalculateCharLength(const unsigned char* text) {
  if (text == nullptr) return 0;
  unsigned int n = 0;
  for (; *text != 0; ++text) {
    if (!IsContinuation(*text)) ++n;
  }
  return n;
}

char CQKString::operator[](int index) const {
  if (index < 0) return 0;
  return (*this)[static_cast<unsigned int>(index)];
}

char CQKString::operator[](short index) const {
  return (*this)[static_cast<int>(index)];
}

char CQKString::operator[](unsigned int index) const {
  if (length_ == 0 || index > length_) return 0;
  return static_cast<char>(data_[index]);
}

// --- Substrings ---

void CQKString::GetSubStrInto(CQKString& dest, unsigned int start,
                              unsigned int count, bool toEnd) const {
  if (&dest == this) {
    CQKString part;
    GetSubStrInto(part, start, count, toEnd);
    dest = part;
    return;
  }
  if (start > length_) start = length_;
  unsigned int remaining = length_ - start;
  unsigned int n = (toEnd || remaining < count) ? remaining : count;
  if (n == 0) {
    dest = kNoText;
    return;
  }
  while (IsContinuation(data_[start])) ++start;
  while (start + n < length_ && IsContinuation(data_[start + n])) ++n;
  dest.SetFromUTF8(data_ + start, n);
}

CQKString CQKString::Mid(int start, int count) const {
  unsigned int from = start < 0 ? 0 : static_cast<unsigned int>(start);
  unsigned int n = count < 0 ? 0 : static_cast<unsigned int>(count);
  if (from > length_) from = length_;
  if (from + n > length_) n = length_ - from;
  if (from == 0 && n == length_) return *this;
  CQKString result;
  GetSubStrInto(result, from, n, false);
  return result;
}

CQKString CQKString::Left(int count) const {
  if (count < 0) count = 0;
  if (length_ <= static_cast<unsigned int>(count)) return *this;
  return Mid(0, count);
}

CQKString CQKString::Right(int count) const {
  unsigned int n = count < 0 ? 0 : static_cast<unsigned int>(count);
  if (n > length_) n = length_;
  return Mid(static_cast<int>(length_ - n), static_cast<int>(n));
}

// --- Truncating and trimming ---

bool CQKString::TruncateAfterByte(unsigned int n) {
  if (length_ <= n) return false;
  while (n > 0 && IsContinuation(data_[n])) --n;
  data_[n] = 0;
  DiscardCache();
  length_ = static_cast<unsigned int>(strlen(reinterpret_cast<char*>(data_)));
  return true;
}

void CQKString::TrimRightAscii(const char* set) {
  if (length_ == 0 || set == nullptr) return;
  DiscardCache();
  size_t setLength = strlen(set);
  while (length_ > 0 && memchr(set, data_[length_ - 1], setLength) != nullptr) {
    --length_;
  }
  data_[length_] = 0;
}

bool CQKString::AppendDirSeperatorIfNotPresent() {
  if (length_ < 2 || data_[length_ - 1] == '/') return false;
  Append('/');
  return true;
}

// --- Case, comparison, search ---

void CQKString::MakeUpper() {
  DiscardCache();
  if (length_ == 0) return;
  CQKBuffer units(CheckedSize(2ull * length_ + 2));
  unsigned short* out = reinterpret_cast<unsigned short*>(units.GetData());
  const unsigned char* p = data_;
  unsigned int remaining = length_ + 1;
  while (remaining > 0) {
    unsigned short unit;
    int used = UTF8CharToUCS2Char(p, remaining, &unit);
    *out++ = UpperCaseOf(unit);
    unsigned int step = used < 0 ? 1 : static_cast<unsigned int>(used);
    p += step;
    remaining -= step;
  }
  SetFromUCS2(reinterpret_cast<const unsigned short*>(units.GetData()));
}

int CQKString::CompareUTF8Buffers(const unsigned char* a,
                                  const unsigned char* b, int count,
                                  bool ignoreCase, unsigned int sizeA,
                                  unsigned int sizeB) {
  if (a == nullptr) return b == nullptr ? 0 : -1;
  if (b == nullptr) return 1;
  const char* textA = reinterpret_cast<const char*>(a);
  const char* textB = reinterpret_cast<const char*>(b);
  if (!ignoreCase) {
    return count < 0 ? strcmp(textA, textB)
                     : strncmp(textA, textB, static_cast<size_t>(count));
  }
  if (sizeA == 0) sizeA = CheckedSize(strlen(textA) + 1ull);
  if (sizeB == 0) sizeB = CheckedSize(strlen(textB) + 1ull);
  unsigned long long taken = 0;
  for (;;) {
    unsigned short unitA;
    unsigned short unitB;
    int usedA = DecodeForCompare(a, sizeA, &unitA);
    int usedB = DecodeForCompare(b, sizeB, &unitB);
    unitA = FoldedCaseOf(unitA);
    unitB = FoldedCaseOf(unitB);
    if (unitA != unitB) return static_cast<int>(unitA) - unitB;
    if (*a == 0) return 0;
    unsigned int stepA = usedA < 0 ? 1 : static_cast<unsigned int>(usedA);
    unsigned int stepB = usedB < 0 ? 1 : static_cast<unsigned int>(usedB);
    a += stepA;
    b += stepB;
    sizeA = sizeA > stepA ? sizeA - stepA : 0;
    sizeB = sizeB > stepB ? sizeB - stepB : 0;
    if (count >= 0) {
      taken += stepA;
      if (taken >= static_cast<unsigned long long>(count)) return 0;
    }
  }
}

int CQKString::Compare(const CQKString& other, bool ignoreCase) const {
  if (length_ == 0 && other.length_ == 0) return 0;
  return CompareUTF8Buffers(
      reinterpret_cast<const unsigned char*>(GetSafeStringPtr()),
      reinterpret_cast<const unsigned char*>(other.GetSafeStringPtr()), -1,
      ignoreCase, size_, other.size_);
}

int CQKString::Compare(const unsigned char* text, bool ignoreCase) const {
  if (text == nullptr) return 1;
  return CompareUTF8Buffers(
      reinterpret_cast<const unsigned char*>(GetSafeStringPtr()), text, -1,
      ignoreCase, size_, 0);
}

int CQKString::Compare(const char* text, bool ignoreCase) const {
  if (text == nullptr) return 1;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  unsigned int size = CheckedSize(strlen(text) + 1ull);
  if (IsLegalUTF8String(bytes, size)) {
    return CompareUTF8Buffers(
        reinterpret_cast<const unsigned char*>(GetSafeStringPtr()), bytes, -1,
        ignoreCase, size_, size);
  }
  CQKString converted(
      IsProbableWindows1252String(text) ? kWindows1252 : kLatin1, text,
      size - 1);
  return Compare(converted, ignoreCase);
}

bool CQKString::EndsWith(const CQKString& suffix, bool ignoreCase) const {
  if (length_ < suffix.length_) return false;
  const unsigned char* p =
      reinterpret_cast<const unsigned char*>(GetSafeStringPtr()) + length_ -
      suffix.length_;
  if (IsContinuation(*p)) return false;
  unsigned int sizeP =
      CheckedSize(strlen(reinterpret_cast<const char*>(p)) + 1ull);
  return CompareUTF8Buffers(
             p, reinterpret_cast<const unsigned char*>(suffix.GetSafeStringPtr()),
             static_cast<int>(suffix.length_), ignoreCase, sizeP,
             suffix.size_) == 0;
}

bool CQKString::InStrReverse(char c, unsigned int* index, bool /*flag*/) const {
  for (unsigned int i = length_; i > 0; --i) {
    if (data_[i - 1] == static_cast<unsigned char>(c)) {
      if (index != nullptr) *index = i - 1;
      return true;
    }
  }
  return false;
}

int CQKString::SafeFormat(const char* format, ...) {
  int savedErrno = errno;
  DiscardCache();
  if (format == nullptr || format[0] == 0) {
    SetFromLatin1("", 0);
    return 0;
  }
  // The arguments are never converted, only the format.
  CQKString converted;
  const char* text = format;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(format);
  if (!IsLegalUTF8String(bytes)) {
    if (IsProbableWindows1252String(format)) {
      converted.SetFromWindows1252(format);
    } else {
      converted.SetFromLatin1(format);
    }
    text = converted.GetSafeStringPtr();
  } else if (PointsInto(*this, format)) {
    converted.SetFromUTF8(bytes);
    text = converted.GetSafeStringPtr();
  }

  va_list args;
  va_start(args, format);
  errno = savedErrno;
  FormatScan scan = ScanFormat(text, args, this);
  va_end(args);

  // Arguments that point into this buffer must stay readable while the
  // text is written, so the text is formatted beside them.
  CQKString beside;
  CQKString& target = scan.argumentInBuffer ? beside : *this;
  target.GrowTo(CheckedSize(scan.bytes + 1), false);
  va_start(args, format);
  errno = savedErrno;
  int count = vsnprintf(reinterpret_cast<char*>(target.data_), target.size_,
                        text, args);
  va_end(args);
  if (count < 0) target.data_[0] = 0;
  target.length_ = static_cast<unsigned int>(
      strlen(reinterpret_cast<char*>(target.data_)));
  if (&target != this) StealCQKStringFromCQKString(beside);
  errno = savedErrno;
  return count;
}

unsigned int CQKString::CalculateByteLengthForFormat(const char* format,
                                                     va_list args) {
  FormatScan scan = ScanFormat(format, args, nullptr);
  return scan.bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu
                                  : static_cast<unsigned int>(scan.bytes);
}

unsigned short CQKString::GetMaxCharsNeededForRange(unsigned long long a,
                                                    unsigned long long b) {
  char text[kNumberTextSize];
  int lengthA = snprintf(text, sizeof text, "%llu", a);
  int lengthB = snprintf(text, sizeof text, "%llu", b);
  return static_cast<unsigned short>(lengthA > lengthB ? lengthA : lengthB);
}

// --- CQKGrowString ---

CQKGrowString::CQKGrowString() : growSize_(kDefaultGrowSize) {}

CQKGrowString::CQKGrowString(const CQKString& other)
    : growSize_(kDefaultGrowSize) {
  SetFromUTF8WithLength(
      reinterpret_cast<const unsigned char*>(other.GetSafeStringPtr()),
      other.GetLength());
}

CQKGrowString::CQKGrowString(const CQKGrowString& other)
    : CQKString(other), growSize_(other.growSize_) {}

CQKGrowString::CQKGrowString(CQKGrowString&& other) noexcept
    : CQKString(static_cast<CQKString&&>(other)), growSize_(other.growSize_) {}

CQKGrowString::CQKGrowString(ConstructorType type, const char* text,
                             unsigned int length)
    : growSize_(kDefaultGrowSize) {
  Initialize(type, text, length);
}

CQKGrowString& CQKGrowString::operator=(const CQKGrowString& other) {
  SetFromUTF8WithLength(
      reinterpret_cast<const unsigned char*>(other.GetSafeStringPtr()),
      other.GetLength());
  return *this;
}

bool CQKGrowString::GrowTo(unsigned int size, bool keepContents) {
  if (GetSize() >= size) return true;
  unsigned long long withReserve = static_cast<unsigned long long>(size) + growSize_;
  if (withReserve > 0xFFFFFFFFu) withReserve = size;
  return CQKBuffer::GrowTo(static_cast<unsigned int>(withReserve), keepContents);
}
