#include "containers/LArrayIterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "containers/CWVGrowList.h"

namespace {

// Random insertions, removals and moves while three iterators come and go
// and walk, against a model of each: how many items lie before the next one
// it visits, and its current item (values are unique). Items inserted at or
// before the current one are not visited; a moved item counts as removed
// and inserted again.
TEST(LArrayIteratorTest, WalksMatchAModelWhileTheArrayChanges) {
  std::mt19937 rng(5);
  auto list = std::make_unique<CWVGrowList>(4, 0);
  std::vector<int32_t> items;
  std::unique_ptr<LArrayIterator> its[3];
  size_t before[3] = {};
  int32_t current[3] = {};  // 0 before the first item, -1 once it is gone
  for (int32_t step = 1; step < 20000; step++) {
    const size_t k = rng() % 3, n = items.size(), at = 1 + rng() % (n + 1),
                 to = 1 + rng() % (n + 1), count = 1 + rng() % 3;
    const unsigned int op = rng() % 8;
    if (op == 0) {
      its[k] = std::make_unique<LArrayIterator>(*list);  // the old one leaves
      before[k] = current[k] = 0;
    } else if (op < 3) {
      list->InsertItemsAt(count, at, &step, 0);
      for (size_t i = 0; i < count; i++) {  // copies, made unique
        const int32_t value = step * 4 + i;
        list->AssignItemsAt(1, at + i, &value, 0);
        items.insert(items.begin() + (at - 1 + i), value);
      }
      for (size_t& b : before) b += at <= b ? count : 0;
    } else if (op < 5 && at <= n) {
      list->RemoveItemsAt(count, at == n ? LArray::kIndexLast : at);
      const size_t gone = std::min(count, n - at + 1);
      items.erase(items.begin() + (at - 1), items.begin() + (at - 1 + gone));
      for (size_t& b : before) b -= std::min(gone, b >= at ? b - at + 1 : 0);
    } else if (op == 5 && at <= n && to <= n && to != at) {
      list->MoveItem(at, to);
      const int32_t moved = items[at - 1];
      items.erase(items.begin() + (at - 1));
      items.insert(items.begin() + (to - 1), moved);
      for (size_t i = 0; i < 3; i++) {
        before[i] -= at <= before[i];
        before[i] += to <= before[i];
        if (current[i] == moved) current[i] = -1;
      }
    } else if (its[k]) {
      const bool more = before[k] < n;
      int32_t value = 0;
      ASSERT_EQ(more, its[k]->GetNext(&value));
      if (more) current[k] = items[before[k]++];
      ASSERT_EQ(more ? current[k] : 0, value);
    }
    for (size_t i = 0; i < 3; i++) {
      const auto where = std::find(items.begin(), items.end(), current[i]);
      if (current[i] > 0 && where == items.end()) current[i] = -1;
      const unsigned int index = where - items.begin() + 1;
      ASSERT_TRUE(!its[i] || its[i]->GetCurrentIndex() ==
                                 (current[i] == 0   ? LArrayIterator::kNoItem
                                  : current[i] < 0 ? LArrayIterator::kCurrentRemoved
                                                   : index));
    }
  }
  // Iterators outliving their array are told so and touch it no more.
  list.reset();
  for (const auto& it : its) {
    int32_t value;
    ASSERT_TRUE(!it || (!it->GetNext(&value) &&
                        it->GetCurrentIndex() == LArrayIterator::kArrayDied));
  }
}

}  // namespace
