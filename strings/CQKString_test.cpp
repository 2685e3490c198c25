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
#include <string>
#include <vector>

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

const unsigned char* U(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

std::string Encode(unsigned int cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  static const unsigned int kLeadMark[4] = {0, 0xC0, 0xE0, 0xF0};
  const int trailing = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  const unsigned int lead = kLeadMark[trailing] | cp >> (6 * trailing);
  std::string out(1, static_cast<char>(lead));
  for (int i = trailing - 1; i >= 0; --i) {
    out += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
  }
  return out;
}

// Windows-1252 of a byte: the code page's own characters in 0x80-0x9F ("?"
// for the bytes it leaves undefined), Latin-1 elsewhere.
std::string ExpectedWindows1252(unsigned int b) {
  static const unsigned int kPage[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  if (b < 0x80 || b >= 0xA0) return Encode(b);
  return kPage[b - 0x80] != 0 ? Encode(kPage[b - 0x80]) : "?";
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

std::string FromUCS2(const std::vector<unsigned short>& units, bool swap) {
  CQKString s;
  s.SetFromUCS2(units.data(), static_cast<unsigned int>(units.size()), swap);
  return Text(s);
}

std::string FromUTF32(std::vector<unsigned int> points) {
  CQKString s;
  points.push_back(0);
  s.SetFromUTF32(points.data());
  return Text(s);
}

TEST(CQKStringCore, ConstructAssignAppendAndSetFromUTF8) {
  EXPECT_STREQ("", CQKString().GetSafeStringPtr());
  EXPECT_EQ(std::string("\xE9\0", 2), Block(CQKString('\xE9')));  // unconverted
  EXPECT_EQ(0u, CQKString('\0').GetLength());
  EXPECT_EQ("ab\xE9", Text(CQKString(CQKString::kUTF8, "ab\xE9", 0xFFFFFFFFu)));
  const auto kUnknown = static_cast<CQKString::ConstructorType>(9);
  EXPECT_EQ(0u, CQKString(kUnknown, "a", 1).GetLength());
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
  EXPECT_EQ('i', s[static_cast<short>(1)]);
  for (int i : {20, 21, -1}) EXPECT_EQ('\0', s[i]) << i;
  EXPECT_EQ('\0', CQKString()[0]);
  CQKString moved(std::move(s));
  EXPECT_EQ(nullptr, s.GetData());  // NOLINT: moved-from is empty
  CQKString& alias = moved;
  moved = std::move(alias);  // move-assigning to itself empties
  EXPECT_EQ(nullptr, moved.GetData());
  EXPECT_EQ(0u, moved.GetLength());
  s = "abcdef";
  s.SetFromUTF8(U("ab\0cd"), 5);
  EXPECT_EQ("ab", Text(s));
  s.SetFromUTF8(U("abcdef"), 3);
  EXPECT_EQ("abc", Text(s));
  s.SetFromUTF8WithLength(U("ab\0cd"), 5);
  EXPECT_EQ(std::string("ab\0cd", 5), Text(s));
  s.SetFromUTF8(static_cast<const unsigned char*>(nullptr));
  EXPECT_EQ(std::string(7, '\0'), Block(s));  // capacity kept, zero-filled
  s.FreeString();
  s.Empty(0);
  EXPECT_EQ(nullptr, s.GetData());
  s.Empty(1);
  EXPECT_EQ(std::string(1, '\0'), Block(s));
}

// Byte positions; a cut inside a character moves forward at both ends.
TEST(CQKStringCore, CutsKeepWholeCharacters) {
  const char* kEuro = "a\xE2\x82\xAC" "b";
  // Mid, Left or Right; its arguments; the result.
  const struct { char op; const char* text; int a, b; const char* result; }
  kCases[] = {
      {'M', "abcdef", 3, 100, "def"}, {'M', "abcdef", 10, 2, ""},
      {'M', "abcdef", -1, 2, "ab"},   {'M', "abcdef", 2, -4, ""},
      {'M', kEuro, 2, 3, "b"},        {'M', kEuro, 1, 1, "\xE2\x82\xAC"},
      {'L', "abcdef", -3, 0, ""},     {'L', "abcdef", 99, 0, "abcdef"},
      {'L', kEuro, 2, 0, "a\xE2\x82\xAC"}, {'R', kEuro, 3, 0, "b"},
      {'R', "abcdef", -1, 0, ""},     {'R', "abcdef", 99, 0, "abcdef"}};
  for (const auto& c : kCases) {
    const CQKString s(c.text);
    const CQKString part = c.op == 'M'   ? s.Mid(c.a, c.b)
                           : c.op == 'L' ? s.Left(c.a)
                                         : s.Right(c.a);
    EXPECT_EQ(c.result, Text(part)) << c.op << " " << c.text << " " << c.a;
  }
  CQKString s(kEuro);
  s.GetSubStrInto(s, 2, 0, true);  // into itself, to the end
  EXPECT_EQ("b", Text(s));
  s = "\xC3\xA9" "b\xF0\x9F\x98\x80";
  EXPECT_EQ(3u, s.GetCharLength());
  EXPECT_FALSE(s.TruncateAfterByte(7));
  EXPECT_TRUE(s.TruncateAfterByte(5));
  EXPECT_EQ("\xC3\xA9" "b", Text(s));
  EXPECT_TRUE(s.TruncateAfterByte(1));
  EXPECT_EQ("", Text(s));
  const char* kTrims[][3] = {{"dir///", "/", "dir"}, {"///", "/", ""},
      {"a \t/ \t", " \t", "a \t/"}, {"a ", nullptr, "a "}, {nullptr, "/", ""}};
  for (const auto& c : kTrims) {
    CQKString t(c[0]);
    t.TrimRightAscii(c[1]);
    EXPECT_EQ(c[2], Text(t)) << c[0];
  }
  const char* kSeparators[][2] = {
      {"", ""}, {"a", "a"}, {"/", "/"}, {"ab/", "ab/"}, {"ab", "ab/"}};
  for (const auto& c : kSeparators) {
    CQKString d(c[0]);
    EXPECT_EQ(strcmp(c[0], c[1]) != 0, d.AppendDirSeperatorIfNotPresent());
    EXPECT_EQ(c[1], Text(d)) << c[0];
  }
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
    unsigned int whole = 0;  // how far the text splits into sequences
    while (whole < n && WellFormedLength(t + whole, n - whole) != 0) {
      whole += WellFormedLength(t + whole, n - whole);
    }
    const unsigned int first = WellFormedLength(t, n);
    unsigned short unit = 7;
    const int used = CQKString::UTF8CharToUCS2Char(t, n, &unit);
    // Failures, and characters beyond the BMP, decode to U+FFFD.
    const std::string character =
        first % 4 == 0 ? "\xEF\xBF\xBD" : bytes.substr(0, first);
    const bool decoded = used == (first == 0 ? -1 : static_cast<int>(first)) &&
                         Encode(unit) == character;
    if (firstMismatch.empty() &&
        (CQKString::IsLegalUTF8String(t, n) != (whole == n) ||
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
  EXPECT_FALSE(CQKString::IsLegalUTF8String(nullptr, 0));
  EXPECT_FALSE(CQKString::IsLegalUTF8String(nullptr));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String(nullptr));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String("ab\x93", 2));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String("a\0\x93", 3));
  unsigned short unit = 7;
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(nullptr, 1, &unit));
  EXPECT_EQ(7, unit);  // not written
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(U("A"), 1, nullptr));
}

// Every byte after a well-formed character, through each conversion and the
// char-pointer forms, which decide on the whole text.
TEST(CQKStringConvert, EveryByteThroughEveryConversion) {
  for (unsigned int b = 1; b < 256; ++b) {
    const char text[5] = {'\xC3', '\xA9', static_cast<char>(b), 'z', 0};
    const std::string latin1 = "\xC3\x83\xC2\xA9" + Encode(b) + "z";
    const std::string windows =
        "\xC3\x83\xC2\xA9" + ExpectedWindows1252(b) + "z";
    // A character only Windows-1252 has makes the guess, which decides for
    // text that is not UTF-8.
    const bool guess = latin1 != windows && ExpectedWindows1252(b) != "?";
    const std::string chosen = b < 0x80 ? text : guess ? windows : latin1;
    CQKString s;
    s.SetFromUTF8(text);
    s.SetFromLatin1(s.GetSafeStringPtr());  // from its own buffer
    EXPECT_EQ(latin1, Text(s)) << b;
    const std::vector<char> exact(text, text + 4);  // nothing after it
    s.SetFromWindows1252(exact.data(), 4);
    EXPECT_EQ(windows, Text(s)) << b;
    EXPECT_EQ(windows, Text(CQKString(CQKString::kWindows1252, text, ~0u)));
    EXPECT_EQ(guess, CQKString::IsProbableWindows1252String(text)) << b;
    EXPECT_EQ(chosen, Text(CQKString(text))) << b;
    s = text;
    EXPECT_EQ(chosen, Text(s)) << b;
    CQKString appended("<");
    appended += text;
    appended.AppendLatin1(text);
    appended.AppendWindows1252(text);
    EXPECT_EQ("<" + chosen + latin1 + windows, Text(appended)) << b;
    EXPECT_EQ(0, CQKString(chosen.c_str()).Compare(text, true)) << b;
  }
  // The text ends at its zero byte; the locale is the default one.
  EXPECT_EQ("a\xC3\xA9", Text(CQKString(CQKString::kLatin1, "a\xE9\0c", 4)));
  EXPECT_EQ("A@B@",
            Text(CQKString(CQKString::kLocal8Bit, "A\xE9" "B\x80\0c", 6)));
  CQKString s("x");
  s.SetFromLatin1(static_cast<const char*>(nullptr));
  EXPECT_EQ(0u, s.GetLength());
}

// Every length of a mix of one-, two-, three- and four-byte pieces, so that
// runs end at every offset from a growth step: the terminator must still fit.
// The conversions share their growth; these two reserve most differently.
TEST(CQKStringConvert, GrowthLeavesRoomForTheTerminator) {
  std::string text, windows, fromUTF32;
  std::vector<unsigned int> points;
  for (unsigned int n = 1; n <= 120; ++n) {
    const unsigned char b = "\xE9\x80" "a\xE9\xE9"[n % 5];
    text += static_cast<char>(b);
    windows += ExpectedWindows1252(b);
    points.push_back(b < 0x80 ? b : b == 0x80 ? 0x1F600 : 0x20AC);
    fromUTF32 += Encode(points.back());
    CQKString w, p;
    w.SetFromWindows1252(text.c_str());
    p.SetFromUTF32(points.data(), n);
    ASSERT_EQ(windows + fromUTF32, Text(w) + Text(p));
    ASSERT_TRUE(w.GetSize() > w.GetLength() && p.GetSize() > p.GetLength());
  }
}

// Surrogate pairs and UTF-32 beyond the BMP (MakeUpper takes every BMP code
// point through single units); a surrogate that is not half of a pair ends
// the text.
TEST(CQKStringConvert, UCS2PairsAndUTF32) {
  for (unsigned int high = 0xD800; high <= 0xDBFF; high += 0x3F) {
    for (unsigned int low = 0xDC00; low <= 0xDFFF; ++low) {
      const unsigned int cp = (high - 0xD800) * 0x400 + low - 0xDC00 + 0x10000;
      ASSERT_EQ(Encode(cp), FromUCS2({static_cast<unsigned short>(high),
                                      static_cast<unsigned short>(low)},
                                     false));
      ASSERT_EQ(Encode(cp), FromUTF32({cp}));
    }
  }
  EXPECT_EQ("A\xF0\x9F\x98\x80", FromUCS2({0x4100, 0x3DD8, 0x00DE}, true));
  const std::vector<unsigned short> kUnpaired[] = {
      {0x41, 0xDC00, 0x42}, {0x41, 0xDFFF}, {0x41, 0xD800},
      {0x41, 0xD800, 0x41}, {0x41, 0xDBFF, 0xE000}};
  for (const auto& units : kUnpaired) {
    EXPECT_EQ("A", FromUCS2(units, false));
    EXPECT_EQ("A", FromUTF32({units.begin(), units.end()}));
  }
  EXPECT_EQ("\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xEF\xBF\xBD",
            FromUTF32({0xD7FF, 0xE000, 0x10FFFF, 0x110000, 0xFFFFFFFFu}));
  CQKString s("x");
  const unsigned int kA[] = {0x41, 0};
  s.SetFromUTF32(kA, 0);
  EXPECT_EQ(0u, s.GetLength());
}

TEST(CQKStringCompare, CompareEndsWithAndInStrReverse) {
  const auto compare = CQKString::CompareUTF8Buffers;
  CQKString a("a");
  EXPECT_EQ(0, a.Compare(a, false));
  EXPECT_GT(a.Compare("B", false), 0);
  EXPECT_GT(CQKString("abc").Compare(CQKString("ab"), true), 0);
  EXPECT_LT(CQKString("ab").Compare(U("abc"), true), 0);
  EXPECT_LT(CQKString().Compare("x", false), 0);
  EXPECT_EQ(0, CQKString().Compare(CQKString(""), false));
  EXPECT_EQ(1, a.Compare(static_cast<const char*>(nullptr), false));
  EXPECT_EQ(1, a.Compare(static_cast<const unsigned char*>(nullptr), true));
  EXPECT_EQ(-1, compare(nullptr, U("a"), -1, true, 0, 0));
  EXPECT_EQ(1, compare(U("a"), nullptr, -1, false, 0, 0));
  EXPECT_EQ(0, compare(U("abcX"), U("ABCY"), 3, true, 0, 0));
  EXPECT_EQ(0, compare(U("abcX"), U("abcY"), 3, false, 0, 0));
  EXPECT_NE(0, compare(U("abcX"), U("ABCY"), 4, true, 0, 0));
  CQKString s("archive.ZIP");
  EXPECT_TRUE(s.EndsWith(CQKString(), false));
  EXPECT_TRUE(s.EndsWith(CQKString(".ZIP"), false));
  EXPECT_FALSE(s.EndsWith(CQKString(".zip"), false));
  EXPECT_TRUE(s.EndsWith(CQKString(".zip"), true));
  EXPECT_FALSE(s.EndsWith(CQKString("x.archive.ZIP"), true));
  CQKString tail;
  tail.SetFromUTF8("\xA9");
  EXPECT_FALSE(CQKString("A\xC3\xA9").EndsWith(tail, false));
  EXPECT_TRUE(CQKString("A\xC3\xA9").EndsWith(CQKString("\xC3\x89"), true));
  unsigned int index = 99;
  EXPECT_FALSE(CQKString("abc").InStrReverse('/', &index, false));
  EXPECT_FALSE(CQKString().InStrReverse('/', &index, false));
  EXPECT_EQ(99u, index);
  EXPECT_TRUE(CQKString("a/b/c").InStrReverse('/', &index, false));
  EXPECT_EQ(3u, index);
  EXPECT_TRUE(CQKString("/abc").InStrReverse('/', &index, false));
  EXPECT_EQ(0u, index);
  EXPECT_TRUE(CQKString("/abc").InStrReverse('/', nullptr, false));
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
  EXPECT_EQ(10, CQKString::kMaxLenOfULongAsStr);
  EXPECT_EQ(5, CQKString::kMaxLenOfInt16AsStr);
  EXPECT_EQ(10, CQKString::kMaxLenOfInt32AsStr);
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
// precision; a trailing argument checks that the walk stays aligned.
TEST(CQKStringFormat, GridMatchesThePlatform) {
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
    ExpectExact(p + "s|", "text");
    ExpectExact(p + "s|", "");
    ExpectExact(p + "c|", 'q');
    ExpectExact(p + "p|", static_cast<void*>(&p));
  }
  for (int w : {-12, -1, 0, 3, 40}) {
    for (int prec : {-3, 0, 2, 17}) {
      ExpectExact("%*.*d|", w, prec, -123);
      ExpectExact("%+*.*f|", w, prec, 3.25);
      ExpectExact("%-*.*s|", w, prec, "string");
      ExpectExact("% *.*llx|%s", w, prec, 0x1234LL, "z");
      ExpectExact("%*c|%.*s", w, 'c', prec, "precise");
    }
  }
  ExpectExact("%.0f", 1e308);  // 309 digits
}

TEST(CQKStringFormat, ConversionsAliasingAndErrno) {
  ExpectExact("%2$s %1$s", "world", "hello");  // the platform's own reading
  ExpectExact(std::string("%s|"), static_cast<const char*>(nullptr));
  errno = ENOENT;
  ExpectExact("%s: %m", "open");
  EXPECT_EQ(ENOENT, errno);
  CQKString s;
  s.SafeFormat("\xE9=%s", "\xE9");  // the format is converted, not the text
  EXPECT_EQ("\xC3\xA9=\xE9", Text(s));
  std::string nothing;
  EXPECT_EQ(0, s.SafeFormat(nothing.c_str()));
  EXPECT_EQ(0u, s.GetLength());
  s = "%d-%s";  // format and argument from its own buffer, which must grow
  s.SafeFormat(s.GetSafeStringPtr(), 123456789, s.GetSafeStringPtr() + 3);
  EXPECT_EQ("123456789-%s", Text(s));
}

// Exits with 0 when body() holds while the address space may grow by 64 MiB
// at most, so that large allocations really fail.
[[noreturn]] void ExitWithTightMemory(bool (*body)()) {
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t size = pages * sysconf(_SC_PAGESIZE) + (64 << 20);
  const struct rlimit limit = {size, size};
  _exit(pages > 0 && setrlimit(RLIMIT_AS, &limit) == 0 && body() ? 0 : 1);
}

// Every change needing a second copy of a big text throws and leaves the
// strings and the plain buffer as they were.
bool RefusedChangesLeaveEverythingAlone() {
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
      [&] { small.Append(big); }, [&] { small = big; },
      [&] { small.SetFromLatin1(text); },
      [&] { small.SafeFormat("%s%s", text, "x"); }, [&] { small += text; },
      [&] { big.MakeUpper(); }, [&] { big += big; },
      [&] { buffer.CopyFrom(&big); }};
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
  EXPECT_EXIT(ExitWithTightMemory(RefusedChangesLeaveEverythingAlone),
              ::testing::ExitedWithCode(0), "");
}

// Growth that fails after a set number of calls reaches the middle of a
// conversion.
class FailingGrowString : public CQKString {
 public:
  bool GrowTo(unsigned int size, bool keepContents) override {
    if (growthsLeft == 0) throw std::bad_alloc();
    --growthsLeft;
    return CQKString::GrowTo(size, keepContents);
  }
  int growthsLeft = 1000;
};

TEST(CQKStringOutOfMemory, FailureInTheMiddleOfAConversion) {
  const std::string high(100, '\xE9');
  FailingGrowString s;
  s.SetFromUTF8("keep");
  s.growthsLeft = 1;  // the first estimate only
  EXPECT_THROW(s.SetFromWindows1252(high.c_str()), std::bad_alloc);
  s.growthsLeft = 1000;  // a size beyond 32 bits is refused before growing
  EXPECT_THROW(s.SetFromUCS2(reinterpret_cast<const unsigned short*>("ab"),
                             0x80000000u, false),
               std::bad_alloc);
  EXPECT_EQ("keep", Text(s));
}

}  // namespace
