#include "containers/LArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
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

Item ItemOf(unsigned int size, unsigned int seed) {
  Item item(size);
  for (unsigned int i = 0; i < size; i++) {
    item[i] = static_cast<unsigned char>(seed * 31 + i * 7 + 1);
  }
  return item;
}

std::vector<Item> Contents(const LArray& array) {
  std::vector<Item> items;
  for (unsigned int i = 1; i <= array.GetCount(); i++) {
    Item item(array.GetItemSize(i));
    EXPECT_TRUE(array.FetchItemAt(i, item.data()));
    items.push_back(item);
  }
  return items;
}

std::vector<int32_t> Ints(const LArray& array) {
  std::vector<int32_t> values;
  for (unsigned int i = 1; i <= array.GetCount(); i++) {
    int32_t value = 0;
    EXPECT_TRUE(array.FetchItemAt(i, &value));
    values.push_back(value);
  }
  return values;
}

void AppendInts(LArray* array, const std::vector<int32_t>& values) {
  for (int32_t value : values) array->InsertItemsAt(1, kLast, &value, 0);
}

// --- The three storage policies against a std::vector reference ---

enum Policy { kArrayPolicy, kListPolicy, kGrowPolicy };

std::unique_ptr<LArray> MakeArray(Policy policy, unsigned int itemSize) {
  switch (policy) {
    case kArrayPolicy:
      return std::unique_ptr<LArray>(new LArray(itemSize));
    case kListPolicy:
      return std::unique_ptr<LArray>(new LList(itemSize, 0));
    case kGrowPolicy:
      break;
  }
  return std::unique_ptr<LArray>(new CWVGrowList(itemSize, 0));
}

// The block size each policy must end up with after a change of count.
unsigned int ExpectedAllocation(Policy policy, unsigned int itemSize,
                                unsigned int allocated, unsigned int oldCount,
                                unsigned int newCount) {
  const unsigned int newBytes = newCount * itemSize;
  if (policy != kGrowPolicy) {
    if (newBytes > allocated) return newBytes + itemSize;
    if (newCount < oldCount) return allocated - (oldCount - newCount) * itemSize;
    return allocated;
  }
  if (newBytes > allocated) return (newCount + 10) * itemSize;
  if (newCount < oldCount) {
    if (newCount == 0) return 0;
    if (allocated - newBytes > 10 * itemSize) return (newCount + 5) * itemSize;
  }
  return allocated;
}

unsigned int PickIndex(std::mt19937& rng, unsigned int count) {
  switch (rng() % 6) {
    case 0:
      return 0;
    case 1:
      return kLast;
    case 2:
      return count + 1 + rng() % 3;  // past the end
    default:
      return 1 + rng() % (count + 1);
  }
}

void RunRandomSequence(Policy policy, unsigned int itemSize,
                       unsigned int seed) {
  SCOPED_TRACE(testing::Message() << "policy " << policy << " size "
                                  << itemSize << " seed " << seed);
  std::mt19937 rng(seed);
  std::unique_ptr<LArray> array = MakeArray(policy, itemSize);
  std::vector<Item> reference;
  unsigned int serial = 0;

  for (int step = 0; step < 3000; step++) {
    const unsigned int oldCount = array->GetCount();
    const unsigned int oldAllocated = array->GetAllocatedBytes();
    const unsigned int index = PickIndex(rng, oldCount);
    // Bias towards growth early, towards shrinking late, so both the
    // empty list and long lists are visited.
    const unsigned int op = rng() % 10;
    const bool insert = op < (step < 1500 ? 6u : 4u);
    if (insert) {
      const unsigned int count = 1 + rng() % 3;
      const Item item = ItemOf(itemSize, serial++);
      unsigned int at = index > oldCount ? oldCount + 1 : index;
      if (at == 0) at = 1;
      ASSERT_EQ(at, array->InsertItemsAt(count, index, item.data(), 0));
      reference.insert(reference.begin() + (at - 1), count, item);
    } else if (op < 9) {
      const unsigned int count = 1 + rng() % 5;
      array->RemoveItemsAt(count, index);
      unsigned int at = index == kLast ? oldCount : index;
      if (at >= 1 && at <= oldCount) {
        const unsigned int end = std::min(oldCount, at + count - 1);
        reference.erase(reference.begin() + (at - 1), reference.begin() + end);
      }
    } else {
      Item out(itemSize, 0xAB);
      const bool valid =
          (index >= 1 && index <= oldCount) || (index == kLast && oldCount);
      ASSERT_EQ(valid, array->FetchItemAt(index, out.data()));
      const unsigned int at = index == kLast ? oldCount : index;
      ASSERT_EQ(valid ? reference[at - 1] : Item(itemSize, 0xAB), out);
    }
    ASSERT_EQ(reference.size(), array->GetCount());
    ASSERT_EQ(ExpectedAllocation(policy, itemSize, oldAllocated, oldCount,
                                 array->GetCount()),
              array->GetAllocatedBytes())
        << "step " << step;
    if (step % 50 == 0) {
      ASSERT_EQ(reference, Contents(*array));
    }
  }
  ASSERT_EQ(reference, Contents(*array));
  array->Clear();
  EXPECT_EQ(0u, array->GetCount());
  if (policy == kGrowPolicy) {
    EXPECT_EQ(0u, array->GetAllocatedBytes());
  }
}

TEST(LArrayRandom, AllPoliciesMatchVectorForEveryItemSize) {
  const unsigned int sizes[] = {2, 4, 8, 12, 3};
  for (Policy policy : {kArrayPolicy, kListPolicy, kGrowPolicy}) {
    for (unsigned int size : sizes) {
      for (unsigned int seed = 1; seed <= 3; seed++) {
        RunRandomSequence(policy, size, seed * 7919 + size);
        if (HasFatalFailure()) return;
      }
    }
  }
}

// --- Index conventions ---

TEST(LArrayIndexes, InsertClampsAndLastMeansLast) {
  LArray array(4);
  int32_t out = 0;
  EXPECT_FALSE(array.FetchItemAt(1, &out));
  EXPECT_FALSE(array.FetchItemAt(kLast, &out));

  AppendInts(&array, {10, 20});
  int32_t value = 5;
  EXPECT_EQ(1u, array.InsertItemsAt(1, 0, &value, 0));
  value = 30;
  EXPECT_EQ(4u, array.InsertItemsAt(1, 99, &value, 0));
  value = 15;
  EXPECT_EQ(3u, array.InsertItemsAt(1, 3, &value, 0));
  EXPECT_EQ((std::vector<int32_t>{5, 10, 15, 20, 30}), Ints(array));
  EXPECT_EQ(0u, array.InsertItemsAt(0, 1, &value, 0));

  EXPECT_TRUE(array.FetchItemAt(kLast, &out));
  EXPECT_EQ(30, out);
  out = -1;
  EXPECT_FALSE(array.FetchItemAt(0, &out));
  EXPECT_FALSE(array.FetchItemAt(6, &out));
  EXPECT_EQ(-1, out);

  unsigned int index = kLast;
  EXPECT_TRUE(array.ValidIndex(index));
  EXPECT_EQ(5u, index);
  index = 0;
  EXPECT_FALSE(array.ValidIndex(index));

  array.RemoveItemsAt(1, kLast);
  array.RemoveItemsAt(1, 0);
  array.RemoveItemsAt(1, 5);
  array.RemoveItemsAt(0, 1);
  EXPECT_EQ((std::vector<int32_t>{5, 10, 15, 20}), Ints(array));
}

TEST(LArrayIndexes, RemovalRunningPastTheEndStopsAtTheLastItem) {
  LArray array(4);
  AppendInts(&array, {1, 2, 3, 4});
  array.RemoveItemsAt(5, 3);
  EXPECT_EQ((std::vector<int32_t>{1, 2}), Ints(array));
  array.RemoveItemsAt(0xFFFFFFFF, 1);
  EXPECT_EQ(0u, array.GetCount());
}

TEST(LArrayIndexes, ShortItemsAreZeroFilledAndReadsCanBeCut) {
  LArray array(12);
  const unsigned char bytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  array.InsertItemsAt(2, kLast, bytes, 5);
  unsigned char out[12];
  ASSERT_TRUE(array.FetchItemAt(2, out));
  const unsigned char expected[12] = {1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(expected, out, 12));

  std::memset(out, 0xEE, sizeof out);
  unsigned int size = 3;
  EXPECT_TRUE(array.FetchItemAt(1, out, size));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0xEE, out[3]);
  size = 40;
  EXPECT_TRUE(array.FetchItemAt(1, out, size));
  EXPECT_EQ(12u, size);
  EXPECT_FALSE(array.FetchItemAt(3, out, size));
  EXPECT_EQ(0u, size);
}

// --- Storage policies, step by step ---

TEST(LArrayStorage, ArrayKeepsOneSpareAndShrinksByTheBytesRemoved) {
  LArray array(4);
  EXPECT_EQ(0u, array.GetAllocatedBytes());
  std::vector<unsigned int> seen;
  for (int32_t v = 1; v <= 3; v++) {
    AppendInts(&array, {v});
    seen.push_back(array.GetAllocatedBytes());
  }
  EXPECT_EQ((std::vector<unsigned int>{8, 8, 16}), seen);
  array.RemoveItemsAt(1, 1);
  EXPECT_EQ(12u, array.GetAllocatedBytes());
  array.RemoveItemsAt(2, 1);
  EXPECT_EQ(4u, array.GetAllocatedBytes());
  int32_t value = 9;
  array.InsertItemsAt(5, 1, &value, 0);
  EXPECT_EQ(24u, array.GetAllocatedBytes());

  LList list(8, 5);
  EXPECT_EQ(40u, list.GetAllocatedBytes());
  int64_t wide = 1;
  list.InsertItemsAt(1, 1, &wide, 0);
  EXPECT_EQ(40u, list.GetAllocatedBytes());
  list.RemoveItemsAt(1, 1);
  EXPECT_EQ(32u, list.GetAllocatedBytes());
  list.AdjustAllocation(0, 0);
  EXPECT_EQ(0u, list.GetAllocatedBytes());
}

TEST(LArrayStorage, ImpossibleSizesThrowAndLeaveTheArrayAsItWas) {
  CWVGrowList list(4, 0);
  AppendInts(&list, {1, 2, 3});
  int32_t value = 4;
  EXPECT_THROW(list.InsertItemsAt(0x7FFFFFFF, 2, &value, 0), std::bad_alloc);
  EXPECT_THROW(list.InsertItemsAt(0x20000000, 2, &value, 0), std::bad_alloc);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), Ints(list));
  EXPECT_EQ(11u * 4, list.GetAllocatedBytes());
  EXPECT_THROW(list.AdjustAllocation(0xFFFFFFF0, 0), std::bad_alloc);
  EXPECT_EQ(11u * 4, list.GetAllocatedBytes());
}

// --- Sorting and searching ---

TEST(LArraySorted, KeepSortedInsertsInOrderForEachDefaultComparator) {
  std::mt19937 rng(42);
  LArray ints(4, nullptr, 1);
  std::vector<int32_t> reference;
  for (int i = 0; i < 300; i++) {
    const int32_t value = static_cast<int32_t>(rng());
    const unsigned int at = ints.InsertItemsAt(1, 1 + rng() % 5, &value, 0);
    reference.insert(std::upper_bound(reference.begin(), reference.end(),
                                      value),
                     value);
    int32_t stored = 0;
    ints.FetchItemAt(at, &stored);
    ASSERT_EQ(value, stored);
  }
  EXPECT_EQ(reference, Ints(ints));
  EXPECT_TRUE(ints.IsSorted());
  for (size_t i = 0; i < reference.size(); i += 17) {
    const unsigned int found = ints.FetchIndexOf(&reference[i], 0);
    ASSERT_NE(0u, found);
    EXPECT_EQ(reference[i], reference[found - 1]);
  }
  const int32_t absent = 12345;
  EXPECT_EQ(0u, ints.FetchIndexOf(&absent, 0));

  // Signed 16-bit order, not byte order.
  LArray shorts(2, nullptr, 1);
  for (int16_t v : {300, -5, 2, -300}) shorts.InsertItemsAt(1, kLast, &v, 0);
  std::vector<int16_t> got;
  for (unsigned int i = 1; i <= 4; i++) {
    int16_t v;
    shorts.FetchItemAt(i, &v);
    got.push_back(v);
  }
  EXPECT_EQ((std::vector<int16_t>{-300, -5, 2, 300}), got);

  // Signed 64-bit order.
  LArray wides(8, nullptr, 1);
  for (int64_t v : {INT64_MAX, INT64_MIN, int64_t(0)}) {
    wides.InsertItemsAt(1, 1, &v, 0);
  }
  int64_t first = 0;
  wides.FetchItemAt(1, &first);
  EXPECT_EQ(INT64_MIN, first);

  // Other sizes compare bytes.
  LArray triples(3, nullptr, 1);
  const unsigned char t1[] = {2, 0, 0}, t2[] = {1, 255, 255}, t3[] = {1, 255, 0};
  triples.InsertItemsAt(1, kLast, t1, 0);
  triples.InsertItemsAt(1, kLast, t2, 0);
  triples.InsertItemsAt(1, kLast, t3, 0);
  EXPECT_EQ((std::vector<Item>{Item(t3, t3 + 3), Item(t2, t2 + 3),
                               Item(t1, t1 + 3)}),
            Contents(triples));
}

TEST(LArraySorted, FetchInsertIndexOf) {
  LArray array(4, nullptr, 1);
  const int32_t five = 5;
  EXPECT_EQ(1u, array.FetchInsertIndexOf(&five, 0));
  AppendInts(&array, {10, 20, 30});
  const int32_t probes[] = {5, 10, 15, 20, 25, 30, 35};
  const unsigned int expected[] = {1, 1, 2, 2, 3, 3, 4};
  for (int i = 0; i < 7; i++) {
    EXPECT_EQ(expected[i], array.FetchInsertIndexOf(&probes[i], 0)) << probes[i];
  }
  LArray unsorted(4);
  AppendInts(&unsorted, {3, 1});
  EXPECT_EQ(kLast, unsorted.FetchInsertIndexOf(&five, 0));
}

TEST(LArraySorted, SortedFlagRules) {
  LArray array(4);
  EXPECT_TRUE(array.IsSorted());
  AppendInts(&array, {3, 1, 2, INT32_MIN, INT32_MAX});
  EXPECT_FALSE(array.IsSorted());
  array.Sort();
  EXPECT_TRUE(array.IsSorted());
  EXPECT_EQ((std::vector<int32_t>{INT32_MIN, 1, 2, 3, INT32_MAX}), Ints(array));
  const int32_t two = 2;
  EXPECT_EQ(3u, array.FetchIndexOf(&two, 0));

  array.SwapItems(1, kLast);
  EXPECT_EQ((std::vector<int32_t>{INT32_MAX, 1, 2, 3, INT32_MIN}), Ints(array));
  EXPECT_FALSE(array.IsSorted());
  array.Sort();
  array.MoveItem(1, 4);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3, INT32_MIN, INT32_MAX}), Ints(array));
  EXPECT_FALSE(array.IsSorted());
  array.Sort();
  const int32_t nine = 9;
  array.AssignItemsAt(2, 4, &nine, 0);
  EXPECT_EQ((std::vector<int32_t>{INT32_MIN, 1, 2, 9, 9}), Ints(array));
  EXPECT_FALSE(array.IsSorted());

  // Keep-sorted: sorting happens on the switch; swaps and moves are refused;
  // assignments go to their sorted place.
  array.SetKeepSorted(1);
  EXPECT_TRUE(array.IsSorted());
  array.SwapItems(1, 2);
  array.MoveItem(1, 5);
  EXPECT_EQ((std::vector<int32_t>{INT32_MIN, 1, 2, 9, 9}), Ints(array));
  const int32_t zero = 0;
  array.AssignItemsAt(1, 4, &zero, 0);
  EXPECT_EQ((std::vector<int32_t>{INT32_MIN, 0, 1, 2, 9}), Ints(array));
  EXPECT_TRUE(array.IsSorted());
}

TEST(LArraySearch, FindRemoveAndAddIfUnique) {
  LList list(4, 0);
  AppendInts(&list, {7, 3, 7, 5});
  const int32_t seven = 7, five = 5, four = 4;
  EXPECT_EQ(1u, list.FetchIndexOf(&seven, 0));
  EXPECT_EQ(0u, list.AddItemIfUnique(&five));
  EXPECT_EQ(5u, list.AddItemIfUnique(&four));
  EXPECT_EQ(1u, list.Remove(&seven, 0));
  EXPECT_EQ(2u, list.Remove(&seven, 0));
  EXPECT_EQ(0u, list.Remove(&seven, 0));
  EXPECT_EQ((std::vector<int32_t>{3, 5, 4}), Ints(list));
  list.SetItemAt(kLast, &seven);
  list.SetItemAt(9, &seven);
  EXPECT_EQ((std::vector<int32_t>{3, 5, 7}), Ints(list));
}

// A comparator that the array adopts; it matches 4-byte items to an int key.
class KeyedComparator : public LInt32Comparator {
 public:
  explicit KeyedComparator(int* deaths) : deaths_(deaths) {}
  ~KeyedComparator() override { ++*deaths_; }
  int CompareToKey(const void* item, unsigned int, const void* key) const override {
    return Compare(item, key, 4, 4);
  }

 private:
  int* deaths_;
};

TEST(LArraySearch, KeysAndAdoptedComparator) {
  int deaths = 0;
  {
    LArray array(4, new KeyedComparator(&deaths), 1);
    AppendInts(&array, {40, 10, 30, 20});
    const int32_t key = 30, missing = 25;
    EXPECT_EQ(3u, array.FetchIndexOfKey(&key));
    EXPECT_EQ(0u, array.FetchIndexOfKey(&missing));
    EXPECT_EQ(3u, array.FetchInsertIndexOfKey(&missing));
    array.SetKeepSorted(0);
    AppendInts(&array, {5});
    EXPECT_EQ(3u, array.FetchIndexOfKey(&key));
    EXPECT_EQ(kLast, array.FetchInsertIndexOfKey(&key));
  }
  EXPECT_EQ(1, deaths);
}

TEST(LArrayWhole, CopyEqualityAndOrder) {
  LArray a(4), b(4), wide(8);
  AppendInts(&a, {1, 2, 3});
  AppendInts(&b, {9});
  b.Copy(a);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), Ints(b));
  EXPECT_EQ(16u, b.GetAllocatedBytes());
  EXPECT_TRUE(b.IsEqualTo(a));
  EXPECT_FALSE(b.IsLessThan(a));
  b.RemoveItemsAt(1, kLast);
  EXPECT_FALSE(b.IsEqualTo(a));
  EXPECT_TRUE(b.IsLessThan(a));
  EXPECT_FALSE(a.IsLessThan(b));
  const int32_t zero = 0;
  b.SetKeepSorted(1);
  b.InsertItemsAt(1, kLast, &zero, 0);
  EXPECT_TRUE(b.IsLessThan(a));
  b.Copy(b);
  wide.Copy(a);
  EXPECT_EQ(0u, wide.GetCount());

  LArray sortedCopy(4, nullptr, 1);
  AppendInts(&sortedCopy, {50});
  LArray unsorted(4);
  AppendInts(&unsorted, {3, 1, 2});
  sortedCopy.Copy(unsorted);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), Ints(sortedCopy));
}

}  // namespace
