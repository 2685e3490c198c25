#include "containers/LArrayIterator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "containers/CWVGrowList.h"

namespace {

const unsigned int kLast = LArray::kIndexLast;

TEST(LArrayIteratorTest, VisitsEachItemOnceWhileTheListChanges) {
  CWVGrowList list(4, 0);
  LArrayIterator it(list);
  int32_t value = 0;
  EXPECT_FALSE(it.GetNext(&value));
  EXPECT_EQ(LArrayIterator::kNoItem, it.GetCurrentIndex());
  // Items appended after the end was reached are still visited.
  for (int32_t v = 1; v <= 9; v++) list.InsertItemsAt(1, kLast, &v, 0);
  std::vector<int32_t> seen;
  while (it.GetNext(&value)) {
    seen.push_back(value);
    const unsigned int current = it.GetCurrentIndex();
    const int32_t before = 100, after = 50;
    if (value == 2) {
      list.RemoveItemsAt(1, current);
      EXPECT_EQ(LArrayIterator::kCurrentRemoved, it.GetCurrentIndex());
    } else if (value == 3) {
      list.RemoveItemsAt(3, current);  // the current and the next items
    } else if (value == 6) {
      // Items inserted at or before the current one are not visited, items
      // inserted after it are; removing earlier items skips nothing.
      list.InsertItemsAt(1, current, &before, 0);
      list.InsertItemsAt(2, 1, &before, 0);
      EXPECT_EQ(5u, it.GetCurrentIndex());
      list.RemoveItemsAt(2, 1);
      list.InsertItemsAt(1, it.GetCurrentIndex() + 1, &after, 0);
    } else if (value == after) {
      list.MoveItem(current, 1);  // seen as removed and inserted again
    }
  }
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 6, 50, 7, 8, 9}), seen);
}

TEST(LArrayIteratorTest, ArrayDyingFirstOrIteratorsLeavingInAnyOrder) {
  std::unique_ptr<CWVGrowList> list(new CWVGrowList(4, 0));
  for (int32_t v = 1; v <= 2; v++) list->InsertItemsAt(1, kLast, &v, 0);
  std::unique_ptr<LArrayIterator> tail(new LArrayIterator(*list));
  LArrayIterator outlives(*list);
  std::unique_ptr<LArrayIterator> middle(new LArrayIterator(*list));
  LArrayIterator front(*list);
  { LArrayIterator first(*list); }
  tail.reset();
  middle.reset();
  // Only live iterators may hear of this: a stale link is a use after free.
  list->RemoveItemsAt(1, 1);
  int32_t value;
  EXPECT_TRUE(front.GetNext(&value));
  EXPECT_EQ(2, value);
  list.reset();
  EXPECT_EQ(LArrayIterator::kArrayDied, outlives.GetCurrentIndex());
  EXPECT_EQ(LArrayIterator::kArrayDied, front.GetCurrentIndex());
  EXPECT_FALSE(outlives.GetNext(&value));
}

}  // namespace
