#include "fs/qk_copy.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>

#include "fs/qk_interrupt.h"
#include "fs/qk_progress.h"
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

// A FIFO, a socket and a device would block or flood the copy if opened:
// each is skipped unread, directly or behind a link.
TEST_F(QkCopyTest, OnlyRegularFilesAndDirectoriesAreCopied) {
  ASSERT_TRUE(qktest::MakeTree(dir_ / "src", {{"", "d 755"},
      {"/a.txt", "f 644 alpha"}, {"/sub", "d 755"},
      {"/sub/fifolink", "l ../fifo"}, {"/sub/b.txt", "f 644 beta"}}));
  ASSERT_EQ(mkfifo((dir_ / "src/fifo").c_str(), 0644), 0);
  ASSERT_EQ(mknod((dir_ / "src/null").c_str(), S_IFCHR | 0666, makedev(1, 3)),
            0);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dir_ / "src/sub/socket";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address),
                 sizeof address), 0);
  close(listener);

  ASSERT_TRUE(CopyDir(dir_ / "src", dir_ / "dst"));
  EXPECT_EQ(Tree(dir_ / "dst"), (Entries{{"", "d 755"},
      {"/a.txt", "f 644 alpha"}, {"/sub", "d 755"},
      {"/sub/b.txt", "f 644 beta"}}));
  for (const std::string name : {"fifo", "null", "sub/fifolink"}) {
    EXPECT_EQ(Error(Copy(dir_ / ("src/" + name), dir_ / "one", false)), EINVAL)
        << name;
  }
  EXPECT_EQ(Error(Copy(dir_ / "src/sub", dir_ / "one", false)), EISDIR);
  EXPECT_FALSE(Exists(dir_ / "one"));
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
      {"/dangling/link", "l nowhere"}, {"/locked", "d 755"},
      {"/locked/secret", "f 600 s"}, {"/exists", "d 755"}}));
  qktest::ChownTree(dir_ / "locked", qktest::kNobody);
  ASSERT_EQ(chown((dir_ / "locked/secret").c_str(), 0, 0), 0);
  struct Case { std::string from, to; int signal, error; std::string blamed; };
  const Case kCases[] = {
      {dir_ / "ok", dir_ / "exists", 0, EEXIST, dir_ / "exists"},
      {dir_ / "dangling", dir_ / "d1", 0, ENOENT, dir_ / "dangling/link"},
      {dir_ / "ok", dir_ / "fs/ok", 0, ENOSPC, dir_ / "fs/ok/big"},
      {dir_ / "missing", dir_ / "d2", 0, ENOENT, dir_ / "missing"},
      {dir_ / "ok", dir_ / "d3", SIGTERM, EINTR, dir_ / "ok/big"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.to);
    if (c.signal != 0) qk_interrupt_raise(c.signal);
    CQKString blamed;
    EXPECT_EQ(Error(CopyDir(c.from, c.to, true, false, &blamed)), c.error);
    qk_interrupt_clear();
    EXPECT_EQ(std::string(blamed.GetSafeStringPtr()), c.blamed);
  }
  // Another user may not read root's file.
  EXPECT_EQ(qktest::RunAsNobody([&] {
    CQKString blamed;
    return !CopyDir(dir_ / "locked", dir_ / "locked/copy", true, false,
                    &blamed) && errno == EACCES &&
           std::string(blamed.GetSafeStringPtr()) == dir_ / "locked/secret"
           ? 0 : 1;
  }), 0);

  // Every byte copied is reported once; a stop request in the middle of a
  // file ends its copy after the buffer in hand.
  CountingSink sink;
  CountingSink stopper(SIGINT);
  qk_progress_set_sink(&sink);
  EXPECT_TRUE(CopyDir(dir_ / "ok", dir_ / "d4"));
  qk_progress_set_sink(&stopper);
  EXPECT_EQ(Error(CopyDir(dir_ / "ok", dir_ / "d5")), EINTR);
  qk_progress_set_sink(nullptr);
  qk_interrupt_clear();
  EXPECT_EQ(sink.bytes, 300000u);
  EXPECT_EQ(ReadFile(dir_ / "d5/big"), Pattern(131072));
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
