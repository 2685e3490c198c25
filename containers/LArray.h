#ifndef QK_CONTAINERS_LARRAY_H_
#define QK_CONTAINERS_LARRAY_H_

class LArrayIterator;
class LComparator;

// Moves byteCount bytes from source to destination; the ranges may overlap.
void BlockMoveData(const void* source, void* destination,
                   unsigned int byteCount);

// A growable array of fixed-size items in one contiguous malloc block.
//
// Items are addressed from 1; index 0 is never an item. kIndexLast
// (0x7FFFFFFF) means the last item when reading or removing; when inserting,
// any index past the count (kIndexLast included) means "after the last item"
// and 0 means 1. Invalid indexes are not errors: reads return false, removals
// do nothing.
//
// A 4-byte item is copied as one 32-bit word, any other size with
// BlockMoveData. Memory exhaustion throws std::bad_alloc; the reallocation
// runs before any field changes, so the array is left as it was.
//
// The sorted flag says the items are known to be in comparator order. A
// keep-sorted array inserts at the sorted position and refuses SwapItems and
// MoveItem.
//
// Attached iterators are told of every insertion and removal with
// (count, first index), in chain order.
class LArray {
 public:
  static constexpr unsigned int kIndexLast = 0x7FFFFFFF;

  // A non-null comparator is adopted: the array deletes it. Pass null to use
  // the shared comparator that suits the item size (16-, 32- or 64-bit
  // integers for 2, 4 and 8 bytes, raw bytes otherwise). Never pass a shared
  // instance from GetComparator().
  explicit LArray(unsigned int itemSize, LComparator* comparator = nullptr,
                  unsigned char keepSorted = 0);
  // Deletes an adopted comparator, frees the block and tells every attached
  // iterator that the array died.
  virtual ~LArray();

  LArray(const LArray&) = delete;
  LArray& operator=(const LArray&) = delete;

  // The item size; the index is ignored.
  virtual unsigned int GetItemSize(unsigned int index) const;
  // Copies the item at index into out. False (out untouched) for an invalid
  // index.
  virtual bool FetchItemAt(unsigned int index, void* out) const;
  // Copies at most `size` bytes of the item and sets size to the bytes
  // copied (0 for an invalid index).
  virtual bool FetchItemAt(unsigned int index, void* out,
                           unsigned int& size) const;
  // The index of an item equal to `item` (binary search when sorted, else
  // the first match from index 1), or 0. itemSize 0 means the item size.
  virtual unsigned int FetchIndexOf(const void* item,
                                    unsigned int itemSize) const;
  // Inserts `count` copies of the one item at `item` and returns the index of
  // the first, or 0 when count is 0. Of an item shorter than the item size
  // the rest is zero; itemSize 0 means the item size.
  virtual unsigned int InsertItemsAt(unsigned int count, unsigned int index,
                                     const void* item, unsigned int itemSize);
  // Appends the item unless FetchIndexOf finds it. The new index, or 0.
  virtual unsigned int AddItemIfUnique(const void* item);
  // Removes up to `count` items from index on; a count that runs past the
  // end stops at the last item.
  virtual void RemoveItemsAt(unsigned int count, unsigned int index);
  // Overwrites up to `count` existing items from index on with copies of
  // `item`. A keep-sorted array moves them to their sorted place.
  virtual void AssignItemsAt(unsigned int count, unsigned int index,
                             const void* item, unsigned int itemSize);
  virtual void SwapItems(unsigned int a, unsigned int b);
  // Moves one item so that it ends at index `to`. Iterators see it removed
  // and inserted again.
  virtual void MoveItem(unsigned int from, unsigned int to);
  // Removes the item FetchIndexOf finds; its former index, or 0.
  virtual unsigned int Remove(const void* item, unsigned int itemSize);
  // The address of item `index` in the block. No check is made.
  virtual void* GetItemPtr(unsigned int index) const;
  // Sets the block to exactly room for count + extraItems items.
  virtual void AdjustAllocation(unsigned int extraItems, unsigned int);
  // Makes room for n more items when the block lacks it.
  virtual void EnsureSpaceForAdditionalItems(unsigned int n);
  // Makes room for n more items when the block is full.
  virtual void EnlargeSpaceIfFull(unsigned int n);
  // Puts the items in comparator order (stable) and sets the sorted flag.
  virtual void Sort();
  // Sorts first when turning keep-sorted on for an unsorted array.
  virtual void SetKeepSorted(unsigned char keep);
  // As FetchIndexOf, matching items against a key with CompareToKey.
  virtual unsigned int FetchIndexOfKey(const void* key) const;
  // Where a keep-sorted array puts `item`: kIndexLast when not sorted, 1 when
  // empty, else the binary search position.
  virtual unsigned int FetchInsertIndexOf(const void* item,
                                          unsigned int itemSize) const;
  virtual unsigned int FetchInsertIndexOfKey(const void* key) const;
  // Replaces the items with copies of other's. Does nothing when the item
  // sizes differ.
  virtual void Copy(const LArray& other);
  virtual void DetachMyIter(LArrayIterator* it);
  virtual void Clear();
  // Same count and pairwise-equal items under this array's comparator.
  virtual bool IsEqualTo(const LArray& other) const;
  // Lexicographic order under this array's comparator; a proper prefix
  // orders first.
  virtual bool IsLessThan(const LArray& other) const;

  // Unchecked building blocks of the operations above.
  virtual void PeekItem(unsigned int index, void* out) const;
  virtual void PokeItem(unsigned int index, const void* item,
                        unsigned int itemSize);
  // Sets the block to exactly `bytes`; 0 frees it.
  virtual void InternalAdjustAllocation(unsigned int, unsigned int bytes);
  // The storage policy: reallocates for count + deltaItems items, then sets
  // the count and used bytes. Keeps one spare item when growing and shrinks
  // by exactly the bytes removed.
  virtual void AdjustStorage(int deltaItems, int deltaBytes);
  // Moves items first..last by deltaItems places.
  virtual void ShiftItems(unsigned int first, unsigned int last,
                          int deltaItems, int deltaBytes);
  virtual void StoreNewItems(unsigned int count, unsigned int index,
                             const void* item, unsigned int itemSize);
  virtual void InternalSwapItems(unsigned int a, unsigned int b, void* temp);
  virtual void InternalMoveItem(unsigned int from, unsigned int to,
                                void* temp);
  virtual void InternalCopyItem(unsigned int from, unsigned int to);
  virtual unsigned int GrabItemSize(unsigned int index) const;
  virtual unsigned int GrabItemRangeSize(unsigned int first,
                                         unsigned int last) const;

  void InitArray(unsigned int itemSize, LComparator* comparator,
                 unsigned char sorted, unsigned char keepSorted);
  // Replaces kIndexLast in `index` by the count; true for 1..count.
  bool ValidIndex(unsigned int& index) const;

  // Iterators attach at the front of the chain.
  void AttachIterator(LArrayIterator* it);
  void DetachIterator(LArrayIterator* it);
  void ItemsInserted(unsigned int count, unsigned int index);
  void ItemsRemoved(unsigned int count, unsigned int index);

  unsigned int GetCount() const { return count_; }
  unsigned int GetAllocatedBytes() const { return allocated_; }
  bool IsSorted() const { return sorted_ != 0; }

 protected:
  // Bytes for `items` items; throws std::bad_alloc beyond 32 bits.
  unsigned int BytesForItems(unsigned long long items) const;

  unsigned int itemSize_;
  unsigned int count_;
  unsigned int used_;
  unsigned int allocated_;
  unsigned char* block_;
  LArrayIterator* iterators_;
  LComparator* comparator_;
  unsigned char ownsComparator_;
  unsigned char sorted_;
  unsigned char keepSorted_;
};

#endif  // QK_CONTAINERS_LARRAY_H_
