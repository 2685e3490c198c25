#include "strings/CQKStringUnicodeTables.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "strings/CQKString.h"

namespace {

const std::string kRoot = QK_SOURCE_DIR;
const unsigned int kBmp = 0x10000;

// UnicodeData.txt read afresh, so the tables are checked against the data
// rather than against the generator that made them.
struct UnicodeData {
  std::vector<int> category = std::vector<int>(kBmp, 0);
  std::vector<unsigned int> upper = std::vector<unsigned int>(kBmp, 0);
  std::vector<unsigned int> lower = std::vector<unsigned int>(kBmp, 0);

  // A titlecase letter pairs with its uppercase, everything else with its
  // lowercase; either falls back to the mapping it has.
  unsigned int OtherCase(unsigned int c) const {
    bool titlecase = category[c] == 17;
    if (lower[c] != 0 && (!titlecase || upper[c] == 0)) return lower[c];
    return upper[c];
  }
  // Case-insensitive comparison compares uppercase letters as their pair.
  unsigned int Fold(unsigned int c) const {
    return category[c] == 15 && OtherCase(c) != 0 ? OtherCase(c) : c;
  }
};

int CategoryNumber(const std::string& name) {
  static const char* const kNames[] = {
      "Mn", "Mc", "Me", "Nd", "Nl", "No", "Zs", "Zl", "Zp", "Cc",
      "Cf", "Cs", "Co", "Cn", "Lu", "Ll", "Lt", "Lm", "Lo", "Pc",
      "Pd", "Ps", "Pe", "Pi", "Pf", "Po", "Sm", "Sc", "Sk", "So"};
  for (int i = 0; i < 30; i++) {
    if (name == kNames[i]) return i + 1;
  }
  ADD_FAILURE() << "unknown category " << name;
  return 0;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() &&
         s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

UnicodeData Load() {
  UnicodeData d;
  std::ifstream in(kRoot + "/tools/UnicodeData-3.2.0.txt");
  EXPECT_TRUE(in.good());
  std::string line;
  unsigned int rangeStart = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, ';');) {
      f.push_back(field);
    }
    EXPECT_GE(f.size(), 14u) << line;
    if (f.size() < 14) continue;
    unsigned int code = std::stoul(f[0], nullptr, 16);
    if (code >= kBmp) continue;
    if (EndsWith(f[1], ", First>")) {
      rangeStart = code;
      continue;
    }
    unsigned int first = EndsWith(f[1], ", Last>") ? rangeStart : code;
    for (unsigned int c = first; c <= code; c++) {
      d.category[c] = CategoryNumber(f[2]);
    }
    if (!f[12].empty()) d.upper[code] = std::stoul(f[12], nullptr, 16);
    if (!f[13].empty()) d.lower[code] = std::stoul(f[13], nullptr, 16);
  }
  return d;
}

const UnicodeData& Data() {
  static const UnicodeData data = Load();
  return data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// Plain three-byte forms for surrogates too: those are the invalid input the
// string operations must absorb.
std::string EncodeUTF8(unsigned int c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

CQKString FromBytes(const std::string& bytes) {
  CQKString s;
  s.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<unsigned int>(bytes.size()));
  return s;
}

std::string Bytes(const CQKString& s) {
  return std::string(s.GetSafeStringPtr(), s.GetLength());
}

std::string MakeUpper(const std::string& bytes) {
  CQKString s = FromBytes(bytes);
  s.MakeUpper();
  return Bytes(s);
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(CQKStringUnicodeTablesTest, CommittedSourceIsTheGeneratorsOutput) {
  std::string command = "python3 '" + kRoot + "/tools/gen_unicode_tables.py'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string generated;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) {
    generated.append(chunk, n);
  }
  ASSERT_EQ(pclose(pipe), 0);
  std::string committed =
      ReadFile(kRoot + "/strings/CQKStringUnicodeTables.cpp");
  ASSERT_FALSE(committed.empty());
  EXPECT_TRUE(generated == committed)
      << "strings/CQKStringUnicodeTables.cpp differs from the output of "
         "tools/gen_unicode_tables.py";
}

TEST(CQKStringUnicodeTablesTest, EveryCodePointMatchesUnicodeData) {
  const UnicodeData& data = Data();
  unsigned int pairs = 0;
  for (unsigned int c = 0; c < kBmp; c++) {
    unsigned short unit = static_cast<unsigned short>(c);
    ASSERT_EQ(CQKStringUnicodeTables::GetCategory(unit), data.category[c])
        << "U+" << std::hex << c;
    ASSERT_EQ(CQKStringUnicodeTables::GetOtherCase(unit), data.OtherCase(c))
        << "U+" << std::hex << c;
    if (data.OtherCase(c) != 0) pairs++;
  }
  EXPECT_EQ(pairs, 1428u);
  // Titlecase letters without an uppercase mapping keep a pair.
  EXPECT_EQ(CQKStringUnicodeTables::GetOtherCase(0x1F88), 0x1F80);
  EXPECT_EQ(CQKStringUnicodeTables::GetOtherCase(0x1FFC), 0x1FF3);
}

TEST(CQKStringUnicodeTablesTest, PagesAreSharedAndComplete) {
  const unsigned char* info = CQKStringUnicodeTables::unicode_info;
  std::set<int> used;
  for (int h = 0; h < 256; h++) used.insert(info[h]);
  ASSERT_EQ(used.size(), 54u);
  EXPECT_EQ(*used.begin(), 1);
  EXPECT_EQ(*used.rbegin(), 54);
  std::set<std::string> contents;
  for (int p = 1; p <= 54; p++) {
    contents.insert(std::string(
        reinterpret_cast<const char*>(info + p * 256), 256));
  }
  EXPECT_EQ(contents.size(), 54u);

  const unsigned short* cases = CQKStringUnicodeTables::case_info;
  const std::set<int> withPairs = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                   0x1E, 0x1F, 0x21, 0x24, 0xFF};
  std::set<int> pages;
  unsigned int nonZero = 0;
  for (int h = 0; h < 256; h++) {
    EXPECT_EQ(cases[h] != 0, withPairs.count(h) == 1) << "high byte " << h;
    if (cases[h] != 0) pages.insert(cases[h]);
  }
  EXPECT_EQ(pages, (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  for (unsigned int i = 256; i < CQKStringUnicodeTables::kCaseInfoSize; i++) {
    if (cases[i] != 0) nonZero++;
  }
  EXPECT_EQ(nonZero, 1428u);
}

TEST(CQKStringUnicodeTablesTest, TellingRows) {
  struct Row {
    unsigned short c;
    int category;
    unsigned short other;
  };
  const Row kRows[] = {
      {0x0041, 15, 0x0061}, {0x0061, 16, 0x0041}, {0x00B5, 16, 0x039C},
      {0x00DF, 16, 0},      {0x00FF, 16, 0x0178}, {0x0130, 15, 0x0069},
      {0x0131, 16, 0x0049}, {0x01C5, 17, 0x01C4}, {0x03C2, 16, 0x03A3},
      {0x10A0, 15, 0},      {0xFF41, 16, 0xFF21}, {0xD800, 12, 0},
      {0xE000, 13, 0},      {0x0378, 0, 0},       {0x2160, 5, 0x2170},
      {0x24B6, 30, 0x24D0}};
  for (const Row& row : kRows) {
    EXPECT_EQ(CQKStringUnicodeTables::GetCategory(row.c), row.category)
        << "U+" << std::hex << row.c;
    EXPECT_EQ(CQKStringUnicodeTables::GetOtherCase(row.c), row.other)
        << "U+" << std::hex << row.c;
  }
}

TEST(CQKStringUnicodeCaseTest, MakeUpperOfEveryCodePoint) {
  const UnicodeData& data = Data();
  const std::string replacement = "\xEF\xBF\xBD";
  for (unsigned int c = 1; c < kBmp; c++) {
    std::string expected;
    if (c >= 0xD800 && c <= 0xDFFF) {
      // No well-formed sequence starts at any of the three bytes.
      expected = replacement + replacement + replacement;
    } else if (data.category[c] == 16 && data.OtherCase(c) != 0) {
      expected = EncodeUTF8(data.OtherCase(c));
    } else {
      expected = EncodeUTF8(c);
    }
    ASSERT_EQ(MakeUpper(EncodeUTF8(c)), expected) << "U+" << std::hex << c;
  }
}

TEST(CQKStringUnicodeCaseTest, MakeUpperOfWholeStrings) {
  EXPECT_EQ(MakeUpper("stra\xC3\x9F" "e"), "STRA\xC3\x9F" "E");
  EXPECT_EQ(MakeUpper("\xC3\xA9t\xC3\xA9"), "\xC3\x89T\xC3\x89");
  EXPECT_EQ(MakeUpper("\xE9"), "\xEF\xBF\xBD");
  EXPECT_EQ(MakeUpper("a\xE9z"), "A\xEF\xBF\xBDZ");
  // dz with caron: the small letter goes up, the titlecase one stays.
  EXPECT_EQ(MakeUpper("\xC7\x86\xC7\x85"), "\xC7\x84\xC7\x85");
  // Beyond the Basic Multilingual Plane.
  EXPECT_EQ(MakeUpper("x\xF0\x9F\x98\x80y"), "X\xEF\xBF\xBDY");
  EXPECT_EQ(MakeUpper(""), "");
}

TEST(CQKStringUnicodeCaseTest, CaseInsensitiveCompareOfEveryPair) {
  const UnicodeData& data = Data();
  for (unsigned int c = 0; c < kBmp; c++) {
    unsigned int other = data.OtherCase(c);
    if (other == 0) continue;
    CQKString a = FromBytes(EncodeUTF8(c));
    CQKString b = FromBytes(EncodeUTF8(other));
    int expected = Sign(static_cast<int>(data.Fold(c)) -
                        static_cast<int>(data.Fold(other)));
    ASSERT_EQ(Sign(a.Compare(b, true)), expected)
        << "U+" << std::hex << c << " vs U+" << other;
    ASSERT_EQ(Sign(b.Compare(a, true)), -expected)
        << "U+" << std::hex << other << " vs U+" << c;
  }
}

TEST(CQKStringUnicodeCaseTest, CaseInsensitiveCompareOfWholeStrings) {
  CQKString capitalSigma = FromBytes("\xCE\xA3");
  EXPECT_EQ(capitalSigma.Compare(FromBytes("\xCF\x83"), true), 0);
  EXPECT_NE(capitalSigma.Compare(FromBytes("\xCF\x82"), true), 0);
  EXPECT_EQ(FromBytes("\xC3\x80-Ab").Compare(FromBytes("\xC3\xA0-aB"), true),
            0);
  EXPECT_LT(FromBytes("a").Compare(FromBytes("B"), true), 0);
  EXPECT_GT(FromBytes("a").Compare(FromBytes("B"), false), 0);
  EXPECT_GT(FromBytes("abc").Compare(FromBytes("AB"), true), 0);
  // Dotted capital I folds to plain i; dotless i is a different letter.
  EXPECT_EQ(FromBytes("\xC4\xB0").Compare(FromBytes("i"), true), 0);
  EXPECT_NE(FromBytes("\xC4\xB1").Compare(FromBytes("i"), true), 0);
}

}  // namespace
