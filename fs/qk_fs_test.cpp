#include "fs/qk_fs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/qk_test_support.h"

namespace {

using qktest::Cwd;
using qktest::Tree;
using Names = std::multiset<std::string>;

// Not UTF-8: converting either name would name another file.
const std::string kLatin1 = "caf\xE9";
const std::string kLatin1Dir = "\xFF" "dir";

std::string Str(const CQKString& s) { return s.GetSafeStringPtr(); }

class QkFsTest : public ::testing::Test {
 protected:
  QkFsTest() { umask(022); }
  ~QkFsTest() override { EXPECT_EQ(chdir(cwd_.c_str()), 0); }
  // The path's bytes as they are.
  CQKString Path(const std::string& name) const {
    return CQKString(CQKString::kUTF8, (dir_ / name).c_str(), 0xFFFFFFFF);
  }

  const std::string cwd_ = Cwd();
  qktest::ScratchDir dir_;
};

TEST_F(QkFsTest, AccessFollowsLinksAndFoldsModeLetters) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/f", "f 644"},
      {"/exe", "f 755"}, {"/d", "d 755"}, {"/link", "l d"}, {"/flink", "l f"},
      {"/gone", "l missing"}}));
  const struct { const char* name; char mode; bool access, isFile, isDir; }
      kCases[] = {{"f", 'R', true, true, false}, {"d", 'r', true, false, true},
          {"f", 'X', false, false, false}, {"exe", 'x', true, true, false},
          {"link", 'r', true, false, true}, {"flink", 'r', true, true, false},
          {"gone", 'f', false, false, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.mode);
    EXPECT_EQ(qk_access(Path(c.name), c.mode), c.access);
    EXPECT_EQ(qk_isfile(Path(c.name), c.mode), c.isFile);
    EXPECT_EQ(qk_isdir(Path(c.name), c.mode), c.isDir);
  }
  EXPECT_FALSE(qk_access(CQKString(), 'f') || qk_isfullpath(CQKString()));
}

TEST_F(QkFsTest, MkdirTrimsSlashesAndCreatesOnlyWhatIsMissing) {
  qktest::WriteFile(dir_ / "file", "");
  const struct { const char* path; bool parents, made; int error; } kSteps[] = {
      {"one///", false, true, 0},   {"one", false, false, EEXIST},
      {"one", true, false, EEXIST}, {"a/b", false, false, ENOENT},
      {"a/b/c/", true, true, 0},    {"file/x/y", true, false, ENOTDIR}};
  for (const auto& step : kSteps) {
    errno = 0;
    EXPECT_EQ(qk_mkdir(Path(step.path), step.parents), step.made);
    EXPECT_EQ(step.made ? 0 : errno, step.error) << step.path;
  }
  umask(070);  // 0755 less the umask
  EXPECT_TRUE(qk_mkdir(Path("masked"), false));
  EXPECT_EQ(Tree(dir_.path()), (std::map<std::string, std::string>{
      {"", "d 755"}, {"/a", "d 755"}, {"/a/b", "d 755"}, {"/a/b/c", "d 755"},
      {"/file", "f 644 "}, {"/masked", "d 705"}, {"/one", "d 755"}}));
  // No '/' left to find a parent by.
  EXPECT_FALSE(qk_mkdir(CQKString(), true) || qk_mkdir("///", true));
}

TEST_F(QkFsTest, ScansGiveEveryEntryByteForByte) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/d", "d 755"},
      {"/" + kLatin1Dir, "d 755"}, {"/f", "f 644"}, {"/" + kLatin1, "f 644"},
      {"/dirlink", "l d"}, {"/dangling", "l gone"}}));
  // Scans from a working directory that is not UTF-8 must find it again.
  ASSERT_EQ(chdir((dir_ / kLatin1Dir).c_str()), 0);
  const std::string before = Cwd();
  CQKString name;
  Names plain, extended;
  DIR* stream = qk_startscandir(Path(""), name);
  ASSERT_NE(stream, nullptr);
  do {
    plain.insert(Str(name));
  } while (qk_scandirnext(stream, name));
  EXPECT_EQ(errno, 0);
  EXPECT_TRUE(qk_scandirclose(stream));
  EXPECT_EQ(plain, (Names{".", "..", "d", kLatin1Dir, "f", kLatin1, "dirlink",
                          "dangling"}));

  // The extended scan marks directories with '/', and links it does not
  // follow but that lead to a directory with '@'.
  bool isDir = false;
  qk_scandirExtHandle* scan = qk_startscandirExt(Path(""), name, isDir);
  ASSERT_NE(scan, nullptr);
  do {
    extended.insert(Str(name) + (isDir                               ? "/"
                                 : qk_scandirnamesdirExt(scan, name) ? "@"
                                                                     : ""));
  } while (qk_scandirnextExt(scan, name, isDir));
  EXPECT_EQ(extended, (Names{"./", "../", "d/", kLatin1Dir + "/", "f", kLatin1,
                             "dirlink@", "dangling"}));
  // Scans leave the working directory alone, so a relative path means the
  // caller's, and they may close in any order.
  qk_scandirExtHandle* inner = qk_startscandirExt("../d", name, isDir);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(Cwd(), before);
  EXPECT_TRUE(qk_scandircloseExt(scan));
  EXPECT_TRUE(qk_scandircloseExt(inner));
  EXPECT_EQ(Cwd(), before);
  EXPECT_EQ(qk_startscandir(Path("f"), name), nullptr);
  EXPECT_EQ(qk_startscandirExt(Path("f"), name, isDir), nullptr);
  EXPECT_EQ(Cwd(), before);
}

}  // namespace
