#include "containers/CQKBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

namespace {

std::string Bytes(const CQKBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.GetData()), b.GetSize());
}

TEST(CQKBufferTest, SizingIsExactAndGrowthNeverShrinks) {
  CQKBuffer b;
  b.ClearBuffer();  // nothing to clear
  EXPECT_FALSE(b.ReAlloc(0));  // the same size, and no block
  EXPECT_EQ(nullptr, b.GetData());
  EXPECT_TRUE(b.GrowTo(4, false));
  memcpy(b.GetData(), "abcd", 4);
  EXPECT_TRUE(b.GrowTo(9, true));
  EXPECT_EQ(9u, b.GetLength());
  unsigned char* block = b.GetData();
  EXPECT_TRUE(b.GrowTo(3, true));
  EXPECT_TRUE(b.ReAlloc(9));  // the same size, with a block
  EXPECT_EQ(block, b.GetData());
  EXPECT_TRUE(b.Alloc(2));
  EXPECT_EQ("ab", Bytes(b));
  b.ClearBuffer();
  EXPECT_EQ(std::string(2, '\0'), Bytes(b));
  EXPECT_FALSE(b.ReAlloc(0));
  EXPECT_EQ(nullptr, b.GetData());
  EXPECT_EQ(0u, b.GetSize());
  EXPECT_EQ(16u, CQKBuffer(16).GetSize());
}

TEST(CQKBufferTest, TextAssignmentCopiesTheTerminatorAndNeverShrinks) {
  CQKBuffer b;
  b = "abc";
  EXPECT_EQ(std::string("abc\0", 4), Bytes(b));
  b = "x";
  b = static_cast<const char*>(nullptr);
  EXPECT_EQ(std::string("x\0c\0", 4), Bytes(b));
  b = "path/name";
  b = reinterpret_cast<const char*>(b.GetData()) + 5;  // from its own block
  EXPECT_EQ(std::string("name\0name\0", 10), Bytes(b));
}

TEST(CQKBufferTest, StealCopyCompareAndAppend) {
  CQKBuffer a;
  CQKBuffer b;
  a = "old";
  b = "new!";
  unsigned char* block = b.GetData();
  a.StealContentsFrom(b);  // LeakSanitizer sees that the old block went
  a.StealContentsFrom(a);
  EXPECT_EQ(block, a.GetData());
  EXPECT_EQ(nullptr, b.GetData());
  EXPECT_EQ(0u, b.GetSize());
  EXPECT_TRUE(b.BufferCompare(CQKBuffer()));
  b = "previous contents";
  b.CopyFrom(&a);
  b.CopyFrom(&b);
  EXPECT_NE(a.GetData(), b.GetData());
  EXPECT_TRUE(b.BufferCompare(a));
  b = "newX";
  EXPECT_FALSE(b.BufferCompare(a));  // the same length, other bytes
  b.CopyFrom(nullptr);
  EXPECT_EQ(nullptr, b.GetData());
  b.AppendToBuffer(reinterpret_cast<const unsigned char*>("ab"), 2);
  b.AppendToBuffer(a.GetData(), 0);
  b.AppendToBuffer(nullptr, 5);
  b += a;
  b += b;
  EXPECT_EQ(std::string("abnew!\0abnew!\0", 14), Bytes(b));
}

TEST(CQKBufferTest, AppendBeyondFourGigabytesThrows) {
  CQKBuffer b;
  b = "abc";
  b.SetBuffer(b.GetData(), 0xFFFFFFFFu);  // claims the largest size
  EXPECT_THROW(b.AppendToBuffer(b.GetData(), 1), std::bad_alloc);
  EXPECT_EQ(0xFFFFFFFFu, b.GetSize());
  b.SetBuffer(b.GetData(), 4);
  EXPECT_EQ(std::string("abc\0", 4), Bytes(b));
}

}  // namespace
