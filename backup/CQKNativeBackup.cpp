#include "backup/CQKNativeBackup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "backup/WVZip.h"
#include "backup/qk_leftovers.h"
#include "fs/CQKFile.h"
#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_interrupt.h"
#include "fs/qk_location.h"
#include "fs/qk_owned_fd.h"
#include "fs/qk_path.h"
#include "fs/qk_tree_size.h"

namespace {

const char kDatabaseFileName[] = "qkproj.db";
const char kZipSuffix[] = ".zip";

struct ProjectDirectory {
  const char* name;
  CQKNativeBackup::ErrorType missingError;
};

const char kUnknownSource[] =
    "An unknown error occurred with the source database file. Retry the "
    "backup later.";

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

CQKString ParentOf(const CQKString& path) {
  CQKString directory;
  CQKString name;
  SplitPathIntoDirectoryAndName(path, directory, name);
  return directory.GetLength() != 0 ? directory : CQKString(".");
}

// A renamed working directory must look exactly as a copied one would:
// directories and files as new ones are made, less the umask.
bool GiveCopyModes(const CQKString& directory) {
  const mode_t mask = umask(0);
  umask(mask);
  return chmod(directory.GetSafeStringPtr(), 0755 & ~mask) == 0 &&
         chmod(JoinPath(directory, kDatabaseFileName).GetSafeStringPtr(),
               0666 & ~mask) == 0;
}

// The access a mode gives group and others, as bits of a umask would name
// it: reading a directory comes with searching it, so read grants both.
mode_t ClassAccess(mode_t mode) {
  mode_t access = 0;
  for (int shift : {3, 0}) {
    if (mode & (S_IROTH << shift)) access |= (S_IROTH | S_IXOTH) << shift;
    if (mode & (S_IWOTH << shift)) access |= S_IWOTH << shift;
  }
  return access;
}

// A backup never grants more than its source: everything made from here on
// (working copy, archive, backup directory) gives group and others only the
// access that both the project directory and its database give them.
void NarrowUmask(const CQKString& project) {
  mode_t allowed = 077;
  struct stat64 st;
  if (qk_stat(project, &st) == 0) allowed &= ClassAccess(st.st_mode);
  if (qk_stat(JoinPath(project, kDatabaseFileName), &st) == 0) {
    allowed &= ClassAccess(st.st_mode);
  }
  const mode_t mask = umask(0);
  umask(mask | (077 & ~allowed));
}

}  // namespace

CQKNativeBackup::CQKNativeBackup(CBackupParameters& params)
    : params_(params) {}

unsigned int CQKNativeBackup::Fail(Step step, ErrorType error,
                                   const char* message) {
  errorText_ = message;
  return step + error;
}

unsigned int CQKNativeBackup::Interrupted(Step step) {
  const int signal = qk_interrupted();
  const char* name = sigabbrev_np(signal);
  errorText_.SafeFormat("The backup was interrupted by SIG%s (signal %d).",
                        name != nullptr ? name : "?", signal);
  return step + kInterrupted;
}

CQKString CQKNativeBackup::WorkingPath(const char* name) const {
  return JoinPath(workingDirectory_, name);
}

// "dst/Main/" names dst/Main, so the suffix rules see the name itself.
void CQKNativeBackup::FitDestination() {
  CQKString& destination = params_.destinationPath;
  int length = static_cast<int>(destination.GetLength());
  while (length > 1 && destination[length - 1] == '/') length--;
  destination = destination.Left(length);
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
}

// The checks that come before anything is written; `sourceError` is what
// the source checks found.
unsigned int CQKNativeBackup::CheckDestination(ErrorType sourceError) {
  const CQKString& source = params_.sourceProjectPath;
  const CQKString& destination = params_.destinationPath;
  // A backup in the project would be backed up by the next run, and one
  // around it would be removed with the previous backup.
  if (sourceError == kNoError && (qk_lies_within(destination, source) ||
                                  qk_lies_within(source, destination))) {
    return Fail(kStepCreateTempDirectory, kDestinationOverlapsSource,
                "The destination must not be the source project, lie inside "
                "it or contain it.");
  }
  qk_sweep_leftovers(destination);
  if (!params_.overwrite && qk_access(destination, 'f')) {
    return Fail(kStepCreateTempDirectory, kDestinationExists,
                "The destination zip file or folder already exists. Use -f "
                "to overwrite it.");
  }
  return 0;
}

unsigned int CQKNativeBackup::CreateTempDirectory() {
  const unsigned int result = CheckAndCreate();
  return qk_interrupted() != 0 ? Interrupted(kStepCreateTempDirectory) : result;
}

unsigned int CQKNativeBackup::CheckAndCreate() {
  const CQKString& source = params_.sourceProjectPath;
  const CQKString& destination = params_.destinationPath;
  if (destination.GetLength() == 0) {
    return Fail(kStepCreateTempDirectory, kEmptyPath,
                "The source or destination project path was empty.");
  }
  ErrorType sourceError = kNoError;
  const char* sourceMessage = nullptr;
  if (source.GetLength() == 0) {
    sourceError = kEmptyPath;
    sourceMessage = "The source or destination project path was empty.";
  } else if (!qk_access(source, 'f')) {
    sourceError = kSourceMissing;
    sourceMessage = "The source project does not exist.";
  } else if (!qk_isdir(source, 'r')) {
    sourceError = kNotAProject;
    sourceMessage = "The source file is not a valid Tarnwell project.";
  }

  FitDestination();
  const unsigned int refused = CheckDestination(sourceError);
  if (refused != 0) return refused;
  if (sourceError != kNoError) {
    return Fail(kStepCreateTempDirectory, sourceError, sourceMessage);
  }
  // An existing archive is replaced by the zip step itself; a backup
  // directory is renamed aside in step 4, which must be possible.
  if (!params_.zip && params_.overwrite) {
    struct stat64 previous;
    if (lstat64(destination.GetSafeStringPtr(), &previous) == 0 &&
        (!qk_isdir(destination, 'f') ||
         access(ParentOf(destination).GetSafeStringPtr(), W_OK | X_OK) != 0)) {
      return Fail(kStepCreateTempDirectory, kRenameFailed,
                  "An error occurred when attempting to rename the "
                  "pre-existing destination folder.");
    }
  }
  NarrowUmask(source);
  return MakeWorkingDirectory();
}

unsigned int CQKNativeBackup::MakeWorkingDirectory() {
  CQKString created;
  if (!CQKFile::CreateTempDirectory(created, params_.tempFilesPath)) {
    return Fail(kStepCreateTempDirectory, kTempDirectoryFailed,
                "Creating a temporary directory failed.");
  }
  // The fallback name lies in the current directory; the tree walks move
  // the process's working directory, so hold it as a full path.
  GetFullPathFromAnyPathInput(created, workingDirectory_, nullptr);
  // Inside the project the copy would copy itself; inside the destination
  // it would go with the previous backup.
  if (qk_lies_within(workingDirectory_, params_.sourceProjectPath) ||
      qk_lies_within(workingDirectory_, params_.destinationPath)) {
    qk_rmdir(workingDirectory_);
    return Fail(kStepCreateTempDirectory, kTempDirectoryFailed,
                "Creating a temporary directory failed.");
  }
  workingDirectoryCreated_ = true;
  return 0;
}

unsigned int CQKNativeBackup::BackupDB() {
  if (qk_interrupted() != 0) return Interrupted(kStepBackupDB);
  const CQKString source = JoinPath(params_.sourceProjectPath, kDatabaseFileName);
  const CQKString target = WorkingPath(kDatabaseFileName);
  CSQLiteBackup backup(source.GetSafeStringPtr(), target.GetSafeStringPtr(),
                       true);
  const CSQLiteBackup::BackupError outcome = backup.BackupDB();
  const unsigned int result =
      SetBackupError(outcome, backup.GetErrorMessage());
  return qk_interrupted() != 0 ? Interrupted(kStepBackupDB) : result;
}

unsigned int CQKNativeBackup::SetBackupError(CSQLiteBackup::BackupError error,
                                             const CQKString& detail) {
  // A null message stands for the one that names the result code.
  struct Row {
    CSQLiteBackup::BackupError error;
    ErrorType type;
    const char* message;
  };
  static const Row kRows[] = {
      {CSQLiteBackup::kSourceMissing, kSourceMissing,
       "The backup cannot be completed because the source database file does "
       "not exist."},
      {CSQLiteBackup::kSourceOpenPerm, kNoReadPermission,
       "The source database file permissions are incorrect. Check the "
       "permissions and retry the backup."},
      {CSQLiteBackup::kSourceOpenIOError, kSourceIOError,
       "An I/O error occurred on the source database file. Check the file and "
       "retry the backup."},
      {CSQLiteBackup::kCorrupt, kSourceCorrupt,
       "The backup cannot be completed because the source database file is "
       "corrupt."},
      {CSQLiteBackup::kCantOpen, kSourceCannotOpen,
       "The source database could not be opened. Check the file and retry the "
       "backup."},
      {CSQLiteBackup::kNotADatabase, kSourceNotADatabase,
       "The backup cannot be completed because the source file is not a SQLite "
       "database."},
      {CSQLiteBackup::kSourceOpenFailed, kSourceUnknownError, kUnknownSource},
      {CSQLiteBackup::kSourceOpenError, kSourceUnknownError, kUnknownSource},
      {CSQLiteBackup::kDestinationOpenPerm, kBackupFilePermission, nullptr},
      {CSQLiteBackup::kDestinationOpenIOError, kBackupFileIOError, nullptr},
      {CSQLiteBackup::kDestinationOpenCantOpen, kBackupFileCannotOpen, nullptr},
      {CSQLiteBackup::kDestinationNotRemoved, kBackupFileNotRemoved, nullptr},
      {CSQLiteBackup::kDestinationOpenFailed, kBackupFileOpenFailed, nullptr},
      {CSQLiteBackup::kDestinationOpenError, kBackupFileOpenFailed, nullptr},
      {CSQLiteBackup::kBackupIOError, kBackupFileWriteError, nullptr},
      {CSQLiteBackup::kBackupNoMem, kOutOfMemory,
       "The backup cannot be completed because there is not enough available "
       "memory. Check the available memory and retry the backup."},
  };
  if (error == CSQLiteBackup::kSuccess) return 0;
  Row row = {error, kDatabaseError,
             "An unknown error occurred when backing up the database. Retry "
             "the backup later."};
  for (const Row& r : kRows) {
    if (r.error == error) row = r;
  }
  const unsigned int result = kStepBackupDB + row.type;
  if (row.message != nullptr) {
    errorText_ = row.message;
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
  if (qk_interrupted() != 0) return Interrupted(kStepCopyProjectDirectories);
  if (params_.databaseOnly) return kSkipped;
  for (const ProjectDirectory& directory : kProjectDirectories) {
    const unsigned int result =
        CopyProjectDirectory(CQKString(directory.name), directory.missingError);
    if (qk_interrupted() != 0) return Interrupted(kStepCopyProjectDirectories);
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
  if (qk_interrupted() != 0) return Interrupted(kStepCreateZipFile);
  CWVZip zip;
  // Once in place the archive is the backup, whatever arrives after.
  if (zip.ZipFile(workingDirectory_, params_.destinationPath, true, true)) {
    return 0;
  }
  if (qk_interrupted() != 0) return Interrupted(kStepCreateZipFile);
  errorText_.SafeFormat("An error occurred when creating the backup zip "
                        "file.\n%s",
                        zip.GetErrorText().GetSafeStringPtr());
  return kStepCreateZipFile + kZipFailed;
}

unsigned int CQKNativeBackup::FinalCopyProject() {
  if (qk_interrupted() != 0) return Interrupted(kStepFinalCopyProject);
  const CQKString directory = ParentOf(params_.destinationPath);
  const QKOwnedFd parent(
      open(directory.GetSafeStringPtr(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The new tree is made durable before it replaces anything.
  const bool ready = parent.get() != -1 && BuildBesideDestination() &&
                     syncfs(parent.get()) == 0;
  if (qk_interrupted() != 0) return Interrupted(kStepFinalCopyProject);
  if (ready && InstallBuilt(parent.get())) return 0;
  if (qk_interrupted() != 0) return Interrupted(kStepFinalCopyProject);
  return Fail(kStepFinalCopyProject, kCopyFailed,
              "An error occurred while copying the final project directory.");
}

// On the destination's file system the working directory itself becomes the
// new backup; elsewhere it is copied there.
bool CQKNativeBackup::BuildBesideDestination() {
  builtPath_ = qk_private_name(params_.destinationPath, "qknew",
                               static_cast<long>(getpid()));
  struct stat64 working;
  struct stat64 target;
  if (qk_stat(workingDirectory_, &working) == 0 &&
      qk_stat(ParentOf(params_.destinationPath), &target) == 0 &&
      working.st_dev == target.st_dev &&
      qk_rename(workingDirectory_, builtPath_)) {
    builtCreated_ = true;
    return GiveCopyModes(builtPath_);
  }
  builtCreated_ = !qk_access(builtPath_, 'f');
  return qk_copy_dir(workingDirectory_, builtPath_, true, true, nullptr);
}

// At every moment the destination's name holds the previous backup or the
// complete new one; for the instant between the renames the previous one is
// whole under its private name.
bool CQKNativeBackup::InstallBuilt(int directoryDescriptor) {
  const CQKString& destination = params_.destinationPath;
  previousPath_ = qk_private_name(destination, "qkold",
                                  static_cast<long>(getpid()));
  if (qk_rename(destination, previousPath_)) {
    previousMoved_ = true;
  } else if (errno != ENOENT) {
    return false;
  }
  if (!qk_rename(builtPath_, destination)) {
    RevertNameChange();
    return false;
  }
  installed_ = true;
  fsync(directoryDescriptor);
  // Left behind only if it cannot go; a later run removes it.
  if (previousMoved_) qk_rmdir_recursive(previousPath_, true);
  return true;
}

void CQKNativeBackup::RevertNameChange() {
  if (!previousMoved_ || installed_) return;
  const CQKString& destination = params_.destinationPath;
  if (qk_rename(previousPath_, destination)) {
    previousMoved_ = false;
  } else if (qk_access(destination, 'f')) {
    // A concurrent run put its complete backup there meanwhile: the
    // previous one is superseded.
    qk_rmdir_recursive(previousPath_, true);
    previousMoved_ = false;
  }
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

  // A partial new backup must not pass for one.
  bool builtRemoved = true;
  if (builtCreated_ && !installed_ && qk_access(builtPath_, 'f')) {
    builtRemoved = qk_rmdir_recursive(builtPath_, true);
  }
  return workingRemoved && destinationRemoved && builtRemoved;
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
