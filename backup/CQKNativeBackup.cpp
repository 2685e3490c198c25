#include "backup/CQKNativeBackup.h"

#include <cerrno>
#include <cstring>

#include "backup/WVZip.h"
#include "fs/CQKFile.h"
#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_path.h"
#include "fs/qk_tree_size.h"

namespace {

const char kDatabaseFileName[] = "qkproj.db";
const char kZipSuffix[] = ".zip";
const char kOldSuffix[] = "_OLD";

struct ProjectDirectory {
  const char* name;
  CQKNativeBackup::ErrorType missingError;
};

const ProjectDirectory kProjectDirectories[] = {
    {"Attach", CQKNativeBackup::kAttachMissing},
    {"Quillet_In", CQKNativeBackup::kQuilletInMissing},
    {"Quillet_Out", CQKNativeBackup::kQuilletOutMissing},
    {"StyleSheets", CQKNativeBackup::kStyleSheetsMissing},
};

CQKString JoinPath(const CQKString& directory, const char* name) {
  CQKString path(directory);
  path.AppendDirSeperatorIfNotPresent();
  path += name;
  return path;
}

}  // namespace

CQKNativeBackup::CQKNativeBackup(CBackupParameters& params)
    : params_(params) {}

unsigned int CQKNativeBackup::Fail(Step step, ErrorType error,
                                   const char* message) {
  errorText_ = message;
  return step + error;
}

CQKString CQKNativeBackup::OldDestinationPath() const {
  CQKString path(params_.destinationPath);
  path += kOldSuffix;
  return path;
}

CQKString CQKNativeBackup::WorkingPath(const char* name) const {
  return JoinPath(workingDirectory_, name);
}

unsigned int CQKNativeBackup::CreateTempDirectory() {
  CQKString& source = params_.sourceProjectPath;
  CQKString& destination = params_.destinationPath;
  ErrorType sourceError = kNoError;
  const char* sourceMessage = nullptr;

  // The source is judged first, but a clash at the destination outranks it.
  if (source.GetLength() == 0 || destination.GetLength() == 0) {
    sourceError = kEmptyPath;
    sourceMessage = "The source or destination project path was empty.";
  } else if (!qk_access(source, 'f')) {
    sourceError = kSourceMissing;
    sourceMessage = "The source project does not exist.";
  } else if (!qk_isdir(source, 'r')) {
    sourceError = kNotAProject;
    sourceMessage = "The source file is not a valid Tarnwell project.";
  }

  const CQKString suffix(kZipSuffix);
  const int suffixLength = static_cast<int>(suffix.GetLength());
  const bool hasZipSuffix =
      destination.Right(suffixLength).Compare(suffix, true) == 0;
  if (params_.zip && !hasZipSuffix) {
    destination += kZipSuffix;
  } else if (!params_.zip && hasZipSuffix) {
    destination = destination.Left(
        static_cast<int>(destination.GetLength()) - suffixLength);
  }

  if (!params_.overwrite) {
    if (qk_access(destination, 'f')) {
      return Fail(kStepCreateTempDirectory, kDestinationExists,
                  "The destination zip file or folder already exists. Use -f "
                  "to overwrite it.");
    }
    if (sourceError != kNoError) {
      return Fail(kStepCreateTempDirectory, sourceError, sourceMessage);
    }
  } else {
    if (sourceError != kNoError) {
      return Fail(kStepCreateTempDirectory, sourceError, sourceMessage);
    }
    // An existing archive is replaced by the zip step itself; only a backup
    // directory has to make room for the new one.
    if (!params_.zip && qk_isdir(destination, 'r')) {
      CQKFile previous(destination);
      if (!previous.Rename(OldDestinationPath(), false)) {
        return Fail(kStepCreateTempDirectory, kRenameFailed,
                    "An error occurred when attempting to rename the "
                    "pre-existing destination folder.");
      }
      destinationMovedAside_ = true;
    }
  }

  CQKString created;
  if (!CQKFile::CreateTempDirectory(created, params_.tempFilesPath)) {
    return Fail(kStepCreateTempDirectory, kTempDirectoryFailed,
                "Creating a temporary directory failed.");
  }
  // The fallback name lies in the current directory; the tree walks move
  // the process's working directory, so hold it as a full path.
  GetFullPathFromAnyPathInput(created, workingDirectory_, nullptr);
  workingDirectoryCreated_ = true;
  return 0;
}

unsigned int CQKNativeBackup::BackupDB() {
  const CQKString source = JoinPath(params_.sourceProjectPath, kDatabaseFileName);
  const CQKString target = WorkingPath(kDatabaseFileName);
  CSQLiteBackup backup(source.GetSafeStringPtr(), target.GetSafeStringPtr(),
                       true);
  const CSQLiteBackup::BackupError outcome = backup.BackupDB();
  return SetBackupError(outcome, backup.GetErrorMessage());
}

unsigned int CQKNativeBackup::SetBackupError(CSQLiteBackup::BackupError error,
                                             const CQKString& detail) {
  ErrorType type;
  const char* message = nullptr;
  switch (error) {
    case CSQLiteBackup::kSuccess:
      return 0;
    case CSQLiteBackup::kSourceMissing:
      type = kSourceMissing;
      message = "The backup cannot be completed because the source database "
                "file does not exist.";
      break;
    case CSQLiteBackup::kSourceOpenPerm:
      type = kNoReadPermission;
      message = "The source database file permissions are incorrect. Check "
                "the permissions and retry the backup.";
      break;
    case CSQLiteBackup::kSourceOpenIOError:
      type = kSourceIOError;
      message = "An I/O error occurred on the source database file. Check the "
                "file and retry the backup.";
      break;
    case CSQLiteBackup::kCorrupt:
      type = kSourceCorrupt;
      message = "The backup cannot be completed because the source database "
                "file is corrupt.";
      break;
    case CSQLiteBackup::kCantOpen:
      type = kSourceCannotOpen;
      message = "The source database could not be opened. Check the file and "
                "retry the backup.";
      break;
    case CSQLiteBackup::kNotADatabase:
      type = kSourceNotADatabase;
      message = "The backup cannot be completed because the source file is "
                "not a SQLite database.";
      break;
    case CSQLiteBackup::kSourceOpenFailed:
    case CSQLiteBackup::kSourceOpenError:
      type = kSourceUnknownError;
      message = "An unknown error occurred with the source database file. "
                "Retry the backup later.";
      break;
    case CSQLiteBackup::kDestinationOpenPerm:
      type = kBackupFilePermission;
      break;
    case CSQLiteBackup::kDestinationOpenIOError:
      type = kBackupFileIOError;
      break;
    case CSQLiteBackup::kDestinationOpenCantOpen:
      type = kBackupFileCannotOpen;
      break;
    case CSQLiteBackup::kDestinationNotRemoved:
      type = kBackupFileNotRemoved;
      break;
    case CSQLiteBackup::kDestinationOpenFailed:
    case CSQLiteBackup::kDestinationOpenError:
      type = kBackupFileOpenFailed;
      break;
    case CSQLiteBackup::kBackupIOError:
      type = kBackupFileWriteError;
      break;
    case CSQLiteBackup::kBackupNoMem:
      type = kOutOfMemory;
      message = "The backup cannot be completed because there is not enough "
                "available memory. Check the available memory and retry the "
                "backup.";
      break;
    default:
      type = kDatabaseError;
      message = "An unknown error occurred when backing up the database. "
                "Retry the backup later.";
      break;
  }
  const unsigned int result = kStepBackupDB + type;
  if (message != nullptr) {
    errorText_ = message;
  } else {
    errorText_.SafeFormat(
        "An error occurred when creating the backup database file in a "
        "temporary directory. [Error code: %d]",
        static_cast<int>(result));
  }
  if (detail.GetLength() != 0) {
    errorText_ += "\n";
    errorText_ += detail;
  }
  return result;
}

unsigned int CQKNativeBackup::CopyProjectDirectories() {
  if (params_.databaseOnly) return kSkipped;
  for (const ProjectDirectory& directory : kProjectDirectories) {
    const unsigned int result =
        CopyProjectDirectory(CQKString(directory.name), directory.missingError);
    if (result != 0) return result;
  }
  return 0;
}

unsigned int CQKNativeBackup::CopyProjectDirectory(const CQKString& name,
                                                   ErrorType missingError) {
  const CQKString source =
      JoinPath(params_.sourceProjectPath, name.GetSafeStringPtr());
  const CQKString target = WorkingPath(name.GetSafeStringPtr());
  const char* format = nullptr;
  unsigned int result = 0;
  CQKString failedPath;
  if (!qk_access(source, 'f')) {
    format = "The backup cannot be completed because the %s directory does "
             "not exist.";
    result = kStepCopyProjectDirectories + missingError;
  } else if (!qk_access(source, 'r')) {
    format = "Cannot read the %s directory. Check the file permssions and "
             "retry the backup.";
    result = kStepCopyProjectDirectories + kNoReadPermission;
  } else if (!qk_copy_dir(source, target, true, true, nullptr, &failedPath)) {
    // The second line says which file failed and why.
    errorText_.SafeFormat(
        "An error occurred when copying the %s project directory.\n%s: %s",
        name.GetSafeStringPtr(), failedPath.GetSafeStringPtr(),
        strerror(errno));
    return kStepCopyProjectDirectories + kCopyFailed;
  }
  if (result != 0) errorText_.SafeFormat(format, name.GetSafeStringPtr());
  return result;
}

unsigned int CQKNativeBackup::CreateZipFile() {
  CWVZip zip;
  if (zip.ZipFile(workingDirectory_, params_.destinationPath, true, true)) {
    return 0;
  }
  errorText_.SafeFormat("An error occurred when creating the backup zip "
                        "file.\n%s",
                        zip.GetErrorText().GetSafeStringPtr());
  return kStepCreateZipFile + kZipFailed;
}

unsigned int CQKNativeBackup::FinalCopyProject() {
  const CQKString& destination = params_.destinationPath;
  const bool destinationFree = !qk_access(destination, 'f');
  if (qk_copy_dir(workingDirectory_, destination, true, true, nullptr)) {
    finalCopyDone_ = true;
    return 0;
  }
  // A partial copy must not pass for a backup, nor keep the previous one
  // from coming back under its own name.
  if (destinationFree && qk_isdir(destination, 'f')) {
    qk_rmdir_recursive(destination, true);
  }
  return Fail(kStepFinalCopyProject, kCopyFailed,
              "An error occurred while copying the final project directory.");
}

void CQKNativeBackup::RevertNameChange() {
  if (!destinationMovedAside_) return;
  CQKFile old(OldDestinationPath());
  old.Rename(params_.destinationPath, false);
}

bool CQKNativeBackup::Cleanup(bool removeDestination) {
  bool workingRemoved = true;
  if (workingDirectoryCreated_ && workingDirectory_.GetLength() != 0 &&
      qk_access(workingDirectory_, 'f')) {
    workingRemoved = qk_isdir(workingDirectory_, 'r') &&
                     qk_rmdir_recursive(workingDirectory_, false);
  }

  bool destinationRemoved = true;
  const CQKString& destination = params_.destinationPath;
  if (removeDestination && destination.GetLength() != 0 &&
      qk_access(destination, 'f')) {
    destinationRemoved = qk_isfile(destination, 'r') && qk_remove(destination);
  }

  // Until the new backup is complete the moved-aside one is the only copy.
  if (destinationMovedAside_ && finalCopyDone_) {
    const CQKString old = OldDestinationPath();
    if (qk_access(old, 'f')) qk_rmdir_recursive(old, false);
  }
  return workingRemoved && destinationRemoved;
}

uint64_t CQKNativeBackup::CountStepBytes(Step step) const {
  if (step == kStepCreateZipFile || step == kStepFinalCopyProject) {
    return qk_tree_bytes(workingDirectory_);
  }
  if (step != kStepCopyProjectDirectories || params_.databaseOnly) return 0;
  uint64_t bytes = 0;
  for (const ProjectDirectory& directory : kProjectDirectories) {
    bytes += qk_tree_bytes(JoinPath(params_.sourceProjectPath, directory.name));
  }
  return bytes;
}
