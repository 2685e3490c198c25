#ifndef QK_CONTAINERS_TEMPTYLISTANDDELETECONTENTS_H_
#define QK_CONTAINERS_TEMPTYLISTANDDELETECONTENTS_H_

#include "containers/LArray.h"

// Deletes every non-null T* that `list` holds and then removes all items,
// which lets a growing list free its block. A null list is left alone.
template <typename T>
void TEmptyListAndDeleteContents(LArray* list) {
  if (list == nullptr || list->GetCount() == 0) return;
  const unsigned int count = list->GetCount();
  for (unsigned int i = 1; i <= count; i++) {
    T* object = nullptr;
    list->FetchItemAt(i, &object);
    delete object;
  }
  list->RemoveItemsAt(count, 1);
}

#endif  // QK_CONTAINERS_TEMPTYLISTANDDELETECONTENTS_H_
