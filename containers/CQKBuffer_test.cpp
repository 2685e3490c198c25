#include "containers/CQKBuffer.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

namespace {

std::string Bytes(const CQKBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.GetData()), b.GetSize());
}

// Exact sizes, growth that never shrinks, bytes taken from the buffer's own
// block wherever a source may lie, and blocks handed over or copied.
TEST(CQKBufferTest, ExactGrowthOwnBlockAsSourceStealAndCopy) {
  CQKBuffer b;
  EXPECT_FALSE(b.ReAlloc(0));  // the same size, and no block
  b = "path/name";
  EXPECT_TRUE(b.GrowTo(12, true) && b.GrowTo(3, false));
  b = reinterpret_cast<const char*>(b.GetData()) + 5;  // from its own block
  b = static_cast<const char*>(nullptr);
  EXPECT_EQ(12u, b.GetLength());
  EXPECT_TRUE(b.Alloc(10));
  EXPECT_EQ(std::string("name\0name\0", 10), Bytes(b));
  b.AppendToBuffer(b.GetData() + 5, 4);
  b.AppendToBuffer(b.GetData(), 0);
  b.AppendToBuffer(nullptr, 5);
  b += b;
  const std::string kThree("name\0name\0name", 14);
  EXPECT_EQ(kThree + kThree, Bytes(b));
  b.ClearBuffer();
  EXPECT_EQ(std::string(28, '\0'), Bytes(b));
  EXPECT_FALSE(b.ReAlloc(0));
  EXPECT_EQ(nullptr, b.GetData());
  EXPECT_EQ(16u, CQKBuffer(16).GetSize());
  b = "abc";
  b.SetBuffer(b.GetData(), 0xFFFFFFFFu);  // claims the largest size
  EXPECT_THROW(b.AppendToBuffer(b.GetData(), 1), std::bad_alloc);
  EXPECT_EQ(0xFFFFFFFFu, b.GetSize());
  b.SetBuffer(b.GetData(), 4);
  EXPECT_EQ(std::string("abc\0", 4), Bytes(b));
  CQKBuffer a;
  a = "old";
  b = "new!";
  unsigned char* block = b.GetData();
  a.StealContentsFrom(b);  // LeakSanitizer sees that the old block went
  a.StealContentsFrom(a);
  EXPECT_TRUE(block == a.GetData() && b.GetData() == nullptr);
  EXPECT_TRUE(b.BufferCompare(CQKBuffer()));
  b = "previous contents";
  b.CopyFrom(&a);
  b.CopyFrom(&b);
  EXPECT_TRUE(a.GetData() != b.GetData() && b.BufferCompare(a));
  b = "new?";
  EXPECT_FALSE(b.BufferCompare(a));  // the same length, other bytes
  b.CopyFrom(nullptr);
  EXPECT_EQ(nullptr, b.GetData());
}

}  // namespace
