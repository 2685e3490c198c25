#include "containers/LArray.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

#include "containers/LArrayIterator.h"
#include "containers/LComparator.h"

namespace {

// Used bytes stay within an int so that counts and byte deltas travel as
// ints through AdjustStorage and ShiftItems.
const unsigned long long kMaxUsedBytes = 0x7FFFFFFF;

void CopyItemBytes(const void* source, void* destination,
                   unsigned int byteCount) {
  if (byteCount == 4) {
    uint32_t word;
    std::memcpy(&word, source, 4);
    std::memcpy(destination, &word, 4);
  } else {
    BlockMoveData(source, destination, byteCount);
  }
}

// Binary search over items 1..count of a sorted array; compareAt(i) orders
// item i against the sought value. Returns the matching index with `found`
// set, else the index at which the value belongs.
template <typename CompareAt>
unsigned int BinarySearch(unsigned int count, CompareAt compareAt,
                          bool& found) {
  unsigned int lo = 1;
  unsigned int hi = count;
  found = false;
  while (lo <= hi) {
    const unsigned int mid = lo + (hi - lo) / 2;
    const int c = compareAt(mid);
    if (c == 0) {
      found = true;
      return mid;
    }
    if (c > 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

}  // namespace

void BlockMoveData(const void* source, void* destination,
                   unsigned int byteCount) {
  if (byteCount != 0) std::memmove(destination, source, byteCount);
}

LArray::LArray(unsigned int itemSize, LComparator* comparator,
               unsigned char keepSorted) {
  InitArray(itemSize, comparator, 1, keepSorted);
}

LArray::~LArray() {
  if (ownsComparator_ && comparator_ != nullptr) delete comparator_;
  std::free(block_);
  for (LArrayIterator* it = iterators_; it != nullptr;) {
    LArrayIterator* next = it->GetNextIterator();
    it->ArrayDied();
    it = next;
  }
}

void LArray::InitArray(unsigned int itemSize, LComparator* comparator,
                       unsigned char sorted, unsigned char keepSorted) {
  count_ = 0;
  used_ = 0;
  allocated_ = 0;
  block_ = nullptr;
  iterators_ = nullptr;
  itemSize_ = itemSize;
  comparator_ = comparator;
  sorted_ = sorted;
  keepSorted_ = keepSorted;
  ownsComparator_ = 1;
  if (comparator_ == nullptr) {
    ownsComparator_ = 0;
    switch (itemSize) {
      case 2:
        comparator_ = LInt16Comparator::GetComparator();
        break;
      case 4:
        comparator_ = LInt32Comparator::GetComparator();
        break;
      case 8:
        comparator_ = LInt64Comparator::GetComparator();
        break;
      default:
        comparator_ = LComparator::GetComparator();
        break;
    }
  }
}

bool LArray::ValidIndex(unsigned int& index) const {
  if (index == kIndexLast) index = count_;
  return index != 0 && index <= count_;
}

unsigned int LArray::BytesForItems(unsigned long long items) const {
  const unsigned long long bytes = items * itemSize_;
  if (bytes > 0xFFFFFFFFull) throw std::bad_alloc();
  return static_cast<unsigned int>(bytes);
}

unsigned int LArray::GetItemSize(unsigned int) const { return itemSize_; }

bool LArray::FetchItemAt(unsigned int index, void* out) const {
  if (!ValidIndex(index)) return false;
  PeekItem(index, out);
  return true;
}

bool LArray::FetchItemAt(unsigned int index, void* out,
                         unsigned int& size) const {
  if (!ValidIndex(index)) {
    size = 0;
    return false;
  }
  const unsigned int itemBytes = GrabItemSize(index);
  if (size > itemBytes) size = itemBytes;
  CopyItemBytes(GetItemPtr(index), out, size);
  return true;
}

unsigned int LArray::FetchIndexOf(const void* item,
                                  unsigned int itemSize) const {
  if (itemSize == 0) itemSize = itemSize_;
  if (sorted_) {
    bool found;
    const unsigned int index = BinarySearch(
        count_,
        [&](unsigned int i) {
          return comparator_->Compare(GetItemPtr(i), item, itemSize_,
                                      itemSize);
        },
        found);
    return found ? index : 0;
  }
  for (unsigned int i = 1; i <= count_; i++) {
    if (comparator_->IsEqualTo(GetItemPtr(i), item, itemSize_, itemSize)) {
      return i;
    }
  }
  return 0;
}

unsigned int LArray::InsertItemsAt(unsigned int count, unsigned int index,
                                   const void* item, unsigned int itemSize) {
  if (count == 0) return 0;
  if (itemSize == 0) itemSize = itemSize_;
  if (keepSorted_) {
    // Comparators read whole items, so a short item is placed by the bytes
    // it will have once stored (zero-filled), not by what lies beyond it.
    std::vector<unsigned char> stored(itemSize_, 0);
    memcpy(stored.data(), item, std::min(itemSize, itemSize_));
    index = FetchInsertIndexOf(stored.data(), itemSize_);
  }
  if (index > count_) index = count_ + 1;
  if (index == 0) index = 1;
  if ((static_cast<unsigned long long>(count_) + count) * itemSize_ >
      kMaxUsedBytes) {
    throw std::bad_alloc();
  }

  const unsigned int oldCount = count_;
  const int addedBytes = static_cast<int>(count * itemSize_);
  AdjustStorage(static_cast<int>(count), addedBytes);
  if (oldCount >= index && oldCount != 0) {
    ShiftItems(index, oldCount, static_cast<int>(count), addedBytes);
  }
  sorted_ = keepSorted_;
  StoreNewItems(count, index, item, itemSize);
  ItemsInserted(count, index);
  return index;
}

unsigned int LArray::AddItemIfUnique(const void* item) {
  if (FetchIndexOf(item, itemSize_) != 0) return 0;
  return InsertItemsAt(1, kIndexLast, item, itemSize_);
}

void LArray::RemoveItemsAt(unsigned int count, unsigned int index) {
  if (count == 0 || !ValidIndex(index)) return;
  if (count > count_ - index + 1) count = count_ - index + 1;
  const unsigned int last = index + count - 1;
  const int removedBytes = static_cast<int>(GrabItemRangeSize(index, last));
  if (last < count_) {
    ShiftItems(last + 1, count_, -static_cast<int>(count), -removedBytes);
  }
  AdjustStorage(-static_cast<int>(count), -removedBytes);
  ItemsRemoved(count, index);
}

void LArray::AssignItemsAt(unsigned int count, unsigned int index,
                           const void* item, unsigned int itemSize) {
  if (count == 0 || !ValidIndex(index)) return;
  if (count > count_ - index + 1) count = count_ - index + 1;
  if (itemSize == 0) itemSize = itemSize_;
  for (unsigned int i = index; i < index + count; i++) {
    PokeItem(i, item, itemSize);
  }
  sorted_ = 0;
  if (keepSorted_) Sort();
}

void LArray::SwapItems(unsigned int a, unsigned int b) {
  if (keepSorted_ || !ValidIndex(a) || !ValidIndex(b) || a == b) return;
  std::vector<unsigned char> temp(itemSize_);
  InternalSwapItems(a, b, temp.data());
  sorted_ = 0;
}

void LArray::MoveItem(unsigned int from, unsigned int to) {
  if (keepSorted_ || !ValidIndex(from) || !ValidIndex(to) || from == to) {
    return;
  }
  std::vector<unsigned char> temp(itemSize_);
  InternalMoveItem(from, to, temp.data());
  sorted_ = 0;
  ItemsRemoved(1, from);
  ItemsInserted(1, to);
}

unsigned int LArray::Remove(const void* item, unsigned int itemSize) {
  const unsigned int index = FetchIndexOf(item, itemSize);
  if (index != 0) RemoveItemsAt(1, index);
  return index;
}

void* LArray::GetItemPtr(unsigned int index) const {
  return block_ + static_cast<size_t>(index - 1) * itemSize_;
}

void LArray::AdjustAllocation(unsigned int extraItems, unsigned int) {
  InternalAdjustAllocation(
      0, BytesForItems(static_cast<unsigned long long>(count_) + extraItems));
}

void LArray::EnsureSpaceForAdditionalItems(unsigned int n) {
  const unsigned int bytes =
      BytesForItems(static_cast<unsigned long long>(count_) + n);
  if (bytes > allocated_) InternalAdjustAllocation(0, bytes);
}

void LArray::EnlargeSpaceIfFull(unsigned int n) {
  if (used_ >= allocated_) AdjustAllocation(n, 0);
}

void LArray::Sort() {
  if (count_ > 1) {
    std::vector<unsigned int> order(count_);
    std::iota(order.begin(), order.end(), 1u);
    std::stable_sort(order.begin(), order.end(),
                     [this](unsigned int a, unsigned int b) {
                       return comparator_->Compare(GetItemPtr(a),
                                                   GetItemPtr(b), itemSize_,
                                                   itemSize_) < 0;
                     });
    std::vector<unsigned char> items(used_);
    for (unsigned int k = 0; k < count_; k++) {
      BlockMoveData(GetItemPtr(order[k]),
                    items.data() + static_cast<size_t>(k) * itemSize_,
                    itemSize_);
    }
    BlockMoveData(items.data(), block_, used_);
  }
  sorted_ = 1;
}

void LArray::SetKeepSorted(unsigned char keep) {
  if (keep && !sorted_) Sort();
  keepSorted_ = keep;
}

unsigned int LArray::FetchIndexOfKey(const void* key) const {
  if (sorted_) {
    bool found;
    const unsigned int index = BinarySearch(
        count_,
        [&](unsigned int i) {
          return comparator_->CompareToKey(GetItemPtr(i), itemSize_, key);
        },
        found);
    return found ? index : 0;
  }
  for (unsigned int i = 1; i <= count_; i++) {
    if (comparator_->IsEqualToKey(GetItemPtr(i), itemSize_, key)) return i;
  }
  return 0;
}

unsigned int LArray::FetchInsertIndexOf(const void* item,
                                        unsigned int itemSize) const {
  if (!sorted_) return kIndexLast;
  if (itemSize == 0) itemSize = itemSize_;
  bool found;
  return BinarySearch(
      count_,
      [&](unsigned int i) {
        return comparator_->Compare(GetItemPtr(i), item, itemSize_, itemSize);
      },
      found);
}

unsigned int LArray::FetchInsertIndexOfKey(const void* key) const {
  if (!sorted_) return kIndexLast;
  bool found;
  return BinarySearch(
      count_,
      [&](unsigned int i) {
        return comparator_->CompareToKey(GetItemPtr(i), itemSize_, key);
      },
      found);
}

void LArray::Copy(const LArray& other) {
  if (&other == this || other.itemSize_ != itemSize_) return;
  const unsigned int oldCount = count_;
  AdjustStorage(static_cast<int>(other.count_) - static_cast<int>(oldCount),
                static_cast<int>(other.used_) - static_cast<int>(used_));
  BlockMoveData(other.block_, block_, used_);
  // The other's order counts only when it was made by the same comparator.
  sorted_ = other.sorted_ && other.comparator_ == comparator_;
  if (keepSorted_ && !sorted_) Sort();
  if (oldCount != 0) ItemsRemoved(oldCount, 1);
  if (count_ != 0) ItemsInserted(count_, 1);
}

void LArray::DetachMyIter(LArrayIterator* it) { DetachIterator(it); }

void LArray::Clear() { RemoveItemsAt(count_, 1); }

bool LArray::IsEqualTo(const LArray& other) const {
  if (count_ != other.count_) return false;
  for (unsigned int i = 1; i <= count_; i++) {
    if (!comparator_->IsEqualTo(GetItemPtr(i), other.GetItemPtr(i), itemSize_,
                                other.itemSize_)) {
      return false;
    }
  }
  return true;
}

bool LArray::IsLessThan(const LArray& other) const {
  const unsigned int common = std::min(count_, other.count_);
  for (unsigned int i = 1; i <= common; i++) {
    const int c = comparator_->Compare(GetItemPtr(i), other.GetItemPtr(i),
                                       itemSize_, other.itemSize_);
    if (c != 0) return c < 0;
  }
  return count_ < other.count_;
}

void LArray::PeekItem(unsigned int index, void* out) const {
  CopyItemBytes(GetItemPtr(index), out, GrabItemSize(index));
}

void LArray::PokeItem(unsigned int index, const void* item,
                      unsigned int itemSize) {
  const unsigned int slotBytes = GrabItemSize(index);
  unsigned char* slot = static_cast<unsigned char*>(GetItemPtr(index));
  if (itemSize == 0 || itemSize >= slotBytes) {
    CopyItemBytes(item, slot, slotBytes);
  } else {
    BlockMoveData(item, slot, itemSize);
    std::memset(slot + itemSize, 0, slotBytes - itemSize);
  }
}

void LArray::InternalAdjustAllocation(unsigned int, unsigned int bytes) {
  if (bytes == allocated_) return;
  if (block_ == nullptr) {
    if (bytes != 0) {
      void* block = std::malloc(bytes);
      if (block == nullptr) throw std::bad_alloc();
      block_ = static_cast<unsigned char*>(block);
    }
    allocated_ = bytes;
    return;
  }
  if (bytes == 0) {
    std::free(block_);
    block_ = nullptr;
    allocated_ = 0;
    return;
  }
  void* block = std::realloc(block_, bytes);
  if (block == nullptr) {
    // A block that failed to shrink still holds every item: keep it, since
    // removals have already moved their tail by now.
    if (bytes < allocated_) return;
    throw std::bad_alloc();
  }
  block_ = static_cast<unsigned char*>(block);
  allocated_ = bytes;
}

void LArray::AdjustStorage(int deltaItems, int) {
  const unsigned int newCount = count_ + static_cast<unsigned int>(deltaItems);
  const unsigned int newBytes = newCount * itemSize_;
  if (newBytes > allocated_) {
    InternalAdjustAllocation(
        0, BytesForItems(static_cast<unsigned long long>(newCount) + 1));
  } else if (deltaItems < 0) {
    InternalAdjustAllocation(0, allocated_ - used_ + newBytes);
  }
  count_ = newCount;
  used_ = newBytes;
}

void LArray::ShiftItems(unsigned int first, unsigned int last, int deltaItems,
                        int) {
  const unsigned int target = first + static_cast<unsigned int>(deltaItems);
  BlockMoveData(GetItemPtr(first), GetItemPtr(target),
                GrabItemRangeSize(first, last));
}

void LArray::StoreNewItems(unsigned int count, unsigned int index,
                           const void* item, unsigned int itemSize) {
  for (unsigned int i = index; i < index + count; i++) {
    PokeItem(i, item, itemSize);
  }
}

void LArray::InternalSwapItems(unsigned int a, unsigned int b, void* temp) {
  CopyItemBytes(GetItemPtr(a), temp, GrabItemSize(a));
  InternalCopyItem(b, a);
  CopyItemBytes(temp, GetItemPtr(b), GrabItemSize(b));
}

void LArray::InternalMoveItem(unsigned int from, unsigned int to,
                              void* temp) {
  const unsigned int itemBytes = GrabItemSize(from);
  CopyItemBytes(GetItemPtr(from), temp, itemBytes);
  if (from < to) {
    ShiftItems(from + 1, to, -1, -static_cast<int>(itemBytes));
  } else {
    ShiftItems(to, from - 1, 1, static_cast<int>(itemBytes));
  }
  CopyItemBytes(temp, GetItemPtr(to), itemBytes);
}

void LArray::InternalCopyItem(unsigned int from, unsigned int to) {
  CopyItemBytes(GetItemPtr(from), GetItemPtr(to), GrabItemSize(from));
}

unsigned int LArray::GrabItemSize(unsigned int) const { return itemSize_; }

unsigned int LArray::GrabItemRangeSize(unsigned int first,
                                       unsigned int last) const {
  return (last - first + 1) * itemSize_;
}

void LArray::AttachIterator(LArrayIterator* it) {
  it->SetNextIterator(iterators_);
  iterators_ = it;
}

void LArray::DetachIterator(LArrayIterator* it) {
  if (iterators_ == it) {
    iterators_ = it->GetNextIterator();
    return;
  }
  for (LArrayIterator* p = iterators_; p != nullptr; p = p->GetNextIterator()) {
    if (p->GetNextIterator() == it) {
      p->SetNextIterator(it->GetNextIterator());
      return;
    }
  }
}

void LArray::ItemsInserted(unsigned int count, unsigned int index) {
  for (LArrayIterator* it = iterators_; it != nullptr;
       it = it->GetNextIterator()) {
    it->ItemsInserted(count, index);
  }
}

void LArray::ItemsRemoved(unsigned int count, unsigned int index) {
  for (LArrayIterator* it = iterators_; it != nullptr;
       it = it->GetNextIterator()) {
    it->ItemsRemoved(count, index);
  }
}
