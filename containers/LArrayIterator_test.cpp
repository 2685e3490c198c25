#include "containers/LArrayIterator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "containers/CWVGrowList.h"

namespace {

const unsigned int kLast = LArray::kIndexLast;

void Append(LArray* array, std::vector<int32_t> values) {
  for (int32_t value : values) array->InsertItemsAt(1, kLast, &value, 0);
}

TEST(LArrayIteratorWalk, VisitsEveryItemOnce) {
  CWVGrowList list(4, 0);
  LArrayIterator empty(list);
  int32_t value = 0;
  EXPECT_FALSE(empty.GetNext(&value));
  EXPECT_EQ(LArrayIterator::kNoItem, empty.GetCurrentIndex());

  Append(&list, {1, 2, 3});
  LArrayIterator it(list);
  std::vector<int32_t> seen;
  while (it.GetNext(&value)) seen.push_back(value);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), seen);
  EXPECT_EQ(3u, it.GetCurrentIndex());
}

TEST(LArrayIteratorWalk, SurvivesRemovalOfTheCurrentItem) {
  CWVGrowList list(4, 0);
  Append(&list, {1, 2, 3, 4, 5, 6});
  LArrayIterator it(list);
  std::vector<int32_t> seen;
  int32_t value;
  while (it.GetNext(&value)) {
    seen.push_back(value);
    if (value % 2 == 0) {
      list.RemoveItemsAt(1, it.GetCurrentIndex());
      EXPECT_EQ(LArrayIterator::kCurrentRemoved, it.GetCurrentIndex());
    }
  }
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 4, 5, 6}), seen);
  EXPECT_EQ(3u, list.GetCount());

  // Removing a run that holds the current and the next items.
  Append(&list, {7, 8, 9});  // 1 3 5 7 8 9
  LArrayIterator run(list);
  seen.clear();
  while (run.GetNext(&value)) {
    seen.push_back(value);
    if (value == 3) list.RemoveItemsAt(3, 2);  // 3 5 7
    if (value == 8) list.RemoveItemsAt(1, 1);  // earlier item
  }
  EXPECT_EQ((std::vector<int32_t>{1, 3, 8, 9}), seen);
}

TEST(LArrayIteratorWalk, InsertionsBeforeAreSkippedAfterAreVisited) {
  CWVGrowList list(4, 0);
  Append(&list, {10, 20, 30});
  LArrayIterator it(list);
  std::vector<int32_t> seen;
  int32_t value;
  while (it.GetNext(&value)) {
    seen.push_back(value);
    if (value == 20) {
      const int32_t before = 15, after = 25;
      list.InsertItemsAt(2, 1, &before, 0);
      EXPECT_EQ(4u, it.GetCurrentIndex());
      list.InsertItemsAt(1, it.GetCurrentIndex() + 1, &after, 0);
    }
  }
  EXPECT_EQ((std::vector<int32_t>{10, 20, 25, 30}), seen);
}

TEST(LArrayIteratorLife, ArrayDyingFirstOrIteratorsLeavingInAnyOrder) {
  std::unique_ptr<CWVGrowList> list(new CWVGrowList(4, 0));
  Append(list.get(), {1, 2});
  std::unique_ptr<LArrayIterator> tail(new LArrayIterator(*list));
  LArrayIterator outlives(*list);
  std::unique_ptr<LArrayIterator> middle(new LArrayIterator(*list));
  LArrayIterator front(*list);
  { LArrayIterator first(*list); }
  tail.reset();
  middle.reset();
  // Only live iterators may hear of this; a stale link would be a
  // use after free.
  list->RemoveItemsAt(1, 1);
  int32_t value;
  EXPECT_TRUE(front.GetNext(&value));
  EXPECT_EQ(2, value);

  list.reset();
  EXPECT_EQ(LArrayIterator::kArrayDied, outlives.GetCurrentIndex());
  EXPECT_EQ(LArrayIterator::kArrayDied, front.GetCurrentIndex());
  EXPECT_FALSE(outlives.GetNext(&value));
}

TEST(LArrayIteratorLife, MovedItemsAreSeenAsRemovedAndInserted) {
  CWVGrowList list(4, 0);
  Append(&list, {1, 2, 3, 4});
  LArrayIterator it(list);
  std::vector<int32_t> seen;
  int32_t value;
  while (it.GetNext(&value)) {
    seen.push_back(value);
    if (value == 2) list.MoveItem(it.GetCurrentIndex(), 1);
  }
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 4}), seen);
}

}  // namespace
