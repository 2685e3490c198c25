// Text handed over as a plain char pointer (constructor, assignment, append,
// comparison) always ends up as well-formed UTF-8: unchanged when it was
// UTF-8 already, otherwise one character per byte.

#include <cstring>

#include "fuzz/fuzz_support.h"

namespace {

using fuzz::Require;

bool DefinedInWindows1252(unsigned char b) {
  return b >= 0x80 && b <= 0x9F && b != 0x81 && b != 0x8D && b != 0x8F &&
         b != 0x90 && b != 0x9D;
}

// Each byte became one character: ASCII and 0xA0 up as themselves, the
// C1 bytes by Windows-1252 when any of them is defined there.
void CheckOneCharacterPerByte(const unsigned char* bytes, size_t n,
                              const std::vector<uint32_t>& points) {
  Require(points.size() == n, "not one character per byte");
  bool windows1252 = false;
  for (size_t i = 0; i < n; i++) windows1252 |= DefinedInWindows1252(bytes[i]);
  for (size_t i = 0; i < n; i++) {
    const unsigned char b = bytes[i];
    if (b < 0x80 || b >= 0xA0 || !windows1252) {
      Require(points[i] == b, "byte not taken as Latin-1");
    } else if (DefinedInWindows1252(b)) {
      Require(points[i] > 0xFF, "Windows-1252 byte not converted");
    } else {
      Require(points[i] == '?', "undefined Windows-1252 byte not '?'");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text = fuzz::TerminatedCopy(data, size);
  const size_t n = strlen(text.get());
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.get());

  const CQKString constructed(text.get());
  const std::vector<uint32_t> points = fuzz::CodePointsOf(constructed);
  std::vector<uint32_t> input;
  if (fuzz::Decode(bytes, n, &input)) {
    Require(fuzz::SameText(constructed, bytes, n), "UTF-8 not kept as it is");
  } else {
    CheckOneCharacterPerByte(bytes, n, points);
  }

  CQKString assigned("earlier text");
  assigned = text.get();
  Require(assigned.Compare(constructed, false) == 0 &&
              assigned.GetLength() == constructed.GetLength(),
          "assignment differs from construction");
  Require(constructed.Compare(text.get(), true) == 0,
          "text differs from itself ignoring case");

  CQKString appended("\xC3\xA9");
  appended.Append(text.get());
  Require(appended.GetLength() == constructed.GetLength() + 2 &&
              memcmp(appended.GetSafeStringPtr() + 2,
                     constructed.GetSafeStringPtr(),
                     constructed.GetLength()) == 0,
          "append differs from construction");
  return 0;
}
