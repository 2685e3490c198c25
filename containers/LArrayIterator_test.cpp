#include "containers/LArrayIterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "containers/CWVGrowList.h"

namespace {

const unsigned int kLast = LArray::kIndexLast;

// An iterator and its model: how many items lie before the next one to visit,
// and the value of the current item (values are unique), 0 once it is gone.
struct Walker {
  std::unique_ptr<LArrayIterator> it;
  size_t before = 0;
  int32_t current = -1;  // -1 before the first item
};

// Random insertions, removals and moves while three iterators come and go
// and walk: each visits every item once, except those inserted at or before
// its current item; a removed or moved current item is reported as removed.
TEST(LArrayIteratorTest, WalksMatchAModelWhileTheArrayChanges) {
  std::mt19937 rng(5);
  auto list = std::make_unique<CWVGrowList>(4, 0);
  std::vector<int32_t> items;
  Walker walkers[3];
  int32_t next = 1;
  for (int step = 0; step < 20000; step++) {
    Walker& w = walkers[rng() % 3];
    const size_t n = items.size(), at = 1 + rng() % (n + 1),
                 to = 1 + rng() % (n + 1);
    const unsigned int count = 1 + rng() % 3, op = rng() % 8;
    if (op == 0) {
      w = Walker{std::make_unique<LArrayIterator>(*list)};
    } else if (op < 3) {  // copies of one value, made unique afterwards
      list->InsertItemsAt(count, at, &next, 0);
      for (unsigned int i = 0; i < count; i++, next++) {
        list->AssignItemsAt(1, at + i, &next, 0);
        items.insert(items.begin() + (at - 1 + i), next);
      }
      for (Walker& v : walkers) v.before += at <= v.before ? count : 0;
    } else if (op < 5 && at <= n) {
      list->RemoveItemsAt(count, at == n ? kLast : at);
      const size_t gone = std::min<size_t>(count, n - at + 1);
      items.erase(items.begin() + (at - 1), items.begin() + (at - 1 + gone));
      for (Walker& v : walkers) {
        v.before -= std::min(gone, v.before >= at ? v.before - at + 1 : 0);
      }
    } else if (op == 5 && at <= n && to <= n && to != at) {
      list->MoveItem(at, to);  // seen as removed and inserted again
      const int32_t moved = items[at - 1];
      items.erase(items.begin() + (at - 1));
      items.insert(items.begin() + (to - 1), moved);
      for (Walker& v : walkers) {
        v.before -= at <= v.before;
        v.before += to <= v.before;
        if (v.current == moved) v.current = 0;
      }
    } else if (w.it) {
      const bool more = w.before < items.size();
      int32_t value = 0;
      ASSERT_EQ(more, w.it->GetNext(&value));
      if (more) w.current = items[w.before++];
      ASSERT_EQ(more ? w.current : 0, value);
    }
    for (Walker& v : walkers) {
      if (v.current > 0 &&
          std::find(items.begin(), items.end(), v.current) == items.end()) {
        v.current = 0;
      }
      if (!v.it) continue;
      const auto where = std::find(items.begin(), items.end(), v.current);
      ASSERT_EQ(v.current < 0    ? LArrayIterator::kNoItem
                : v.current == 0 ? LArrayIterator::kCurrentRemoved
                                 : static_cast<unsigned int>(
                                       where - items.begin() + 1),
                v.it->GetCurrentIndex());
    }
  }
  // Iterators outliving their array are told so and touch it no more.
  list.reset();
  for (Walker& v : walkers) {
    int32_t value;
    ASSERT_FALSE(v.it && v.it->GetNext(&value));
    ASSERT_TRUE(!v.it || v.it->GetCurrentIndex() == LArrayIterator::kArrayDied);
  }
}

}  // namespace
