#include "backup/CQKNativeBackup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "backup/WVZip.h"
#include "backup/qk_leftovers.h"
#include "backup/qk_workspace.h"
#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_interrupt.h"
#include "fs/qk_location.h"
#include "fs/qk_path.h"
#include "fs/qk_publish.h"
#include "fs/qk_tree_size.h"

namespace {

const char kDatabaseFileName[] = "qkproj.db";
const char kZipSuffix[] = ".zip";
const char kSystemTemporaryDirectory[] = "/tmp";

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
  return qk_join_path(directory, CQKString(name));
}

// The directory that holds `path`, named without a trailing '/'.
CQKString ParentOf(const CQKString& path) {
  CQKString directory;
  CQKString name;
  SplitPathIntoDirectoryAndName(path, directory, name);
  if (directory.GetLength() == 0) return CQKString(".");
  if (directory.GetLength() > 1) directory.TrimRightAscii("/");
  return directory;
}

// Whether `name` may stand in a backup directory, and as what.
bool IsBackupEntry(const char* name, mode_t mode) {
  if (strcmp(name, kDatabaseFileName) == 0) return S_ISREG(mode);
  for (const ProjectDirectory& directory : kProjectDirectories) {
    if (strcmp(name, directory.name) == 0) return S_ISDIR(mode);
  }
  return false;
}

// Why the directory at `path` is not a backup this program made, if it
// is not: an entry a backup never holds, or no database.
CQKStatus BackupDirectoryProblem(const CQKString& path) {
  QKOwnedFd fd(qk_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (fd.get() == -1) return CQKStatus::PosixError(path, errno);
  QKOwnedScan stream(qk_fdopendir(fd.get()));
  if (!stream) return CQKStatus::PosixError(path, errno);
  const int descriptor = fd.Release();
  bool hasDatabase = false;
  for (;;) {
    errno = 0;
    const dirent64* entry = readdir64(stream.get());
    if (entry == nullptr) {
      if (errno == EINTR) continue;
      if (errno != 0) return CQKStatus::PosixError(path, errno);
      break;
    }
    if (qk_isdotentry(entry->d_name)) continue;
    struct stat64 st;
    if (fstatat64(descriptor, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return CQKStatus::PosixError(JoinPath(path, entry->d_name), errno);
    }
    if (!IsBackupEntry(entry->d_name, st.st_mode)) {
      return CQKStatus::Invalid(JoinPath(path, entry->d_name),
                                "not part of a backup");
    }
    hasDatabase |= strcmp(entry->d_name, kDatabaseFileName) == 0;
  }
  if (hasDatabase) return CQKStatus::OK();
  return CQKStatus::PosixError(JoinPath(path, kDatabaseFileName), ENOENT);
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

unsigned int CQKNativeBackup::Fail(Step step, ErrorType error,
                                   const char* message,
                                   const CQKStatus& detail) {
  errorText_ = message;
  errorText_ += "\n";
  errorText_ += detail.GetMessage();
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
  const unsigned int unusable = CheckDestinationDirectory();
  if (unusable != 0) return unusable;
  // An existing archive is replaced by the zip step itself; a backup
  // directory is renamed aside in step 4, which must be possible.
  if (!params_.zip && params_.overwrite) {
    const unsigned int previous = CheckPreviousBackup();
    if (previous != 0) return previous;
  }
  NarrowUmask(source);
  return MakeWorkingDirectory();
}

// Found before anything is copied, not after the whole copy.
unsigned int CQKNativeBackup::CheckDestinationDirectory() {
  const CQKString directory = ParentOf(params_.destinationPath);
  struct stat64 st;
  int error = 0;
  if (qk_stat(directory, &st) != 0) {
    error = errno;
  } else if (!S_ISDIR(st.st_mode)) {
    error = ENOTDIR;
  } else if (access(directory.GetSafeStringPtr(), W_OK | X_OK) != 0) {
    error = errno;
  }
  if (error == 0) return 0;
  return Fail(kStepCreateTempDirectory, kDestinationDirectoryUnusable,
              "The destination directory does not exist or cannot be "
              "written.",
              CQKStatus::PosixError(directory, error));
}

// -f -n replaces a previous backup and nothing else: a directory that holds
// qkproj.db and at most the four project directories besides. A link to one
// is replaced as a link; what it names is left as it is.
unsigned int CQKNativeBackup::CheckPreviousBackup() {
  const CQKString& destination = params_.destinationPath;
  struct stat64 previous;
  if (qk_retry([&] { return lstat64(destination.GetSafeStringPtr(), &previous); }) != 0) return 0;
  if (qk_stat(destination, &previous) != 0 || !S_ISDIR(previous.st_mode)) {
    return Fail(kStepCreateTempDirectory, kRenameFailed,
                "An error occurred when attempting to rename the "
                "pre-existing destination folder.");
  }
  const CQKStatus problem = BackupDirectoryProblem(destination);
  if (problem.IsOK()) return 0;
  return Fail(kStepCreateTempDirectory, kDestinationNotABackup,
              "The destination folder is not a backup of a Tarnwell project. "
              "Nothing in it was changed.",
              problem);
}

// Only ever in the directory for temporary files: never the current
// directory, and never the project or the destination, not for a moment.
unsigned int CQKNativeBackup::MakeWorkingDirectory() {
  const CQKString base = params_.tempFilesPath.GetLength() != 0
                             ? params_.tempFilesPath
                             : CQKString(kSystemTemporaryDirectory);
  CQKStatus status;
  struct stat64 st;
  if (qk_stat(base, &st) != 0) {
    status = CQKStatus::PosixError(base, errno);
  } else if (!S_ISDIR(st.st_mode)) {
    status = CQKStatus::PosixError(base, ENOTDIR);
  } else if (access(base.GetSafeStringPtr(), W_OK | X_OK) != 0) {
    status = CQKStatus::PosixError(base, errno);
  } else if (qk_lies_within(base, params_.sourceProjectPath) ||
             qk_lies_within(base, params_.destinationPath)) {
    status = CQKStatus::Invalid(
        base, "lies inside the source project or the destination");
  } else {
    qk_workspace_sweep(base);
    status = qk_workspace_create(base, workingDirectory_, workingLock_);
  }
  if (!status.IsOK()) {
    return Fail(kStepCreateTempDirectory, kTempDirectoryFailed,
                "Creating a temporary directory failed.", status);
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
  if (!qk_access(source, 'f')) {
    format = "The backup cannot be completed because the %s directory does "
             "not exist.";
    result = kStepCopyProjectDirectories + missingError;
  } else if (!qk_access(source, 'r')) {
    format = "Cannot read the %s directory. Check the file permssions and "
             "retry the backup.";
    result = kStepCopyProjectDirectories + kNoReadPermission;
  } else {
    QKCopyOptions options;
    options.liveSource = true;
    const CQKStatus status = qk_copy_tree(source, target, options);
    if (status.IsOK() || status.IsInterrupted()) return 0;
    // The second line says which file failed and why.
    errorText_.SafeFormat(
        "An error occurred when copying the %s project directory.\n%s",
        name.GetSafeStringPtr(), status.GetMessage().GetSafeStringPtr());
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
  const CQKString& destination = params_.destinationPath;
  // The new tree is made durable before it replaces anything.
  CQKStatus status = BuildBesideDestination();
  if (status.IsOK() && qk_interrupted() == 0) {
    status = qk_sync_durable(builtPath_);
  }
  if (status.IsOK() && qk_interrupted() == 0) {
    previousPath_ = qk_private_name(destination, "qkold",
                                    static_cast<long>(getpid()));
    status = qk_publish(builtPath_, destination, previousPath_);
    installed_ = status.IsOK();
  }
  // Once in place the directory is the backup, whatever arrives after.
  if (installed_) return 0;
  if (qk_interrupted() != 0) return Interrupted(kStepFinalCopyProject);
  return Fail(kStepFinalCopyProject, kCopyFailed,
              "An error occurred while copying the final project directory.",
              status);
}

// On the destination's file system the working directory itself becomes the
// new backup; elsewhere it is copied there.
CQKStatus CQKNativeBackup::BuildBesideDestination() {
  builtPath_ = qk_private_name(params_.destinationPath, "qknew",
                               static_cast<long>(getpid()));
  struct stat64 working;
  struct stat64 target;
  if (qk_stat(workingDirectory_, &working) == 0 &&
      qk_stat(ParentOf(params_.destinationPath), &target) == 0 &&
      working.st_dev == target.st_dev &&
      qk_rename(workingDirectory_, builtPath_)) {
    builtCreated_ = true;
    if (!GiveCopyModes(builtPath_)) {
      return CQKStatus::PosixError(builtPath_, errno);
    }
    return CQKStatus::OK();
  }
  QKCopyOptions options;
  const CQKStatus status = qk_copy_tree(workingDirectory_, builtPath_, options);
  // A name that was taken already is not ours to remove.
  builtCreated_ = status.IsOK() || status.GetErrno() != EEXIST;
  return status;
}

// The publishing puts the previous backup back itself; this covers a run
// cut short between its renames by an exception.
void CQKNativeBackup::RevertNameChange() {
  if (installed_ || previousPath_.GetLength() == 0) return;
  struct stat64 st;
  const CQKString& destination = params_.destinationPath;
  if (qk_retry([&] { return lstat64(destination.GetSafeStringPtr(), &st); }) != 0 &&
      qk_retry([&] { return lstat64(previousPath_.GetSafeStringPtr(), &st); }) == 0) {
    qk_rename(previousPath_, destination);
  }
}

bool CQKNativeBackup::Cleanup(bool removeDestination) {
  bool workingRemoved = true;
  if (workingDirectoryCreated_ && workingDirectory_.GetLength() != 0 &&
      qk_access(workingDirectory_, 'f')) {
    workingRemoved = qk_isdir(workingDirectory_, 'r') &&
                     qk_rmdir_recursive(workingDirectory_, false);
  }
  // The marker goes last, with the lock: a run that dies before leaves
  // both for the next run to find.
  if (workingDirectoryCreated_ && workingRemoved) {
    qk_remove(qk_workspace_marker(workingDirectory_));
    workingLock_.Reset(-1);
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
