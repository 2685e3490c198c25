#ifndef QK_CONTAINERS_LLIST_H_
#define QK_CONTAINERS_LLIST_H_

#include "containers/LArray.h"

// An unsorted array with the shared comparator for its item size, made with
// room for `initialItems` items.
class LList : public LArray {
 public:
  LList(unsigned int itemSize, unsigned int initialItems);
  ~LList() override;

  // Overwrites the item at index; nothing for an invalid index.
  virtual void SetItemAt(unsigned int index, const void* item);
};

#endif  // QK_CONTAINERS_LLIST_H_
