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

// As Copy; the path at fault (what the message names before the reason)
// goes to *blamed.
int CopyDir(const std::string& from, const std::string& to, bool recursive = true,
            bool merge = false, std::string* blamed = nullptr,
            CQKRunContext& context = CQKRunContext::Quiet()) {
  QKCopyOptions options;
  options.context = &context;
  options.recursive = recursive;
  options.failIfExists = !merge;
  const CQKStatus status = qk_copy_tree(from.c_str(), to.c_str(), options);
  const std::string message = qktest::Str(status.GetMessage());
  if (blamed != nullptr) *blamed = message.substr(0, message.rfind(": "));
  return status.IsOK() ? -1 : status.GetErrno();
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
  EXPECT_EQ(ReadFile(dir_ / "big") + ReadFile(dir_ / "old") +
            qktest::Entry(dir_ / "one") + qktest::Entry(dir_ / "m"),
            Pattern(300001) + "previous");
  ASSERT_EQ(Copy(dir_ / "link", dir_ / "old", false), -1);
  EXPECT_EQ(qktest::Entry(dir_ / "old"), "f 600 " + Pattern(300001));
  Mount("fs", "256k");
  bool diskFull = false;
  EXPECT_EQ(Copy(dir_ / "big", dir_ / "fs/x", false, &diskFull), ENOSPC);
  EXPECT_TRUE(diskFull);
}

// Only bytes are copied, a link to a file as the file's. An existing target
// is refused untouched, or merged into. Relative paths mean the caller's
// working directory; an empty one is nothing (or only scratch is lost).
TEST_F(QkCopyTest, CopyDirReproducesTheTreeAndKeepsToTargetRules) {
  const Entries kCopied = {{"", "d 755"}, {"/a.txt", "f 644 alpha"},
      {"/link", "f 644 alpha"}, {"/sub", "d 755"}, {"/sub/caf\xE9", "f 644 beta"},
      {"/sub/deeper", "d 755"}};
  ASSERT_TRUE(qktest::MakeTree(dir_ / "src", {{"", "d 700"},
      {"/a.txt", "f 600 alpha"}, {"/link", "l a.txt"}, {"/sub", "d 755"},
      {"/sub/caf\xE9", "f 644 beta"}, {"/sub/deeper", "d 700"}}));
  ASSERT_TRUE(qktest::MakeTree(dir_ / "existing", {{"", "d 755"},
      {"/a.txt", "f 644 old"}, {"/kept", "f 644 kept"}}));
  ASSERT_EQ(CopyDir(dir_ / "src", dir_ / "dst"), -1);
  EXPECT_EQ(Tree(dir_ / "dst"), kCopied);
  const Entries existing = Tree(dir_ / "existing");
  EXPECT_EQ(CopyDir(dir_ / "src", dir_ / "existing"), EEXIST);
  EXPECT_EQ(Tree(dir_ / "existing"), existing);
  ASSERT_EQ(CopyDir(dir_ / "src", dir_ / "existing", true, true), -1);
  Entries merged = kCopied;
  merged["/kept"] = "f 644 kept";
  EXPECT_EQ(Tree(dir_ / "existing"), merged);
  EXPECT_EQ(CopyDir(dir_ / "src", dir_ / "no/parent"), ENOENT);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(CopyDir("src/", "rel"), -1);
  EXPECT_TRUE(RemoveDir("dst") && !RemoveDir(""));
  EXPECT_EQ(Tree(dir_ / "rel"), kCopied);
  EXPECT_EQ(qktest::Entry(dir_ / "dst"), "");
}

// Removal takes the links themselves, never what they name, not even to
// make it writable; a link given as the tree goes as a link. What a failed
// copy made stays: partial results are not rolled back. Read-only
// directories go only when asked, and write permission alone does not make
// a directory readable: that part runs as the unprivileged user, as root
// ignores permissions.
TEST_F(QkCopyTest, LinksAreNeverFollowedIntoDirectories) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/outside", "d 555"},
      {"/outside/keep", "f 644 keep"}, {"/src", "d 755"}, {"/src/sub", "d 755"},
      {"/src/sub/dirlink", "l ../../outside"}, {"/toplink", "l outside"}}));
  EXPECT_EQ(CopyDir(dir_ / "src", dir_ / "dst"), EISDIR);
  EXPECT_TRUE(RemoveDir(dir_ / "src/", true) && RemoveDir(dir_ / "toplink", true));
  EXPECT_EQ(Tree(dir_.path()), (Entries{{"", "d 755"}, {"/dst", "d 755"},
      {"/dst/sub", "d 755"}, {"/outside", "d 555"}, {"/outside/keep", "f 644 keep"}}));
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/t", "d 755"}, {"/t/a", "d 755"},
      {"/t/a/ro", "d 555"}, {"/t/a/ro/g", "f 644 2"}, {"/locked", "d 755"},
      {"/locked/in", "d 0"}}));
  ASSERT_EQ(0, system(("chown -R 65534:65534 " + dir_.path()).c_str()));
  EXPECT_EQ(qktest::RunAsNobody([&] {
    return CopyDir(dir_ / "locked", dir_ / "d") == EACCES && !RemoveDir(dir_ / "t") &&
           RemoveDir(dir_ / "t", true) && !RemoveDir(dir_ / "locked", true) ? 0 : 1;
  }), 0);
}

// A failed tree copy names the file at fault and keeps the reason in errno.
// Every byte copied is reported once; a stop request in the middle of a
// file ends its copy after the buffer in hand.
TEST_F(QkCopyTest, FailuresNameTheFileAtFault) {
  Mount("fs", "256k");
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/ok", "d 755"},
      {"/ok/big", "f 644 " + Pattern(300000)}, {"/dangling", "d 755"},
      {"/dangling/link", "l nowhere"}, {"/exists", "d 755"}}));
  const struct { const char *from, *to; bool stop; int error; const char* blamed; }
      kCases[] = {{"ok", "exists", false, EEXIST, "exists"},
                  {"dangling", "d1", false, ENOENT, "dangling/link"},
                  {"ok", "fs/ok", false, ENOSPC, "fs/ok/big"},
                  {"missing", "d2", false, ENOENT, "missing"},
                  {"ok", "d3", true, EINTR, nullptr}};
  for (const auto& c : kCases) {
    qktest::Progress context;
    context.stop = c.stop ? SIGINT : 0;
    std::string blamed;
    EXPECT_EQ(CopyDir(dir_ / c.from, dir_ / c.to, true, false, &blamed, context),
              c.error);
    EXPECT_EQ(blamed, c.blamed != nullptr ? dir_ / c.blamed : "Interrupted.");
  }
  {
    qktest::Progress progress;
    EXPECT_EQ(CopyDir(dir_ / "ok", dir_ / "d4", true, false, nullptr, progress), -1);
    EXPECT_EQ(progress.done, 300000u);
  }
  qktest::Progress stopper(1);
  EXPECT_EQ(CopyDir(dir_ / "ok", dir_ / "d5", true, false, nullptr, stopper), EINTR);
  EXPECT_EQ(ReadFile(dir_ / "d5/big"), Pattern(131072));
}

}  // namespace
