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

// Every byte differs from its neighbours, so a misplaced byte shows.
Item ItemOf(uint32_t size, uint32_t seed) {
  Item item(size);
  for (uint32_t i = 0; i < size; i++) item[i] = seed * 31 + i * 7 + 1;
  return item;
}

std::vector<Item> Contents(const LArray& a) {
  std::vector<Item> items(a.GetCount(), Item(a.GetItemSize(0)));
  for (size_t i = 0; i < items.size(); i++) a.FetchItemAt(i + 1, &items[i][0]);
  return items;
}

std::vector<int32_t> Ints(const LArray& a) {
  std::vector<int32_t> values(a.GetCount());
  for (size_t i = 0; i < values.size(); i++) a.FetchItemAt(i + 1, &values[i]);
  return values;
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

// The block after the count went from oldCount to newCount: one spare item on
// growth, a grow list's 10 spare, 5 once over 10 are free, none when empty.
uint32_t ExpectedAllocation(bool growList, uint32_t size, uint32_t allocated,
                            uint32_t oldCount, uint32_t newCount) {
  const uint32_t newBytes = newCount * size;
  if (newBytes > allocated) return newBytes + (growList ? 10 : 1) * size;
  if (newCount >= oldCount) return allocated;
  if (!growList) return allocated - (oldCount - newCount) * size;
  if (newCount == 0) return 0;
  return allocated - newBytes > 10 * size ? newBytes + 5 * size : allocated;
}

// Mostly positions in 1..count+1, but also 0, kLast and past the end.
uint32_t PickIndex(std::mt19937& rng, uint32_t count) {
  const uint32_t pick = rng() % 6;
  if (pick < 2) return pick == 0 ? 0 : kLast;
  return pick == 2 ? count + 1 + rng() % 3 : 1 + rng() % (count + 1);
}

enum Kind { kArray, kList, kGrowList, kSortedArray };

void RunRandomSequence(Kind kind, uint32_t size, uint32_t seed) {
  SCOPED_TRACE(testing::Message() << kind << " " << size << " " << seed);
  std::mt19937 rng(seed);
  const uint32_t initial = kind == kList || kind == kGrowList ? seed % 3 : 0;
  LList list(size, initial);
  CWVGrowList grow(size, initial);
  LArray plain(size, nullptr, kind == kSortedArray);
  LArray* array = kind == kList ? &list : kind == kGrowList ? &grow : &plain;
  ASSERT_EQ(initial * size, array->GetAllocatedBytes());
  std::vector<Item> ref;
  bool inserted = false;
  for (int step = 0; step < 3000; step++) {
    SCOPED_TRACE(step);
    const uint32_t oldCount = ref.size();
    const uint32_t oldAllocated = array->GetAllocatedBytes();
    const uint32_t index = PickIndex(rng, oldCount);
    const uint32_t at = index == kLast ? oldCount : index;
    const bool valid = at >= 1 && at <= oldCount;
    const uint32_t op = rng() % 12;
    if (op < (step < 1500 ? 7u : 4u)) {  // long lists first, then empty ones
      const uint32_t count = rng() % 4;
      const Item item = ItemOf(size, rng() % 64);
      // Of a short item the rest is stored as zeros, and a sorted array
      // places it by what is stored.
      const uint32_t given = rng() % 4 != 0 ? size : 1 + rng() % (size - 1);
      Item stored(item.begin(), item.begin() + given);
      stored.resize(size);
      uint32_t lo = std::min(std::max(index, 1u), oldCount + 1), hi = lo;
      if (kind == kSortedArray) {
        auto equal = std::equal_range(ref.begin(), ref.end(), stored, Before);
        lo = equal.first - ref.begin() + 1;
        hi = equal.second - ref.begin() + 1;
      }
      if (count == 0) lo = hi = 0;
      const auto got = array->InsertItemsAt(count, index, item.data(), given);
      ASSERT_TRUE(got >= lo && got <= hi) << got << " vs " << lo << "-" << hi;
      if (count != 0) ref.insert(ref.begin() + (got - 1), count, stored);
      inserted |= count != 0;
    } else if (op < 9) {
      const uint32_t count = rng() % 40 == 0 ? 0xFFFFFFFF : rng() % 6;
      array->RemoveItemsAt(count, index);
      if (valid) {
        ref.erase(ref.begin() + (at - 1),
                  ref.begin() + (at - 1) + std::min(count, oldCount - at + 1));
      }
    } else {
      // Reads at invalid indexes change nothing; a cut read stops at `asked`.
      Item out(size, 0xAB), cut = out, expected = valid ? ref[at - 1] : out;
      uint32_t asked = rng() % (size + 3), copied = asked;
      ASSERT_EQ(valid, array->FetchItemAt(index, out.data()));
      ASSERT_EQ(valid, array->FetchItemAt(index, cut.data(), copied));
      ASSERT_EQ(expected, out);
      ASSERT_EQ(valid ? std::min(asked, size) : 0u, copied);
      std::fill(expected.begin() + copied, expected.end(), 0xAB);
      ASSERT_EQ(expected, cut);
      const Item probe = valid ? ref[at - 1] : ItemOf(size, rng() % 64);
      const uint32_t first =
          std::find(ref.begin(), ref.end(), probe) - ref.begin() + 1;
      uint32_t found = array->FetchIndexOf(probe.data(), 0);
      if (kind == kSortedArray && found >= 1 && found <= oldCount &&
          ref[found - 1] == probe) {
        found = first;  // a binary search finds any of equal items
      }
      ASSERT_EQ(first > oldCount ? 0 : first, found);
    }
    ASSERT_EQ(ref.size(), array->GetCount());
    ASSERT_EQ(ExpectedAllocation(kind == kGrowList, size, oldAllocated,
                                 oldCount, ref.size()),
              array->GetAllocatedBytes());
    ASSERT_EQ(kind == kSortedArray || !inserted, array->IsSorted());
    if (step % 50 == 49) {  // the last step included
      ASSERT_EQ(ref, Contents(*array));
    }
  }
  // Oversized requests throw and leave the array as it was.
  const uint32_t allocated = array->GetAllocatedBytes();
  const Item item = ItemOf(size, 0);
  for (uint32_t n : {0xFFFFFFFFu, 0x80000000u / size + 1})
    EXPECT_THROW(array->InsertItemsAt(n, 1, item.data(), 0), std::bad_alloc);
  EXPECT_THROW(array->AdjustAllocation(0xFFFFFFF0, 0), std::bad_alloc);
  EXPECT_EQ(ref, Contents(*array));
  EXPECT_EQ(allocated, array->GetAllocatedBytes());
  array->AdjustAllocation(0, 0);
  EXPECT_EQ(ref.size() * size, array->GetAllocatedBytes());
  array->Clear();
  EXPECT_EQ(0u, array->GetCount());
  EXPECT_EQ(0u, array->GetAllocatedBytes());
}

TEST(LArrayRandom, EveryKindMatchesVectorForEveryItemSize) {
  for (Kind kind : {kArray, kList, kGrowList, kSortedArray}) {
    for (uint32_t size : {2, 4, 8, 12, 3}) {
      for (uint32_t seed = 1; seed <= 3 && !HasFatalFailure(); seed++) {
        RunRandomSequence(kind, size, seed * 7919 + size);
      }
    }
  }
}

TEST(LArrayOrder, SortSwapMoveAssignKeepSortedCopyAndCompare) {
  LArray a(4), b(4, new LInt32Comparator, 1), wide(8);  // b owns its comparator
  for (int32_t v : {3, 1, 2, INT32_MIN, INT32_MAX})
    a.InsertItemsAt(1, kLast, &v, 0);
  a.Sort();
  EXPECT_TRUE(a.IsSorted());
  a.SwapItems(1, kLast);  // {INT32_MAX, 1, 2, 3, INT32_MIN}
  a.SwapItems(2, 6);
  EXPECT_FALSE(a.IsSorted());
  a.MoveItem(1, 4);
  a.MoveItem(kLast, 2);
  a.MoveItem(0, 2);
  const int32_t zero = 0, three = 3, nine = 9, minus = -1;
  a.AssignItemsAt(9, 4, &zero, 0);  // runs past the end: two items
  EXPECT_EQ((std::vector<int32_t>{1, INT32_MIN, 2, 0, 0}), Ints(a));
  b.InsertItemsAt(1, 1, &nine, 0);
  b.Copy(a);  // a keep-sorted copy is sorted
  wide.Copy(a);
  EXPECT_EQ((std::vector<int32_t>{INT32_MIN, 0, 0, 1, 2}), Ints(b));
  EXPECT_EQ(0u, wide.GetCount());
  a.Sort();
  a.AssignItemsAt(1, 1, &nine, 0);
  a.SetKeepSorted(1);  // sorts, as the assignment unsorted the array
  a.SwapItems(1, kLast);  // now refused, as are moves
  a.MoveItem(1, 5);
  EXPECT_EQ((std::vector<int32_t>{0, 0, 1, 2, 9}), Ints(a));
  a.AssignItemsAt(1, 1, &nine, 0);  // goes to its sorted place
  EXPECT_EQ((std::vector<int32_t>{0, 1, 2, 9, 9}), Ints(a));
  EXPECT_EQ(4u, a.AddItemIfUnique(&three));  // at its sorted place
  EXPECT_EQ(0u, a.AddItemIfUnique(&three));
  EXPECT_EQ(1u, a.Remove(&zero, 0));
  b.Copy(a);
  EXPECT_TRUE(a.IsEqualTo(b) && !a.IsLessThan(b) && !b.IsLessThan(a));
  b.RemoveItemsAt(1, kLast);  // a proper prefix orders first
  EXPECT_TRUE(!b.IsEqualTo(a) && b.IsLessThan(a) && !a.IsLessThan(b));
  b.InsertItemsAt(1, kLast, &minus, 0);  // signed order, not byte order
  EXPECT_TRUE(b.IsLessThan(a) && !a.IsLessThan(b));
}

TEST(LComparators, LongerBytesOrderLastAndUnalignedInt32Clamps) {
  const unsigned char bytes[] = {1, 9, 200};
  EXPECT_EQ(1, LComparator::GetComparator()->Compare(bytes, bytes, 3, 2));
  // Beyond an int a 32-bit difference gives its sign; items may be unaligned.
  const int32_t i[] = {INT32_MIN, INT32_MAX, 0};
  unsigned char odd[13];
  std::memcpy(odd + 1, i, sizeof i);
  LInt32Comparator* c32 = LInt32Comparator::GetComparator();
  EXPECT_EQ(-1, c32->Compare(odd + 1, odd + 5, 4, 4));
  EXPECT_EQ(1, c32->Compare(odd + 5, odd + 1, 4, 4));
  EXPECT_EQ(INT32_MIN, c32->Compare(odd + 1, odd + 9, 4, 4));
}

}  // namespace
