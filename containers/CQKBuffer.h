#ifndef QK_CONTAINERS_CQKBUFFER_H_
#define QK_CONTAINERS_CQKBUFFER_H_

// An owned heap block and its size. The block comes from malloc/realloc and
// goes back with free. The buffer has no notion of "bytes in use": its length
// is the size of its block. Growth is exact; reserves belong to subclasses.
//
// Every allocation goes through ReAlloc, which throws std::bad_alloc on
// failure and leaves the buffer as it was.
class CQKBuffer {
 public:
  // Constant-initialised, so static strings are usable before main.
  constexpr CQKBuffer() : size_(0), data_(nullptr) {}
  // Allocates `size` bytes (uninitialised) when size is non-zero.
  explicit CQKBuffer(unsigned int size);
  virtual ~CQKBuffer();

  CQKBuffer(const CQKBuffer&) = delete;

  // Zero-fills the block; the size stays.
  virtual void ClearBuffer();
  // Frees the block: size 0, data null.
  virtual void FreeBuffer();
  // The block's size.
  virtual unsigned int GetLength() const;
  // Ensures the block holds at least `size` bytes; never shrinks. Returns true
  // when the block is large enough afterwards.
  virtual bool GrowTo(unsigned int size, bool keepContents);
  // Sets the block to exactly `size` bytes, keeping the common prefix.
  // ReAlloc(0) frees the block and returns false.
  virtual bool ReAlloc(unsigned int size);
  // Sets the block to exactly `size` bytes; true when a block exists after.
  virtual bool Alloc(unsigned int size);

  // Adopts `data` and `size` as they are; the previous block is neither freed
  // nor copied (callers release it first).
  void SetBuffer(unsigned char* data, unsigned int size);
  // Takes over other's block without copying; other is left empty.
  void StealContentsFrom(CQKBuffer& other);
  // Copies the text with its terminator to the start of the block, growing
  // it when needed; a null text changes nothing.
  CQKBuffer& operator=(const char* text);
  // Replaces the contents with a copy of other's block (null: left empty).
  // The copy is made before the old block goes, so a failed allocation
  // changes nothing and copying from itself keeps the bytes.
  void CopyFrom(const CQKBuffer* other);
  CQKBuffer& operator=(const CQKBuffer& other);
  // Appends `count` bytes after the end of the block; the bytes may lie in
  // this block.
  void AppendToBuffer(const unsigned char* bytes, unsigned int count);
  CQKBuffer& operator+=(const CQKBuffer& other);
  // Equality of length and bytes.
  bool BufferCompare(const CQKBuffer& other) const;

  unsigned char* GetData() const { return data_; }
  unsigned int GetSize() const { return size_; }

  static void dealloc_buff(void* block);

 protected:
  unsigned int size_;
  unsigned char* data_;
};

#endif  // QK_CONTAINERS_CQKBUFFER_H_
