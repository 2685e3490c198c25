#include "containers/LArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "containers/CWVGrowList.h"
#include "containers/LComparator.h"
#include "containers/LList.h"

namespace {

const uint32_t kLast = LArray::kIndexLast;

typedef std::vector<unsigned char> Item;

std::vector<Item> Contents(const LArray& a) {
  std::vector<Item> items(a.GetCount(), Item(a.GetItemSize(0)));
  for (size_t i = 0; i < items.size(); i++) a.FetchItemAt(i + 1, &items[i][0]);
  return items;
}

template <typename T>
T As(const Item& item) {
  T value;
  std::memcpy(&value, item.data(), sizeof value);
  return value;
}

// The order of the shared comparator for the item size.
bool Before(const Item& a, const Item& b) {
  if (a.size() == 2) return As<int16_t>(a) < As<int16_t>(b);
  if (a.size() == 4) return As<int32_t>(a) < As<int32_t>(b);
  if (a.size() == 8) return As<int64_t>(a) < As<int64_t>(b);
  return a < b;  // unsigned bytes
}

enum Kind { kArray, kList, kGrowList, kSortedArray };

// Random operations on one array and on a vector; after each the two hold
// the same items, and a sorted flag is never wrong. Indexes are mostly in
// 1..count+1, but also 0, kLast and past the end.
void RunRandomSequence(Kind kind, uint32_t size, std::mt19937& rng) {
  SCOPED_TRACE(testing::Message() << kind << " " << size);
  LList list(size, rng() % 3);
  CWVGrowList grow(size, rng() % 3);
  LArray plain(size, nullptr, kind == kSortedArray);
  LArray* array = kind == kList ? &list : kind == kGrowList ? &grow : &plain;
  LArray copy(size, nullptr, kind == kArray);  // keep-sorted: sorts copies
  std::vector<Item> ref, copied;
  for (int step = 0; step < 2000; step++) {
    const uint32_t n = ref.size(), pick = rng() % 6;
    const uint32_t index = pick < 2 ? (pick == 0 ? 0 : kLast)
                           : pick == 2 ? n + 1 + rng() % 3 : 1 + rng() % (n + 1);
    const uint32_t at = index == kLast ? n : index, other = 1 + rng() % (n + 1);
    const bool valid = at >= 1 && at <= n;
    // Of a short item the rest is stored as zeros.
    Item item(size), stored(size, 0);
    for (uint32_t i = 0; i < size; i++) item[i] = rng() % 4 * 85 + i;
    const uint32_t given = rng() % 4 != 0 ? size : 1 + rng() % (size - 1);
    std::copy(item.begin(), item.begin() + given, stored.begin());
    const uint32_t count = rng() % 4, op = rng() % 10;
    if (op < (step < 1000 ? 4u : 2u)) {  // long arrays first, then empty ones
      uint32_t lo = std::min(std::max(index, 1u), n + 1), hi = lo;
      if (kind == kSortedArray) {  // any place among equal items
        auto equal = std::equal_range(ref.begin(), ref.end(), stored, Before);
        lo = equal.first - ref.begin() + 1;
        hi = equal.second - ref.begin() + 1;
      }
      const uint32_t got = array->InsertItemsAt(count, index, item.data(), given);
      ASSERT_TRUE(count == 0 ? got == 0 : got >= lo && got <= hi) << got;
      if (count != 0) ref.insert(ref.begin() + (got - 1), count, stored);
    } else if (op < 6) {
      const uint32_t removed = rng() % 40 == 0 ? 0xFFFFFFFF : count + 1;
      array->RemoveItemsAt(removed, index);
      if (valid) {
        ref.erase(ref.begin() + (at - 1),
                  ref.begin() + (at - 1) + std::min(removed, n - at + 1));
      }
    } else if (op == 6) {
      // Reads at invalid indexes change nothing; a cut read stops at `asked`.
      Item out(size, 0xAB), cut = out, expected = valid ? ref[at - 1] : out;
      uint32_t asked = rng() % (size + 3), length = asked;
      ASSERT_EQ(valid, array->FetchItemAt(index, out.data()));
      ASSERT_EQ(valid, array->FetchItemAt(index, cut.data(), length));
      ASSERT_EQ(expected, out);
      ASSERT_EQ(valid ? std::min(asked, size) : 0u, length);
      std::fill(expected.begin() + length, expected.end(), 0xAB);
      ASSERT_EQ(expected, cut);
      const Item& probe = valid ? ref[at - 1] : stored;
      const uint32_t first =
          std::find(ref.begin(), ref.end(), probe) - ref.begin() + 1;
      // A binary search may find any of equal items, a linear one the first.
      const uint32_t found = array->FetchIndexOf(probe.data(), 0);
      ASSERT_TRUE(first > n ? found == 0
                            : found >= first && found <= n &&
                                  ref[found - 1] == probe &&
                                  (array->IsSorted() || found == first))
          << found;
    } else if (op == 7 && kind != kSortedArray) {  // refused when kept sorted
      array->SwapItems(index, other);
      if (valid && other <= n) std::swap(ref[at - 1], ref[other - 1]);
      array->MoveItem(other, index);
      if (valid && other <= n) {
        const Item moved = ref[other - 1];
        ref.erase(ref.begin() + (other - 1));
        ref.insert(ref.begin() + (at - 1), moved);
      }
    } else if (op == 8) {
      array->AssignItemsAt(count, index, item.data(), given);
      if (valid) {
        std::fill_n(ref.begin() + (at - 1), std::min(count, n - at + 1), stored);
      }
      if (kind == kSortedArray) std::stable_sort(ref.begin(), ref.end(), Before);
    } else if (op == 9) {
      const bool present = std::find(ref.begin(), ref.end(), stored) != ref.end();
      if (rng() % 2) {
        const auto place =
            kind == kSortedArray
                ? std::lower_bound(ref.begin(), ref.end(), stored, Before)
                : ref.end();
        ASSERT_EQ(present ? 0 : place - ref.begin() + 1,
                  array->AddItemIfUnique(stored.data()));
        if (!present) ref.insert(place, stored);
      } else {
        ASSERT_EQ(present, array->Remove(stored.data(), 0) != 0);
        if (present) ref.erase(std::find(ref.begin(), ref.end(), stored));
      }
    } else {
      array->Sort();
      std::stable_sort(ref.begin(), ref.end(), Before);
    }
    ASSERT_EQ(ref.size(), array->GetCount());
    ASSERT_GE(array->GetAllocatedBytes(), ref.size() * size);
    ASSERT_TRUE(array->IsSorted() ? std::is_sorted(ref.begin(), ref.end(), Before)
                                  : kind != kSortedArray);
    if (step % 50 == 49) {  // the last step included
      ASSERT_EQ(ref, Contents(*array));
      ASSERT_EQ(ref == copied, array->IsEqualTo(copy));
      ASSERT_EQ(std::lexicographical_compare(ref.begin(), ref.end(),
                                             copied.begin(), copied.end(),
                                             Before),
                array->IsLessThan(copy));
      copy.Copy(*array);
      copied = ref;
      if (kind == kArray) std::stable_sort(copied.begin(), copied.end(), Before);
      ASSERT_EQ(copied, Contents(copy));
    }
  }
  // Oversized requests throw and leave the array as it was.
  const Item item(size, 1);
  for (uint32_t n : {0xFFFFFFFFu, 0x80000000u / size + 1})
    EXPECT_THROW(array->InsertItemsAt(n, 1, item.data(), 0), std::bad_alloc);
  EXPECT_THROW(array->AdjustAllocation(0xFFFFFFF0, 0), std::bad_alloc);
  EXPECT_EQ(ref, Contents(*array));
  array->AdjustAllocation(0, 0);
  EXPECT_EQ(ref.size() * size, array->GetAllocatedBytes());
  LArray wide(size + 1);
  wide.Copy(*array);  // items of another size are not copied
  array->Clear();
  EXPECT_EQ(0u, array->GetCount() + array->GetAllocatedBytes() + wide.GetCount());
}

TEST(LArrayRandom, EveryKindMatchesVectorForEveryItemSize) {
  std::mt19937 rng(7919);
  for (Kind kind : {kArray, kList, kGrowList, kSortedArray}) {
    for (uint32_t size : {2, 4, 8, 12, 3}) {
      for (int run = 0; run < 3 && !HasFatalFailure(); run++) {
        RunRandomSequence(kind, size, rng);
      }
    }
  }
  // Of equal leading bytes the longer item orders last.
  const unsigned char bytes[] = {1, 9, 200, 0};
  EXPECT_EQ(1, LComparator::GetComparator()->Compare(bytes, bytes, 3, 2));
  LArray adopting(4, new LInt32Comparator);  // deletes it with itself
  EXPECT_EQ(1u, adopting.InsertItemsAt(1, kLast, bytes, 0));
}

}  // namespace
