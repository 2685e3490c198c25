#include "containers/CWVGrowList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

const unsigned int kLast = LArray::kIndexLast;

TEST(CWVGrowListStorage, ReservesTenAndGivesBackPastTen) {
  CWVGrowList list(8, 0);
  EXPECT_EQ(10, list.GetGrowSize());
  EXPECT_EQ(0u, list.GetAllocatedBytes());
  std::vector<unsigned int> growth;
  for (int64_t v = 1; v <= 23; v++) {
    list.InsertItemsAt(1, kLast, &v, 0);
    growth.push_back(list.GetAllocatedBytes() / 8);
  }
  std::vector<unsigned int> expected(11, 11);
  expected.insert(expected.end(), 11, 22);
  expected.push_back(33);
  EXPECT_EQ(expected, growth);

  // 23 -> 22 items leaves 11 items' worth free: shrink to 22 + 5.
  list.RemoveItemsAt(1, 1);
  EXPECT_EQ(27u * 8, list.GetAllocatedBytes());
  list.RemoveItemsAt(5, 1);  // 17 left, 10 free: kept
  EXPECT_EQ(27u * 8, list.GetAllocatedBytes());
  list.RemoveItemsAt(1, kLast);  // 16 left, 11 free
  EXPECT_EQ(21u * 8, list.GetAllocatedBytes());
  list.RemoveItemsAt(100, 1);
  EXPECT_EQ(0u, list.GetAllocatedBytes());

  int64_t v = 7;
  list.InsertItemsAt(30, 1, &v, 0);
  EXPECT_EQ(40u * 8, list.GetAllocatedBytes());

  CWVGrowList reserved(3, 4);
  EXPECT_EQ(12u, reserved.GetAllocatedBytes());
}

}  // namespace
