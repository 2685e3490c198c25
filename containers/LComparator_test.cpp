#include "containers/LComparator.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

TEST(LComparatorTest, BytesThenSizesAndOneSharedInstance) {
  LComparator* bytes = LComparator::GetComparator();
  EXPECT_EQ(bytes, LComparator::GetComparator());
  const unsigned char a[] = {1, 9, 200};
  const unsigned char b[] = {1, 4};
  EXPECT_EQ(5, bytes->Compare(a, b, 3, 2));
  EXPECT_EQ(1, bytes->Compare(a, a, 3, 2));
  EXPECT_EQ(-1, bytes->Compare(a, a, 2, 3));
  EXPECT_EQ(-199, bytes->Compare(b, a + 2, 1, 1));
  EXPECT_TRUE(bytes->IsEqualTo(a, a, 3, 3));
  EXPECT_EQ(1, bytes->CompareToKey(a, 3, a));
  EXPECT_FALSE(bytes->IsEqualToKey(a, 3, a));
}

TEST(LComparatorTest, IntegersAreSignedAndMayBeUnaligned) {
  const int16_t s1 = -30000, s2 = 30000;
  EXPECT_EQ(-60000, LInt16Comparator::GetComparator()->Compare(&s1, &s2, 2, 2));
  const int32_t i1 = 7, i2 = 3, lo = INT32_MIN, hi = INT32_MAX;
  LInt32Comparator* c32 = LInt32Comparator::GetComparator();
  EXPECT_EQ(4, c32->Compare(&i1, &i2, 4, 4));
  EXPECT_LT(c32->Compare(&lo, &i1, 4, 4), 0);
  EXPECT_GT(c32->Compare(&hi, &lo, 4, 4), 0);
  EXPECT_TRUE(c32->IsEqualTo(&i1, &i1, 4, 4));
  unsigned char odd[9];
  std::memcpy(odd + 1, &lo, 4);
  std::memcpy(odd + 5, &i1, 4);
  EXPECT_LT(c32->Compare(odd + 1, odd + 5, 4, 4), 0);
  EXPECT_FALSE(c32->IsEqualTo(odd + 1, odd + 5, 4, 4));
  const int64_t w1 = INT64_MIN, w2 = 1;
  LInt64Comparator* c64 = LInt64Comparator::GetComparator();
  EXPECT_EQ(-1, c64->Compare(&w1, &w2, 8, 8));
  EXPECT_EQ(1, c64->Compare(&w2, &w1, 8, 8));
  EXPECT_EQ(0, c64->Compare(&w2, &w2, 8, 8));
  EXPECT_EQ(LInt64Comparator::GetComparator(), c64);
}

}  // namespace
