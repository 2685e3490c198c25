#include "fs/qk_location.h"

#include "tests/support/qk_test_support.h"

namespace {

using QkLocationTest = qktest::ScratchTest;

// Locations, not spellings: links, "..", "." and missing tails. Paths lie
// under the scratch directory unless they start with '='.
TEST_F(QkLocationTest, LiesWithinByRealLocation) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/p", "d 755"}, {"/p/a", "d 755"},
      {"/q", "d 755"}, {"/pp", "d 755"}, {"/link", "l p"}, {"/alink", "l p/a/../a"}}));
  const struct { std::string inner, outer; bool within; } kCases[] = {
      {"/p", "/p", true}, {"/p/a", "/p", true}, {"/p", "/p/a", false},
      {"/link/a", "/p", true}, {"/q/../p/a/new/x.zip", "/link", true},
      {"/p/missing/../../p", "/alink/..", true}, {"/p/./a//", "/alink", true},
      {"/pp", "/p", false}, {"/q", "/p", false}, {"/p", "=/", true},
      {"=relative", "/p", false}};
  auto full = [&](const std::string& path) {
    return path[0] == '=' ? path.substr(1) : dir_.path() + path;
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(qk_lies_within(full(c.inner).c_str(), full(c.outer).c_str()), c.within)
        << c.inner << " in " << c.outer;
  }
  CQKString real;
  ASSERT_TRUE(qk_real_location((dir_ / "link/a/../b/./c").c_str(), real));
  EXPECT_EQ(qktest::Str(real), dir_ / "p/b/c");
}

}  // namespace
