#include "containers/LArrayIterator.h"

#include "containers/LArray.h"

LArrayIterator::LArrayIterator(LArray& array)
    : nextIterator_(nullptr), array_(&array), current_(kNoItem), next_(1) {
  array.AttachIterator(this);
}

LArrayIterator::~LArrayIterator() {
  if (current_ != kArrayDied) array_->DetachIterator(this);
}

bool LArrayIterator::GetNext(void* out) {
  if (current_ == kArrayDied) return false;
  if (!array_->FetchItemAt(next_, out)) return false;
  current_ = next_++;
  return true;
}

void LArrayIterator::ArrayDied() {
  current_ = kArrayDied;
  next_ = kArrayDied;
}

void LArrayIterator::ItemsInserted(unsigned int count, unsigned int index) {
  if (current_ == kArrayDied) return;
  if (current_ < kArrayDied && current_ >= index) current_ += count;
  if (next_ > index) next_ += count;
}

void LArrayIterator::ItemsRemoved(unsigned int count, unsigned int index) {
  if (current_ == kArrayDied) return;
  const unsigned int last = index + count - 1;
  if (current_ < kArrayDied && current_ >= index) {
    current_ = current_ > last ? current_ - count : kCurrentRemoved;
  }
  // The item that followed the removed range now sits at `index`.
  if (next_ > last) {
    next_ -= count;
  } else if (next_ > index) {
    next_ = index;
  }
}
