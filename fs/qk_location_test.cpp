#include "fs/qk_location.h"

#include <string>

#include "gtest/gtest.h"
#include "tests/support/qk_test_support.h"

namespace {

// Locations, not spellings: links, "..", "." and missing tails.
TEST(QkLocationTest, LiesWithinByRealLocation) {
  qktest::ScratchDir dir;
  ASSERT_TRUE(qktest::MakeTree(dir.path(), {{"/p", "d 755"}, {"/p/a", "d 755"},
      {"/q", "d 755"}, {"/pp", "d 755"}, {"/link", "l p"},
      {"/alink", "l p/a/../a"}}));
  const std::string d = dir.path();
  struct {
    std::string inner, outer;
    bool within;
  } const cases[] = {
      {d + "/p", d + "/p", true},
      {d + "/p/a", d + "/p", true},
      {d + "/p", d + "/p/a", false},
      {d + "/link/a", d + "/p", true},
      {d + "/q/../p/a/new/x.zip", d + "/link", true},
      {d + "/p/missing/../../p", d + "/alink/..", true},
      {d + "/p/./a//", d + "/alink", true},
      {d + "/pp", d + "/p", false},
      {d + "/q", d + "/p", false},
      {d + "/p", "/", true},
      {"relative", d + "/p", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qk_lies_within(c.inner.c_str(), c.outer.c_str()), c.within)
        << c.inner << " in " << c.outer;
  }
  CQKString real;
  ASSERT_TRUE(qk_real_location((d + "/link/a/../b/./c").c_str(), real));
  EXPECT_EQ(std::string(real.GetSafeStringPtr()), d + "/p/b/c");
}

}  // namespace
