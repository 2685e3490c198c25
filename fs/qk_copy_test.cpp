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

bool Copy(const std::string& source, const std::string& target,
          bool failIfExists, bool* diskFull = nullptr) {
  return qk_copy(source.c_str(), target.c_str(), failIfExists, diskFull);
}

bool CopyDir(const std::string& source, const std::string& target,
             bool recursive = true, bool failIfExists = true) {
  return qk_copy_dir(source.c_str(), target.c_str(), recursive, failIfExists,
                     nullptr);
}

bool RemoveDir(const std::string& path, bool forceWritable = false) {
  return qk_rmdir_recursive(path.c_str(), forceWritable);
}

// Runs `call` as the unprivileged user: 0 when it answered `expected` and
// left the working directory alone.
int AsNobody(bool expected, const std::function<bool()>& call) {
  const std::string before = Cwd();
  return qktest::RunAsNobody(
      [&] { return call() != expected ? 1 : Cwd() != before ? 2 : 0; });
}

// Files over the 128 KiB transfer size, empty and nested directories, and a
// link to a file, which is copied as the file's bytes.
const Entries kSource = {
    {"", "d 700"},            {"/a.txt", "f 600 alpha"},
    {"/big.bin", "f 644 " + Pattern(300001)},
    {"/empty", "d 700"},      {"/link", "l a.txt"},
    {"/sub", "d 755"},        {"/sub/b.txt", "f 644 beta"},
    {"/sub/deeper", "d 755"}, {"/sub/deeper/c.txt", "f 644 "}};
const Entries kCopied = {
    {"", "d 755"},            {"/a.txt", "f 644 alpha"},
    {"/big.bin", "f 644 " + Pattern(300001)},
    {"/empty", "d 755"},      {"/link", "f 644 alpha"},
    {"/sub", "d 755"},        {"/sub/b.txt", "f 644 beta"},
    {"/sub/deeper", "d 755"}, {"/sub/deeper/c.txt", "f 644 "}};

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
      {"/big", "f 644 " + Pattern(300001)}, {"/exact", "f 644 " + Pattern(262144)},
      {"/old", "f 600 previous"}, {"/short", "f 644 new"}, {"/link", "l big"}}));
  for (const std::string name : {"empty", "big", "exact", "link"}) {
    ASSERT_TRUE(Copy(dir_ / name, dir_ / name + ".copy", true)) << name;
    EXPECT_EQ(Tree(dir_ / name + ".copy").at(""), "f 644 " + ReadFile(dir_ / name));
  }
  EXPECT_FALSE(Copy(dir_ / "short", dir_ / "old", true));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(dir_ / "old"), "previous");
  ASSERT_TRUE(Copy(dir_ / "short", dir_ / "old", false));
  EXPECT_EQ(Tree(dir_ / "old").at(""), "f 600 new");

  bool diskFull = true;  // written only after a failed write
  EXPECT_FALSE(Copy(dir_ / "missing", dir_ / "m", false, &diskFull));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(diskFull);
  EXPECT_FALSE(Exists(dir_ / "m"));
  // Onto itself, directly or through a link: refused, nothing truncated.
  EXPECT_FALSE(Copy(dir_ / "big", dir_ / "big", false));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(Copy(dir_ / "big", dir_ / "link", false));
  EXPECT_EQ(ReadFile(dir_ / "big"), Pattern(300001));
}

TEST_F(QkCopyTest, CopyTellsAFullDeviceFromOtherWriteFailures) {
  qktest::Tmpfs small(dir_ / "small", "256k");  // open to every user
  ASSERT_TRUE(small.mounted());
  qktest::WriteFile(dir_ / "source", Pattern(1 << 20));
  // A file-size limit fails the write with EFBIG: not a full device.
  EXPECT_EQ(qktest::RunAsNobody([&] {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {65536, 65536};
    bool full = true;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        Copy(dir_ / "source", dir_ / "small/limited", false, &full)) {
      return 1;
    }
    return errno == EFBIG && !full ? 0 : 2;
  }), 0);

  bool diskFull = false;
  EXPECT_FALSE(Copy(dir_ / "source", dir_ / "small/copy", false, &diskFull));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_TRUE(diskFull);
}

TEST_F(QkCopyTest, CopyFileLargerThanFourGiB) {
  // Sparse: the holes read as zeros. Marks sit at the seams.
  const off_t kSize = (off_t(1) << 32) + 8;
  const off_t kMarks[] = {0, 131072 - 2, (off_t(1) << 31) - 2,
                          (off_t(1) << 32) - 2, kSize - 4};
  const int out = open((dir_ / "huge").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(out, 0);
  ASSERT_EQ(ftruncate(out, kSize), 0);
  for (off_t mark : kMarks) ASSERT_EQ(pwrite(out, "mark", 4, mark), 4);
  close(out);

  ASSERT_TRUE(Copy(dir_ / "huge", dir_ / "huge.copy", true));
  const int copy = open((dir_ / "huge.copy").c_str(), O_RDONLY);
  struct stat st;
  ASSERT_EQ(fstat(copy, &st), 0);
  EXPECT_EQ(st.st_size, kSize);
  for (off_t mark : kMarks) {
    char bytes[4] = {};
    EXPECT_EQ(pread(copy, bytes, 4, mark), 4);
    EXPECT_EQ(std::string(bytes, 4), "mark") << mark;
  }
  close(copy);
}

TEST_F(QkCopyTest, CopyDirReproducesTheTreeAndKeepsToTargetRules) {
  ASSERT_TRUE(qktest::MakeTree(dir_ / "src", kSource));
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/existing", "d 755"},
      {"/existing/a.txt", "f 644 old"}, {"/existing/kept", "f 644 kept"},
      {"/plain", "f 644 plain"}}));
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "dst"));
  EXPECT_EQ(Tree(dir_ / "dst"), kCopied);
  EXPECT_EQ(Tree(dir_ / "src"), kSource);
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "flat/", false));
  EXPECT_EQ(Tree(dir_ / "flat"), (Entries{{"", "d 755"}, {"/a.txt", "f 644 alpha"},
                                          {"/big.bin", kCopied.at("/big.bin")},
                                          {"/link", "f 644 alpha"}}));

  // An existing target is refused untouched, or merged into.
  const Entries existing = Tree(dir_ / "existing");
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "existing"));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Tree(dir_ / "existing"), existing);
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "existing", true, false));
  Entries merged = kCopied;
  merged["/kept"] = "f 644 kept";
  EXPECT_EQ(Tree(dir_ / "existing"), merged);
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "plain", true, false));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "no/parent"));
  EXPECT_FALSE(Exists(dir_ / "no"));
  EXPECT_FALSE(CopyDir(dir_ / "missing", dir_ / "made"));
  EXPECT_EQ(Tree(dir_ / "made"), (Entries{{"", "d 755"}}));
  EXPECT_FALSE(CopyDir("", dir_ / "x"));
  EXPECT_FALSE(CopyDir(dir_ / "src", ""));

  // Relative paths mean the caller's working directory, not the walk's.
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_TRUE(CopyDir("src/", "rel"));
  EXPECT_TRUE(RemoveDir("dst"));
  EXPECT_EQ(Cwd(), dir_.path());
  ASSERT_EQ(chdir(cwd_.c_str()), 0);
  EXPECT_EQ(Tree(dir_ / "rel"), kCopied);
  EXPECT_FALSE(Exists(dir_ / "dst"));
}

TEST_F(QkCopyTest, LinksAreNeverFollowedIntoDirectories) {
  const Entries outside = {{"", "d 755"}, {"/keep", "f 644 keep"},
                           {"/inner", "d 755"}, {"/inner/keep2", "f 644 keep2"}};
  ASSERT_TRUE(qktest::MakeTree(dir_ / "outside", outside));
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/src", "d 755"},
      {"/src/dirlink", "l " + dir_ / "outside"}, {"/dangling", "d 755"},
      {"/dangling/link", "l nowhere"}}));
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "dst"));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(Exists(dir_ / "dst/dirlink/keep"));
  EXPECT_FALSE(CopyDir(dir_ / "dangling", dir_ / "dst2"));
  EXPECT_EQ(errno, ENOENT);

  // Removal takes links and a fifo themselves, never what links name.
  ASSERT_TRUE(qktest::MakeTree(dir_ / "src", {{"/sub", "d 755"},
      {"/sub/dirlink", "l ../../outside"},
      {"/filelink", "l " + dir_ / "outside/keep"}}));
  ASSERT_EQ(mkfifo((dir_ / "src/fifo").c_str(), 0644), 0);
  EXPECT_TRUE(RemoveDir(dir_ / "src/"));
  EXPECT_TRUE(RemoveDir(dir_ / "dangling"));
  EXPECT_FALSE(Exists(dir_ / "src") || Exists(dir_ / "dangling"));
  EXPECT_EQ(Tree(dir_ / "outside"), outside);
  // Never the working directory; should that break, only scratch is lost.
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_FALSE(RemoveDir(""));
  EXPECT_EQ(chdir(cwd_.c_str()), 0);
}

TEST_F(QkCopyTest, CopyAndRemoveTwentyThousandFiles) {
  Entries many = {{"", "d 755"}};
  for (int d = 0; d < 40; ++d) {
    const std::string sub = "/d" + std::to_string(d);
    many[sub] = "d 755";
    for (int f = 0; f < 500; ++f) {
      many[sub + "/f" + std::to_string(f)] = "f 644 " + sub + std::to_string(f);
    }
  }
  ASSERT_TRUE(qktest::MakeTree(dir_ / "many", many));
  ASSERT_TRUE(CopyDir(dir_ / "many", dir_ / "copy"));
  EXPECT_EQ(Tree(dir_ / "copy"), many);
  EXPECT_TRUE(RemoveDir(dir_ / "copy"));
  EXPECT_TRUE(RemoveDir(dir_ / "many"));
  EXPECT_EQ(Tree(dir_.path()), (Entries{{"", "d 755"}}));
}

TEST_F(QkCopyTest, PermissionsForAnUnprivilegedProcess) {
  // t/ro and t/a/ro2 are read-only directories; src/locked cannot be read.
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/t", "d 755"},
      {"/t/top", "f 644 top"}, {"/t/ro", "d 555"}, {"/t/ro/f1", "f 644 1"},
      {"/t/ro/f2", "f 644 2"}, {"/t/a", "d 755"}, {"/t/a/ro2", "d 555"},
      {"/t/a/ro2/g", "f 644 g"}, {"/src", "d 755"}, {"/src/file", "f 644 file"},
      {"/src/locked", "d 0"}}));
  qktest::ChownTree(dir_.path(), qktest::kNobody);
  const std::string src = dir_ / "src", t = dir_ / "t";
  EXPECT_EQ(AsNobody(false, [&] { return CopyDir(src, dir_ / "dst"); }), 0);
  EXPECT_EQ(AsNobody(false, [&] { return RemoveDir(t); }), 0);
  EXPECT_EQ(ReadFile(dir_ / "t/ro/f1") + ReadFile(dir_ / "t/ro/f2"), "12");
  EXPECT_EQ(AsNobody(true, [&] { return RemoveDir(t, true); }), 0);
  EXPECT_FALSE(Exists(t));
  // Write permission alone does not make a directory readable.
  EXPECT_EQ(AsNobody(false, [&] { return RemoveDir(src, true); }), 0);
  EXPECT_TRUE(Exists(dir_ / "src/locked"));
}

}  // namespace
