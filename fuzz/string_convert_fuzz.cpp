// Every conversion into the string reads no more than it is given and
// writes well-formed UTF-8 that decodes back to the input, up to where the
// input ends (a zero) or stops being text (an unpaired surrogate).

#include <cstring>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::Require;

size_t UpToZero(const uint8_t* data, size_t size) {
  const void* zero = memchr(data, 0, size);
  return zero == nullptr ? size : static_cast<const uint8_t*>(zero) - data;
}

// Latin-1: each byte is its own code point.
void CheckLatin1(const uint8_t* data, size_t size) {
  const auto exact = fuzz::ExactCopy<char>(data, size);
  CQKString s;
  s.SetFromLatin1(exact.get(), static_cast<unsigned int>(size));
  const std::vector<uint32_t> points = fuzz::CodePointsOf(s);
  const size_t n = UpToZero(data, size);
  Require(points.size() == n, "Latin-1: not one character per byte");
  for (size_t i = 0; i < n; i++) {
    Require(points[i] == data[i], "Latin-1: byte not kept");
  }
  const auto terminated = fuzz::TerminatedCopy(data, size);
  CQKString t;
  t.SetFromLatin1(terminated.get());
  Require(t.Compare(s, false) == 0, "Latin-1: forms disagree");
}

// Windows-1252: one character per byte, ASCII and 0xA0 up as in Latin-1.
void CheckWindows1252(const uint8_t* data, size_t size) {
  const auto exact = fuzz::ExactCopy<char>(data, size);
  CQKString s(CQKString::kWindows1252, exact.get(),
              static_cast<unsigned int>(size));
  const std::vector<uint32_t> points = fuzz::CodePointsOf(s);
  const size_t n = UpToZero(data, size);
  Require(points.size() == n, "Windows-1252: not one character per byte");
  for (size_t i = 0; i < n; i++) {
    Require(data[i] >= 0x80 && data[i] < 0xA0 ? points[i] > 0xFF ||
                                                    points[i] == '?'
                                              : points[i] == data[i],
            "Windows-1252: wrong character");
  }
  Require(CQKString::IsProbableWindows1252String(
              exact.get(), static_cast<unsigned int>(size)) ==
              CQKString::IsProbableWindows1252String(
                  fuzz::TerminatedCopy(data, size).get()),
          "Windows-1252 guess differs between its forms");
}

// UTF-8 is taken byte for byte, with or without a length.
void CheckUTF8(const uint8_t* data, size_t size) {
  const auto exact = fuzz::ExactCopy<unsigned char>(data, size);
  const unsigned int length = static_cast<unsigned int>(size);
  CQKString bounded;
  bounded.SetFromUTF8(exact.get(), length);
  Require(fuzz::SameText(bounded, data, UpToZero(data, size)),
          "UTF-8: bounded copy differs");
  CQKString counted;
  counted.SetFromUTF8WithLength(exact.get(), length);
  Require(size == 0 || data[0] == 0 ? counted.GetLength() == 0
                                    : counted.GetLength() == size &&
                                          memcmp(counted.GetSafeStringPtr(),
                                                 data, size) == 0,
          "UTF-8: counted copy differs");
  const auto terminated = fuzz::TerminatedCopy(data, size);
  CQKString plain;
  plain.SetFromUTF8(terminated.get());
  Require(plain.Compare(bounded, false) == 0, "UTF-8: forms disagree");

  std::vector<uint32_t> points;
  Require(CQKString::IsLegalUTF8String(exact.get(), length) ==
              fuzz::Decode(data, size, &points),
          "UTF-8 validity disagrees with RFC 3629");
  unsigned short unit = 0;
  const int used = CQKString::UTF8CharToUCS2Char(exact.get(), length, &unit);
  uint32_t first = 0;
  const size_t expected = size == 0 ? 0 : fuzz::SequenceAt(data, size, &first);
  Require(used == (expected == 0 ? -1 : static_cast<int>(expected)),
          "UTF-8: character length wrong");
  Require(unit == (expected == 0 || first > 0xFFFF ? 0xFFFD : first),
          "UTF-8: character decoded wrong");
}

// UTF-16 in either byte order, and the zero-terminated form.
void CheckUCS2(const uint8_t* data, size_t size, bool swap) {
  const size_t count = size / 2;
  const auto units = fuzz::ExactCopy<unsigned short>(data, count);
  CQKString s;
  s.SetFromUCS2(units.get(), static_cast<unsigned int>(count), swap);
  const std::vector<uint32_t> points = fuzz::CodePointsOf(s);

  std::vector<uint32_t> expected;
  for (size_t i = 0; i < count; i++) {
    const unsigned short raw = units[i];
    uint32_t u = swap ? static_cast<unsigned short>((raw >> 8) | (raw << 8))
                      : raw;
    if (u == 0 || (u >= 0xDC00 && u <= 0xDFFF)) break;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == count) break;
      const unsigned short next = units[i + 1];
      const uint32_t low =
          swap ? static_cast<unsigned short>((next >> 8) | (next << 8)) : next;
      if (low < 0xDC00 || low > 0xDFFF) break;
      u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      i++;
    }
    expected.push_back(u);
  }
  Require(points == expected, "UTF-16: code points differ");

  if (swap) return;
  std::unique_ptr<unsigned short[]> terminated(new unsigned short[count + 1]);
  memcpy(terminated.get(), units.get(), count * 2);
  terminated[count] = 0;
  CQKString t;
  t.SetFromUCS2(terminated.get());
  Require(t.Compare(s, false) == 0, "UTF-16: forms disagree");
}

// UTF-32: beyond Unicode becomes U+FFFD, a surrogate ends the text.
void CheckUTF32(const uint8_t* data, size_t size) {
  const size_t count = size / 4;
  const auto codePoints = fuzz::ExactCopy<unsigned int>(data, count);
  CQKString s;
  s.SetFromUTF32(codePoints.get(), static_cast<unsigned int>(count));
  std::vector<uint32_t> expected;
  for (size_t i = 0; i < count; i++) {
    const uint32_t c = codePoints[i];
    if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) break;
    expected.push_back(c > 0x10FFFF ? 0xFFFD : c);
  }
  Require(fuzz::CodePointsOf(s) == expected, "UTF-32: code points differ");

  std::unique_ptr<unsigned int[]> terminated(new unsigned int[count + 1]);
  memcpy(terminated.get(), codePoints.get(), count * 4);
  terminated[count] = 0;
  CQKString t;
  t.SetFromUTF32(terminated.get());
  Require(t.Compare(s, false) == 0, "UTF-32: forms disagree");
}

// The local 8-bit form and every constructor type give well-formed text.
void CheckConstructorTypes(const uint8_t* data, size_t size, uint8_t type) {
  const auto exact = fuzz::ExactCopy<char>(data, size);
  const CQKString s(static_cast<CQKString::ConstructorType>(type % 7),
                    exact.get(), static_cast<unsigned int>(size));
  if (type % 7 != 2 && type % 7 != 4) fuzz::CodePointsOf(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  data++;
  size--;
  switch (selector % 7) {
    case 0: CheckLatin1(data, size); break;
    case 1: CheckWindows1252(data, size); break;
    case 2: CheckUTF8(data, size); break;
    case 3: CheckUCS2(data, size, false); break;
    case 4: CheckUCS2(data, size, true); break;
    case 5: CheckUTF32(data, size); break;
    default: CheckConstructorTypes(data, size, selector / 7); break;
  }
  return 0;
}
