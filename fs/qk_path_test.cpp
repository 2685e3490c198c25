#include "fs/qk_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
Paths List(const std::string& path, bool recurse, bool itself) {
  CQKStringList list;
  bool ok = GetFileAndDirectoryListFromPath(Bytes(path), list, recurse, itself);
  Paths paths(ok ? 0 : 1, "false");
  for (unsigned int i = 1; i <= list.GetCount(); ++i) {
    paths.push_back(Str(*list.GetStringAt(i)));
  }
  return paths;
}

// `input` made full, with " *" added when it asked for a directory's contents.
std::string Full(const std::string& input) {
  CQKString out;
  bool one = false;
  if (!GetFullPathFromAnyPathInput(Bytes(input), out, &one)) return "false";
  return Str(out) + (one ? "" : " *");
}

class QkPathTest : public ::testing::Test {
 protected:
  ~QkPathTest() override { EXPECT_EQ(chdir(cwd_.c_str()), 0); }

  const std::string cwd_ = qktest::Cwd();
  qktest::ScratchDir dir_;
};

TEST_F(QkPathTest, FullPathsKeepTheInputAsWrittenLessTheWildcard) {
  const std::string wd = dir_ / kLatin1;
  ASSERT_EQ(mkdir(wd.c_str(), 0755), 0);
  ASSERT_EQ(chdir(wd.c_str()), 0);
  // '+' stands for the working directory.
  const std::pair<std::string, std::string> kCases[] = {
      {"/a/../b//c", "/a/../b//c"}, {"/a/b/*", "/a/b/ *"}, {"/*", "/ *"},
      {"/a/b\\*", "/a/b\\ *"}, {"/a/b*", "/a/b*"}, {"/a/b/**", "/a/b/**"},
      {".", "+"}, {"*", "+ *"}, {"", "+/"}, {"name", "+/name"}, {"..", "+/.."},
      {"~/x", "+/~/x"}, {"sub/*", "+/sub/ *"}, {"\xE9t\xE9", "+/\xE9t\xE9"}};
  for (const auto& [in, want] : kCases) {
    EXPECT_EQ(Full(in), want[0] == '+' ? wd + want.substr(1) : want) << in;
  }
  CQKString out;
  EXPECT_TRUE(GetFullPathFromAnyPathInput("/x/*", out, nullptr));
  EXPECT_EQ(Str(out), "/x/");

  // With the working directory gone only full input works; answers are kept.
  ASSERT_EQ(rmdir(wd.c_str()), 0);
  bool one = true;
  EXPECT_FALSE(GetFullPathFromAnyPathInput("*", out, &one));
  EXPECT_EQ(Str(out) + (one ? "" : " *"), "/x/");
  EXPECT_EQ(Full("/y/*"), "/y/ *");
}

TEST(QkPathJoinTest, InsertsAtMostOneSeparatorAndCollapsesNothing) {
  const struct { const char *dir, *name, *want; char sep; } kCases[] = {
      {"/a", "b", "/a/b", 0},   {"/a/", "b", "/a/b", 0},
      {"/a", "/b", "/a/b", 0},  {"/a/", "/b", "/a//b", 0},
      {"", "b", "b", 0},        {"/a", "", "/a/", 0},
      {"a", "b", "a\\b", '\\'}, {"c:/x\\", "b", "c:/x\\/b", '\\'}};
  for (const auto& c : kCases) {
    CQKString out("old");
    EXPECT_STREQ(GetFullFilePathnameFromDirectoryAndFilename(c.dir, c.name, out,
                                                             c.sep), c.want);
    EXPECT_EQ(Str(out), c.want);
  }
  CQKString path("/dir");  // written over an input
  GetFullFilePathnameFromDirectoryAndFilename(path, "f", path, 0);
  EXPECT_EQ(Str(path), "/dir/f");
}

TEST_F(QkPathTest, ListingHasEachDirectoryJustBeforeItsContents) {
  // Names that are not UTF-8 at every level. Links to directories are
  // followed; other links are listed as they are.
  const std::string odd = "/top/\xFF" + kLatin1;
  const std::map<std::string, std::string> tree = {{"/real", "d 755"},
      {"/real/x", "f 644"}, {"/empty", "d 755"}, {"/top", "d 755"},
      {"/top/link", "l " + dir_ / "real"}, {"/top/dangling", "l nowhere"},
      {"/top/filelink", "l ../real/x"}, {"/top/f1", "f 644"},
      {"/top/" + kLatin1, "f 644"}, {odd, "d 755"}, {odd + "/d1", "d 755"},
      {odd + "/" + kLatin1, "f 644"}, {odd + "/d1/" + kLatin1, "f 644"},
      {odd + "/d1/f1", "f 644"}};
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), tree));
  Paths all = {dir_ / "top", dir_ / "top/link/x"}, oneLevel = {dir_ / "top/"};
  for (const auto& [name, entry] : tree) {
    if (name.compare(0, 5, "/top/") != 0) continue;
    all.push_back(dir_.path() + name);
    if (name.find('/', 5) == std::string::npos) oneLevel.push_back(all.back());
  }

  // Every entry once and the directory itself first, when asked for; each
  // entry right after its directory or that directory's earlier contents.
  const Paths listed = List(dir_ / "top", true, true);
  ASSERT_EQ(Sorted(listed), Sorted(all));
  EXPECT_EQ(listed.front(), dir_ / "top");
  for (size_t i = 1; i < listed.size(); ++i) {
    const std::string parent = listed[i].substr(0, listed[i].rfind('/') + 1);
    EXPECT_EQ((listed[i - 1] + "/").compare(0, parent.size(), parent), 0)
        << listed[i] << " after " << listed[i - 1];
  }

  // One level; a trailing separator is not doubled.
  EXPECT_EQ(Sorted(List(dir_ / "top/", false, true)), Sorted(oneLevel));
  EXPECT_EQ(List(dir_ / "real/x", true, true), Paths{dir_ / "real/x"});
  for (const char* name : {"empty", "missing"}) {
    EXPECT_EQ(List(dir_ / name, true, false), Paths{});
    EXPECT_EQ(List(dir_ / name, true, true), Paths{dir_ / name});
  }
}

TEST_F(QkPathTest, UnreadableEntriesAreListedButNotEntered) {
  // The locked directory got its file while root could still write there.
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/top", "d 755"},
      {"/top/locked", "d 0"}, {"/top/locked/x", "f 644"}, {"/closed", "d 0"},
      {"/top/secret", "f 0"}, {"/top/ok", "d 755"}, {"/top/ok/z", "f 644"}}));
  const Paths top = {dir_ / "top/locked", dir_ / "top/ok",
                     dir_ / "top/ok/z", dir_ / "top/secret"};
  EXPECT_EQ(qktest::RunAsNobody([&] {
    if (Sorted(List(dir_ / "top", true, false)) != top) return 1;
    return List(dir_ / "closed", true, true) == Paths{dir_ / "closed"} ? 0 : 2;
  }), 0);
}

}  // namespace
