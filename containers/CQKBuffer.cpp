#include "containers/CQKBuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

CQKBuffer::CQKBuffer(unsigned int size) : size_(0), data_(nullptr) {
  if (size != 0) CQKBuffer::ReAlloc(size);
}

CQKBuffer::~CQKBuffer() {
  if (data_ != nullptr) dealloc_buff(data_);
}

void CQKBuffer::ClearBuffer() {
  if (data_ != nullptr) memset(data_, 0, size_);
}

void CQKBuffer::FreeBuffer() {
  if (data_ != nullptr) dealloc_buff(data_);
  data_ = nullptr;
  size_ = 0;
}

unsigned int CQKBuffer::GetLength() const { return size_; }

bool CQKBuffer::GrowTo(unsigned int size, bool keepContents) {
  if (size_ >= size) return true;
  return keepContents ? ReAlloc(size) : Alloc(size);
}

bool CQKBuffer::ReAlloc(unsigned int size) {
  if (size == size_) return data_ != nullptr;
  if (size == 0) {
    unsigned char* old = data_;
    size_ = 0;
    data_ = nullptr;
    if (old != nullptr) dealloc_buff(old);
    return false;
  }
  void* block = realloc(data_, size);
  if (block == nullptr) throw std::bad_alloc();
  data_ = static_cast<unsigned char*>(block);
  size_ = size;
  return true;
}

bool CQKBuffer::Alloc(unsigned int size) {
  if (size != size_) ReAlloc(size);
  return data_ != nullptr;
}

void CQKBuffer::SetBuffer(unsigned char* data, unsigned int size) {
  data_ = data;
  size_ = size;
}

void CQKBuffer::StealContentsFrom(CQKBuffer& other) {
  if (&other == this) return;
  FreeBuffer();
  SetBuffer(other.data_, other.size_);
  other.SetBuffer(nullptr, 0);
}

CQKBuffer& CQKBuffer::operator=(const char* text) {
  if (text == nullptr) return *this;
  size_t n = strlen(text) + 1;
  if (n > 0xFFFFFFFFu) throw std::bad_alloc();
  // Text taken from this block fits it, so only outside text can move the
  // block; memmove covers text that overlaps it.
  if (n > size_) ReAlloc(static_cast<unsigned int>(n));
  memmove(data_, text, n);
  return *this;
}

void CQKBuffer::CopyFrom(const CQKBuffer* other) {
  if (other == nullptr || other->data_ == nullptr) {
    FreeBuffer();
    return;
  }
  CQKBuffer copy;
  copy.CQKBuffer::ReAlloc(other->size_);
  memcpy(copy.data_, other->data_, other->size_);
  FreeBuffer();
  SetBuffer(copy.data_, copy.size_);
  copy.SetBuffer(nullptr, 0);
}

CQKBuffer& CQKBuffer::operator=(const CQKBuffer& other) {
  if (&other != this) CopyFrom(&other);
  return *this;
}

void CQKBuffer::AppendToBuffer(const unsigned char* bytes, unsigned int count) {
  if (count == 0 || bytes == nullptr) return;
  unsigned int old = size_;
  if (static_cast<unsigned long long>(old) + count > 0xFFFFFFFFu) {
    throw std::bad_alloc();
  }
  bool inside = data_ != nullptr && bytes >= data_ && bytes < data_ + size_;
  size_t offset = inside ? static_cast<size_t>(bytes - data_) : 0;
  ReAlloc(old + count);
  if (inside) bytes = data_ + offset;
  memmove(data_ + old, bytes, count);
}

CQKBuffer& CQKBuffer::operator+=(const CQKBuffer& other) {
  AppendToBuffer(other.data_, other.size_);
  return *this;
}

bool CQKBuffer::BufferCompare(const CQKBuffer& other) const {
  unsigned int length = GetLength();
  if (length != other.GetLength()) return false;
  if (length == 0) return true;
  return memcmp(data_, other.data_, length) == 0;
}

void CQKBuffer::dealloc_buff(void* block) { free(block); }
