#include "backup/CQKNativeBackup.h"

#include <string>

#include "gtest/gtest.h"

namespace {

// Every database failure fails the run's second step with a sentence (that
// quotes the code returned, if any) and the database's detail on a new line.
TEST(CQKNativeBackupTest, EveryDatabaseFailureIsASecondStepFailure) {
  CBackupParameters params;
  CQKNativeBackup job(params);
  EXPECT_EQ(0u, job.SetBackupError(CSQLiteBackup::kSuccess));
  for (int error = 1; error <= CSQLiteBackup::kInterrupted; ++error) {
    const unsigned int code = job.SetBackupError(
        CSQLiteBackup::BackupError(error), CQKString("/p/qkproj.db: why"));
    const std::string text = job.GetErrorText().GetSafeStringPtr();
    const std::string first = text.substr(0, text.find('\n'));
    const std::string quoted = "[Error code: " + std::to_string(code) + "]";
    EXPECT_EQ(code >> 8, 2u) << error;
    EXPECT_EQ(text.substr(first.size()), "\n/p/qkproj.db: why") << error;
    EXPECT_TRUE(first.back() == '.' ||
                first.rfind(quoted) == first.size() - quoted.size()) << text;
  }
}

}  // namespace
