#include "fs/qk_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/qk_test_support.h"

namespace {

using Paths = std::vector<std::string>;

// Not UTF-8: converting it would name another file.
const std::string kLatin1 = "caf\xE9";

std::string Str(const CQKString& s) { return s.GetSafeStringPtr(); }

// The bytes as they are.
CQKString Bytes(const std::string& s) {
  return CQKString(CQKString::kUTF8, s.c_str(), s.size());
}

Paths Sorted(Paths paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// What the listing of `path` appends, in order; "false" first on failure.
Paths List(const std::string& path, bool recurse, bool includeDirectory) {
  CQKStringList list;
  Paths paths;
  if (!GetFileAndDirectoryListFromPath(Bytes(path), list, recurse,
                                       includeDirectory)) {
    paths.push_back("false");
  }
  for (unsigned int i = 1; i <= list.GetCount(); ++i) {
    paths.push_back(Str(*list.GetStringAt(i)));
  }
  return paths;
}

// `input` made full, with " *" added when it asked for a directory's contents.
std::string Full(const std::string& input) {
  CQKString out;
  bool namesOneEntry = false;
  if (!GetFullPathFromAnyPathInput(Bytes(input), out, &namesOneEntry)) {
    return "false";
  }
  return Str(out) + (namesOneEntry ? "" : " *");
}

class QkPathTest : public ::testing::Test {
 protected:
  QkPathTest() { umask(022); }
  ~QkPathTest() override { EXPECT_EQ(chdir(cwd_.c_str()), 0); }

  const std::string cwd_ = qktest::Cwd();
  qktest::ScratchDir dir_;
};

TEST_F(QkPathTest, FullPathsKeepTheInputAsWrittenLessTheWildcard) {
  const std::string cwd = dir_ / kLatin1;
  ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  // '+' stands for the working directory.
  const struct {
    std::string input, expected;
  } kCases[] = {
      {"/a/../b//c", "/a/../b//c"}, {"/a/b/*", "/a/b/ *"}, {"/a/b\\*", "/a/b\\ *"},
      {"/*", "/ *"},    {"/a/b*", "/a/b*"},     {"/a/b/**", "/a/b/**"},
      {".", "+"},       {"*", "+ *"},           {"", "+/"},
      {"name", "+/name"}, {"..", "+/.."},       {"~/x", "+/~/x"},
      {"sub/*", "+/sub/ *"}, {"\xE9t\xE9", "+/\xE9t\xE9"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(Full(c.input), c.expected[0] == '+'
                                 ? cwd + c.expected.substr(1)
                                 : c.expected) << c.input;
  }
  CQKString out;
  EXPECT_TRUE(GetFullPathFromAnyPathInput("/x/*", out, nullptr));
  EXPECT_EQ(Str(out), "/x/");
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(Full(""), "/");
  EXPECT_EQ(Full("etc"), "/etc");

  // A working directory that is gone fails relative input only.
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  ASSERT_EQ(rmdir(cwd.c_str()), 0);
  bool flag = true;
  EXPECT_FALSE(GetFullPathFromAnyPathInput("x", out, &flag));
  EXPECT_FALSE(GetFullPathFromAnyPathInput("*", out, &flag));
  EXPECT_EQ(Str(out), "/x/");
  EXPECT_TRUE(flag);
  EXPECT_EQ(Full("/y/*"), "/y/ *");
}

TEST(QkPathJoinTest, InsertsAtMostOneSeparatorAndCollapsesNothing) {
  const struct {
    const char *directory, *name, *expected;
    char separator;
  } kCases[] = {{"/a", "b", "/a/b", 0},   {"/a/", "b", "/a/b", 0},
                {"/a", "/b", "/a/b", 0},  {"/a/", "/b", "/a//b", 0},
                {"", "b", "b", 0},        {"/a", "", "/a/", 0},
                {"a", "b", "a\\b", '\\'}, {"c:/x\\", "b", "c:/x\\/b", '\\'}};
  for (const auto& c : kCases) {
    CQKString out("old");
    EXPECT_EQ(GetFullFilePathnameFromDirectoryAndFilename(c.directory, c.name,
                                                          out, c.separator),
              std::string(c.expected));
    EXPECT_EQ(Str(out), c.expected);
  }
  CQKString path("/dir");  // written over an input
  GetFullFilePathnameFromDirectoryAndFilename(path, "f", path, 0);
  EXPECT_EQ(Str(path), "/dir/f");
}

TEST_F(QkPathTest, ListingHasEachDirectoryBeforeItsContents) {
  // Every directory holds two files and, above the last level, two
  // sub-directories; one name of each pair is not UTF-8. Links to
  // directories are followed; other links are listed as they are.
  std::map<std::string, std::string> tree = {
      {"/real", "d 755"}, {"/real/x", "f 644"}, {"/empty", "d 755"},
      {"/top", "d 755"}, {"/top/link", "l " + dir_ / "real"},
      {"/top/dangling", "l nowhere"}, {"/top/filelink", "l ../real/x"}};
  Paths expected = {dir_ / "top/link", dir_ / "top/link/x",
                    dir_ / "top/dangling", dir_ / "top/filelink"};
  std::function<void(const std::string&, int)> build =
      [&](const std::string& dir, int depth) {
        for (const std::string& name : {std::string("f1"), kLatin1}) {
          tree[dir + "/" + name] = "f 644";
          expected.push_back(dir_.path() + dir + "/" + name);
        }
        if (depth == 0) return;
        for (const std::string& sub : {std::string("d1"), "\xFF" + kLatin1}) {
          tree[dir + "/" + sub] = "d 755";
          expected.push_back(dir_.path() + dir + "/" + sub);
          build(dir + "/" + sub, depth - 1);
        }
      };
  build("/top", 3);
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), tree));

  // The directory itself first when asked for.
  const Paths listed = List(dir_ / "top", true, true);
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(listed.front(), dir_ / "top");
  EXPECT_EQ(Sorted(Paths(listed.begin() + 1, listed.end())),
            Sorted(expected));  // each entry exactly once
  Paths seen = {dir_.path()};
  for (const std::string& path : listed) {
    EXPECT_TRUE(std::count(seen.begin(), seen.end(),
                           path.substr(0, path.rfind('/'))))
        << path << " comes before its directory";
    seen.push_back(path);
  }

  // One level; a trailing separator is not doubled.
  const std::string top = dir_ / "top/";
  Paths firstLevel = {top};
  for (const std::string& path : expected) {
    if (path.find('/', top.size()) == std::string::npos) firstLevel.push_back(path);
  }
  EXPECT_EQ(Sorted(List(top, false, true)), Sorted(firstLevel));
  EXPECT_EQ(List(dir_ / "real/x", true, true), Paths{dir_ / "real/x"});
  for (const char* name : {"empty", "missing"}) {
    EXPECT_EQ(List(dir_ / name, true, false), Paths{});
    EXPECT_EQ(List(dir_ / name, true, true), Paths{dir_ / name});
  }
}

TEST_F(QkPathTest, UnreadableEntriesAreListedButNotEntered) {
  // The locked directory got its file while root could still write there.
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/top", "d 755"},
      {"/top/locked", "d 0"}, {"/top/locked/hidden", "f 644"},
      {"/top/secret", "f 0"}, {"/top/open", "d 755"},
      {"/top/open/z", "f 644"}, {"/closed", "d 0"}}));
  const Paths top = {dir_ / "top/locked", dir_ / "top/open",
                     dir_ / "top/open/z", dir_ / "top/secret"};
  EXPECT_EQ(qktest::RunAsNobody([&] {
    if (Sorted(List(dir_ / "top", true, false)) != top) return 1;
    if (List(dir_ / "closed", true, true) != Paths{dir_ / "closed"}) return 2;
    return List(dir_ / "closed", true, false).empty() ? 0 : 3;
  }), 0);
}

}  // namespace
