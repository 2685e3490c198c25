#include "strings/CQKString.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "tests/support/qk_test_support.h"

// Under AddressSanitizer a refused allocation must come back as null, as it
// does from the platform's allocator, instead of ending the process.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

std::string Text(const CQKString& s) {
  return std::string(s.GetSafeStringPtr(), s.GetLength());
}

std::string Block(const CQKBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.GetData()), b.GetSize());
}

int Sign(int v) { return (v > 0) - (v < 0); }

const unsigned char* U(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

// Windows-1252 of a byte: the code page's own characters in 0x80-0x9F ("?"
// for the bytes it leaves undefined), Latin-1 elsewhere.
std::string ExpectedWindows1252(unsigned int b) {
  static const unsigned int kPage[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  if (b < 0x80 || b >= 0xA0) return qktest::EncodeUTF8(b);
  return kPage[b - 0x80] != 0 ? qktest::EncodeUTF8(kPage[b - 0x80]) : "?";
}

bool Only1252(unsigned int b) {
  return b >= 0x80 && b < 0xA0 && ExpectedWindows1252(b) != "?";
}

// Length of the well-formed sequence at b within n bytes, or 0, by RFC 3629:
// the second byte is A0-BF after E0, 80-9F after ED, 90-BF after F0, 80-8F
// after F4 and 80-BF otherwise, as is every later one.
unsigned int WellFormedLength(const unsigned char* b, unsigned int n) {
  const unsigned int length =
      b[0] < 0x80 ? 1 : b[0] < 0xE0 ? 2 : b[0] < 0xF0 ? 3 : 4;
  if ((b[0] >= 0x80 && b[0] < 0xC2) || b[0] > 0xF4 || length > n) return 0;
  const unsigned char low = b[0] == 0xE0 ? 0xA0 : b[0] == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = b[0] == 0xED ? 0x9F : b[0] == 0xF4 ? 0x8F : 0xBF;
  for (unsigned int i = 1; i < length; ++i) {
    if (b[i] < (i == 1 ? low : 0x80) || b[i] > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// How far the text splits into well-formed sequences.
unsigned int WholeLength(const unsigned char* t, unsigned int n) {
  const unsigned int first = n == 0 ? 0 : WellFormedLength(t, n);
  return first == 0 ? 0 : first + WholeLength(t + first, n - first);
}

TEST(CQKStringCore, OwnTextAsSourceAndExactFit) {
  EXPECT_EQ(std::string("\xE9\0", 2), Block(CQKString('\xE9')));  // unconverted
  EXPECT_EQ("ab\xE9", Text(CQKString(CQKString::kUTF8, "ab\xE9", 0xFFFFFFFFu)));
  CQKString s("a longer text");
  EXPECT_EQ(std::string("a longer text\0", 14), Block(CQKString(s)));  // exact
  s = CQKString::kEmptyString;
  EXPECT_EQ(std::string(14, '\0'), Block(s));  // capacity kept, zero-filled
  s = "/dir/file";
  s = s.GetSafeStringPtr() + 5;  // text from its own buffer
  s.Append(s);
  s.Append(&s);
  s.AppendUTF8(s.GetData() + 12);
  s += '\0';
  s.Append(static_cast<const char*>(nullptr));
  EXPECT_EQ(std::string("filefilefilefilefile\0", 21), Block(s));  // exact fit
  EXPECT_EQ(std::string("i\0\0\0", 4),
            (std::string{s[static_cast<short>(1)], s[20], s[21], s[-1]}));
  CQKString moved(std::move(s));
  CQKString& alias = moved;
  moved = std::move(alias);  // move-assigning to itself empties
  EXPECT_EQ(nullptr, moved.GetData());
  s.SetFromUTF8(U("ab\0cd"), 5);
  std::string seen = Text(s);
  s.SetFromUTF8(U("abcdef"), 3);
  seen += "|" + Text(s);
  s.SetFromUTF8WithLength(U("ab\0cd"), 5);
  EXPECT_EQ(std::string("ab|abc|ab\0cd", 12), seen + "|" + Text(s));
  s.SetFromUTF8(static_cast<const unsigned char*>(nullptr));
  EXPECT_EQ(std::string(6, '\0'), Block(s));  // capacity kept, zero-filled
  s.FreeString();
  s.Empty(1);
  EXPECT_EQ(std::string(1, '\0'), Block(s));
}

// Byte positions; a cut inside a character moves forward at both ends, a
// truncation back.
TEST(CQKStringCore, CutsKeepWholeCharacters) {
  const char* kEuro = "a\xE2\x82\xAC" "b";
  const char* kMix = "\xC3\xA9" "b\xF0\x9F\x98\x80";
  // M: Mid(a, b), L: Left(a), R: Right(a), S: into itself from a to the end,
  // T: TruncateAfterByte(a), D: AppendDirSeperatorIfNotPresent, else
  // TrimRightAscii of "/", of " \t" ('t') or of nothing ('n').
  const struct { char op; const char* text; int a, b; const char* result; }
  kCases[] = {
      {'M', "abcdef", 3, 100, "def"}, {'M', "abcdef", 10, 2, ""},
      {'M', "abcdef", -1, 2, "ab"},   {'M', "abcdef", 2, -4, ""},
      {'M', kEuro, 2, 3, "b"},        {'M', kEuro, 1, 1, "\xE2\x82\xAC"},
      {'L', "abcdef", -3, 0, ""},     {'L', "abcdef", 99, 0, "abcdef"},
      {'L', kEuro, 2, 0, "a\xE2\x82\xAC"}, {'R', kEuro, 3, 0, "b"},
      {'R', "abcdef", -1, 0, ""},     {'R', "abcdef", 99, 0, "abcdef"},
      {'S', kEuro, 2, 0, "b"},        {'T', kMix, 7, 0, kMix},
      {'T', kMix, 5, 0, "\xC3\xA9" "b"}, {'/', "dir///", 0, 0, "dir"},
      {'/', "///", 0, 0, ""},         {'t', "a \t/ \t", 0, 0, "a \t/"},
      {'n', "a ", 0, 0, "a "},        {'D', "", 0, 0, ""},
      {'D', "ab/", 0, 0, "ab/"},      {'D', "ab", 0, 0, "ab/"}};
  for (const auto& c : kCases) {
    CQKString s(c.text);
    bool changed = false;
    switch (c.op) {
      case 'M': s = s.Mid(c.a, c.b); break;
      case 'L': s = s.Left(c.a); break;
      case 'R': s = s.Right(c.a); break;
      case 'S': s.GetSubStrInto(s, c.a, 0, true); break;
      case 'T': changed = s.TruncateAfterByte(c.a); break;
      case 'D': changed = s.AppendDirSeperatorIfNotPresent(); break;
      default: s.TrimRightAscii(c.op == '/' ? "/" : c.op == 't' ? " \t" : nullptr);
    }
    EXPECT_EQ(c.result, Text(s)) << c.op << " " << c.text << " " << c.a;
    EXPECT_EQ(changed, strchr("TD", c.op) && Text(s) != c.text) << c.text;
  }
  EXPECT_EQ(3u, CQKString(kMix).GetCharLength());
}

TEST(CQKStringCore, GrowStringReservesOnGrowth) {
  CQKGrowString g;
  g.Append("ab");
  CQKGrowString fromString(CQKString("abc"));
  CQKGrowString copy(fromString);  // exact fit, but keeps the grow size
  EXPECT_EQ(std::string("abc\0", 4), Block(copy));
  copy.Append("d");
  CQKGrowString converted(CQKString::kLatin1, "\xE9", 1);
  EXPECT_EQ("\xC3\xA9", Text(converted));
  EXPECT_EQ((std::vector<unsigned int>{3 + 512, 4 + 512, 5 + 512, 6 + 512}),
            (std::vector<unsigned int>{g.GetSize(), fromString.GetSize(),
                                       copy.GetSize(), converted.GetSize()}));
}

// Every text of up to three bytes, and of four with a sample of last bytes,
// followed by a continuation byte that lies beyond the limit; the decoder
// rides along.
TEST(CQKStringValidity, AgreesWithRfc3629Everywhere) {
  const unsigned char kLast[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90,
                                 0x9F, 0xA0, 0xBF, 0xC0, 0xF5, 0xFF};
  unsigned char b[4];
  std::string firstMismatch;
  auto check = [&](unsigned int n) {
    const std::string bytes =
        std::string(reinterpret_cast<char*>(b), n) + '\x80';
    const unsigned char* t = U(bytes.c_str());
    const unsigned int first = WellFormedLength(t, n);
    unsigned short unit = 7;
    const int used = CQKString::UTF8CharToUCS2Char(t, n, &unit);
    // Failures, and characters beyond the BMP, decode to U+FFFD.
    const std::string character =
        first % 4 == 0 ? "\xEF\xBF\xBD" : bytes.substr(0, first);
    const bool decoded = used == (first == 0 ? -1 : static_cast<int>(first)) &&
                         qktest::EncodeUTF8(unit) == character;
    if (firstMismatch.empty() &&
        (CQKString::IsLegalUTF8String(t, n) != (WholeLength(t, n) == n) ||
         CQKString::IsLegalUTF8Sequence(t, n) != (first != 0 && first == n) ||
         !decoded)) {
      firstMismatch = bytes;
    }
  };
  check(0);
  for (unsigned int v = 0; v < (1u << 24); ++v) {
    b[0] = static_cast<unsigned char>(v >> 16);
    b[1] = static_cast<unsigned char>(v >> 8);
    b[2] = static_cast<unsigned char>(v);
    b[3] = kLast[v % sizeof kLast];
    if ((v & 0xFFFF) == 0) check(1);
    if ((v & 0xFF) == 0) check(2);
    check(3);
    check(4);
  }
  EXPECT_EQ("", firstMismatch);
  EXPECT_FALSE(CQKString::IsLegalUTF8String(nullptr) ||
               CQKString::IsProbableWindows1252String(nullptr) ||
               CQKString::IsProbableWindows1252String("ab\x93", 2) ||
               CQKString::IsProbableWindows1252String("a\0\x93", 3));
  unsigned short unit = 7;
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(nullptr, 1, &unit));
  EXPECT_EQ(7, unit);  // not written
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(U("A"), 1, nullptr));
}

// Random texts of every length up to 120, so that runs end at every offset
// from a growth step, against a plain encoder. Code points go through UTF-32
// and UCS-2 in both byte orders (a surrogate that is not half of a pair ends
// the text, UTF-32 beyond Unicode becomes U+FFFD); bytes (that UTF-8, random,
// or random without a character only Windows-1252 has) through the 8-bit
// conversions and the char-pointer forms, which decide on the whole text.
TEST(CQKStringConvert, RandomTextsMatchAPlainEncoder) {
  const unsigned int kPoints[] = {0x41, 0xE9, 0x20AC, 0xFFFF, 0x1F600,
                                  0x10FFFF, 0x110000, 0xFFFFFFFFu};
  std::mt19937 rng(7);
  for (unsigned int round = 0; round < 1500; ++round) {
    std::vector<unsigned int> points;
    std::vector<unsigned short> units;
    std::string expected;
    while (points.size() < round % 120 + 1) {
      const unsigned int cp = rng() % 2 ? kPoints[rng() % 8] : rng() % 0x10000;
      points.push_back(cp);
      if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) {  // the end
        units.push_back(static_cast<unsigned short>(cp));
        break;
      }
      const unsigned int character = cp > 0x10FFFF ? 0xFFFD : cp;
      expected += qktest::EncodeUTF8(character);
      if (character < 0x10000) {
        units.push_back(static_cast<unsigned short>(character));
      } else {  // a surrogate pair
        units.push_back(static_cast<unsigned short>(0xD7C0 + (cp >> 10)));
        units.push_back(static_cast<unsigned short>(0xDC00 + (cp & 0x3FF)));
      }
    }
    std::string bytes = round % 3 == 0 ? expected : "", windows, latin1;
    while (round % 3 != 0 && bytes.size() < points.size()) {
      const unsigned int b = 1 + rng() % 255;
      bytes += static_cast<char>(round % 3 == 2 && Only1252(b) ? b + 0x20 : b);
    }
    bool guess = false;
    for (unsigned char b : bytes) {
      windows += ExpectedWindows1252(b);
      latin1 += qktest::EncodeUTF8(b);
      guess |= Only1252(b);
    }
    const std::string chosen =
        WholeLength(U(bytes.c_str()), bytes.size()) == bytes.size() ? bytes
        : guess ? windows : latin1;
    std::vector<unsigned short> swapped;
    for (unsigned short u : units) swapped.push_back((u >> 8) | (u << 8));
    units.push_back(0);
    CQKString forms[7];
    forms[0].SetFromUTF32(points.data(), points.size());
    forms[1].SetFromUCS2(units.data());
    forms[2].SetFromUCS2(swapped.data(), swapped.size(), true);
    forms[3].SetFromWindows1252(bytes.data(), bytes.size());
    forms[4].SetFromUTF8(bytes.c_str());
    forms[4].SetFromLatin1(forms[4].GetSafeStringPtr());  // its own buffer
    forms[5] = bytes.c_str();
    forms[6] = "<";
    forms[6] += bytes.c_str();
    forms[6].AppendLatin1(bytes.c_str());
    forms[6].AppendWindows1252(bytes.c_str());
    std::string all;
    for (const CQKString& f : forms) {
      all += Text(f) + "|";
      ASSERT_TRUE(f.GetLength() == 0 || f.GetSize() > f.GetLength());
    }
    ASSERT_EQ(expected + "|" + expected + "|" + expected + "|" + windows +
                  "|" + latin1 + "|" + chosen + "|<" + chosen + latin1 +
                  windows + "|", all);
    ASSERT_EQ(guess, CQKString::IsProbableWindows1252String(bytes.c_str()));
    ASSERT_EQ(chosen, Text(CQKString(bytes.c_str())));
    ASSERT_EQ(0, CQKString(chosen.c_str()).Compare(bytes.c_str(), true));
  }
  // The text ends at its zero byte; the locale is the default one.
  EXPECT_EQ("a\xC3\xA9", Text(CQKString(CQKString::kLatin1, "a\xE9\0c", 4)));
  EXPECT_EQ("A@B@",
            Text(CQKString(CQKString::kLocal8Bit, "A\xE9" "B\x80\0c", 6)));
  EXPECT_EQ("\xE2\x80\x9A",
            Text(CQKString(CQKString::kWindows1252, "\x82", ~0u)));
}

// Every code point's case is checked against the Unicode data elsewhere;
// these are the edges: missing texts, lengths, counts and suffixes.
TEST(CQKStringCompare, CompareAndEndsWith) {
  const struct { const char* a; const char* b; bool ignore; int sign; }
  kCompares[] = {{"a", "B", false, 1},      {"abc", "ab", true, 1},
                 {"ab", "ABC", true, -1},   {nullptr, "x", false, -1},
                 {nullptr, "", false, 0},   {"\xC3\xA9", "\xC3\x89", true, 0}};
  for (const auto& c : kCompares) {
    const CQKString a(c.a);
    EXPECT_EQ(c.sign, Sign(a.Compare(CQKString(c.b), c.ignore))) << c.b;
    EXPECT_EQ(c.sign, Sign(a.Compare(U(c.b), c.ignore))) << c.b;
  }
  EXPECT_EQ(1, CQKString("a").Compare(static_cast<const char*>(nullptr), 0));
  const auto compare = CQKString::CompareUTF8Buffers;
  EXPECT_EQ(-1, compare(nullptr, U("a"), -1, true, 0, 0));
  EXPECT_EQ(1, compare(U("a"), nullptr, -1, false, 0, 0));
  const CQKString zip("A.\xC3\xA9");
  CQKString tail;  // bytes as they are: half a character
  tail.SetFromUTF8("\xA9");
  EXPECT_TRUE(zip.EndsWith(CQKString(), false) &&
              zip.EndsWith(CQKString(".\xC3\xA9"), false) &&
              zip.EndsWith(CQKString(".\xC3\x89"), true));
  EXPECT_FALSE(zip.EndsWith(CQKString(".\xC3\x89"), false) ||
               zip.EndsWith(CQKString("xA.\xC3\xA9"), true) ||
               zip.EndsWith(tail, false));
}

template <typename T>
void ExpectNumber(T value, const std::string& text) {
  CQKString s("previous text");
  s = value;
  s += value;
  EXPECT_EQ(text + "|" + text + text, Text(CQKString(value)) + "|" + Text(s));
}

TEST(CQKStringNumbers, EveryTypeAtItsLimits) {
  ExpectNumber(INT_MIN, "-2147483648");
  ExpectNumber(static_cast<short>(-32768), "-32768");
  ExpectNumber(4294967295u, "4294967295");
  ExpectNumber(static_cast<unsigned short>(65535), "65535");
  ExpectNumber(LONG_MIN, "-9223372036854775808");  // long is 64-bit here
  ExpectNumber(ULONG_MAX, "18446744073709551615");
  ExpectNumber(LLONG_MIN, "-9223372036854775808");
  ExpectNumber(ULLONG_MAX, "18446744073709551615");
  EXPECT_EQ(20, CQKString::GetMaxCharsNeededForRange(9, ULLONG_MAX));
}

// The platform's bytes and count; a short estimate would cut the output.
template <typename... Args>
void ExpectExact(const std::string& format, Args... args) {
  char expected[1024];
  const int n = snprintf(expected, sizeof expected, format.c_str(), args...);
  ASSERT_TRUE(n >= 0 && n < static_cast<int>(sizeof expected)) << format;
  CQKString s;
  ASSERT_EQ(n, s.SafeFormat(format.c_str(), args...)) << format;
  ASSERT_EQ(std::string(expected, n), Text(s)) << format;
  ASSERT_GE(s.GetSize() - 1, s.GetLength()) << format;
}

// Every conversion and length modifier under every flag set, width and
// precision; a trailing argument checks that the walk stays aligned. Then
// errno for %m, a format converted from Latin-1, and format and argument
// from the string's own buffer.
TEST(CQKStringFormat, MatchesThePlatform) {
  const char* kWidths[] = {"", "1", "7", "25"};
  const char* kPrecisions[] = {"", ".", ".0", ".4", ".30"};
  const int kInts[] = {0, 1, -1, 42, -42, INT_MAX, INT_MIN};
  const long long kLongs[] = {0, -1, 1LL << 40, LLONG_MIN, LLONG_MAX};
  const double kDoubles[] = {0.0,     -0.0,     0.5,       -1.5, 1e300,
                             -1e-300, HUGE_VAL, -HUGE_VAL, NAN,  123456.789};
  for (int i = 0; i < 32 * 4 * 5; ++i) {  // flag set, width, precision
    std::string p = "%";
    for (int flag = 0; flag < 5; ++flag) {
      if (i & (1 << flag)) p += "-+ #0"[flag];
    }
    p = p + kWidths[i / 32 % 4] + kPrecisions[i / 128];
    auto integers = [&p](const char* modifier, auto v) {
      for (const char* letter : {"d", "i", "o", "u", "x", "X"}) {
        ExpectExact(p + modifier + letter + "|%s", v, "after");
      }
    };
    for (int v : kInts) {
      for (const char* modifier : {"", "h", "hh"}) integers(modifier, v);
    }
    for (long long v : kLongs) {
      integers("ll", v);
      integers("l", static_cast<long>(v));
      integers("j", static_cast<intmax_t>(v));
      integers("z", static_cast<size_t>(v));
      integers("t", static_cast<ptrdiff_t>(v));
    }
    for (const char* letter : {"e", "E", "f", "F", "g", "G", "a", "A"}) {
      for (double v : kDoubles) {
        ExpectExact(p + letter + "|%d", v, 5);
        ExpectExact(p + "L" + letter + "|%s", static_cast<long double>(v), "z");
      }
    }
    ExpectExact(p + "s|" + p + "s", "text", "");
    ExpectExact(p + "c|" + p + "p", 'q', static_cast<void*>(&p));
  }
  for (int w : {-12, -1, 0, 3, 40}) {
    for (int prec : {-3, 0, 2, 17}) {
      ExpectExact("%*.*d|%+*.*f|", w, prec, -123, w, prec, 3.25);
      ExpectExact("%-*.*s|% *.*llx|%s", w, prec, "string", w, prec, 0x1234LL, "z");
      ExpectExact("%*c|%.*s", w, 'c', prec, "precise");
    }
  }
  ExpectExact("%.0f", 1e308);  // 309 digits
  ExpectExact("%2$s %1$s", "world", "hello");  // the platform's own reading
  ExpectExact(std::string("%s|"), static_cast<const char*>(nullptr));
  errno = ENOENT;
  ExpectExact("%s: %m", "open");
  EXPECT_EQ(ENOENT, errno);
  CQKString s;
  s.SafeFormat("\xE9=%s", "\xE9");  // the format is converted, not the text
  EXPECT_EQ("\xC3\xA9=\xE9", Text(s));
  EXPECT_TRUE(s.SafeFormat(std::string().c_str()) == 0 && s.GetLength() == 0);
  s = "%d-%s";  // format and argument from its own buffer, which must grow
  s.SafeFormat(s.GetSafeStringPtr(), 123456789, s.GetSafeStringPtr() + 3);
  EXPECT_EQ("123456789-%s", Text(s));
}

// Every change needing a second copy of a big text, while the address space
// may grow by 64 MiB at most, throws and leaves the strings and the plain
// buffer as they were; so does a size beyond 32 bits.
bool RefusedChangesLeaveEverythingAlone() {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t size = pages * sysconf(_SC_PAGESIZE) + (64 << 20);
  const struct rlimit limit = {size, size};
  if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return false;
  const unsigned int kBig = 40u << 20;  // fits the limit once, not twice
  CQKString big;
  big.Empty(kBig + 1);
  memset(big.GetData(), 'a', kBig);
  big.GetData()[0] = 0xE9;  // not UTF-8, so char-pointer forms convert
  big.SetFromUTF8WithLength(big.GetData(), kBig);
  CQKString small("keep");
  CQKBuffer buffer;
  buffer = "keep";
  const char* text = big.GetSafeStringPtr();
  const std::function<void()> kChanges[] = {
      [&] { small.Append(big); }, [&] { small.SetFromLatin1(text); },
      [&] { small.SafeFormat("%s%s", text, "x"); }, [&] { big.MakeUpper(); },
      [&] { big += big; }, [&] { buffer.CopyFrom(&big); },
      [&] { small.SetFromUCS2(
          reinterpret_cast<const unsigned short*>(text), 0x80000000u, false); }};
  for (const auto& change : kChanges) {
    try {
      change();
      return false;
    } catch (const std::bad_alloc&) {
    }
  }
  return Text(small) == "keep" && big.GetLength() == kBig &&
         big.GetData()[0] == 0xE9 && big.GetData()[kBig - 1] == 'a' &&
         Block(buffer) == std::string("keep\0", 5);
}

TEST(CQKStringOutOfMemory, FailuresLeaveEverythingAsItWas) {
  EXPECT_EXIT(_exit(RefusedChangesLeaveEverythingAlone() ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
