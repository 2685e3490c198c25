#include "fs/qk_walk.h"

#include <set>

#include "tests/support/qk_test_support.h"

namespace {

using QkWalkTest = qktest::ScratchTest;

// Records what it is shown and, on entering the first sub-directory,
// replaces every other one with a link out of the tree, as a live server
// might while the walk runs.
class Swapper : public QKWalkVisitor {
 public:
  explicit Swapper(const std::string& root) : root_(root) {}

  CQKStatus EnterDirectory(const QKWalkEntry& entry, int) override {
    const std::string name = qktest::Str(entry.relative);
    seen.insert(name + "/");
    if (name.empty() || swapped_) return CQKStatus::OK();
    swapped_ = true;
    for (const char* other : {"a", "b", "c"}) {
      if (name == other) continue;
      const std::string path = root_ + "/tree/" + other;
      std::filesystem::remove_all(path);
      if (symlink((root_ + "/outside").c_str(), path.c_str()) != 0) {
        return CQKStatus::PosixError(path.c_str(), errno);
      }
    }
    return CQKStatus::OK();
  }
  CQKStatus VisitEntry(const QKWalkEntry& entry) override {
    seen.insert(qktest::Str(entry.relative));
    return CQKStatus::OK();
  }

  std::set<std::string> seen;

 private:
  const std::string root_;
  bool swapped_ = false;
};

// A directory listed as one but a link by the time its turn comes is never
// entered: skipped for a live source, a failure otherwise.
TEST_F(QkWalkTest, DirectoriesSwappedForLinksAreNeverEntered) {
  for (const bool live : {true, false}) {
    std::filesystem::remove_all(dir_ / "tree");
    std::filesystem::remove_all(dir_ / "outside");
    ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/outside", "d 755"},
        {"/outside/secret", "f 644 s"}, {"/tree", "d 755"}, {"/tree/a", "d 755"},
        {"/tree/a/f", "f 644 1"}, {"/tree/b", "d 755"}, {"/tree/b/f", "f 644 2"},
        {"/tree/c", "d 755"}, {"/tree/c/f", "f 644 3"}}));
    QKWalkOptions options;
    options.skipVanished = live;
    Swapper visitor(dir_.path());
    const CQKStatus status = qk_walk((dir_ / "tree").c_str(), options, visitor);
    // The root, the first sub-directory and its file.
    EXPECT_EQ(visitor.seen.size(), 3u) << live;
    for (const std::string& name : visitor.seen) {
      EXPECT_EQ(name.find("secret"), std::string::npos) << name;
    }
    if (live) {
      EXPECT_TRUE(status.IsOK()) << qktest::Str(status.GetMessage());
    } else {
      EXPECT_EQ(status.GetErrno(), ENOTDIR) << qktest::Str(status.GetMessage());
    }
  }
}

}  // namespace
