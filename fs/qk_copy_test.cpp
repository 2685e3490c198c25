#include "fs/qk_copy.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>

#include "fs/qk_interrupt.h"
#include "fs/qk_progress.h"
#include "tests/support/qk_test_support.h"

namespace {

using qktest::Entries;
using qktest::Exists;
using qktest::Pattern;
using qktest::ReadFile;
using qktest::Tree;
using QkCopyTest = qktest::ScratchTest;

bool Copy(const std::string& from, const std::string& to, bool failIfExists,
          bool* diskFull = nullptr) {
  return qk_copy(from.c_str(), to.c_str(), failIfExists, diskFull);
}

bool CopyDir(const std::string& from, const std::string& to,
             bool recursive = true, bool merge = false,
             CQKString* failedPath = nullptr) {
  return qk_copy_dir(from.c_str(), to.c_str(), recursive, !merge, nullptr,
                     failedPath);
}

bool RemoveDir(const std::string& path, bool forceWritable = false) {
  return qk_rmdir_recursive(path.c_str(), forceWritable);
}

// errno after a call that had to fail; -1 when it succeeded.
int Error(bool succeeded) { return succeeded ? -1 : errno; }

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
  EXPECT_EQ(qktest::Entry(dir_ / "old"), "f 600 new");
  EXPECT_EQ(Error(Copy(dir_ / "missing", dir_ / "m", false)), ENOENT);
  // Onto itself, directly or through a link: refused, nothing truncated.
  EXPECT_EQ(Error(Copy(dir_ / "big", dir_ / "big", false)), EINVAL);
  EXPECT_FALSE(Copy(dir_ / "big", dir_ / "link", false));
  EXPECT_EQ(ReadFile(dir_ / "big"), Pattern(300001));

  // Only a full device counts as one, not a file-size limit (EFBIG).
  qktest::Tmpfs small(dir_ / "fs", "256k");
  bool diskFull = true;
  EXPECT_EQ(qktest::RunAsNobody([&] {
    signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {65536, 65536};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
           !Copy(dir_ / "big", dir_ / "fs/y", false, &diskFull) &&
           errno == EFBIG && !diskFull ? 0 : 1;
  }), 0);
  EXPECT_EQ(Error(Copy(dir_ / "big", dir_ / "fs/x", false, &diskFull)), ENOSPC);
  EXPECT_TRUE(diskFull);
}

// Only bytes are copied, a link to a file as the file's; FIFOs and devices
// (directly or behind a link) are skipped unopened, where opening would
// block or flood the copy.
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
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "dst"));
  EXPECT_EQ(Tree(dir_ / "dst"), kCopied);
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "flat/", false));
  EXPECT_EQ(Tree(dir_ / "flat"), (Entries{{"", "d 755"},
      {"/a.txt", "f 644 alpha"}, {"/link", "f 644 alpha"}}));
  for (const std::string name : {"fifo", "null", "sub/fifolink"}) {
    EXPECT_EQ(Error(Copy(dir_ / "src/" + name, dir_ / "one", false)), EINVAL);
  }
  EXPECT_EQ(Error(Copy(dir_ / "src/sub", dir_ / "one", false)), EISDIR);
  EXPECT_FALSE(Exists(dir_ / "one"));

  // An existing target is refused untouched, or merged into.
  const Entries existing = Tree(dir_ / "existing");
  EXPECT_EQ(Error(CopyDir(dir_ / "src", dir_ / "existing")), EEXIST);
  EXPECT_EQ(Tree(dir_ / "existing"), existing);
  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "existing", true, true));
  Entries merged = kCopied;
  merged["/kept"] = "f 644 kept";
  EXPECT_EQ(Tree(dir_ / "existing"), merged);
  EXPECT_FALSE(CopyDir(dir_ / "src", dir_ / "no/parent") ||
               CopyDir("", dir_ / "x") || CopyDir(dir_ / "src", ""));

  // Relative paths mean the caller's working directory; an empty one is
  // nothing (should that break, only scratch is lost).
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_TRUE(CopyDir("src/", "rel") && RemoveDir("dst"));
  EXPECT_FALSE(RemoveDir(""));
  EXPECT_EQ(Tree(dir_ / "rel"), kCopied);
  EXPECT_FALSE(Exists(dir_ / "dst"));
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
  // What a failed copy made stays: partial results are not rolled back.
  EXPECT_EQ(Tree(dir_.path()), (Entries{{"", "d 755"}, {"/dst", "d 755"},
      {"/dst/sub", "d 755"}, {"/dst2", "d 755"}, {"/outside", "d 555"}, {"/outside/keep", "f 644 keep"}}));
}

// Counts the bytes reported; raises `signal` (when set) on the first report.
class CountingSink : public QKProgressSink {
 public:
  explicit CountingSink(int signal = 0) : signal_(signal) {}
  void Advance(uint64_t done) override {
    bytes += done;
    if (signal_ != 0) qk_interrupt_raise(signal_);
  }
  void SetTotal(uint64_t) override {}
  uint64_t bytes = 0;

 private:
  int signal_;
};

// A failed tree copy names the file at fault and keeps the reason in errno.
TEST_F(QkCopyTest, FailuresNameTheFileAtFault) {
  qktest::Tmpfs small(dir_ / "fs", "256k");
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/ok", "d 755"},
      {"/ok/big", "f 644 " + Pattern(300000)}, {"/dangling", "d 755"},
      {"/dangling/link", "l nowhere"}, {"/exists", "d 755"}}));
  struct Case { std::string from, to; int signal, error; std::string blamed; };
  const Case kCases[] = {
      {dir_ / "ok", dir_ / "exists", 0, EEXIST, dir_ / "exists"},
      {dir_ / "dangling", dir_ / "d1", 0, ENOENT, dir_ / "dangling/link"},
      {dir_ / "ok", dir_ / "fs/ok", 0, ENOSPC, dir_ / "fs/ok/big"},
      {dir_ / "missing", dir_ / "d2", 0, ENOENT, dir_ / "missing"},
      {dir_ / "ok", dir_ / "d3", SIGTERM, EINTR, dir_ / "ok/big"},
  };
  for (const Case& c : kCases) {
    if (c.signal != 0) qk_interrupt_raise(c.signal);
    CQKString blamed;
    EXPECT_EQ(Error(CopyDir(c.from, c.to, true, false, &blamed)), c.error);
    qk_interrupt_clear();
    EXPECT_EQ(std::string(blamed.GetSafeStringPtr()), c.blamed);
  }
  // Every byte copied is reported once; a stop request in the middle of a
  // file ends its copy after the buffer in hand.
  CountingSink sink, stopper(SIGINT);
  qk_progress_set_sink(&sink);
  EXPECT_TRUE(CopyDir(dir_ / "ok", dir_ / "d4"));
  qk_progress_set_sink(&stopper);
  EXPECT_EQ(Error(CopyDir(dir_ / "ok", dir_ / "d5")), EINTR);
  qk_progress_set_sink(nullptr);
  qk_interrupt_clear();
  EXPECT_EQ(sink.bytes, 300000u);
  EXPECT_EQ(ReadFile(dir_ / "d5/big"), Pattern(131072));
}

// Root ignores permissions: these run as the unprivileged user.
TEST_F(QkCopyTest, PermissionsForAnUnprivilegedProcess) {
  // t/ro and t/a/ro are read-only directories; src/locked cannot be read,
  // nor can root's secret.
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/t", "d 755"},
      {"/t/ro", "d 555"}, {"/t/ro/f", "f 644 1"}, {"/t/a", "d 755"},
      {"/t/a/ro", "d 555"}, {"/t/a/ro/g", "f 644 2"}, {"/src", "d 755"},
      {"/src/file", "f 644 file"}, {"/src/locked", "d 0"}, {"/key", "d 755"},
      {"/key/secret", "f 600 s"}}));
  qktest::ChownTree(dir_.path(), qktest::kNobody);
  ASSERT_EQ(chown((dir_ / "key/secret").c_str(), 0, 0), 0);
  EXPECT_EQ(qktest::RunAsNobody([&] {
    CQKString blamed;
    if (CopyDir(dir_ / "key", dir_ / "copy", true, false, &blamed) ||
        errno != EACCES ||
        std::string(blamed.GetSafeStringPtr()) != dir_ / "key/secret") {
      return 1;
    }
    if (CopyDir(dir_ / "src", dir_ / "dst")) return 2;
    if (RemoveDir(dir_ / "t") || !RemoveDir(dir_ / "t", true)) return 3;
    // Write permission alone does not make a directory readable.
    return RemoveDir(dir_ / "src", true) ? 4 : 0;
  }), 0);
}

}  // namespace
