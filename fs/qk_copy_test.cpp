#include "fs/qk_copy.h"

#include <sys/sysmacros.h>

#include "tests/support/qk_test_support.h"

namespace {

using qktest::Entries;
using qktest::Pattern;
using qktest::ReadFile;
using qktest::Tree;
using QkCopyTest = qktest::ScratchTest;

// errno after a call that had to fail; -1 when it succeeded.
int Error(bool succeeded) { return succeeded ? -1 : errno; }

int Copy(const std::string& from, const std::string& to, bool failIfExists,
         bool* diskFull = nullptr) {
  return Error(qk_copy(from.c_str(), to.c_str(), failIfExists, diskFull));
}

// errno as Copy does; the path at fault goes to *blamed.
int CopyDir(const std::string& from, const std::string& to,
            bool recursive = true, bool merge = false,
            std::string* blamed = nullptr) {
  CQKString failed;
  const bool ok = qk_copy_dir(from.c_str(), to.c_str(), recursive, !merge,
                              nullptr, &failed);
  if (blamed != nullptr) *blamed = failed.GetSafeStringPtr();
  return Error(ok);
}

bool RemoveDir(const std::string& path, bool forceWritable = false) {
  return qk_rmdir_recursive(path.c_str(), forceWritable);
}

// Onto itself, directly or through a link: refused, nothing truncated. FIFOs
// and devices, directly or behind a link, are refused unopened (opening
// would block or flood the copy).
TEST_F(QkCopyTest, CopyFileBytesAndTargetRules) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/empty", "f 644"},
      {"/big", "f 644 " + Pattern(300001)}, {"/old", "f 600 previous"},
      {"/exact", "f 644 " + Pattern(262144)}, {"/link", "l big"},
      {"/fifolink", "l fifo"}, {"/sub", "d 755"}}));
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(mknod((dir_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  for (const std::string name : {"empty", "big", "exact", "link"}) {
    ASSERT_EQ(Copy(dir_ / name, dir_ / name + ".copy", true), -1) << name;
    EXPECT_EQ(ReadFile(dir_ / name + ".copy"), ReadFile(dir_ / name)) << name;
  }
  const struct { const char *from, *to; bool failIfExists; int error; } kCases[] = {
      {"exact", "old", true, EEXIST}, {"missing", "m", false, ENOENT},
      {"big", "big", false, EINVAL},  {"big", "link", false, EINVAL},
      {"fifo", "one", false, EINVAL}, {"null", "one", false, EINVAL},
      {"fifolink", "one", false, EINVAL}, {"sub", "one", false, EISDIR}};
  for (const auto& c : kCases) {
    EXPECT_EQ(Copy(dir_ / c.from, dir_ / c.to, c.failIfExists), c.error) << c.from;
  }
  EXPECT_EQ(ReadFile(dir_ / "big") + ReadFile(dir_ / "old"),
            Pattern(300001) + "previous");
  EXPECT_EQ(qktest::Entry(dir_ / "one") + qktest::Entry(dir_ / "m"), "");
  ASSERT_EQ(Copy(dir_ / "link", dir_ / "old", false), -1);
  EXPECT_EQ(qktest::Entry(dir_ / "old"), "f 600 " + Pattern(300001));

  Mount("fs", "256k");
  bool diskFull = false;
  EXPECT_EQ(Copy(dir_ / "big", dir_ / "fs/x", false, &diskFull), ENOSPC);
  EXPECT_TRUE(diskFull);
}

// Only bytes are copied, a link to a file as the file's; special files are
// skipped. An existing target is refused untouched, or merged into.
TEST_F(QkCopyTest, CopyDirReproducesTheTreeAndKeepsToTargetRules) {
  const Entries kCopied = {{"", "d 755"}, {"/a.txt", "f 644 alpha"},
      {"/link", "f 644 alpha"}, {"/sub", "d 755"}, {"/sub/b.txt", "f 644 beta"},
      {"/sub/deeper", "d 755"}};
  ASSERT_TRUE(qktest::MakeTree(dir_ / "src", {{"", "d 700"},
      {"/a.txt", "f 600 alpha"}, {"/link", "l a.txt"}, {"/sub", "d 755"},
      {"/sub/b.txt", "f 644 beta"}, {"/sub/deeper", "d 700"},
      {"/sub/fifolink", "l ../fifo"}}));
  ASSERT_EQ(mkfifo((dir_ / "src/fifo").c_str(), 0644), 0);
  ASSERT_EQ(mknod((dir_ / "src/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  ASSERT_TRUE(qktest::MakeTree(dir_ / "existing", {{"", "d 755"},
      {"/a.txt", "f 644 old"}, {"/kept", "f 644 kept"}}));
  ASSERT_EQ(CopyDir(dir_ / "src", dir_ / "dst"), -1);
  EXPECT_EQ(Tree(dir_ / "dst"), kCopied);
  ASSERT_EQ(CopyDir(dir_ / "src", dir_ / "flat/", false), -1);
  EXPECT_EQ(Tree(dir_ / "flat"), (Entries{{"", "d 755"},
      {"/a.txt", "f 644 alpha"}, {"/link", "f 644 alpha"}}));
  const Entries existing = Tree(dir_ / "existing");
  EXPECT_EQ(CopyDir(dir_ / "src", dir_ / "existing"), EEXIST);
  EXPECT_EQ(Tree(dir_ / "existing"), existing);
  ASSERT_EQ(CopyDir(dir_ / "src", dir_ / "existing", true, true), -1);
  Entries merged = kCopied;
  merged["/kept"] = "f 644 kept";
  EXPECT_EQ(Tree(dir_ / "existing"), merged);
  EXPECT_NE(CopyDir(dir_ / "src", dir_ / "no/parent"), -1);
  EXPECT_NE(CopyDir("", dir_ / "x"), -1);
  EXPECT_NE(CopyDir(dir_ / "src", ""), -1);

  // Relative paths mean the caller's working directory; an empty one is
  // nothing (should that break, only scratch is lost).
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(CopyDir("src/", "rel"), -1);
  EXPECT_TRUE(RemoveDir("dst") && !RemoveDir(""));
  EXPECT_EQ(Tree(dir_ / "rel"), kCopied);
  EXPECT_EQ(qktest::Entry(dir_ / "dst"), "");
}

// Removal takes the links themselves, never what they name, not even to
// make it writable; a link given as the tree goes as a link. What a failed
// copy made stays: partial results are not rolled back.
TEST_F(QkCopyTest, LinksAreNeverFollowedIntoDirectories) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/outside", "d 555"},
      {"/outside/keep", "f 644 keep"}, {"/src", "d 755"}, {"/src/sub", "d 755"},
      {"/src/sub/dirlink", "l ../../outside"}, {"/dangling", "d 755"},
      {"/dangling/link", "l nowhere"}, {"/toplink", "l outside"}}));
  EXPECT_EQ(CopyDir(dir_ / "src", dir_ / "dst"), EISDIR);
  EXPECT_EQ(CopyDir(dir_ / "dangling", dir_ / "dst2"), ENOENT);
  EXPECT_TRUE(RemoveDir(dir_ / "src/", true) && RemoveDir(dir_ / "dangling") &&
              RemoveDir(dir_ / "toplink", true));
  EXPECT_EQ(Tree(dir_.path()), (Entries{{"", "d 755"}, {"/dst", "d 755"},
      {"/dst/sub", "d 755"}, {"/dst2", "d 755"}, {"/outside", "d 555"},
      {"/outside/keep", "f 644 keep"}}));
}

// A failed tree copy names the file at fault and keeps the reason in errno.
// Every byte copied is reported once; a stop request in the middle of a
// file ends its copy after the buffer in hand.
TEST_F(QkCopyTest, FailuresNameTheFileAtFault) {
  Mount("fs", "256k");
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/ok", "d 755"},
      {"/ok/big", "f 644 " + Pattern(300000)}, {"/dangling", "d 755"},
      {"/dangling/link", "l nowhere"}, {"/exists", "d 755"}}));
  const struct { std::string from, to; bool stop; int error; std::string blamed; }
      kCases[] = {
          {"ok", "exists", false, EEXIST, "exists"},
          {"dangling", "d1", false, ENOENT, "dangling/link"},
          {"ok", "fs/ok", false, ENOSPC, "fs/ok/big"},
          {"missing", "d2", false, ENOENT, "missing"},
          {"ok", "d3", true, EINTR, "ok/big"},
      };
  for (const auto& c : kCases) {
    if (c.stop) qk_interrupt_raise(SIGINT);
    std::string blamed;
    EXPECT_EQ(CopyDir(dir_ / c.from, dir_ / c.to, true, false, &blamed), c.error);
    qk_interrupt_clear();
    EXPECT_EQ(blamed, dir_ / c.blamed);
  }
  {
    qktest::Progress progress;
    EXPECT_EQ(CopyDir(dir_ / "ok", dir_ / "d4"), -1);
    EXPECT_EQ(progress.done, 300000u);
  }
  qktest::Progress stopper(1);
  EXPECT_EQ(CopyDir(dir_ / "ok", dir_ / "d5"), EINTR);
  EXPECT_EQ(ReadFile(dir_ / "d5/big"), Pattern(131072));
}

// Root ignores permissions: these run as the unprivileged user. t/ro and
// t/a/ro are read-only directories; src/locked cannot be read, nor can
// root's secret.
TEST_F(QkCopyTest, PermissionsForAnUnprivilegedProcess) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/t", "d 755"},
      {"/t/ro", "d 555"}, {"/t/ro/f", "f 644 1"}, {"/t/a", "d 755"},
      {"/t/a/ro", "d 555"}, {"/t/a/ro/g", "f 644 2"}, {"/src", "d 755"},
      {"/src/file", "f 644 file"}, {"/src/locked", "d 0"}, {"/key", "d 755"},
      {"/key/secret", "f 600 s"}}));
  qktest::ChownTree(dir_.path(), qktest::kNobody);
  ASSERT_EQ(chown((dir_ / "key/secret").c_str(), 0, 0), 0);
  EXPECT_EQ(qktest::RunAsNobody([&] {
    std::string blamed;
    if (CopyDir(dir_ / "key", dir_ / "copy", true, false, &blamed) != EACCES ||
        blamed != dir_ / "key/secret") {
      return 1;
    }
    if (CopyDir(dir_ / "src", dir_ / "dst") == -1) return 2;
    if (RemoveDir(dir_ / "t") || !RemoveDir(dir_ / "t", true)) return 3;
    // Write permission alone does not make a directory readable.
    return RemoveDir(dir_ / "src", true) ? 4 : 0;
  }), 0);
}

}  // namespace
