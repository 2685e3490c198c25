#include "containers/LList.h"

LList::LList(unsigned int itemSize, unsigned int initialItems)
    : LArray(itemSize, nullptr, 0) {
  AdjustAllocation(initialItems, 0);
}

LList::~LList() = default;

void LList::SetItemAt(unsigned int index, const void* item) {
  AssignItemsAt(1, index, item, 0);
}
