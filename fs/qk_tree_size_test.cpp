#include "fs/qk_tree_size.h"

#include "tests/support/qk_test_support.h"

namespace {

using QkTreeSizeTest = qktest::ScratchTest;

// A file counts once per name a copy would read it by; linked directories
// are not entered below the top (a link given as the tree is followed, as
// the copy follows it) and a dangling link names nothing.
TEST_F(QkTreeSizeTest, CountsTheBytesACopyWouldRead) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/empty", "d 755"}, {"/tree", "d 755"},
      {"/tree/a", "f 644 12345"}, {"/tree/sub", "d 755"},
      {"/tree/sub/b", "f 644 1234567"},
      {"/tree/sub/deeper", "d 700"}, {"/tree/sub/deeper/c", "f 600 xyz"},
      {"/tree/to-a", "l a"}, {"/tree/to-sub", "l sub"}, {"/tree/sub/loop", "l .."},
      {"/tree/dangling", "l missing"}}));
  const std::map<std::string, uint64_t> kCases = {{"/empty", 0}, {"/tree", 5 + 5 + 7 + 3},
      {"/tree/sub", 7 + 3}, {"/tree/to-a", 5}, {"/tree/to-sub", 7 + 3}, {"/missing", 0}};
  for (const auto& [name, bytes] : kCases) {
    EXPECT_EQ(qk_tree_bytes((dir_.path() + name).c_str()), bytes) << name;
  }
}

}  // namespace
