#include "containers/LArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include "containers/CWVGrowList.h"
#include "containers/LComparator.h"
#include "containers/LList.h"

namespace {

const unsigned int kLast = LArray::kIndexLast;

typedef std::vector<unsigned char> Item;

// Every byte differs from its neighbours, so a misplaced byte shows.
Item ItemOf(unsigned int size, unsigned int seed) {
  Item item(size);
  for (unsigned int i = 0; i < size; i++) item[i] = seed * 31 + i * 7 + 1;
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

void AppendInts(LArray* array, const std::vector<int32_t>& values) {
  for (int32_t value : values) array->InsertItemsAt(1, kLast, &value, 0);
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

// The block once the count went from oldCount to newCount. An array grows
// with one spare item and shrinks by the bytes removed; a grow list reserves
// 10 items, frees its block when empty, and gives back down to 5 spare items
// once more than 10 items' worth is free.
unsigned int ExpectedAllocation(bool growList, unsigned int size,
                                unsigned int allocated, unsigned int oldCount,
                                unsigned int newCount) {
  const unsigned int newBytes = newCount * size;
  if (newBytes > allocated) return newBytes + (growList ? 10 : 1) * size;
  if (newCount >= oldCount) return allocated;
  if (!growList) return allocated - (oldCount - newCount) * size;
  if (newCount == 0) return 0;
  return allocated - newBytes > 10 * size ? newBytes + 5 * size : allocated;
}

// Mostly positions in 1..count+1, but also 0, kLast and past the end.
unsigned int PickIndex(std::mt19937& rng, unsigned int count) {
  const unsigned int pick = rng() % 6;
  if (pick < 2) return pick == 0 ? 0 : kLast;
  return pick == 2 ? count + 1 + rng() % 3 : 1 + rng() % (count + 1);
}

enum Kind { kArray, kList, kGrowList, kSortedArray };

void RunRandomSequence(Kind kind, unsigned int size, unsigned int seed) {
  SCOPED_TRACE(testing::Message() << kind << " " << size << " " << seed);
  std::mt19937 rng(seed);
  const unsigned int initial =
      kind == kList || kind == kGrowList ? seed % 3 : 0;
  std::unique_ptr<LArray> array(
      kind == kList       ? new LList(size, initial)
      : kind == kGrowList ? new CWVGrowList(size, initial)
                          : new LArray(size, nullptr, kind == kSortedArray));
  ASSERT_EQ(initial * size, array->GetAllocatedBytes());
  std::vector<Item> ref;
  bool inserted = false;
  for (int step = 0; step < 3000; step++) {
    const unsigned int oldCount = ref.size();
    const unsigned int oldAllocated = array->GetAllocatedBytes();
    const unsigned int index = PickIndex(rng, oldCount);
    const unsigned int at = index == kLast ? oldCount : index;
    const bool valid = at >= 1 && at <= oldCount;
    const unsigned int op = rng() % 12;
    if (op < (step < 1500 ? 7u : 4u)) {  // long lists first, then empty ones
      const unsigned int count = rng() % 4;
      const Item item = ItemOf(size, rng() % 64);
      // Of a short item the rest is stored as zeros, and a sorted array
      // places it by what is stored.
      const unsigned int given = rng() % 4 != 0 ? size : 1 + rng() % (size - 1);
      Item stored(item.begin(), item.begin() + given);
      stored.resize(size);
      unsigned int lo = index > oldCount ? oldCount + 1 : std::max(index, 1u);
      unsigned int hi = lo;
      if (kind == kSortedArray) {
        auto equal = std::equal_range(ref.begin(), ref.end(), stored, Before);
        lo = equal.first - ref.begin() + 1;
        hi = equal.second - ref.begin() + 1;
      }
      if (count == 0) lo = hi = 0;
      const unsigned int got =
          array->InsertItemsAt(count, index, item.data(), given);
      ASSERT_TRUE(got >= lo && got <= hi) << got << " vs " << lo << "-" << hi;
      if (count != 0) ref.insert(ref.begin() + (got - 1), count, stored);
      inserted |= count != 0;
    } else if (op < 9) {
      const unsigned int count = rng() % 40 == 0 ? 0xFFFFFFFF : rng() % 6;
      array->RemoveItemsAt(count, index);
      if (valid) {
        ref.erase(ref.begin() + (at - 1),
                  ref.begin() + (at - 1) + std::min(count, oldCount - at + 1));
      }
    } else {
      // Invalid indexes leave the output untouched; a cut read copies only
      // the bytes asked for.
      Item out(size, 0xAB), cut(size, 0xAB);
      Item expected = valid ? ref[at - 1] : out;
      const unsigned int asked = rng() % (size + 3);
      unsigned int copied = asked;
      ASSERT_EQ(valid, array->FetchItemAt(index, out.data()));
      ASSERT_EQ(valid, array->FetchItemAt(index, cut.data(), copied));
      ASSERT_EQ(expected, out);
      ASSERT_EQ(valid ? std::min(asked, size) : 0u, copied);
      std::fill(expected.begin() + copied, expected.end(), 0xAB);
      ASSERT_EQ(expected, cut);
      // Stored items, and others that may be absent, are looked up.
      const Item probe = valid ? ref[at - 1] : ItemOf(size, rng() % 64);
      const unsigned int found = array->FetchIndexOf(probe.data(), 0);
      const unsigned int first =
          std::find(ref.begin(), ref.end(), probe) - ref.begin() + 1;
      if (first > oldCount || kind != kSortedArray) {
        ASSERT_EQ(first > oldCount ? 0 : first, found);
      } else {  // a binary search finds any of equal items
        ASSERT_TRUE(found >= 1 && found <= oldCount && ref[found - 1] == probe);
      }
    }
    ASSERT_EQ(ref.size(), array->GetCount());
    ASSERT_EQ(ExpectedAllocation(kind == kGrowList, size, oldAllocated,
                                 oldCount, ref.size()),
              array->GetAllocatedBytes())
        << "step " << step;
    ASSERT_EQ(kind == kSortedArray || !inserted, array->IsSorted());
    if (step % 50 == 49) {  // the last step included
      ASSERT_EQ(ref, Contents(*array)) << "step " << step;
    }
  }
  array->AdjustAllocation(0, 0);
  EXPECT_EQ(ref.size() * size, array->GetAllocatedBytes());
  array->Clear();
  EXPECT_EQ(0u, array->GetCount());
  EXPECT_EQ(0u, array->GetAllocatedBytes());
}

TEST(LArrayRandom, EveryKindMatchesVectorForEveryItemSize) {
  for (Kind kind : {kArray, kList, kGrowList, kSortedArray}) {
    for (unsigned int size : {2, 4, 8, 12, 3}) {
      for (unsigned int seed = 1; seed <= 3; seed++) {
        RunRandomSequence(kind, size, seed * 7919 + size);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(LArrayStorage, OversizedRequestsThrowAndLeaveTheArrayUnchanged) {
  CWVGrowList list(4, 0);
  AppendInts(&list, {1, 2, 3});
  const int32_t v = 4;
  EXPECT_THROW(list.InsertItemsAt(0x7FFFFFFF, 2, &v, 0), std::bad_alloc);
  EXPECT_THROW(list.InsertItemsAt(0x20000000, 2, &v, 0), std::bad_alloc);
  EXPECT_THROW(list.AdjustAllocation(0xFFFFFFF0, 0), std::bad_alloc);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), Ints(list));
  EXPECT_EQ(11u * 4, list.GetAllocatedBytes());
}

TEST(LArrayOrder, SortSwapMoveAssignKeepSortedCopyAndCompare) {
  LArray a(4), b(4, new LInt32Comparator, 1), wide(8);  // b owns its comparator
  AppendInts(&a, {3, 1, 2, INT32_MIN, INT32_MAX});
  a.Sort();
  EXPECT_TRUE(a.IsSorted());
  EXPECT_EQ((std::vector<int32_t>{INT32_MIN, 1, 2, 3, INT32_MAX}), Ints(a));
  a.SwapItems(1, kLast);
  a.SwapItems(2, 6);
  EXPECT_EQ((std::vector<int32_t>{INT32_MAX, 1, 2, 3, INT32_MIN}), Ints(a));
  EXPECT_FALSE(a.IsSorted());
  a.MoveItem(1, 4);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3, INT32_MAX, INT32_MIN}), Ints(a));
  a.MoveItem(kLast, 2);
  a.MoveItem(0, 2);
  const int32_t zero = 0, three = 3, nine = 9, minus = -1;
  a.AssignItemsAt(9, 4, &zero, 0);  // runs past the end: two items
  EXPECT_EQ((std::vector<int32_t>{1, INT32_MIN, 2, 0, 0}), Ints(a));
  AppendInts(&b, {50});
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
  EXPECT_EQ(4u, a.InsertItemsAt(1, 1, &three, 0));
  EXPECT_EQ(0u, a.AddItemIfUnique(&three));
  EXPECT_EQ(1u, a.Remove(&zero, 0));
  EXPECT_EQ(0u, a.Remove(&zero, 0));
  b.Copy(a);
  EXPECT_TRUE(a.IsEqualTo(b) && !a.IsLessThan(b) && !b.IsLessThan(a));
  b.RemoveItemsAt(1, kLast);  // a proper prefix orders first
  EXPECT_TRUE(!b.IsEqualTo(a) && !a.IsEqualTo(b));
  EXPECT_TRUE(b.IsLessThan(a) && !a.IsLessThan(b));
  b.InsertItemsAt(1, kLast, &minus, 0);  // signed order, not byte order
  EXPECT_TRUE(b.IsLessThan(a) && !a.IsLessThan(b));
}

TEST(LComparators, ResultsAtTheExtremes) {
  LComparator* bytes = LComparator::GetComparator();
  const unsigned char a[] = {1, 9, 200}, b[] = {1, 4};
  EXPECT_EQ(5, bytes->Compare(a, b, 3, 2));
  EXPECT_EQ(1, bytes->Compare(a, a, 3, 2));
  EXPECT_EQ(-199, bytes->Compare(b, a + 2, 1, 1));
  EXPECT_FALSE(bytes->IsEqualToKey(a, 3, a));  // nothing is keyed
  const int16_t s[] = {INT16_MIN, INT16_MAX};
  EXPECT_EQ(-65535, LInt16Comparator::GetComparator()->Compare(s, s + 1, 2, 2));
  // Beyond an int a 32-bit difference gives its sign; items may be unaligned.
  const int32_t i[] = {INT32_MIN, INT32_MAX, 0};
  unsigned char odd[13];
  std::memcpy(odd + 1, i, sizeof i);
  LInt32Comparator* c32 = LInt32Comparator::GetComparator();
  EXPECT_EQ(-1, c32->Compare(odd + 1, odd + 5, 4, 4));
  EXPECT_EQ(1, c32->Compare(odd + 5, odd + 1, 4, 4));
  EXPECT_EQ(INT32_MIN, c32->Compare(odd + 1, odd + 9, 4, 4));
  const int64_t w[] = {INT64_MIN, INT64_MAX};
  EXPECT_EQ(-1, LInt64Comparator::GetComparator()->Compare(w, w + 1, 8, 8));
  EXPECT_EQ(1, LInt64Comparator::GetComparator()->Compare(w + 1, w, 8, 8));
}

}  // namespace
