#include "fs/qk_fs.h"

#include "tests/support/qk_test_support.h"

namespace {

using qktest::Bytes;
using QkFsTest = qktest::ScratchTest;

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
  EXPECT_EQ(qktest::Entry(dir_ / "a/b/c") + qktest::Entry(dir_ / "masked"),
            "d 755d 705");
  EXPECT_FALSE(qk_mkdir(CQKString(), true) || qk_mkdir("///", true));
}

}  // namespace
