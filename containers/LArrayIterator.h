#ifndef QK_CONTAINERS_LARRAYITERATOR_H_
#define QK_CONTAINERS_LARRAYITERATOR_H_

class LArray;

// Walks an LArray forward from item 1, copying each item out. The iterator
// attaches itself to the array, which tells it of insertions and removals,
// so a walk survives changes made while it runs: removing the current item
// makes the next call return the item that followed it, items inserted at or
// before the current item are not visited, items inserted after it are.
//
// When the array is destroyed first, the iterator is told so and thereafter
// returns nothing; it does not touch the dead array again.
class LArrayIterator {
 public:
  // Index sentinels.
  static constexpr unsigned int kArrayDied = 0xFFFFFFFA;
  static constexpr unsigned int kCurrentRemoved = 0xFFFFFFFC;
  static constexpr unsigned int kNoItem = 0xFFFFFFFE;

  explicit LArrayIterator(LArray& array);
  ~LArrayIterator();

  LArrayIterator(const LArrayIterator&) = delete;
  LArrayIterator& operator=(const LArrayIterator&) = delete;

  // Copies the next item into out and makes it current; false at the end.
  bool GetNext(void* out);
  // The index of the current item, or one of the sentinels: kNoItem before
  // the first item, kCurrentRemoved, kArrayDied.
  unsigned int GetCurrentIndex() const { return current_; }

  // The array's side of the bargain.
  LArrayIterator* GetNextIterator() const { return nextIterator_; }
  void SetNextIterator(LArrayIterator* next) { nextIterator_ = next; }
  void ArrayDied();
  void ItemsInserted(unsigned int count, unsigned int index);
  void ItemsRemoved(unsigned int count, unsigned int index);

 private:
  LArrayIterator* nextIterator_;
  LArray* array_;
  unsigned int current_;
  unsigned int next_;
};

#endif  // QK_CONTAINERS_LARRAYITERATOR_H_
