#include "backup/CQKNativeBackup.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const CQKString& s) { return s.GetSafeStringPtr(); }

// Every database outcome becomes a step-2 result code and a sentence.
TEST(CQKNativeBackupTest, BackupErrorTable) {
  const std::string kCode =
      "An error occurred when creating the backup database file in a "
      "temporary directory. [Error code: ";
  const std::string kUnknown =
      "An unknown error occurred when backing up the database. Retry the "
      "backup later.";
  const std::string kSourceUnknown =
      "An unknown error occurred with the source database file. Retry the "
      "backup later.";
  struct {
    int error;
    unsigned int code;
    std::string text;
  } const cases[] = {
      {3, 516, "The backup cannot be completed because the source database "
               "file does not exist."},
      {8, 519, "The source database file permissions are incorrect. Check the "
               "permissions and retry the backup."},
      {9, 520, "An I/O error occurred on the source database file. Check the "
               "file and retry the backup."},
      {10, 521, "The backup cannot be completed because the source database "
                "file is corrupt."},
      {11, 522, "The source database could not be opened. Check the file and "
                "retry the backup."},
      {12, 523, "The backup cannot be completed because the source file is "
                "not a SQLite database."},
      {6, 524, kSourceUnknown},
      {7, 524, kSourceUnknown},
      {18, 525, kCode + "525]"},
      {19, 526, kCode + "526]"},
      {20, 527, kCode + "527]"},
      {5, 528, kCode + "528]"},
      {16, 529, kCode + "529]"},
      {17, 529, kCode + "529]"},
      {26, 531, kCode + "531]"},
      {27, 532, "The backup cannot be completed because there is not enough "
                "available memory. Check the available memory and retry the "
                "backup."},
      {1, 513, kUnknown},   {2, 513, kUnknown},  {4, 513, kUnknown},
      {13, 513, kUnknown},  {14, 513, kUnknown}, {15, 513, kUnknown},
      {21, 513, kUnknown},  {22, 513, kUnknown}, {23, 513, kUnknown},
      {24, 513, kUnknown},  {25, 513, kUnknown}, {29, 513, kUnknown},
      {30, 513, kUnknown},  {31, 513, kUnknown},
  };
  for (const auto& c : cases) {
    CBackupParameters params;
    CQKNativeBackup job(params);
    EXPECT_EQ(c.code, job.SetBackupError(
                          static_cast<CSQLiteBackup::BackupError>(c.error)))
        << c.error;
    EXPECT_EQ(c.text, Text(job.GetErrorText())) << c.error;
  }
}

TEST(CQKNativeBackupTest, DetailIsTheSecondLineAndSuccessSetsNoText) {
  CBackupParameters params;
  CQKNativeBackup job(params);
  EXPECT_EQ(513u, job.SetBackupError(CSQLiteBackup::kBackupFailed,
                                     CQKString("/w/qkproj.db: database or "
                                               "disk is full")));
  EXPECT_EQ("An unknown error occurred when backing up the database. Retry "
            "the backup later.\n/w/qkproj.db: database or disk is full",
            Text(job.GetErrorText()));
  EXPECT_EQ(0u, job.SetBackupError(CSQLiteBackup::kSuccess));
  EXPECT_EQ(0u, Text(job.GetErrorText()).find("An unknown error"));
}

TEST(CQKNativeBackupTest, DatabaseOnlySkipsDirectoriesWithoutLooking) {
  CBackupParameters params;
  params.databaseOnly = true;
  params.sourceProjectPath = "/nonexistent/project";
  CQKNativeBackup job(params);
  EXPECT_EQ(29u, job.CopyProjectDirectories());
  EXPECT_EQ("", Text(job.GetErrorText()));
}

// The destination's suffix follows the mode before anything is checked.
TEST(CQKNativeBackupTest, DestinationSuffix) {
  struct {
    bool zip;
    const char* given;
    const char* adjusted;
  } const cases[] = {
      {true, "/nonexistent/b/x", "/nonexistent/b/x.zip"},
      {true, "/nonexistent/b/X.ZIP", "/nonexistent/b/X.ZIP"},
      {true, "/nonexistent/b/x/", "/nonexistent/b/x.zip"},
      {false, "/nonexistent/b/x.zip//", "/nonexistent/b/x"},
      {false, "/nonexistent/b/x.zip", "/nonexistent/b/x"},
      {false, "/nonexistent/b/x.Zip", "/nonexistent/b/x"},
      {false, "/nonexistent/b/x", "/nonexistent/b/x"},
  };
  for (const auto& c : cases) {
    CBackupParameters params;
    params.zip = c.zip;
    params.sourceProjectPath = "/nonexistent/source";
    params.destinationPath = c.given;
    CQKNativeBackup job(params);
    EXPECT_EQ(260u, job.CreateTempDirectory()) << c.given;
    EXPECT_EQ(std::string(c.adjusted), Text(params.destinationPath));
    EXPECT_EQ("The source project does not exist.", Text(job.GetErrorText()));
    EXPECT_TRUE(job.Cleanup(false));
  }
}

// An empty path is refused before the destination is fitted or looked at.
TEST(CQKNativeBackupTest, EmptyPaths) {
  const char* const pairs[][2] = {
      {"", ""}, {"/tmp", ""}, {"", "/nonexistent/out"}};
  for (const auto& pair : pairs) {
    CBackupParameters params;
    params.sourceProjectPath = pair[0];
    params.destinationPath = pair[1];
    CQKNativeBackup job(params);
    EXPECT_EQ(258u, job.CreateTempDirectory()) << pair[0] << pair[1];
    EXPECT_EQ("The source or destination project path was empty.",
              Text(job.GetErrorText()));
    EXPECT_EQ(0u, job.GetWorkingDirectory().GetLength());
  }
}

}  // namespace
