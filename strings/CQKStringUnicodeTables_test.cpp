#include "strings/CQKStringUnicodeTables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "strings/CQKString.h"
#include "tests/support/qk_test_support.h"

namespace {

const std::string kRoot = QK_SOURCE_DIR;
const unsigned int kBmp = 0x10000;
const int kUppercase = 15, kLowercase = 16, kTitlecase = 17;

// UnicodeData.txt parsed here, independently of the generator.
struct UnicodeData {
  std::vector<int> category = std::vector<int>(kBmp, 0);
  std::vector<unsigned int> other = std::vector<unsigned int>(kBmp, 0);
  // Case-insensitive comparison sees uppercase letters as their pair.
  unsigned int Fold(unsigned int c) const {
    return category[c] == kUppercase && other[c] != 0 ? other[c] : c;
  }
};

unsigned int Hex(const std::string& field) {
  return field.empty() ? 0 : std::stoul(field, nullptr, 16);
}

const UnicodeData& Data() {
  static const UnicodeData data = [] {
    // Category n is the n-th two-letter name, counting from 1.
    const std::string kNames =
        "MnMcMeNdNlNoZsZlZpCcCfCsCoCnLuLlLtLmLoPcPdPsPePiPfPoSmScSkSo";
    UnicodeData d;
    std::ifstream in(kRoot + "/tools/UnicodeData-3.2.0.txt");
    unsigned int first = 0;
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> f;
      std::stringstream fields(line);
      for (std::string field; std::getline(fields, field, ';');) {
        f.push_back(field);
      }
      const unsigned int code = Hex(f.at(0));
      // A range comes as its first and its last code point.
      if (f.at(1).find(", Last>") == std::string::npos) first = code;
      if (code >= kBmp || f[1].find(", First>") != std::string::npos) continue;
      const int category = static_cast<int>(kNames.find(f.at(2)) / 2 + 1);
      for (unsigned int c = first; c <= code; ++c) d.category[c] = category;
      // A titlecase letter pairs with its uppercase, everything else with its
      // lowercase; either falls back to the mapping it has.
      const unsigned int upper = Hex(f.at(12)), lower = Hex(f.at(13));
      const bool titlecase = category == kTitlecase;
      d.other[code] = lower != 0 && (!titlecase || upper == 0) ? lower : upper;
    }
    return d;
  }();
  return data;
}

CQKString FromBytes(const std::string& bytes) {
  CQKString s;
  s.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<unsigned int>(bytes.size()));
  return s;
}

std::string MakeUpper(const std::string& bytes) {
  CQKString s = FromBytes(bytes);
  s.MakeUpper();
  return std::string(s.GetSafeStringPtr(), s.GetLength());
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(CQKStringUnicodeTablesTest, CommittedSourceIsTheGeneratorsOutput) {
  qktest::ScratchDir dir;
  const std::string generated = dir / "tables.cpp";
  ASSERT_EQ(0, std::system(("python3 '" + kRoot +
                            "/tools/gen_unicode_tables.py' > '" + generated +
                            "'").c_str()));
  const std::string committed =
      qktest::ReadFile(kRoot + "/strings/CQKStringUnicodeTables.cpp");
  ASSERT_FALSE(committed.empty());
  EXPECT_TRUE(qktest::ReadFile(generated) == committed)
      << "regenerate strings/CQKStringUnicodeTables.cpp with "
         "tools/gen_unicode_tables.py";
}

// Each code point's category and other case, its uppercase, and its
// case-insensitive order against its other case (or else its neighbour) both
// ways. The tables come from a parser of their own, so a fault in either
// parser shows as a mismatch here.
TEST(CQKStringUnicodeTablesTest, EveryCodePointMatchesUnicodeData) {
  const UnicodeData& data = Data();
  const std::string replacement = "\xEF\xBF\xBD";
  for (unsigned int c = 1; c < kBmp; ++c) {
    const unsigned short unit = static_cast<unsigned short>(c);
    ASSERT_EQ(data.category[c], CQKStringUnicodeTables::GetCategory(unit))
        << "U+" << std::hex << c;
    ASSERT_EQ(data.other[c], CQKStringUnicodeTables::GetOtherCase(unit))
        << "U+" << std::hex << c;
    std::string upper = qktest::EncodeUTF8(c);
    if (c >= 0xD800 && c <= 0xDFFF) {
      // No well-formed sequence starts at any of the three bytes.
      ASSERT_EQ(replacement + replacement + replacement, MakeUpper(upper));
      continue;
    }
    if (data.category[c] == kLowercase && data.other[c] != 0) {
      upper = qktest::EncodeUTF8(data.other[c]);
    }
    ASSERT_EQ(upper, MakeUpper(qktest::EncodeUTF8(c))) << "U+" << std::hex << c;
    const unsigned int other = data.other[c] != 0 ? data.other[c] : c ^ 1;
    const CQKString a = FromBytes(qktest::EncodeUTF8(c));
    const CQKString b = FromBytes(qktest::EncodeUTF8(other));
    const int expected = Sign(static_cast<int>(data.Fold(c)) -
                              static_cast<int>(data.Fold(other)));
    ASSERT_EQ(expected, Sign(a.Compare(b, true)))
        << "U+" << std::hex << c << " vs U+" << other;
    ASSERT_EQ(-expected, Sign(b.Compare(a, true)));
  }
  EXPECT_EQ("STRA\xC3\x9F" "E" + replacement,
            MakeUpper("stra\xC3\x9F" "e\xE9"));
  EXPECT_EQ("X" + replacement + "Y", MakeUpper("x\xF0\x9F\x98\x80y"));
  CQKString none;
  none.MakeUpper();
  EXPECT_EQ(nullptr, none.GetData());
}

}  // namespace
