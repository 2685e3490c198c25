#include "backup/CQKResultText.h"

#include "backup/CQKNativeBackup.h"

namespace {

using Job = CQKNativeBackup;

struct Sentence {
  unsigned int result;
  const char* text;
};

const char kMissingDirectory[] =
    "The backup cannot be completed because the %s directory does not exist.";

const Sentence kSentences[] = {
    {Job::kStepCreateTempDirectory + Job::kEmptyPath,
     "The source or destination project path was empty."},
    {Job::kStepCreateTempDirectory + Job::kDestinationExists,
     "The destination zip file or folder already exists. Use -f to overwrite "
     "it."},
    {Job::kStepCreateTempDirectory + Job::kSourceMissing,
     "The source project does not exist."},
    {Job::kStepCreateTempDirectory + Job::kTempDirectoryFailed,
     "Creating a temporary directory failed."},
    {Job::kStepCreateTempDirectory + Job::kNotAProject,
     "The source file is not a valid Tarnwell project."},
    {Job::kStepCreateTempDirectory + Job::kRenameFailed,
     "An error occurred when attempting to rename the pre-existing destination "
     "folder."},
    {Job::kStepCreateTempDirectory + Job::kDestinationOverlapsSource,
     "The destination must not be the source project, lie inside it or "
     "contain it."},
    {Job::kStepCreateTempDirectory + Job::kDestinationNotABackup,
     "The destination folder is not a backup of a Tarnwell project. Nothing "
     "in it was changed."},
    {Job::kStepCreateTempDirectory + Job::kDestinationDirectoryUnusable,
     "The destination directory does not exist or cannot be written."},
    {Job::kStepCopyProjectDirectories + Job::kNoReadPermission,
     "Cannot read the %s directory. Check the file permssions and retry the "
     "backup."},
    {Job::kStepCopyProjectDirectories + Job::kAttachMissing, kMissingDirectory},
    {Job::kStepCopyProjectDirectories + Job::kQuilletInMissing,
     kMissingDirectory},
    {Job::kStepCopyProjectDirectories + Job::kQuilletOutMissing,
     kMissingDirectory},
    {Job::kStepCopyProjectDirectories + Job::kStyleSheetsMissing,
     kMissingDirectory},
    {Job::kStepCopyProjectDirectories + Job::kCopyFailed,
     "An error occurred when copying the %s project directory."},
    {Job::kStepCreateZipFile + Job::kZipFailed,
     "An error occurred when creating the backup zip file."},
    {Job::kStepFinalCopyProject + Job::kCopyFailed,
     "An error occurred while copying the final project directory."},
};

const char kUnknownSource[] =
    "An unknown error occurred with the source database file. Retry the "
    "backup later.";

// A null sentence stands for the one that quotes the result code.
struct DatabaseRow {
  CSQLiteBackup::BackupError error;
  Job::ErrorType type;
  const char* text;
};

const DatabaseRow kDatabaseRows[] = {
    {CSQLiteBackup::kSourceMissing, Job::kSourceMissing,
     "The backup cannot be completed because the source database file does "
     "not exist."},
    {CSQLiteBackup::kSourceOpenPerm, Job::kNoReadPermission,
     "The source database file permissions are incorrect. Check the "
     "permissions and retry the backup."},
    {CSQLiteBackup::kSourceOpenIOError, Job::kSourceIOError,
     "An I/O error occurred on the source database file. Check the file and "
     "retry the backup."},
    {CSQLiteBackup::kCorrupt, Job::kSourceCorrupt,
     "The backup cannot be completed because the source database file is "
     "corrupt."},
    {CSQLiteBackup::kCantOpen, Job::kSourceCannotOpen,
     "The source database could not be opened. Check the file and retry the "
     "backup."},
    {CSQLiteBackup::kNotADatabase, Job::kSourceNotADatabase,
     "The backup cannot be completed because the source file is not a SQLite "
     "database."},
    {CSQLiteBackup::kSourceOpenFailed, Job::kSourceUnknownError, kUnknownSource},
    {CSQLiteBackup::kSourceOpenError, Job::kSourceUnknownError, kUnknownSource},
    {CSQLiteBackup::kDestinationOpenPerm, Job::kBackupFilePermission, nullptr},
    {CSQLiteBackup::kDestinationOpenIOError, Job::kBackupFileIOError, nullptr},
    {CSQLiteBackup::kDestinationOpenCantOpen, Job::kBackupFileCannotOpen,
     nullptr},
    {CSQLiteBackup::kDestinationNotRemoved, Job::kBackupFileNotRemoved,
     nullptr},
    {CSQLiteBackup::kDestinationOpenFailed, Job::kBackupFileOpenFailed, nullptr},
    {CSQLiteBackup::kDestinationOpenError, Job::kBackupFileOpenFailed, nullptr},
    {CSQLiteBackup::kBackupIOError, Job::kBackupFileWriteError, nullptr},
    {CSQLiteBackup::kBackupNoMem, Job::kOutOfMemory,
     "The backup cannot be completed because there is not enough available "
     "memory. Check the available memory and retry the backup."},
};

void AppendDetail(CQKString& text, const CQKString& detail) {
  if (detail.GetLength() == 0) return;
  text += "\n";
  text += detail;
}

}  // namespace

CQKString qk_result_text(unsigned int result, const char* name,
                         const CQKString& detail) {
  CQKString text;
  for (const Sentence& sentence : kSentences) {
    if (sentence.result == result) {
      text.SafeFormat(sentence.text, name != nullptr ? name : "");
    }
  }
  AppendDetail(text, detail);
  return text;
}

unsigned int qk_database_result(CSQLiteBackup::BackupError error,
                                const CQKString& detail, CQKString& text) {
  if (error == CSQLiteBackup::kSuccess) return 0;
  DatabaseRow row = {error, Job::kDatabaseError,
                     "An unknown error occurred when backing up the database. "
                     "Retry the backup later."};
  for (const DatabaseRow& r : kDatabaseRows) {
    if (r.error == error) row = r;
  }
  const unsigned int result = Job::kStepBackupDB + row.type;
  if (row.text != nullptr) {
    text = row.text;
  } else {
    text.SafeFormat(
        "An error occurred when creating the backup database file in a "
        "temporary directory. [Error code: %d]",
        static_cast<int>(result));
  }
  AppendDetail(text, detail);
  return result;
}
