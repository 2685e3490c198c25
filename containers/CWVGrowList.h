#ifndef QK_CONTAINERS_CWVGROWLIST_H_
#define QK_CONTAINERS_CWVGROWLIST_H_

#include "containers/LList.h"

// A list that grows with a reserve of GetGrowSize() (10) items and gives
// memory back only when more than that many items' worth is free, so that
// repeated appends reallocate once per 11 items. Emptying it frees the
// block.
class CWVGrowList : public LList {
 public:
  CWVGrowList(unsigned int itemSize, unsigned int initialItems);
  ~CWVGrowList() override;

  // Growing reallocates to (newCount + grow size) items. Removing frees the
  // block when no item is left, and otherwise shrinks to (newCount + grow
  // size / 2) items once more than grow size items' worth is free.
  void AdjustStorage(int deltaItems, int deltaBytes) override;

  virtual unsigned short GetGrowSize() const;

 private:
  unsigned short growSize_;
};

#endif  // QK_CONTAINERS_CWVGROWLIST_H_
