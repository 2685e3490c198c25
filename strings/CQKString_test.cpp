#include "strings/CQKString.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Under AddressSanitizer a refused allocation must come back as null, as it
// does from the platform's allocator, instead of ending the process.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

std::string Text(const CQKString& s) {
  return std::string(s.GetSafeStringPtr(), s.GetLength());
}

const unsigned char* U(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

// Independent UTF-8 encoder, straight from the bit layout.
std::string Encode(unsigned int cp) {
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Sequence length a lead byte announces, or 0 when it cannot lead.
unsigned int LeadLength(unsigned char b) {
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) return 2;
  if ((b & 0xF0) == 0xE0) return 3;
  if ((b & 0xF8) == 0xF0) return 4;
  return 0;
}

// Well-formed means the shortest encoding of a Unicode scalar value.
bool ReferenceWellFormed(const unsigned char* b, unsigned int n,
                         unsigned int* codePoint) {
  if (n == 0 || LeadLength(b[0]) != n) return false;
  static const unsigned int kLeadBits[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  static const unsigned int kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  unsigned int cp = b[0] & kLeadBits[n];
  for (unsigned int i = 1; i < n; ++i) {
    if ((b[i] & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b[i] & 0x3F);
  }
  if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return false;
  }
  if (codePoint != nullptr) *codePoint = cp;
  return true;
}

bool ReferenceWellFormedString(const unsigned char* b, unsigned int n) {
  unsigned int pos = 0;
  while (pos < n) {
    unsigned int len = 1;
    while (len <= 4 && !(pos + len <= n &&
                         ReferenceWellFormed(b + pos, len, nullptr))) {
      ++len;
    }
    if (len > 4) return false;
    pos += len;
  }
  return true;
}

// Windows-1252 in 0x80-0x9F, typed from the code page; 0 marks the five
// bytes it leaves undefined.
const unsigned int kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::string ExpectedWindows1252(unsigned char b) {
  if (b < 0x80 || b >= 0xA0) return Encode(b);
  unsigned int cp = kWindows1252[b - 0x80];
  return cp == 0 ? std::string("?") : Encode(cp);
}

bool DefinedInWindows1252Only(unsigned char b) {
  return b >= 0x80 && b < 0xA0 && kWindows1252[b - 0x80] != 0;
}

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// Runs body in a child process whose address space may grow by 64 MiB at
// most, so large allocations really fail. Returns the child's exit code.
int RunWithTightMemory(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(90);
    fclose(statm);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max =
        static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64 << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(91);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A string whose growth fails after a set number of calls, to reach the
// middle of a conversion.
class FailingGrowString : public CQKString {
 public:
  bool GrowTo(unsigned int size, bool keepContents) override {
    if (growthsLeft == 0) throw std::bad_alloc();
    --growthsLeft;
    return CQKString::GrowTo(size, keepContents);
  }
  int growthsLeft = 1000;
};

unsigned int Estimate(const char* format, ...) {
  va_list args;
  va_start(args, format);
  unsigned int n = CQKString::CalculateByteLengthForFormat(format, args);
  va_end(args);
  return n;
}

// --- Construction ---

TEST(CQKStringConstruct, NullAndEmptyText) {
  CQKString null(static_cast<const char*>(nullptr));
  EXPECT_EQ(0u, null.GetLength());
  EXPECT_STREQ("", null.GetSafeStringPtr());
  EXPECT_EQ(nullptr, null.GetData());

  CQKString empty("");
  EXPECT_EQ(0u, empty.GetLength());
  EXPECT_EQ(1u, empty.GetSize());

  CQKString def;
  EXPECT_EQ(nullptr, def.GetData());
  EXPECT_EQ(0u, CQKString::kEmptyString.GetLength());
  EXPECT_STREQ("", CQKString::kEmptyString.GetSafeStringPtr());
}

TEST(CQKStringConstruct, TextPicksItsEncoding) {
  CQKString utf8("caf\xC3\xA9");
  EXPECT_EQ("caf\xC3\xA9", Text(utf8));
  EXPECT_EQ(6u, utf8.GetSize());  // exact fit
  EXPECT_EQ("\xE2\x80\x9C" "A\xE2\x80\x9D", Text(CQKString("\x93" "A\x94")));
  EXPECT_EQ("caf\xC3\xA9", Text(CQKString("caf\xE9")));
  // 0x81 is undefined in Windows-1252, so the text is Latin-1.
  EXPECT_EQ("\xC2\x81\xC3\xA9", Text(CQKString("\x81\xE9")));
}

TEST(CQKStringConstruct, SingleCharIsStoredUnchanged) {
  CQKString x('x');
  EXPECT_EQ("x", Text(x));
  EXPECT_EQ(2u, x.GetSize());
  EXPECT_EQ("\xE9", Text(CQKString('\xE9')));
  CQKString zero('\0');
  EXPECT_EQ(0u, zero.GetLength());
  EXPECT_EQ(2u, zero.GetSize());
}

TEST(CQKStringConstruct, ConstructorTypes) {
  EXPECT_EQ("\xC3\xA9", Text(CQKString(CQKString::kLatin1, "\xE9", 1)));
  EXPECT_EQ("\xE2\x82\xAC",
            Text(CQKString(CQKString::kWindows1252, "\x80", 0xFFFFFFFFu)));
  EXPECT_EQ("ab\xE9", Text(CQKString(CQKString::kUTF8, "ab\xE9", 0xFFFFFFFFu)));
  EXPECT_EQ("ab", Text(CQKString(CQKString::kUTF8, "abcd", 2)));
  EXPECT_EQ("ab", Text(CQKString(CQKString::kASCII, "ab\0cd", 5)));
  EXPECT_EQ("A@B", Text(CQKString(CQKString::kLocal8Bit, "A\xE9" "B", 3)));
  CQKString unknown(static_cast<CQKString::ConstructorType>(9), "abc", 3);
  EXPECT_EQ(0u, unknown.GetLength());
  EXPECT_EQ(1u, unknown.GetSize());
  CQKString null(CQKString::kLatin1, nullptr, 0xFFFFFFFFu);
  EXPECT_EQ(0u, null.GetLength());
}

TEST(CQKStringConstruct, CopyAndMove) {
  CQKString original("text");
  CQKString copy(original);
  EXPECT_EQ("text", Text(copy));
  EXPECT_NE(original.GetData(), copy.GetData());
  EXPECT_EQ(5u, copy.GetSize());

  CQKString empty("");
  CQKString emptyCopy(empty);
  EXPECT_EQ(nullptr, emptyCopy.GetData());

  unsigned char* block = original.GetData();
  CQKString moved(std::move(original));
  EXPECT_EQ(block, moved.GetData());
  EXPECT_EQ("text", Text(moved));
  EXPECT_EQ(nullptr, original.GetData());  // NOLINT: moved-from is empty
  EXPECT_EQ(0u, original.GetLength());     // NOLINT
}

// --- Assignment ---

TEST(CQKStringAssign, CopyAssignmentKeepsCapacity) {
  CQKString s("a longer text");
  unsigned int capacity = s.GetSize();
  CQKString shorter("ab");
  s = shorter;
  EXPECT_EQ("ab", Text(s));
  EXPECT_EQ(capacity, s.GetSize());
  const CQKString& self = s;
  s = self;
  EXPECT_EQ("ab", Text(s));
  CQKString none;
  s = none;
  EXPECT_EQ(0u, s.GetLength());
  EXPECT_EQ(capacity, s.GetSize());
  EXPECT_EQ(std::string(capacity, '\0'),
            std::string(reinterpret_cast<char*>(s.GetData()), capacity));
}

TEST(CQKStringAssign, MoveAssignment) {
  CQKString a("first");
  CQKString b("second");
  unsigned char* block = b.GetData();
  a = std::move(b);
  EXPECT_EQ(block, a.GetData());
  EXPECT_EQ("second", Text(a));
  EXPECT_EQ(nullptr, b.GetData());  // NOLINT
  CQKString& alias = a;
  a = std::move(alias);
  EXPECT_EQ(0u, a.GetLength());
  EXPECT_EQ(nullptr, a.GetData());
}

TEST(CQKStringAssign, FromCharPointer) {
  CQKString s;
  s = "\xC3\xA9t\xC3\xA9";
  EXPECT_EQ("\xC3\xA9t\xC3\xA9", Text(s));
  s = "\xE9t\xE9";
  EXPECT_EQ("\xC3\xA9t\xC3\xA9", Text(s));
  s = "\x85";
  EXPECT_EQ("\xE2\x80\xA6", Text(s));
  s = static_cast<const char*>(nullptr);
  EXPECT_EQ(0u, s.GetLength());
  EXPECT_NE(nullptr, s.GetData());

  CQKString fresh;
  fresh = static_cast<const char*>(nullptr);
  EXPECT_EQ(1u, fresh.GetSize());
}

TEST(CQKStringAssign, FromItsOwnText) {
  CQKString s("/dir/file");
  s = s.GetSafeStringPtr() + 5;
  EXPECT_EQ("file", Text(s));
  CQKString latin;
  latin.SetFromUTF8("ab\xE9\xE9");
  latin = latin.GetSafeStringPtr() + 1;
  EXPECT_EQ("b\xC3\xA9\xC3\xA9", Text(latin));
}

TEST(CQKStringAssign, StealTakesEverything) {
  CQKString a("aaa");
  CQKString b("bb");
  unsigned char* block = b.GetData();
  a.StealCQKStringFromCQKString(b);
  EXPECT_EQ(block, a.GetData());
  EXPECT_EQ(2u, a.GetLength());
  EXPECT_EQ(0u, b.GetLength());
  EXPECT_EQ(nullptr, b.GetData());
  a.StealCQKStringFromCQKString(a);
  EXPECT_EQ("bb", Text(a));
}

// --- Setting from UTF-8 ---

TEST(CQKStringSetFromUTF8, BytesAreTakenAsTheyAre) {
  CQKString s;
  s.SetFromUTF8("\xFF\xC0\x80");
  EXPECT_EQ("\xFF\xC0\x80", Text(s));
  s.SetFromUTF8(U("abcdef"), 3);
  EXPECT_EQ("abc", Text(s));
  s.SetFromUTF8(U("ab\0cd"), 5);
  EXPECT_EQ("ab", Text(s));
  s.SetFromUTF8WithLength(U("ab\0cd"), 5);
  EXPECT_EQ(std::string("ab\0cd", 5), Text(s));
}

TEST(CQKStringSetFromUTF8, EmptyInputZeroFillsAndKeepsCapacity) {
  CQKString s("abcdef");
  s.SetFromUTF8(static_cast<const unsigned char*>(nullptr));
  EXPECT_EQ(0u, s.GetLength());
  EXPECT_EQ(7u, s.GetSize());
  EXPECT_EQ(std::string(7, '\0'),
            std::string(reinterpret_cast<char*>(s.GetData()), 7));
  CQKString none;
  none.SetFromUTF8WithLength(U(""), 10);
  EXPECT_EQ(nullptr, none.GetData());
}

TEST(CQKStringSetFromUTF8, StrnlenCompat) {
  EXPECT_EQ(0u, CQKString::strnlenCompat(nullptr, 5));
  EXPECT_EQ(3u, CQKString::strnlenCompat("abc", 5));
  EXPECT_EQ(2u, CQKString::strnlenCompat("abc", 2));
  EXPECT_EQ(1u, CQKString::strnlenCompat("a\0bc", 4));
}

// --- Emptying ---

TEST(CQKStringEmpty, EmptyReservesAndZeroFills) {
  CQKString s;
  s.Empty(0);
  EXPECT_EQ(nullptr, s.GetData());
  s.Empty(1);
  EXPECT_EQ(1u, s.GetSize());
  EXPECT_EQ(0, s.GetData()[0]);
  CQKString t("hello");
  t.Empty(2);
  EXPECT_EQ(6u, t.GetSize());
  EXPECT_EQ(std::string(6, '\0'),
            std::string(reinterpret_cast<char*>(t.GetData()), 6));
  t.ClearBuffer();
  EXPECT_EQ(0u, t.GetLength());
}

TEST(CQKStringEmpty, FreeStringAndFreeBufferDropTheText) {
  CQKString s("hello");
  s.FreeString();
  EXPECT_EQ(nullptr, s.GetData());
  EXPECT_EQ(0u, s.GetLength());
  CQKString t("hello");
  t.FreeBuffer();
  EXPECT_EQ(0u, t.GetLength());
  t.Append("x");
  EXPECT_EQ("x", Text(t));
}

// --- Appending ---

TEST(CQKStringAppend, TextsStringsAndBytes) {
  CQKString s;
  s.Append("ab");
  s += CQKString("cd");
  s += static_cast<const CQKString*>(nullptr);
  s += CQKString();
  s += U("\xFF");
  s += 'z';
  s += '\0';
  s.Append('\x80');
  EXPECT_EQ("abcd\xFFz\x80", Text(s));
  EXPECT_EQ(8u, s.GetSize());  // exact fit
}

TEST(CQKStringAppend, CharPointerPicksItsEncoding) {
  CQKString s("x");
  s += "\xC3\xA9";
  s += "\xE9";
  s += "\x99";
  s.AppendLatin1("\x99");
  s.AppendWindows1252("\xE9");
  s.Append(static_cast<const char*>(nullptr));
  EXPECT_EQ("x\xC3\xA9\xC3\xA9\xE2\x84\xA2\xC2\x99\xC3\xA9", Text(s));
}

TEST(CQKStringAppend, ItselfTwice) {
  CQKString s("abc");
  s.Append(s);
  EXPECT_EQ("abcabc", Text(s));
  s.Append(&s);
  EXPECT_EQ("abcabcabcabc", Text(s));
  s.AppendUTF8(s.GetData() + 9);
  EXPECT_EQ("abcabcabcabcabc", Text(s));
}

TEST(CQKStringAppend, Numbers) {
  CQKString s;
  s += -5;
  s += static_cast<short>(-32768);
  s += 4294967295u;
  s += static_cast<unsigned short>(65535);
  s += LONG_MIN;
  s += ULONG_MAX;
  s += LLONG_MIN;
  s += ULLONG_MAX;
  EXPECT_EQ("-5-32768429496729565535-9223372036854775808"
            "18446744073709551615-9223372036854775808"
            "18446744073709551615",
            Text(s));
}

// --- Access ---

TEST(CQKStringAccess, IndexOperators) {
  CQKString s("ab");
  EXPECT_EQ('a', s[0]);
  EXPECT_EQ('b', s[static_cast<short>(1)]);
  EXPECT_EQ('\0', s[2u]);
  EXPECT_EQ('\0', s[3]);
  EXPECT_EQ('\0', s[-1]);
  EXPECT_EQ('\0', s[static_cast<short>(-1)]);
  EXPECT_EQ('\0', CQKString()[0]);
  EXPECT_EQ('\0', CQKString()[0u]);
}

TEST(CQKStringAccess, CharacterLength) {
  EXPECT_EQ(0u, CQKString().GetCharLength());
  EXPECT_EQ(4u, CQKString("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80").GetCharLength());
  EXPECT_EQ(0u, CQKString::CalculateCharLength(nullptr));
  EXPECT_EQ(1u, CQKString::CalculateCharLength(U("\xBF\x80" "a")));
}

// --- Substrings ---

TEST(CQKStringSubstring, MidLeftRightOnAscii) {
  CQKString s("abcdef");
  EXPECT_EQ("def", Text(s.Mid(3, 100)));
  EXPECT_EQ("", Text(s.Mid(10, 2)));
  EXPECT_EQ("ab", Text(s.Mid(-1, 2)));
  EXPECT_EQ("", Text(s.Mid(2, -4)));
  EXPECT_EQ("cd", Text(s.Mid(2, 2)));
  EXPECT_EQ("abcdef", Text(s.Mid(0, 6)));
  EXPECT_EQ("abc", Text(s.Left(3)));
  EXPECT_EQ("", Text(s.Left(-3)));
  EXPECT_EQ("abcdef", Text(s.Left(99)));
  EXPECT_EQ("ef", Text(s.Right(2)));
  EXPECT_EQ("abcdef", Text(s.Right(99)));
  EXPECT_EQ("", Text(s.Right(-1)));
  CQKString option("-t/tmp/x");
  EXPECT_EQ("/tmp/x", Text(option.Right(option.GetLength() - 2)));
}

TEST(CQKStringSubstring, CutsNeverSplitACharacter) {
  CQKString s("\xC3\xA9x");
  EXPECT_EQ("\xC3\xA9", Text(s.Left(1)));
  EXPECT_EQ("x", Text(s.Right(2)));
  CQKString euro("a\xE2\x82\xAC" "b");
  EXPECT_EQ("a\xE2\x82\xAC", Text(euro.Left(2)));
  EXPECT_EQ("b", Text(euro.Mid(2, 3)));
  EXPECT_EQ("\xE2\x82\xAC", Text(euro.Mid(1, 1)));
  CQKString dest;
  euro.GetSubStrInto(dest, 2, 0, true);
  EXPECT_EQ("b", Text(dest));
  euro.GetSubStrInto(dest, 0, 0, false);
  EXPECT_EQ("", Text(dest));
}

TEST(CQKStringSubstring, IntoItself) {
  CQKString s("hello world");
  s.GetSubStrInto(s, 6, 5, false);
  EXPECT_EQ("world", Text(s));
  s.GetSubStrInto(s, 1, 0, true);
  EXPECT_EQ("orld", Text(s));
}

// --- Truncating and trimming ---

TEST(CQKStringTrim, TruncateAfterByte) {
  CQKString s("\xC3\xA9x");
  EXPECT_FALSE(s.TruncateAfterByte(3));
  EXPECT_EQ("\xC3\xA9x", Text(s));
  EXPECT_TRUE(s.TruncateAfterByte(2));
  EXPECT_EQ("\xC3\xA9", Text(s));
  CQKString t("\xC3\xA9x");
  EXPECT_TRUE(t.TruncateAfterByte(1));
  EXPECT_EQ("", Text(t));
  CQKString u("ab\xF0\x9F\x98\x80");
  EXPECT_TRUE(u.TruncateAfterByte(4));
  EXPECT_EQ("ab", Text(u));
}

TEST(CQKStringTrim, TrimRightAscii) {
  CQKString s("dir///");
  s.TrimRightAscii("/");
  EXPECT_EQ("dir", Text(s));
  CQKString slashes("///");
  slashes.TrimRightAscii("/");
  EXPECT_EQ("", Text(slashes));
  CQKString mixed("a \t/ \t");
  mixed.TrimRightAscii(" \t");
  EXPECT_EQ("a \t/", Text(mixed));
  mixed.TrimRightAscii(nullptr);
  EXPECT_EQ("a \t/", Text(mixed));
  CQKString empty;
  empty.TrimRightAscii("/");
  EXPECT_EQ(nullptr, empty.GetData());
}

TEST(CQKStringTrim, AppendDirSeparator) {
  CQKString a("a");
  EXPECT_FALSE(a.AppendDirSeperatorIfNotPresent());
  EXPECT_EQ("a", Text(a));
  CQKString root("/");
  EXPECT_FALSE(root.AppendDirSeperatorIfNotPresent());
  CQKString ab("ab");
  EXPECT_TRUE(ab.AppendDirSeperatorIfNotPresent());
  EXPECT_EQ("ab/", Text(ab));
  EXPECT_FALSE(ab.AppendDirSeperatorIfNotPresent());
  EXPECT_EQ("ab/", Text(ab));
}

// --- Growth ---

TEST(CQKGrowStringTest, GrowsWithReserve) {
  CQKGrowString g;
  g.Append("ab");
  EXPECT_EQ(3u + 512u, g.GetSize());
  unsigned char* block = g.GetData();
  for (int i = 0; i < 100; ++i) g.Append("xyz");
  EXPECT_EQ(block, g.GetData());
  EXPECT_EQ(302u, g.GetLength());
  EXPECT_EQ(512u, CQKGrowString::kDefaultGrowSize);
}

TEST(CQKGrowStringTest, ConstructionAndCopies) {
  CQKGrowString fromString(CQKString("abc"));
  EXPECT_EQ(4u + 512u, fromString.GetSize());
  CQKGrowString copy(fromString);
  EXPECT_EQ("abc", Text(copy));
  EXPECT_EQ(4u, copy.GetSize());
  copy.Append("d");
  EXPECT_EQ(5u + 512u, copy.GetSize());  // the grow size came along
  CQKGrowString converted(CQKString::kLatin1, "\xE9", 1);
  EXPECT_EQ("\xC3\xA9", Text(converted));
  EXPECT_EQ(6u + 512u, converted.GetSize());
  unsigned char* block = copy.GetData();
  CQKGrowString moved(std::move(copy));
  EXPECT_EQ(block, moved.GetData());
  CQKGrowString assigned;
  assigned = fromString;
  EXPECT_EQ("abc", Text(assigned));
  assigned = "plain";
  EXPECT_EQ("plain", Text(assigned));
}

// --- Validity ---

TEST(CQKStringValidity, DocumentedSequences) {
  EXPECT_TRUE(CQKString::IsLegalUTF8String(U(""), 0));
  EXPECT_FALSE(CQKString::IsLegalUTF8String(nullptr, 0));
  EXPECT_FALSE(CQKString::IsLegalUTF8String(nullptr));
  for (const char* bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xED\x41\x80", "\xF4\x41\x80\x80",
                          "\xC3", "a\xE2\x82", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(CQKString::IsLegalUTF8String(U(bad))) << bad;
  }
  for (const char* good : {"\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF",
                           "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "plain"}) {
    EXPECT_TRUE(CQKString::IsLegalUTF8String(U(good))) << good;
  }
  EXPECT_TRUE(CQKString::IsLegalUTF8String(U("a\0b"), 3));
  EXPECT_FALSE(CQKString::IsLegalUTF8Sequence(U("\xC2"), 1));
  EXPECT_FALSE(CQKString::IsLegalUTF8Sequence(U("a\x80"), 2));
  EXPECT_FALSE(CQKString::IsLegalUTF8Sequence(U("abcde"), 5));
  EXPECT_FALSE(CQKString::IsLegalUTF8Sequence(U(""), 0));
}

// Every one-, two- and three-byte text, and four-byte texts over every lead
// and second byte, against the definition; the decoder rides along.
TEST(CQKStringValidity, AgreesWithTheDefinitionEverywhere) {
  const unsigned char kEdges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90,
                                  0x9F, 0xA0, 0xBF, 0xC0, 0xF5, 0xFF};
  unsigned char b[4];
  long mismatches = 0;
  auto check = [&](unsigned int n) {
    bool expected = ReferenceWellFormedString(b, n);
    if (CQKString::IsLegalUTF8String(b, n) != expected) ++mismatches;
    if (CQKString::IsLegalUTF8Sequence(b, n) !=
        ReferenceWellFormed(b, n, nullptr)) {
      ++mismatches;
    }
    unsigned short unit = 0;
    int used = CQKString::UTF8CharToUCS2Char(b, n, &unit);
    unsigned int lead = LeadLength(b[0]);
    unsigned int cp = 0;
    if (lead != 0 && lead <= n && ReferenceWellFormed(b, lead, &cp)) {
      unsigned short want = cp > 0xFFFF ? 0xFFFD : static_cast<unsigned short>(cp);
      if (used != static_cast<int>(lead) || unit != want) ++mismatches;
    } else if (used != -1 || unit != 0xFFFD) {
      ++mismatches;
    }
  };
  for (unsigned int x = 0; x < 256; ++x) {
    b[0] = static_cast<unsigned char>(x);
    check(1);
    for (unsigned int y = 0; y < 256; ++y) {
      b[1] = static_cast<unsigned char>(y);
      check(2);
      for (unsigned int z = 0; z < 256; ++z) {
        b[2] = static_cast<unsigned char>(z);
        check(3);
      }
      for (unsigned char z : kEdges) {
        for (unsigned char w : kEdges) {
          b[2] = z;
          b[3] = w;
          check(4);
        }
      }
    }
  }
  EXPECT_EQ(0, mismatches);
}

TEST(CQKStringValidity, ProbableWindows1252) {
  EXPECT_TRUE(CQKString::IsProbableWindows1252String("a\x93"));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String("a\xE9"));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String("a\x81"));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String(nullptr));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String("ab\x93", 2));
  EXPECT_FALSE(CQKString::IsProbableWindows1252String("a\0\x93", 3));
  for (unsigned int b = 1; b < 256; ++b) {
    char text[2] = {static_cast<char>(b), 0};
    EXPECT_EQ(DefinedInWindows1252Only(static_cast<unsigned char>(b)),
              CQKString::IsProbableWindows1252String(text))
        << b;
  }
}

TEST(CQKStringValidity, DecodeOneCharacter) {
  unsigned short unit = 0;
  EXPECT_EQ(4, CQKString::UTF8CharToUCS2Char(U("\xF0\x9F\x98\x80"), 4, &unit));
  EXPECT_EQ(0xFFFD, unit);
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(U("\xC3\xA9"), 1, &unit));
  EXPECT_EQ(0xFFFD, unit);
  EXPECT_EQ(1, CQKString::UTF8CharToUCS2Char(U("A"), 1, &unit));
  EXPECT_EQ(0x41, unit);
  EXPECT_EQ(1, CQKString::UTF8CharToUCS2Char(U(""), 1, &unit));
  EXPECT_EQ(0, unit);
  unit = 7;
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(U("A"), 0, &unit));
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(nullptr, 1, &unit));
  EXPECT_EQ(-1, CQKString::UTF8CharToUCS2Char(U("A"), 1, nullptr));
}

// --- Conversions ---

TEST(CQKStringConvert, EveryByteFromLatin1AndWindows1252) {
  std::string all;
  std::string allLatin1;
  std::string allWindows;
  for (unsigned int b = 1; b < 256; ++b) {
    unsigned char byte = static_cast<unsigned char>(b);
    char text[4] = {'a', static_cast<char>(b), 'z', 0};
    all += static_cast<char>(b);
    allLatin1 += Encode(b);
    allWindows += ExpectedWindows1252(byte);
    CQKString latin1;
    latin1.SetFromLatin1(text);
    EXPECT_EQ("a" + Encode(b) + "z", Text(latin1)) << b;
    CQKString windows;
    windows.SetFromWindows1252(text, 3);
    EXPECT_EQ("a" + ExpectedWindows1252(byte) + "z", Text(windows)) << b;

    // Plain char pointers: kept when UTF-8, else the guess decides.
    std::string chosen = b < 0x80 ? std::string(text)
                         : DefinedInWindows1252Only(byte)
                             ? "a" + ExpectedWindows1252(byte) + "z"
                             : "a" + Encode(b) + "z";
    EXPECT_EQ(chosen, Text(CQKString(text))) << b;
    CQKString assigned;
    assigned = text;
    EXPECT_EQ(chosen, Text(assigned)) << b;
    CQKString appended("<");
    appended += text;
    EXPECT_EQ("<" + chosen, Text(appended)) << b;
    EXPECT_EQ(0, CQKString(chosen.c_str()).Compare(text, false)) << b;
  }
  CQKString latin1;
  latin1.SetFromLatin1(all.c_str());
  EXPECT_EQ(allLatin1, Text(latin1));
  CQKString windows;
  windows.SetFromWindows1252(all.c_str());
  EXPECT_EQ(allWindows, Text(windows));
}

TEST(CQKStringConvert, DocumentedSingleBytes) {
  CQKString s;
  s.SetFromWindows1252("\x93" "A\x94");
  EXPECT_EQ("\xE2\x80\x9C" "A\xE2\x80\x9D", Text(s));
  s.SetFromWindows1252("\x81");
  EXPECT_EQ("?", Text(s));
  s.SetFromWindows1252("\xBC");
  EXPECT_EQ("\xC2\xBC", Text(s));
  s.SetFromLatin1("\x80");
  EXPECT_EQ("\xC2\x80", Text(s));
  s.SetFromLatin1("\xFF");
  EXPECT_EQ("\xC3\xBF", Text(s));
  s.SetFromLatin1(static_cast<const char*>(nullptr));
  EXPECT_EQ(0u, s.GetLength());
  s.SetFromLatin1("ab\0cd", 5);
  EXPECT_EQ("ab", Text(s));
}

TEST(CQKStringConvert, LongRunsSurviveGrowth) {
  std::string high;
  std::string mixed;
  std::string expectedLatin1;
  std::string expectedWindows;
  for (int i = 0; i < 100; ++i) {
    unsigned char b = static_cast<unsigned char>(0x80 + i);
    high += static_cast<char>(b);
    expectedLatin1 += Encode(b);
    expectedWindows += ExpectedWindows1252(b);
  }
  for (int i = 0; i < 60; ++i) mixed += (i % 3 == 0) ? "\x80" : "q";
  CQKString s;
  s.SetFromLatin1(high.c_str());
  EXPECT_EQ(expectedLatin1, Text(s));
  s.SetFromWindows1252(high.c_str());
  EXPECT_EQ(expectedWindows, Text(s));
  s.SetFromWindows1252(mixed.c_str());
  std::string expectedMixed;
  for (int i = 0; i < 60; ++i) expectedMixed += (i % 3 == 0) ? "\xE2\x82\xAC" : "q";
  EXPECT_EQ(expectedMixed, Text(s));
}

TEST(CQKStringConvert, InitialSizesAndTenByteSteps) {
  CQKString s;
  s.SetFromLatin1("abc");
  EXPECT_EQ(8u, s.GetSize());
  CQKString t;
  t.SetFromLatin1("\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9");  // 16 bytes out
  EXPECT_EQ(23u, t.GetSize());
  CQKString u;
  unsigned short units[] = {0x41, 0x42, 0};
  u.SetFromUCS2(units);
  EXPECT_EQ(6u, u.GetSize());
}

TEST(CQKStringConvert, UCS2) {
  CQKString s;
  const unsigned short smile[] = {0xD83D, 0xDE00, 0};
  s.SetFromUCS2(smile);
  EXPECT_EQ("\xF0\x9F\x98\x80", Text(s));
  const unsigned short lowAlone[] = {0x0041, 0xDC00, 0x0042, 0};
  s.SetFromUCS2(lowAlone);
  EXPECT_EQ("A", Text(s));
  const unsigned short swapped[] = {0x4100, 0x3DD8, 0x00DE, 0};
  s.SetFromUCS2(swapped, 3, true);
  EXPECT_EQ("A\xF0\x9F\x98\x80", Text(s));
  const unsigned short highLast[] = {0x0041, 0xD800};
  s.SetFromUCS2(highLast, 2, false);
  EXPECT_EQ("A", Text(s));
  const unsigned short highThenA[] = {0xD800, 0x0041};
  s.SetFromUCS2(highThenA, 2, false);
  EXPECT_EQ("", Text(s));
  s.SetFromUCS2(nullptr);
  EXPECT_EQ(0u, s.GetLength());
}

TEST(CQKStringConvert, EveryUCS2UnitInBothByteOrders) {
  for (unsigned int u = 1; u < 0x10000; ++u) {
    unsigned short unit = static_cast<unsigned short>(u);
    unsigned short swapped = static_cast<unsigned short>((u >> 8) | (u << 8));
    bool surrogate = u >= 0xD800 && u <= 0xDFFF;
    std::string expected = surrogate ? "" : Encode(u);
    CQKString s;
    s.SetFromUCS2(&unit, 1, false);
    ASSERT_EQ(expected, Text(s)) << u;
    s.SetFromUCS2(&swapped, 1, true);
    ASSERT_EQ(expected, Text(s)) << u;
  }
  for (unsigned int high = 0xD800; high <= 0xDBFF; high += 0x3F) {
    for (unsigned int low = 0xDC00; low <= 0xDFFF; ++low) {
      unsigned short pair[2] = {static_cast<unsigned short>(high),
                                static_cast<unsigned short>(low)};
      CQKString s;
      s.SetFromUCS2(pair, 2, false);
      ASSERT_EQ(Encode(((high - 0xD800) << 10) + (low - 0xDC00) + 0x10000),
                Text(s));
    }
  }
}

TEST(CQKStringConvert, UTF32) {
  CQKString s;
  const unsigned int beyond[] = {0x110000, 0};
  s.SetFromUTF32(beyond);
  EXPECT_EQ("\xEF\xBF\xBD", Text(s));
  const unsigned int surrogate[] = {0x41, 0xD800, 0x42, 0};
  s.SetFromUTF32(surrogate);
  EXPECT_EQ("A", Text(s));
  const unsigned int edges[] = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000,
                                0x10FFFF, 0xFFFFFFFFu, 0};
  s.SetFromUTF32(edges);
  EXPECT_EQ(Encode(0x7F) + Encode(0x80) + Encode(0x7FF) + Encode(0x800) +
                Encode(0xFFFF) + Encode(0x10000) + Encode(0x10FFFF) +
                "\xEF\xBF\xBD",
            Text(s));
  s.SetFromUTF32(edges, 0);
  EXPECT_EQ(0u, s.GetLength());
  EXPECT_EQ(0, s.GetData()[0]);
}

TEST(CQKStringConvert, Local8BitInTheDefaultLocale) {
  CQKString s;
  s.SetFromLocal8Bit("A\xE9" "B\x80", 4);
  EXPECT_EQ("A@B@", Text(s));
  s.SetFromLocal8Bit("ab\0cd", 5);
  EXPECT_EQ("ab", Text(s));
  CQKString fresh;
  fresh.SetFromLocal8Bit("ab", 0);
  EXPECT_EQ(0u, fresh.GetLength());
  EXPECT_EQ(1u, fresh.GetSize());
}

TEST(CQKStringConvert, InputFromItsOwnBuffer) {
  CQKString s;
  s.SetFromUTF8("x\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9\xE9");
  s.SetFromLatin1(s.GetSafeStringPtr());
  EXPECT_EQ("x\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
            "\xC3\xA9",
            Text(s));
  CQKString w;
  w.SetFromUTF8("\x93\x94");
  w.AppendWindows1252(w.GetSafeStringPtr());
  EXPECT_EQ("\x93\x94\xE2\x80\x9C\xE2\x80\x9D", Text(w));
}

// --- Case ---

TEST(CQKStringCase, MakeUpper) {
  CQKString s("stra\xC3\x9F" "e");
  s.MakeUpper();
  EXPECT_EQ("STRA\xC3\x9F" "E", Text(s));
  CQKString e("\xC3\xA9");
  e.MakeUpper();
  EXPECT_EQ("\xC3\x89", Text(e));
  CQKString lone;
  lone.SetFromUTF8("\xE9");
  lone.MakeUpper();
  EXPECT_EQ("\xEF\xBF\xBD", Text(lone));
  CQKString astral("a\xF0\x9F\x98\x80");
  astral.MakeUpper();
  EXPECT_EQ("A\xEF\xBF\xBD", Text(astral));
  CQKString letters(
      "\xC2\xB5\xC3\xBF\xC4\xB1\xC7\x85\xCF\x82\xEF\xBD\x81\xE1\x83\x90");
  letters.MakeUpper();
  // micro, y with diaeresis, dotless i, titlecase DZ, final sigma,
  // fullwidth a, Georgian letter
  EXPECT_EQ("\xCE\x9C\xC5\xB8I\xC7\x85\xCE\xA3\xEF\xBC\xA1\xE1\x83\x90",
            Text(letters));
}

TEST(CQKStringCase, MakeUpperOnEmptyAndOnEveryAsciiByte) {
  CQKString none;
  none.MakeUpper();
  EXPECT_EQ(nullptr, none.GetData());
  CQKString zeroed;
  zeroed.Empty(4);
  unsigned char* block = zeroed.GetData();
  zeroed.MakeUpper();
  EXPECT_EQ(block, zeroed.GetData());
  EXPECT_EQ(4u, zeroed.GetSize());
  for (int b = 1; b < 128; ++b) {
    CQKString s(static_cast<char>(b));
    s.MakeUpper();
    char expected = (b >= 'a' && b <= 'z') ? static_cast<char>(b - 32)
                                           : static_cast<char>(b);
    EXPECT_EQ(std::string(1, expected), Text(s)) << b;
  }
}

// --- Comparison and search ---

TEST(CQKStringCompare, SignsAndNulls) {
  CQKString a("a");
  EXPECT_EQ(0, a.Compare(a, false));
  EXPECT_LT(a.Compare("B", true), 0);
  EXPECT_GT(a.Compare("B", false), 0);
  EXPECT_EQ(0, CQKString().Compare(CQKString(""), false));
  EXPECT_EQ(0, CQKString().Compare(CQKString(""), true));
  EXPECT_EQ(1, a.Compare(static_cast<const char*>(nullptr), false));
  EXPECT_EQ(1, a.Compare(static_cast<const unsigned char*>(nullptr), true));
  EXPECT_LT(CQKString().Compare("x", false), 0);
  EXPECT_GT(CQKString("abc").Compare(CQKString("ab"), true), 0);
  EXPECT_LT(CQKString("ab").Compare(U("abc"), true), 0);
  EXPECT_EQ(0, CQKString::CompareUTF8Buffers(nullptr, nullptr, -1, true, 0, 0));
  EXPECT_EQ(-1, CQKString::CompareUTF8Buffers(nullptr, U("a"), -1, true, 0, 0));
  EXPECT_EQ(1, CQKString::CompareUTF8Buffers(U("a"), nullptr, -1, false, 0, 0));
}

TEST(CQKStringCompare, IgnoringCase) {
  EXPECT_EQ(0, CQKString("Stra\xC3\x9F" "E").Compare("sTRA\xC3\x9F" "e", true));
  EXPECT_EQ(0, CQKString("\xC3\x89T\xC3\x89").Compare("\xC3\xA9t\xC3\xA9", true));
  // Capital sigma folds to small sigma, not to final sigma.
  EXPECT_NE(0, CQKString("\xCE\xA3").Compare("\xCF\x82", true));
  EXPECT_EQ(0, CQKString("\xCE\xA3").Compare("\xCF\x83", true));
  // Both sides are compared lower-cased.
  EXPECT_LT(CQKString("_").Compare("A", true), 0);
  EXPECT_GT(CQKString("_").Compare("A", false), 0);
  // Latin-1 text is converted before comparing.
  EXPECT_EQ(0, CQKString("\xC3\x89").Compare("\xE9", true));
  for (int x = 1; x < 128; ++x) {
    for (int y = 1; y < 128; ++y) {
      int fx = (x >= 'A' && x <= 'Z') ? x + 32 : x;
      int fy = (y >= 'A' && y <= 'Z') ? y + 32 : y;
      CQKString s(static_cast<char>(x));
      char other[2] = {static_cast<char>(y), 0};
      ASSERT_EQ(Sign(fx - fy), Sign(s.Compare(other, true))) << x << " " << y;
      ASSERT_EQ(Sign(x - y), Sign(s.Compare(other, false))) << x << " " << y;
    }
  }
}

TEST(CQKStringCompare, CountLimitsTheBytesOfTheFirstText) {
  EXPECT_EQ(0, CQKString::CompareUTF8Buffers(U("abcX"), U("ABCY"), 3, true, 0, 0));
  EXPECT_EQ(0, CQKString::CompareUTF8Buffers(U("abcX"), U("abcY"), 3, false, 0, 0));
  EXPECT_NE(0, CQKString::CompareUTF8Buffers(U("abcX"), U("ABCY"), 4, true, 0, 0));
  // A size that ends before the terminator does not carry the walk past it.
  EXPECT_NE(0, CQKString::CompareUTF8Buffers(U("\xE9x"), U("\xE9"), -1, true, 1, 1));
}

TEST(CQKStringSearch, EndsWith) {
  CQKString s("archive.ZIP");
  EXPECT_TRUE(s.EndsWith(CQKString(), false));
  EXPECT_TRUE(s.EndsWith(CQKString(".ZIP"), false));
  EXPECT_FALSE(s.EndsWith(CQKString(".zip"), false));
  EXPECT_TRUE(s.EndsWith(CQKString(".zip"), true));
  EXPECT_FALSE(s.EndsWith(CQKString("x.archive.ZIP"), true));
  CQKString accent("A\xC3\xA9");
  CQKString tail;
  tail.SetFromUTF8("\xA9");
  EXPECT_FALSE(accent.EndsWith(tail, false));
  EXPECT_TRUE(accent.EndsWith(CQKString("\xC3\x89"), true));
  EXPECT_TRUE(CQKString().EndsWith(CQKString(""), true));
}

TEST(CQKStringSearch, InStrReverse) {
  unsigned int index = 99;
  EXPECT_TRUE(CQKString("a/b/c").InStrReverse('/', &index, false));
  EXPECT_EQ(3u, index);
  EXPECT_TRUE(CQKString("/abc").InStrReverse('/', nullptr, false));
  index = 99;
  EXPECT_FALSE(CQKString("abc").InStrReverse('/', &index, false));
  EXPECT_FALSE(CQKString().InStrReverse('/', &index, false));
  EXPECT_EQ(99u, index);
  EXPECT_TRUE(CQKString("/abc").InStrReverse('/', &index, false));
  EXPECT_EQ(0u, index);
}

// --- Numbers ---

TEST(CQKStringNumbers, ConstructorsAndAssignments) {
  EXPECT_EQ("-2147483648", Text(CQKString(INT_MIN)));
  EXPECT_EQ(32u, CQKString(7).GetSize());
  EXPECT_EQ("-32768", Text(CQKString(static_cast<short>(-32768))));
  EXPECT_EQ("4294967295", Text(CQKString(4294967295u)));
  EXPECT_EQ("65535", Text(CQKString(static_cast<unsigned short>(65535))));
  EXPECT_EQ("-9223372036854775808", Text(CQKString(LONG_MIN)));
  EXPECT_EQ("18446744073709551615", Text(CQKString(ULONG_MAX)));
  EXPECT_EQ("-9223372036854775808", Text(CQKString(LLONG_MIN)));
  CQKString big(ULLONG_MAX);
  EXPECT_EQ("18446744073709551615", Text(big));
  EXPECT_EQ(62u, big.GetSize());

  CQKString s;
  s = ULLONG_MAX;
  EXPECT_EQ("18446744073709551615", Text(s));
  s = 5;
  EXPECT_EQ("5", Text(s));
  EXPECT_EQ(62u, s.GetSize());  // a larger buffer stays
  s = static_cast<short>(-1);
  EXPECT_EQ("-1", Text(s));
  s = 0u;
  EXPECT_EQ("0", Text(s));
  s = static_cast<unsigned short>(1);
  EXPECT_EQ("1", Text(s));
  s = -1L;
  EXPECT_EQ("-1", Text(s));
  s = 1UL;
  EXPECT_EQ("1", Text(s));
  s = -1LL;
  EXPECT_EQ("-1", Text(s));
}

TEST(CQKStringNumbers, LengthConstants) {
  EXPECT_EQ(10, CQKString::kMaxLenOfULongAsStr);
  EXPECT_EQ(5, CQKString::kMaxLenOfInt16AsStr);
  EXPECT_EQ(10, CQKString::kMaxLenOfInt32AsStr);
  EXPECT_EQ(CQKString::GetMaxCharsNeededForRange(4294967295ull, 0),
            CQKString::kMaxLenOfULongAsStr);
  EXPECT_EQ(20, CQKString::GetMaxCharsNeededForRange(0, ULLONG_MAX));
  EXPECT_EQ(1, CQKString::GetMaxCharsNeededForRange(0, 9));
}

// --- Formatting ---

TEST(CQKStringFormat, DocumentedResults) {
  CQKString s;
  EXPECT_EQ(27, s.SafeFormat("Complete (%f minutes)", 0.5));
  EXPECT_EQ("Complete (0.500000 minutes)", Text(s));
  EXPECT_EQ(5, s.SafeFormat("%5d", 42));
  EXPECT_EQ("   42", Text(s));
  EXPECT_EQ(5u, Estimate("%5d", 42));
  EXPECT_EQ(6u, Estimate("%s", static_cast<const char*>(nullptr)));
  EXPECT_EQ(2u, Estimate("%.2s", static_cast<const char*>(nullptr)));
  EXPECT_EQ(1u, Estimate("%"));
  EXPECT_EQ(3u, Estimate("a%%b"));
  EXPECT_EQ(0, s.SafeFormat("%s", ""));
  CQKString empty;
  std::string nothing;  // kept from the compiler's checks
  EXPECT_EQ(0, empty.SafeFormat(nothing.c_str()));
  EXPECT_EQ(0u, empty.GetLength());
  EXPECT_EQ(5u, empty.GetSize());
  EXPECT_EQ(0, empty.SafeFormat(nullptr));
}

TEST(CQKStringFormat, FormatTextIsConvertedArgumentsAreNot) {
  CQKString s;
  s.SafeFormat("\xE9=%s", "\xE9");
  EXPECT_EQ("\xC3\xA9=\xE9", Text(s));
  s.SafeFormat("\x93%d\x94", 7);
  EXPECT_EQ("\xE2\x80\x9C" "7\xE2\x80\x9D", Text(s));
}

TEST(CQKStringFormat, WideArgumentsStayAligned) {
  CQKString s;
  s.SafeFormat("%lld|%s|%zu|%Lf|%hhd|%jd|%td|%s", 1LL << 40, "mid",
               static_cast<size_t>(123456789012ull), 1.5L, 300,
               static_cast<intmax_t>(-7), static_cast<ptrdiff_t>(-9), "end");
  EXPECT_EQ("1099511627776|mid|123456789012|1.500000|44|-7|-9|end", Text(s));
}

TEST(CQKStringFormat, ArgumentsFromItsOwnBuffer) {
  CQKString s("value");
  s.SafeFormat("[%s] [%s]", s.GetSafeStringPtr(), s.GetSafeStringPtr() + 2);
  EXPECT_EQ("[value] [lue]", Text(s));
  CQKString f("%d-%d");
  f.SafeFormat(f.GetSafeStringPtr(), 1, 2);
  EXPECT_EQ("1-2", Text(f));
}

TEST(CQKStringFormat, WhatOnlyThePlatformKnows) {
  CQKString s;
  s.SafeFormat("%2$s %1$s", "world", "hello");
  EXPECT_EQ("hello world", Text(s));
  errno = ENOENT;
  s.SafeFormat("%s: %m", "open");
  EXPECT_EQ(std::string("open: ") + strerror(ENOENT), Text(s));
  EXPECT_EQ(ENOENT, errno);
  int count = 0;
  std::string odd = "abc%n|%5%|%-3y";  // kept from the compiler's checks
  s.SafeFormat(odd.c_str(), &count);
  EXPECT_EQ(3, count);
  EXPECT_GE(s.GetSize(), s.GetLength() + 1);
}

template <typename... Args>
void ExpectExact(const std::string& format, Args... args) {
  char expected[1024];
  int n = snprintf(expected, sizeof expected, format.c_str(), args...);
  ASSERT_GE(n, 0) << format;
  ASSERT_LT(n, static_cast<int>(sizeof expected)) << format;
  ASSERT_GE(Estimate(format.c_str(), args...), static_cast<unsigned int>(n))
      << format;
  CQKString s;
  ASSERT_EQ(n, s.SafeFormat(format.c_str(), args...)) << format;
  ASSERT_EQ(std::string(expected, n), Text(s)) << format;
  ASSERT_GE(s.GetSize(), static_cast<unsigned int>(n) + 1) << format;
}

// Every conversion over every flag set, several widths and precisions,
// typed and '*'-supplied, against the platform's own output.
TEST(CQKStringFormat, EstimateIsNeverShort) {
  const char* kFlags = "-+ #0";
  std::vector<std::string> prefixes;
  for (int set = 0; set < 32; ++set) {
    std::string flags;
    for (int i = 0; i < 5; ++i) {
      if (set & (1 << i)) flags += kFlags[i];
    }
    for (const char* width : {"", "1", "7", "25"}) {
      for (const char* precision : {"", ".", ".0", ".4", ".30"}) {
        prefixes.push_back("%" + flags + width + precision);
      }
    }
  }
  const int kInts[] = {0, 1, -1, 42, -42, INT_MAX, INT_MIN};
  const long long kLongs[] = {0, -1, 1LL << 40, LLONG_MIN, LLONG_MAX};
  const double kDoubles[] = {0.0, -0.0, 0.5, -1.5, 1e300, -1e-300,
                             HUGE_VAL, -HUGE_VAL, NAN, 123456.789};
  for (const std::string& p : prefixes) {
    for (const char* letter : {"d", "i", "o", "u", "x", "X"}) {
      for (int v : kInts) {
        ExpectExact(p + letter + "|", v);
        ExpectExact(p + "h" + letter + "|", v);
        ExpectExact(p + "hh" + letter + "|", v);
      }
      for (long long v : kLongs) {
        ExpectExact(p + "ll" + letter + "|%s", v, "after");
        ExpectExact(p + "l" + letter + "|", static_cast<long>(v));
        ExpectExact(p + "j" + letter + "|", static_cast<intmax_t>(v));
        ExpectExact(p + "z" + letter + "|", static_cast<size_t>(v));
        ExpectExact(p + "t" + letter + "|", static_cast<ptrdiff_t>(v));
      }
    }
    for (const char* letter : {"e", "E", "f", "F", "g", "G", "a", "A"}) {
      for (double v : kDoubles) {
        ExpectExact(p + letter + "|%d", v, 5);
        ExpectExact(p + "L" + letter, static_cast<long double>(v));
      }
    }
    ExpectExact(p + "s|", "text");
    ExpectExact(p + "s|", "");
    ExpectExact(p + "c|", 'q');
    ExpectExact(p + "p|", static_cast<void*>(&kFlags));
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
  CQKString big;
  EXPECT_EQ(309, big.SafeFormat("%.0f", 1e308));
  EXPECT_EQ(309u, big.GetLength());
}

// --- Running out of memory ---

TEST(CQKStringOutOfMemory, FailuresLeaveTheStringAsItWas) {
  EXPECT_EQ(0, RunWithTightMemory([] {
    // Fits the limit once, but not a second time.
    const unsigned int kBig = 40u << 20;
    CQKString big;
    big.Empty(kBig + 1);
    memset(big.GetData(), 'a', kBig);
    big.GetData()[0] = 0xE9;
    big.SetFromUTF8WithLength(big.GetData(), kBig);
    CQKString small("keep");
    int failures = 0;
    auto attempt = [&](const std::function<void()>& change) {
      try {
        change();
      } catch (const std::bad_alloc&) {
        ++failures;
      }
    };
    attempt([&] { small.Append(big); });
    attempt([&] { small = big; });
    attempt([&] { small.SetFromLatin1(big.GetSafeStringPtr()); });
    attempt([&] { small.SetFromWindows1252(big.GetSafeStringPtr()); });
    attempt([&] { small.SafeFormat("%s%s", big.GetSafeStringPtr(), "x"); });
    attempt([&] { small += big.GetSafeStringPtr(); });
    if (failures != 6 || Text(small) != "keep") return 1;
    attempt([&] { big.MakeUpper(); });
    attempt([&] { big += big; });
    if (failures != 8 || big.GetLength() != kBig ||
        big.GetData()[0] != 0xE9 || big.GetData()[1] != 'a') {
      return 2;
    }
    return 0;
  }));
}

TEST(CQKStringOutOfMemory, FailureInTheMiddleOfAConversion) {
  std::string high(100, '\xE9');
  FailingGrowString s;
  s.SetFromUTF8("keep");
  s.growthsLeft = 1;  // the first estimate only
  EXPECT_THROW(s.SetFromLatin1(high.c_str()), std::bad_alloc);
  EXPECT_EQ("keep", Text(s));
  s.growthsLeft = 1;
  EXPECT_THROW(s.SetFromWindows1252(high.c_str()), std::bad_alloc);
  EXPECT_EQ("keep", Text(s));
  std::vector<unsigned int> wide(50, 0x20AC);
  wide.push_back(0);
  s.growthsLeft = 1;
  EXPECT_THROW(s.SetFromUTF32(wide.data()), std::bad_alloc);
  EXPECT_EQ("keep", Text(s));
  s.growthsLeft = 1000;
  s.SetFromUTF32(wide.data());
  EXPECT_EQ(150u, s.GetLength());
}

TEST(CQKStringOutOfMemory, SizesBeyondFourGigabytes) {
  CQKString s("abc");
  EXPECT_THROW(s.SetFromUCS2(reinterpret_cast<const unsigned short*>("ab"),
                             0x80000000u, false),
               std::bad_alloc);
  EXPECT_EQ("abc", Text(s));
}

}  // namespace
