#include "fs/qk_fs.h"

#include <set>
#include <string>

#include "tests/support/qk_test_support.h"

namespace {

using Names = std::multiset<std::string>;
using qktest::Bytes;
using qktest::Str;
using QkFsTest = qktest::ScratchTest;

// Not UTF-8: converting either name would name another file.
const std::string kLatin1 = "caf\xE9", kLatin1Dir = "\xFF" "dir";

TEST_F(QkFsTest, MkdirTrimsSlashesAndCreatesOnlyWhatIsMissing) {
  qktest::WriteFile(dir_ / "file", "");
  const struct { const char* path; bool parents; int error; } kSteps[] = {
      {"one///", false, 0},     {"one", false, EEXIST}, {"one", true, EEXIST},
      {"a/b", false, ENOENT},   {"a/b/c/", true, 0},    {"file/x/y", true, ENOTDIR}};
  for (const auto& step : kSteps) {
    errno = 0;
    const bool made = qk_mkdir(Bytes(dir_ / step.path), step.parents);
    EXPECT_EQ(made ? 0 : errno, step.error) << step.path;
  }
  umask(070);  // 0755 less the umask
  EXPECT_TRUE(qk_mkdir(Bytes(dir_ / "masked"), false));
  EXPECT_EQ(qktest::Tree(dir_.path()), (qktest::Entries{
      {"", "d 755"}, {"/a", "d 755"}, {"/a/b", "d 755"}, {"/a/b/c", "d 755"},
      {"/file", "f 644 "}, {"/masked", "d 705"}, {"/one", "d 755"}}));
  EXPECT_FALSE(qk_mkdir(CQKString(), true) || qk_mkdir("///", true));
}

// Every entry byte for byte. The extended scan marks directories with '/',
// and links it does not follow but that lead to a directory with '@'.
// Relative paths mean the caller's working directory, never moved.
TEST_F(QkFsTest, ScansGiveEveryEntryByteForByte) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/d", "d 755"},
      {"/" + kLatin1Dir, "d 755"}, {"/f", "f 644"}, {"/" + kLatin1, "f 644"},
      {"/dirlink", "l d"}, {"/dangling", "l gone"}}));
  ASSERT_EQ(chdir((dir_ / kLatin1Dir).c_str()), 0);
  CQKString name;
  Names plain, extended;
  DIR* stream = qk_startscandir("..", name);
  ASSERT_NE(stream, nullptr);
  do {
    plain.insert(Str(name));
  } while (qk_scandirnext(stream, name));
  EXPECT_EQ(errno, 0);
  EXPECT_TRUE(qk_scandirclose(stream));
  EXPECT_EQ(plain, (Names{".", "..", "d", kLatin1Dir, "f", kLatin1, "dirlink",
                          "dangling"}));
  bool isDir = false;
  qk_scandirExtHandle* inner = qk_startscandirExt("../d", name, isDir);
  qk_scandirExtHandle* scan = qk_startscandirExt("..", name, isDir);
  ASSERT_TRUE(inner != nullptr && scan != nullptr);
  EXPECT_TRUE(qk_scandircloseExt(inner));  // scans close in any order
  do {
    extended.insert(Str(name) + (isDir                               ? "/"
                                 : qk_scandirnamesdirExt(scan, name) ? "@"
                                                                     : ""));
  } while (qk_scandirnextExt(scan, name, isDir));
  EXPECT_TRUE(qk_scandircloseExt(scan));
  EXPECT_EQ(extended, (Names{"./", "../", "d/", kLatin1Dir + "/", "f", kLatin1,
                             "dirlink@", "dangling"}));
  EXPECT_EQ(std::filesystem::current_path().string(), dir_ / kLatin1Dir);
  EXPECT_EQ(qk_startscandir(Bytes(dir_ / "f"), name), nullptr);
  EXPECT_EQ(qk_startscandirExt(Bytes(dir_ / "f"), name, isDir), nullptr);
}

}  // namespace
