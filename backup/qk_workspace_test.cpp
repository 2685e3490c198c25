#include "backup/qk_workspace.h"

#include <fcntl.h>
#include <sys/file.h>

#include "tests/support/qk_test_support.h"

namespace {

using qktest::Entries;
using QkWorkspaceTest = qktest::ScratchTest;

// A working directory is locked and marked for as long as it lives; a sweep
// takes only the marked directories of this user whose lock is free, and
// markers whose directory is gone, never anything else.
TEST_F(QkWorkspaceTest, SweepTakesOnlyDeadRunsOwnDirectories) {
  CQKString path;
  QKOwnedFd lock(-1);
  ASSERT_TRUE(qk_workspace_create(dir_.path().c_str(), path, lock).IsOK());
  const std::string live = qktest::Str(path);
  ASSERT_EQ(live.substr(0, dir_.path().size() + 4), dir_.path() + "/QKf");
  EXPECT_EQ(qktest::Entry(live), "d 700");
  EXPECT_EQ(qktest::Str(qk_workspace_marker(path)),
            dir_.path() + "/." + live.substr(dir_.path().size() + 1, 9) + ".qkrun");
  {
    QKOwnedFd other(open(qktest::Str(qk_workspace_marker(path)).c_str(), O_RDONLY));
    EXPECT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
  }

  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/QKfDead01", "d 700"},
      {"/QKfDead01/Attach", "d 555"}, {"/QKfDead01/Attach/a", "f 444 a"},
      {"/.QKfDead01.qkrun", "f 600"}, {"/.QKfGone01.qkrun", "f 600"},
      {"/QKfOther1", "d 700"}, {"/.QKfOther1.qkrun", "f 600"},
      {"/QKfNoMark", "d 700"}, {"/target", "d 700"}, {"/QKfLinked", "l target"},
      {"/.QKfLinked.qkrun", "f 600"}, {"/QKfLonger12", "d 700"},
      {"/.QKfLonger12.qkrun", "f 600"}, {"/.QKf-999999999.qkrun", "f 600"},
      {"/.QKf-1.qkrun", "f 600"}}));
  ASSERT_EQ(chown((dir_ / "QKfOther1").c_str(), qktest::kNobody, qktest::kNobody), 0);
  qk_workspace_sweep(dir_.path().c_str(), CQKRunContext::Quiet());
  Entries left = qktest::Tree(dir_.path());
  for (const char* gone : {"/QKfDead01", "/QKfDead01/Attach", "/QKfDead01/Attach/a",
                           "/.QKfDead01.qkrun", "/.QKfGone01.qkrun",
                           "/.QKf-999999999.qkrun"}) {
    EXPECT_EQ(left.count(gone), 0u) << gone;
  }
  // A marker in the making of a live process (init's id) stays too.
  for (const char* kept : {"/QKfOther1", "/QKfNoMark", "/QKfLinked", "/target",
                           "/QKfLonger12", "/.QKfLonger12.qkrun", "/.QKf-1.qkrun"}) {
    EXPECT_EQ(left.count(kept), 1u) << kept;
  }
  EXPECT_EQ(left.count(live.substr(dir_.path().size(), 10)), 1u);

  // Once the run's lock is gone, its directory is a dead run's.
  lock.Reset(-1);
  qk_workspace_sweep(dir_.path().c_str(), CQKRunContext::Quiet());
  EXPECT_EQ(qktest::Entry(live), "");
  EXPECT_EQ(qktest::Entry(qktest::Str(qk_workspace_marker(path))), "");
}

// The directory for temporary files must take the working directory: no
// other place is ever tried.
TEST_F(QkWorkspaceTest, CreateFailsWhereTheDirectoryCannotTakeIt) {
  CQKString path;
  QKOwnedFd lock(-1);
  const CQKStatus missing = qk_workspace_create((dir_ / "missing").c_str(), path, lock);
  EXPECT_EQ(qktest::Str(missing.GetMessage()),
            dir_ / "missing" + ": No such file or directory");
  EXPECT_EQ(qktest::Str(path) + std::to_string(lock.get()), "-1");
  EXPECT_EQ(qktest::Tree(dir_.path()).size(), 1u);
}

}  // namespace
