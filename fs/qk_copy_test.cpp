#include "fs/qk_copy.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/qk_test_support.h"

namespace {

using qktest::Cwd;
using qktest::Exists;
using qktest::Pattern;
using qktest::ReadFile;
using qktest::Tree;
using Entries = std::map<std::string, std::string>;

bool Copy(const std::string& from, const std::string& to, bool failIfExists,
          bool* diskFull = nullptr) {
  return qk_copy(from.c_str(), to.c_str(), failIfExists, diskFull);
}

bool CopyDir(const std::string& from, const std::string& to,
             bool recursive = true, bool merge = false) {
  return qk_copy_dir(from.c_str(), to.c_str(), recursive, !merge, nullptr);
}

bool RemoveDir(const std::string& path, bool forceWritable = false) {
  return qk_rmdir_recursive(path.c_str(), forceWritable);
}

// errno after a call that had to fail; -1 when it succeeded.
int Error(bool succeeded) { return succeeded ? -1 : errno; }

// Runs `call` as the unprivileged user: 0 when it answered `expected` and
// left the working directory alone.
int AsNobody(bool expected, const std::function<bool()>& call) {
  const std::string before = Cwd();
  return qktest::RunAsNobody(
      [&] { return call() != expected ? 1 : Cwd() != before ? 2 : 0; });
}

// Only bytes are copied, a link to a file as the file's.
const Entries kSource = {{"", "d 700"}, {"/a.txt", "f 600 alpha"},
    {"/link", "l a.txt"}, {"/sub", "d 755"}, {"/sub/b.txt", "f 644 beta"},
    {"/sub/deeper", "d 700"}};
const Entries kCopied = {{"", "d 755"}, {"/a.txt", "f 644 alpha"},
    {"/link", "f 644 alpha"}, {"/sub", "d 755"}, {"/sub/b.txt", "f 644 beta"},
    {"/sub/deeper", "d 755"}};

// Every test also checks that the tree calls put the working directory back.
class QkCopyTest : public ::testing::Test {
 protected:
  QkCopyTest() { umask(022); }
  ~QkCopyTest() override {
    EXPECT_EQ(Cwd(), cwd_);
    EXPECT_EQ(chdir(cwd_.c_str()), 0);
  }

  const std::string cwd_ = Cwd();
  qktest::ScratchDir dir_;
};

TEST_F(QkCopyTest, CopyFileBytesAndTargetRules) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/empty", "f 644"},
      {"/big", "f 644 " + Pattern(300001)}, {"/old", "f 600 previous"},
      {"/exact", "f 644 " + Pattern(262144)}, {"/short", "f 644 new"},
      {"/link", "l big"}}));
  for (const std::string name : {"empty", "big", "exact", "link"}) {
    ASSERT_TRUE(Copy(dir_ / name, dir_ / name + ".copy", true)) << name;
    EXPECT_EQ(ReadFile(dir_ / name + ".copy"), ReadFile(dir_ / name)) << name;
  }
  EXPECT_EQ(Error(Copy(dir_ / "short", dir_ / "old", true)), EEXIST);
  EXPECT_EQ(ReadFile(dir_ / "old"), "previous");
  ASSERT_TRUE(Copy(dir_ / "short", dir_ / "old", false));
  EXPECT_EQ(Tree(dir_ / "old").at(""), "f 600 new");

  EXPECT_EQ(Error(Copy(dir_ / "missing", dir_ / "m", false)), ENOENT);
  EXPECT_FALSE(Exists(dir_ / "m"));
  // Onto itself, directly or through a link: refused, nothing truncated.
  EXPECT_EQ(Error(Copy(dir_ / "big", dir_ / "big", false)), EINVAL);
  EXPECT_FALSE(Copy(dir_ / "big", dir_ / "link", false));
  EXPECT_EQ(ReadFile(dir_ / "big"), Pattern(300001));
}

TEST_F(QkCopyTest, CopyTellsAFullDeviceFromOtherWriteFailures) {
  qktest::Tmpfs small(dir_ / "fs", "256k");  // open to every user
  qktest::WriteFile(dir_ / "src", Pattern(1 << 20));
  // A file-size limit fails the write with EFBIG: not a full device.
  EXPECT_EQ(qktest::RunAsNobody([&] {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {65536, 65536};
    bool full = true;
    return setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
           !Copy(dir_ / "src", dir_ / "fs/limited", false, &full) &&
           errno == EFBIG && !full ? 0 : 1;
  }), 0);
  bool diskFull = false;
  EXPECT_EQ(Error(Copy(dir_ / "src", dir_ / "fs/x", false, &diskFull)), ENOSPC);
  EXPECT_TRUE(diskFull);
}

TEST_F(QkCopyTest, CopyFileLargerThanFourGiB) {
  // Sparse: the holes read as zeros. Marks sit at the seams.
  const off_t kGiB = off_t(1) << 30, kSize = 4 * kGiB + 8;
  const off_t kMarks[] = {0, 131070, 2 * kGiB - 2, 4 * kGiB - 2, kSize - 4};
  const int out = open((dir_ / "huge").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(ftruncate(out, kSize), 0);
  for (off_t mark : kMarks) ASSERT_EQ(pwrite(out, "mark", 4, mark), 4);
  close(out);

  ASSERT_TRUE(Copy(dir_ / "huge", dir_ / "huge.copy", true));
  const int copy = open((dir_ / "huge.copy").c_str(), O_RDONLY);
  for (off_t mark : kMarks) {
    char bytes[5] = {};
    EXPECT_EQ(pread(copy, bytes, 4, mark), 4);
    EXPECT_STREQ(bytes, "mark") << mark;
  }
  close(copy);
}

TEST_F(QkCopyTest, CopyDirReproducesTheTreeAndKeepsToTargetRules) {
  ASSERT_TRUE(qktest::MakeTree(dir_ / "src", kSource));
  ASSERT_TRUE(qktest::MakeTree(dir_ / "existing", {{"", "d 755"},
      {"/a.txt", "f 644 old"}, {"/kept", "f 644 kept"}}));
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "dst"));
  EXPECT_EQ(Tree(dir_ / "dst"), kCopied);
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "flat/", false));
  EXPECT_EQ(Tree(dir_ / "flat"), (Entries{{"", "d 755"},
      {"/a.txt", "f 644 alpha"}, {"/link", "f 644 alpha"}}));

  // An existing target is refused untouched, or merged into.
  const Entries existing = Tree(dir_ / "existing");
  EXPECT_EQ(Error(CopyDir(dir_ / "src", dir_ / "existing")), EEXIST);
  EXPECT_EQ(Tree(dir_ / "existing"), existing);
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "existing", true, true));
  Entries merged = kCopied;
  merged["/kept"] = "f 644 kept";
  EXPECT_EQ(Tree(dir_ / "existing"), merged);
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "no/parent"));
  EXPECT_FALSE(CopyDir(dir_ / "missing", dir_ / "made") ||
               CopyDir("", dir_ / "x") || CopyDir(dir_ / "src", ""));

  // Relative paths mean the caller's working directory, not the walk's; an
  // empty one is nothing (should that break, only scratch is lost).
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_TRUE(CopyDir("src/", "rel") && RemoveDir("dst"));
  EXPECT_FALSE(RemoveDir(""));
  EXPECT_EQ(Cwd(), dir_.path());
  ASSERT_EQ(chdir(cwd_.c_str()), 0);
  EXPECT_EQ(Tree(dir_ / "rel"), kCopied);
}

TEST_F(QkCopyTest, LinksAreNeverFollowedIntoDirectories) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/outside", "d 755"},
      {"/outside/keep", "f 644 keep"}, {"/src", "d 755"}, {"/src/sub", "d 755"},
      {"/src/sub/dirlink", "l ../../outside"}, {"/dangling", "d 755"},
      {"/dangling/link", "l nowhere"}, {"/toplink", "l outside"}}));
  EXPECT_EQ(Error(CopyDir(dir_ / "src", dir_ / "dst")), EISDIR);
  EXPECT_EQ(Error(CopyDir(dir_ / "dangling", dir_ / "dst2")), ENOENT);

  // Removal takes the links themselves, never what they name, not even to
  // make it writable; a link given as the tree goes as a link.
  ASSERT_EQ(chmod((dir_ / "outside").c_str(), 0555), 0);
  EXPECT_TRUE(RemoveDir(dir_ / "src/", true) && RemoveDir(dir_ / "dangling") &&
              RemoveDir(dir_ / "toplink", true));
  EXPECT_FALSE(Exists(dir_ / "src") || Exists(dir_ / "dangling") ||
               Exists(dir_ / "toplink"));
  EXPECT_EQ(Tree(dir_ / "outside"),
            (Entries{{"", "d 555"}, {"/keep", "f 644 keep"}}));
}

TEST_F(QkCopyTest, CopyAndRemoveTwentyThousandFiles) {
  Entries many = {{"", "d 755"}};
  for (int n = 0; n < 20000; ++n) {
    const std::string sub = "/d" + std::to_string(n / 500);
    many[sub] = "d 755";
    many[sub + "/f" + std::to_string(n % 500)] = "f 644 " + std::to_string(n);
  }
  ASSERT_TRUE(qktest::MakeTree(dir_ / "many", many));
  ASSERT_TRUE(CopyDir(dir_ / "many", dir_ / "copy"));
  EXPECT_EQ(Tree(dir_ / "copy"), many);
  EXPECT_TRUE(RemoveDir(dir_ / "copy") && RemoveDir(dir_ / "many"));
}

TEST_F(QkCopyTest, PermissionsForAnUnprivilegedProcess) {
  // t/ro and t/a/ro are read-only directories; src/locked cannot be read.
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/t", "d 755"},
      {"/t/ro", "d 555"}, {"/t/ro/f", "f 644 1"}, {"/t/a", "d 755"},
      {"/t/a/ro", "d 555"}, {"/t/a/ro/g", "f 644 2"}, {"/src", "d 755"},
      {"/src/file", "f 644 file"}, {"/src/locked", "d 0"}}));
  qktest::ChownTree(dir_.path(), qktest::kNobody);
  const std::string src = dir_ / "src", t = dir_ / "t";
  EXPECT_EQ(AsNobody(false, [&] { return CopyDir(src, dir_ / "dst"); }), 0);
  EXPECT_EQ(AsNobody(false, [&] { return RemoveDir(t); }), 0);
  EXPECT_EQ(AsNobody(true, [&] { return RemoveDir(t, true); }), 0);
  // Write permission alone does not make a directory readable.
  EXPECT_EQ(AsNobody(false, [&] { return RemoveDir(src, true); }), 0);
}

}  // namespace
