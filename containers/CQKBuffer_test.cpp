#include "containers/CQKBuffer.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include <gtest/gtest.h>

// Under AddressSanitizer a refused allocation must come back as null, as it
// does from the platform's allocator, instead of ending the process.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

std::string Bytes(const CQKBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.GetData()), b.GetSize());
}

// Counts the calls that reach the virtual slots.
class CountingBuffer : public CQKBuffer {
 public:
  bool ReAlloc(unsigned int size) override {
    ++reallocs;
    return CQKBuffer::ReAlloc(size);
  }
  bool Alloc(unsigned int size) override {
    ++allocs;
    return CQKBuffer::Alloc(size);
  }
  void FreeBuffer() override {
    ++frees;
    CQKBuffer::FreeBuffer();
  }
  int reallocs = 0;
  int allocs = 0;
  int frees = 0;
};

// Runs body in a child process whose address space may grow by 64 MiB at
// most, so large allocations really fail. Returns the child's exit code.
int RunWithTightMemory(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(90);
    fclose(statm);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max =
        static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64 << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(91);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const unsigned int kTooLarge = 512u << 20;

TEST(CQKBufferLifecycle, StartsEmptyOrSized) {
  CQKBuffer empty;
  EXPECT_EQ(0u, empty.GetSize());
  EXPECT_EQ(nullptr, empty.GetData());
  EXPECT_EQ(0u, empty.GetLength());

  CQKBuffer zero(0);
  EXPECT_EQ(nullptr, zero.GetData());

  CQKBuffer sized(16);
  EXPECT_EQ(16u, sized.GetSize());
  EXPECT_NE(nullptr, sized.GetData());
}

TEST(CQKBufferLifecycle, ClearBufferZeroFillsAndKeepsSize) {
  CQKBuffer b;
  b.ClearBuffer();
  EXPECT_EQ(nullptr, b.GetData());
  b = "xyz";
  b.ClearBuffer();
  EXPECT_EQ(std::string(4, '\0'), Bytes(b));
}

TEST(CQKBufferLifecycle, FreeBufferEmpties) {
  CQKBuffer b(8);
  b.FreeBuffer();
  EXPECT_EQ(0u, b.GetSize());
  EXPECT_EQ(nullptr, b.GetData());
  b.FreeBuffer();
  EXPECT_EQ(nullptr, b.GetData());
}

TEST(CQKBufferSizing, ReAllocResultsAndContents) {
  CQKBuffer b;
  EXPECT_FALSE(b.ReAlloc(0));  // same size, no block
  EXPECT_TRUE(b.ReAlloc(3));
  memcpy(b.GetData(), "abc", 3);
  EXPECT_TRUE(b.ReAlloc(3));  // same size with a block
  EXPECT_TRUE(b.ReAlloc(100));
  EXPECT_EQ(100u, b.GetSize());
  EXPECT_EQ(0, memcmp(b.GetData(), "abc", 3));
  EXPECT_TRUE(b.ReAlloc(2));
  EXPECT_EQ("ab", Bytes(b));
  EXPECT_FALSE(b.ReAlloc(0));
  EXPECT_EQ(0u, b.GetSize());
  EXPECT_EQ(nullptr, b.GetData());
}

TEST(CQKBufferSizing, AllocSetsExactSize) {
  CQKBuffer b;
  EXPECT_TRUE(b.Alloc(5));
  EXPECT_EQ(5u, b.GetSize());
  EXPECT_TRUE(b.Alloc(5));
  EXPECT_FALSE(b.Alloc(0));
  EXPECT_EQ(nullptr, b.GetData());
}

TEST(CQKBufferSizing, GrowToNeverShrinksAndGrowsExactly) {
  CQKBuffer b;
  b = "abcdef";
  unsigned char* before = b.GetData();
  EXPECT_TRUE(b.GrowTo(3, true));
  EXPECT_TRUE(b.GrowTo(7, false));
  EXPECT_EQ(before, b.GetData());
  EXPECT_EQ(7u, b.GetSize());
  EXPECT_TRUE(b.GrowTo(9, true));
  EXPECT_EQ(9u, b.GetSize());
  EXPECT_EQ(0, memcmp(b.GetData(), "abcdef", 7));
  EXPECT_TRUE(b.GrowTo(0, false));
}

TEST(CQKBufferSizing, GrowToGoesThroughTheSlots) {
  CountingBuffer b;
  b.GrowTo(4, true);
  EXPECT_EQ(1, b.reallocs);
  EXPECT_EQ(0, b.allocs);
  b.GrowTo(8, false);
  EXPECT_EQ(1, b.allocs);
  EXPECT_EQ(2, b.reallocs);  // Alloc resizes through ReAlloc
  b.GrowTo(8, false);
  EXPECT_EQ(1, b.allocs);
}

TEST(CQKBufferText, AssignmentCopiesTerminatorAndNeverShrinks) {
  CQKBuffer b;
  b = "abc";
  EXPECT_EQ(std::string("abc\0", 4), Bytes(b));
  b = "x";
  EXPECT_EQ(std::string("x\0c\0", 4), Bytes(b));
  b = static_cast<const char*>(nullptr);
  EXPECT_EQ(std::string("x\0c\0", 4), Bytes(b));
  b = "longer";
  EXPECT_EQ(std::string("longer\0", 7), Bytes(b));
}

TEST(CQKBufferText, AssignmentFromItsOwnBlock) {
  CQKBuffer b;
  b = "path/name";
  b = reinterpret_cast<const char*>(b.GetData()) + 5;
  EXPECT_EQ(std::string("name\0name\0", 10), Bytes(b));
}

TEST(CQKBufferTransfer, StealMovesTheBlock) {
  CQKBuffer a;
  CQKBuffer b;
  a = "old";
  b = "new!";
  unsigned char* block = b.GetData();
  a.StealContentsFrom(b);
  EXPECT_EQ(block, a.GetData());
  EXPECT_EQ(5u, a.GetSize());
  EXPECT_EQ(0u, b.GetSize());
  EXPECT_EQ(nullptr, b.GetData());
  a.StealContentsFrom(a);
  EXPECT_EQ(block, a.GetData());
}

TEST(CQKBufferTransfer, StealFreesThroughTheSlot) {
  CountingBuffer a;
  CQKBuffer b(3);
  a.StealContentsFrom(b);
  EXPECT_EQ(1, a.frees);
}

TEST(CQKBufferTransfer, CopyFromMakesAnOwnBlock) {
  CQKBuffer source;
  source = "data";
  CQKBuffer copy;
  copy = "previous contents";
  copy.CopyFrom(&source);
  EXPECT_EQ(std::string("data\0", 5), Bytes(copy));
  EXPECT_NE(source.GetData(), copy.GetData());

  copy.CopyFrom(&copy);
  EXPECT_EQ(std::string("data\0", 5), Bytes(copy));

  CQKBuffer empty;
  copy.CopyFrom(&empty);
  EXPECT_EQ(nullptr, copy.GetData());
  copy = "again";
  copy.CopyFrom(nullptr);
  EXPECT_EQ(0u, copy.GetSize());
}

TEST(CQKBufferTransfer, AssignmentCopies) {
  CQKBuffer a;
  CQKBuffer b;
  a = "one";
  b = a;
  EXPECT_TRUE(b.BufferCompare(a));
  EXPECT_NE(a.GetData(), b.GetData());
  b = b;
  EXPECT_EQ(std::string("one\0", 4), Bytes(b));
}

TEST(CQKBufferAppend, AppendsAfterTheBlock) {
  CQKBuffer b;
  b.AppendToBuffer(reinterpret_cast<const unsigned char*>("ab"), 2);
  b.AppendToBuffer(reinterpret_cast<const unsigned char*>("cd"), 0);
  b.AppendToBuffer(nullptr, 5);
  EXPECT_EQ("ab", Bytes(b));
  CQKBuffer c;
  c = "xy";
  b += c;
  EXPECT_EQ(std::string("abxy\0", 5), Bytes(b));
  b += b;
  EXPECT_EQ(std::string("abxy\0abxy\0", 10), Bytes(b));
}

TEST(CQKBufferCompare, EqualityOfLengthAndBytes) {
  CQKBuffer a;
  CQKBuffer b;
  EXPECT_TRUE(a.BufferCompare(b));
  a = "abc";
  EXPECT_FALSE(a.BufferCompare(b));
  b = "abd";
  EXPECT_FALSE(a.BufferCompare(b));
  b = "abc";
  EXPECT_TRUE(a.BufferCompare(b));
  b.ReAlloc(3);
  EXPECT_FALSE(a.BufferCompare(b));
}

TEST(CQKBufferOutOfMemory, FailedGrowthThrowsAndKeepsTheBlock) {
  EXPECT_EQ(0, RunWithTightMemory([] {
    CQKBuffer b;
    b = "keep";
    unsigned char* block = b.GetData();
    try {
      b.GrowTo(kTooLarge, true);
      return 1;
    } catch (const std::bad_alloc&) {
    }
    if (b.GetData() != block || Bytes(b) != std::string("keep\0", 5)) return 2;
    try {
      b.ReAlloc(kTooLarge);
      return 3;
    } catch (const std::bad_alloc&) {
    }
    if (b.GetData() != block || b.GetSize() != 5) return 4;
    CQKBuffer empty;
    try {
      empty.Alloc(kTooLarge);
      return 5;
    } catch (const std::bad_alloc&) {
    }
    if (empty.GetData() != nullptr || empty.GetSize() != 0) return 6;
    return 0;
  }));
}

TEST(CQKBufferOutOfMemory, FailedCopyKeepsTheOldContents) {
  EXPECT_EQ(0, RunWithTightMemory([] {
    CQKBuffer b;
    b = "mine";
    // Within the limit once, but not twice.
    CQKBuffer source(40u << 20);
    try {
      b.CopyFrom(&source);
      return 1;
    } catch (const std::bad_alloc&) {
    }
    return Bytes(b) == std::string("mine\0", 5) ? 0 : 2;
  }));
}

TEST(CQKBufferOutOfMemory, AppendBeyondFourGigabytesThrows) {
  CQKBuffer b;
  b = "abc";
  unsigned char byte = 'x';
  b.SetBuffer(b.GetData(), 0xFFFFFFFFu);  // claims the largest size
  EXPECT_THROW(b.AppendToBuffer(&byte, 1), std::bad_alloc);
  EXPECT_EQ(0xFFFFFFFFu, b.GetSize());
  b.SetBuffer(b.GetData(), 4);
  EXPECT_EQ(std::string("abc\0", 4), Bytes(b));
}

}  // namespace
