#include "containers/CWVGrowList.h"

CWVGrowList::CWVGrowList(unsigned int itemSize, unsigned int initialItems)
    : LList(itemSize, 0), growSize_(10) {
  AdjustAllocation(initialItems, 0);
}

CWVGrowList::~CWVGrowList() = default;

void CWVGrowList::AdjustStorage(int deltaItems, int) {
  const unsigned int newCount = count_ + static_cast<unsigned int>(deltaItems);
  const unsigned int newBytes = newCount * itemSize_;
  if (newBytes > allocated_) {
    InternalAdjustAllocation(
        0, BytesForItems(static_cast<unsigned long long>(newCount) +
                         growSize_));
  } else if (deltaItems < 0) {
    if (newBytes == 0) {
      InternalAdjustAllocation(0, 0);
    } else if (allocated_ - newBytes >
               static_cast<unsigned int>(growSize_) * itemSize_) {
      InternalAdjustAllocation(
          0, BytesForItems(static_cast<unsigned long long>(newCount) +
                           (growSize_ >> 1)));
    }
  }
  count_ = newCount;
  used_ = newBytes;
}

unsigned short CWVGrowList::GetGrowSize() const { return growSize_; }
