#ifndef QK_CONTAINERS_LCOMPARATOR_H_
#define QK_CONTAINERS_LCOMPARATOR_H_

// Orders the items of an LArray. Comparators carry no data: each class has one
// shared instance, made on the first GetComparator() call and kept for the
// life of the process. An array may also adopt a comparator of its own made
// with new, which it then deletes.
//
// Compare returns a negative, zero or positive value as `a` orders before,
// with or after `b`. The integer comparators read items as signed native
// integers; an item must be at least as large as the comparator's integer.
class LComparator {
 public:
  LComparator() = default;
  virtual ~LComparator();

  // The first min(sizeA, sizeB) bytes as unsigned bytes: the difference of
  // the first differing pair, else sizeA - sizeB.
  virtual int Compare(const void* a, const void* b, unsigned int sizeA,
                      unsigned int sizeB) const;
  virtual bool IsEqualTo(const void* a, const void* b, unsigned int sizeA,
                         unsigned int sizeB) const;
  // Items are not keyed by default: every item orders after every key.
  virtual int CompareToKey(const void* item, unsigned int size,
                           const void* key) const;
  virtual bool IsEqualToKey(const void* item, unsigned int size,
                            const void* key) const;

  static LComparator* GetComparator();
};

// 16-bit items: the difference a - b, which always fits an int.
class LInt16Comparator : public LComparator {
 public:
  int Compare(const void* a, const void* b, unsigned int sizeA,
              unsigned int sizeB) const override;
  bool IsEqualTo(const void* a, const void* b, unsigned int sizeA,
                 unsigned int sizeB) const override;

  static LInt16Comparator* GetComparator();
};

// 32-bit items: the difference a - b when it fits an int, else its sign, so
// the order stays consistent for values far apart.
class LInt32Comparator : public LComparator {
 public:
  int Compare(const void* a, const void* b, unsigned int sizeA,
              unsigned int sizeB) const override;
  bool IsEqualTo(const void* a, const void* b, unsigned int sizeA,
                 unsigned int sizeB) const override;

  static LInt32Comparator* GetComparator();
};

// 64-bit items: -1, 0 or 1.
class LInt64Comparator : public LComparator {
 public:
  int Compare(const void* a, const void* b, unsigned int sizeA,
              unsigned int sizeB) const override;
  bool IsEqualTo(const void* a, const void* b, unsigned int sizeA,
                 unsigned int sizeB) const override;

  static LInt64Comparator* GetComparator();
};

#endif  // QK_CONTAINERS_LCOMPARATOR_H_
