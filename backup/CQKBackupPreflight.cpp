#include "backup/CQKBackupPreflight.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "backup/CQKNativeBackup.h"
#include "backup/CQKResultText.h"
#include "backup/qk_leftovers.h"
#include "backup/qk_project.h"
#include "backup/qk_workspace.h"
#include "fs/qk_fs.h"
#include "fs/qk_location.h"
#include "fs/qk_path.h"

namespace {

using Job = CQKNativeBackup;

const char kZipSuffix[] = ".zip";
const char kSystemTemporaryDirectory[] = "/tmp";

// The directory that holds `path`, named without a trailing '/'.
CQKString ParentOf(const CQKString& path) {
  CQKString directory;
  CQKString name;
  SplitPathIntoDirectoryAndName(path, directory, name);
  if (directory.GetLength() == 0) return CQKString(".");
  if (directory.GetLength() > 1) directory.TrimRightAscii("/");
  return directory;
}

// Why a new entry cannot be made in `directory`, if it can't.
CQKStatus WritableDirectoryProblem(const CQKString& directory) {
  struct stat64 st;
  if (qk_stat(directory, &st) != 0) {
    return CQKStatus::PosixError(directory, errno);
  }
  if (!S_ISDIR(st.st_mode)) return CQKStatus::PosixError(directory, ENOTDIR);
  if (qk_retry([&] {
        return access(directory.GetSafeStringPtr(), W_OK | X_OK);
      }) != 0) {
    return CQKStatus::PosixError(directory, errno);
  }
  return CQKStatus::OK();
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

}  // namespace

CQKBackupPreflight::CQKBackupPreflight(CBackupParameters& params,
                                       CQKRunContext& context)
    : params_(params), context_(context) {}

unsigned int CQKBackupPreflight::Fail(unsigned int type,
                                      const CQKString& detail) {
  const unsigned int result = Job::kStepCreateTempDirectory + type;
  errorText_ = qk_result_text(result, nullptr, detail);
  return result;
}

// Precedence: an empty destination, an existing one without -f, then what
// the source checks found, then the rest in the order they are made.
unsigned int CQKBackupPreflight::Run(CQKString& workingDirectory,
                                     QKOwnedFd& lock) {
  if (params_.destinationPath.GetLength() == 0) {
    return Fail(Job::kEmptyPath, CQKString::kEmptyString);
  }
  CQKStatus sourceProblem;
  const unsigned int sourceError = CheckSource(sourceProblem);
  FitDestination();
  const unsigned int refused = CheckDestination(sourceError);
  if (refused != 0) return refused;
  if (sourceError != Job::kNoError) {
    return Fail(sourceError, sourceProblem.GetMessage());
  }
  const CQKStatus unusable =
      WritableDirectoryProblem(ParentOf(params_.destinationPath));
  if (!unusable.IsOK()) return Fail(Job::kDestinationDirectoryUnusable, unusable.GetMessage());
  // An existing archive is replaced by the zip step itself; a backup
  // directory is replaced in step 4, and must be one.
  if (!params_.zip && params_.overwrite) {
    const unsigned int previous = CheckPreviousBackup();
    if (previous != 0) return previous;
  }
  NarrowCreationMask();
  return MakeWorkingDirectory(workingDirectory, lock);
}

// The source's error type; `problem` says what was found and why.
unsigned int CQKBackupPreflight::CheckSource(CQKStatus& problem) {
  const CQKString& source = params_.sourceProjectPath;
  if (source.GetLength() == 0) return Job::kEmptyPath;
  if (!qk_access(source, 'f')) {
    problem = CQKStatus::PosixError(source, errno);
    return Job::kSourceMissing;
  }
  struct stat64 st;
  if (!qk_access(source, 'r', &st)) {
    problem = CQKStatus::PosixError(source, errno);
    return Job::kNotAProject;
  }
  if (!S_ISDIR(st.st_mode)) {
    problem = CQKStatus::PosixError(source, ENOTDIR);
    return Job::kNotAProject;
  }
  return Job::kNoError;
}

// "dst/Main/" names dst/Main, so the suffix rules see the name itself.
void CQKBackupPreflight::FitDestination() {
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

unsigned int CQKBackupPreflight::CheckDestination(unsigned int sourceError) {
  const CQKString& source = params_.sourceProjectPath;
  const CQKString& destination = params_.destinationPath;
  // A backup in the project would be backed up by the next run, and one
  // around it would be removed with the previous backup.
  if (sourceError == Job::kNoError && (qk_lies_within(destination, source) ||
                                       qk_lies_within(source, destination))) {
    CQKString detail(destination);
    detail += ": the project is ";
    detail += source;
    return Fail(Job::kDestinationOverlapsSource, detail);
  }
  qk_sweep_leftovers(destination, context_);
  if (!params_.overwrite && qk_access(destination, 'f')) {
    return Fail(Job::kDestinationExists,
                CQKStatus::PosixError(destination, EEXIST).GetMessage());
  }
  return 0;
}

// -f -n replaces a previous backup and nothing else. A link to one is
// replaced as a link; what it names is left as it is.
unsigned int CQKBackupPreflight::CheckPreviousBackup() {
  const CQKString& destination = params_.destinationPath;
  struct stat64 previous;
  if (qk_retry([&] {
        return lstat64(destination.GetSafeStringPtr(), &previous);
      }) != 0) {
    return 0;
  }
  if (qk_stat(destination, &previous) != 0 || !S_ISDIR(previous.st_mode)) {
    const int error = S_ISDIR(previous.st_mode) ? errno : ENOTDIR;
    return Fail(Job::kRenameFailed,
                CQKStatus::PosixError(destination, error).GetMessage());
  }
  const CQKStatus problem = qk_backup_directory_problem(destination);
  return problem.IsOK() ? 0 : Fail(Job::kDestinationNotABackup, problem.GetMessage());
}

// Only ever in the directory for temporary files: never the current
// directory, and never the project or the destination, not for a moment.
unsigned int CQKBackupPreflight::MakeWorkingDirectory(
    CQKString& workingDirectory, QKOwnedFd& lock) {
  const CQKString base = params_.tempFilesPath.GetLength() != 0
                             ? params_.tempFilesPath
                             : CQKString(kSystemTemporaryDirectory);
  CQKStatus status = WritableDirectoryProblem(base);
  if (status.IsOK() && (qk_lies_within(base, params_.sourceProjectPath) ||
                        qk_lies_within(base, params_.destinationPath))) {
    status = CQKStatus::Invalid(
        base, "lies inside the source project or the destination");
  }
  if (status.IsOK()) {
    qk_workspace_sweep(base, context_);
    status = qk_workspace_create(base, workingDirectory, lock);
  }
  return status.IsOK() ? 0 : Fail(Job::kTempDirectoryFailed, status.GetMessage());
}

// A backup never grants more than its source: everything made from here on
// (working copy, archive, backup directory) gives group and others only the
// access that both the project directory and its database give them.
void CQKBackupPreflight::NarrowCreationMask() {
  mode_t allowed = 077;
  struct stat64 st;
  const CQKString& project = params_.sourceProjectPath;
  if (qk_stat(project, &st) == 0) allowed &= ClassAccess(st.st_mode);
  if (qk_stat(qk_join_path(project, CQKString(kQKDatabaseFileName)), &st) ==
      0) {
    allowed &= ClassAccess(st.st_mode);
  }
  // The one place the mask is read: reading it means setting it.
  const mode_t inherited = umask(0);
  creationMask_ = inherited | (077 & ~allowed);
  umask(creationMask_);
}
