#include "fs/qk_tree_size.h"

#include <map>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/qk_test_support.h"

namespace {

TEST(QkTreeSizeTest, CountsTheBytesACopyWouldRead) {
  qktest::ScratchDir dir;
  ASSERT_TRUE(qktest::MakeTree(dir.path(), {
      {"/empty", "d 755"},
      {"/tree", "d 755"},
      {"/tree/a", "f 644 12345"},
      {"/tree/sub", "d 755"},
      {"/tree/sub/b", "f 644 1234567"},
      {"/tree/sub/nothing", "f 644"},
      {"/tree/sub/deeper", "d 700"},
      {"/tree/sub/deeper/c", "f 600 xyz"},
      {"/tree/to-a", "l a"},
      {"/tree/to-sub", "l sub"},
      {"/tree/sub/loop", "l .."},
      {"/tree/dangling", "l missing"},
  }));
  // Path under the scratch directory, bytes.
  const std::map<std::string, uint64_t> cases = {
      {"/empty", 0},
      // a twice (itself and through its link); linked directories are not
      // entered, and the dangling link names nothing.
      {"/tree", 5 + 5 + 7 + 0 + 3},
      {"/tree/sub", 7 + 3},
      {"/tree/a", 5},
      {"/tree/to-a", 5},
      {"/tree/to-sub", 0},
      {"/missing", 0},
  };
  for (const auto& [name, bytes] : cases) {
    EXPECT_EQ(qk_tree_bytes(CQKString((dir.path() + name).c_str())), bytes)
        << name;
  }
}

}  // namespace
