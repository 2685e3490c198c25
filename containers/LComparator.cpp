#include "containers/LComparator.h"

#include <cstdint>
#include <cstring>

namespace {

// Items may sit at any address (a caller's buffer), so they are read with
// memcpy rather than through a cast pointer.
template <typename T>
T ReadItem(const void* item) {
  T value;
  std::memcpy(&value, item, sizeof value);
  return value;
}

// The shared instances. Held in statics so that they stay reachable until
// exit; they are never deleted.
LComparator* gComparator = nullptr;
LInt16Comparator* gInt16Comparator = nullptr;
LInt32Comparator* gInt32Comparator = nullptr;
LInt64Comparator* gInt64Comparator = nullptr;

}  // namespace

LComparator::~LComparator() = default;

int LComparator::Compare(const void* a, const void* b, unsigned int sizeA,
                         unsigned int sizeB) const {
  const unsigned char* left = static_cast<const unsigned char*>(a);
  const unsigned char* right = static_cast<const unsigned char*>(b);
  const unsigned int common = sizeA < sizeB ? sizeA : sizeB;
  for (unsigned int i = 0; i < common; i++) {
    if (left[i] != right[i]) return left[i] - right[i];
  }
  return static_cast<int>(sizeA - sizeB);
}

bool LComparator::IsEqualTo(const void* a, const void* b, unsigned int sizeA,
                            unsigned int sizeB) const {
  return Compare(a, b, sizeA, sizeB) == 0;
}

int LComparator::CompareToKey(const void*, unsigned int, const void*) const {
  return 1;
}

bool LComparator::IsEqualToKey(const void* item, unsigned int size,
                               const void* key) const {
  return CompareToKey(item, size, key) == 0;
}

LComparator* LComparator::GetComparator() {
  if (gComparator == nullptr) gComparator = new LComparator;
  return gComparator;
}

int LInt16Comparator::Compare(const void* a, const void* b, unsigned int,
                              unsigned int) const {
  return ReadItem<int16_t>(a) - ReadItem<int16_t>(b);
}

bool LInt16Comparator::IsEqualTo(const void* a, const void* b, unsigned int,
                                 unsigned int) const {
  return ReadItem<int16_t>(a) == ReadItem<int16_t>(b);
}

LInt16Comparator* LInt16Comparator::GetComparator() {
  if (gInt16Comparator == nullptr) gInt16Comparator = new LInt16Comparator;
  return gInt16Comparator;
}

int LInt32Comparator::Compare(const void* a, const void* b, unsigned int,
                              unsigned int) const {
  const int64_t difference = static_cast<int64_t>(ReadItem<int32_t>(a)) -
                             ReadItem<int32_t>(b);
  if (difference > INT32_MAX) return 1;
  if (difference < INT32_MIN) return -1;
  return static_cast<int>(difference);
}

bool LInt32Comparator::IsEqualTo(const void* a, const void* b, unsigned int,
                                 unsigned int) const {
  return ReadItem<int32_t>(a) == ReadItem<int32_t>(b);
}

LInt32Comparator* LInt32Comparator::GetComparator() {
  if (gInt32Comparator == nullptr) gInt32Comparator = new LInt32Comparator;
  return gInt32Comparator;
}

int LInt64Comparator::Compare(const void* a, const void* b, unsigned int,
                              unsigned int) const {
  const int64_t left = ReadItem<int64_t>(a);
  const int64_t right = ReadItem<int64_t>(b);
  if (left < right) return -1;
  return left > right ? 1 : 0;
}

bool LInt64Comparator::IsEqualTo(const void* a, const void* b, unsigned int,
                                 unsigned int) const {
  return ReadItem<int64_t>(a) == ReadItem<int64_t>(b);
}

LInt64Comparator* LInt64Comparator::GetComparator() {
  if (gInt64Comparator == nullptr) gInt64Comparator = new LInt64Comparator;
  return gInt64Comparator;
}
