#include "fs/qk_path.h"

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/qk_test_support.h"

namespace {

using qktest::Bytes;
using qktest::Str;
using Paths = std::vector<std::string>;
using QkPathTest = qktest::ScratchTest;

// Not UTF-8: converting it would name another file.
const std::string kLatin1 = "caf\xE9";

Paths Sorted(Paths paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// What the listing of `path` appends, in order; "false" first on failure.
Paths List(const std::string& path, bool recurse, bool itself) {
  CQKStringList list;
  Paths paths;
  if (!GetFileAndDirectoryListFromPath(Bytes(path), list, recurse, itself)) {
    paths = {"false"};
  }
  for (unsigned int i = 1; i <= list.GetCount(); ++i) {
    paths.push_back(Str(*list.GetStringAt(i)));
  }
  return paths;
}

// `input` made full, with " *" added when it asked for a directory's
// contents; "false" and the untouched output when that failed.
std::string Full(const std::string& input) {
  CQKString out("/old");
  bool one = false;
  const bool ok = GetFullPathFromAnyPathInput(Bytes(input), out, &one);
  return (ok ? "" : "false ") + Str(out) + (one ? "" : " *");
}

TEST_F(QkPathTest, FullPathsKeepTheInputAsWrittenLessTheWildcard) {
  const std::string wd = dir_ / kLatin1;
  ASSERT_EQ(mkdir(wd.c_str(), 0755), 0);
  ASSERT_EQ(chdir(wd.c_str()), 0);
  // '+' stands for the working directory.
  const std::pair<std::string, std::string> kCases[] = {{"/a/../b//c", "/a/../b//c"},
      {"/a/b/*", "/a/b/ *"}, {"/*", "/ *"}, {"/a/b\\*", "/a/b\\ *"}, {"/a/b*", "/a/b*"},
      {".", "+"}, {"*", "+ *"}, {"", "+/"}, {"~/x", "+/~/x"}, {"sub/*", "+/sub/ *"},
      {"\xE9t\xE9", "+/\xE9t\xE9"}};
  for (const auto& [in, want] : kCases) {
    EXPECT_EQ(Full(in), want[0] == '+' ? wd + want.substr(1) : want) << in;
  }
  ASSERT_EQ(rmdir(wd.c_str()), 0);  // now only full input works
  EXPECT_EQ(Full("*") + ", " + Full("/y/*"), "false /old *, /y/ *");
}

// Directory, name, separator ("" for '/'), the joined path.
TEST(QkPathJoinTest, InsertsAtMostOneSeparatorAndCollapsesNothing) {
  const char* const kCases[][4] = {{"/a", "b", "", "/a/b"}, {"/a/", "/b", "", "/a//b"},
      {"/a", "/b", "", "/a/b"}, {"", "b", "", "b"}, {"/a", "", "", "/a/"},
      {"c:/x\\", "b", "\\", "c:/x\\/b"}, {"a", "b", "\\", "a\\b"}};
  for (const auto& c : kCases) {
    CQKString out("old");
    EXPECT_STREQ(
        GetFullFilePathnameFromDirectoryAndFilename(c[0], c[1], out, *c[2]), c[3]);
  }
  CQKString path("/dir");  // written over an input
  EXPECT_STREQ(GetFullFilePathnameFromDirectoryAndFilename(path, "f", path, 0), "/dir/f");
}

// Each entry comes right after its directory or that directory's earlier
// contents. Links to directories are followed, other links listed as they
// are.
TEST_F(QkPathTest, ListingHasEachDirectoryJustBeforeItsContents) {
  const std::string odd = "/top/\xFF" + kLatin1;  // not UTF-8 at every level
  const qktest::Entries tree = {{"/real", "d 755"}, {"/real/x", "f 644"},
      {"/top", "d 755"}, {"/top/link", "l " + dir_ / "real"},
      {"/top/dangling", "l nowhere"}, {"/top/" + kLatin1, "f 644"},
      {odd, "d 755"}, {odd + "/d1", "d 755"}, {odd + "/d1/f1", "f 644"},
      {"/top/f", "f 644"}};
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), tree));
  Paths all = {dir_ / "top", dir_ / "top/link/x"};
  for (const auto& [name, entry] : tree) {
    if (name.compare(0, 5, "/top/") == 0) all.push_back(dir_.path() + name);
  }
  const Paths listed = List(dir_ / "top", true, true);
  ASSERT_EQ(Sorted(listed), Sorted(all));
  EXPECT_EQ(listed.front(), dir_ / "top");
  for (size_t i = 1; i < listed.size(); ++i) {
    const std::string parent = listed[i].substr(0, listed[i].rfind('/') + 1);
    EXPECT_EQ((listed[i - 1] + "/").compare(0, parent.size(), parent), 0)
        << listed[i] << " after " << listed[i - 1];
  }
  // One level; a trailing separator is not doubled.
  EXPECT_EQ(Sorted(List(dir_ / "top/", false, false)), Sorted({dir_ / "top/f",
      dir_ / "top/link", dir_ / "top/dangling", dir_ / "top/" + kLatin1,
      dir_.path() + odd}));
  EXPECT_EQ(List(dir_ / "real/x", true, true), Paths{dir_ / "real/x"});
  EXPECT_EQ(List(dir_ / "missing", true, false), Paths{});
  EXPECT_EQ(List(dir_ / "missing", true, true), Paths{dir_ / "missing"});
}

}  // namespace
