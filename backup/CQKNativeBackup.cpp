#include "backup/CQKNativeBackup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "backup/CQKBackupPreflight.h"
#include "backup/CQKResultText.h"
#include "backup/WVZip.h"
#include "backup/qk_leftovers.h"
#include "backup/qk_project.h"
#include "backup/qk_workspace.h"
#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_path.h"
#include "fs/qk_publish.h"
#include "fs/qk_tree_size.h"

namespace {

CQKString JoinPath(const CQKString& directory, const char* name) {
  return qk_join_path(directory, CQKString(name));
}

CQKString DirectoryOf(const CQKString& path) {
  CQKString directory;
  CQKString name;
  SplitPathIntoDirectoryAndName(path, directory, name);
  return directory.GetLength() != 0 ? directory : CQKString(".");
}

// A renamed working directory must look exactly as a copied one would:
// directories and files as new ones are made under `mask`.
CQKStatus GiveCopyModes(const CQKString& directory, mode_t mask) {
  const CQKString database = JoinPath(directory, kQKDatabaseFileName);
  for (const auto& [path, mode] : {std::make_pair(&directory, mode_t{0755}),
                                   std::make_pair(&database, mode_t{0666})}) {
    const char* name = path->GetSafeStringPtr();
    const mode_t wanted = mode & ~mask;
    if (qk_retry([&] { return chmod(name, wanted); }) != 0) {
      return CQKStatus::PosixError(*path, errno);
    }
  }
  return CQKStatus::OK();
}

}  // namespace

CQKNativeBackup::CQKNativeBackup(CBackupParameters& params)
    : CQKNativeBackup(params, CQKRunContext::Quiet()) {}

CQKNativeBackup::CQKNativeBackup(CBackupParameters& params,
                                 CQKRunContext& context)
    : params_(params), context_(context) {}

unsigned int CQKNativeBackup::Fail(unsigned int result, const char* name,
                                   const CQKStatus& detail) {
  errorText_ = qk_result_text(result, name, detail.GetMessage());
  return result;
}

// Every step ends here: a stop request makes any outcome an interruption.
unsigned int CQKNativeBackup::Finish(Step step, unsigned int result) {
  const int signal = context_.GetStopSignal();
  if (signal == 0) return result;
  const char* name = sigabbrev_np(signal);
  errorText_.SafeFormat("The backup was interrupted by SIG%s (signal %d).",
                        name != nullptr ? name : "?", signal);
  return step + kInterrupted;
}

CQKString CQKNativeBackup::WorkingPath(const char* name) const {
  return JoinPath(workingDirectory_, name);
}

unsigned int CQKNativeBackup::CreateTempDirectory() {
  CQKBackupPreflight preflight(params_, context_);
  const unsigned int result = preflight.Run(workingDirectory_, workingLock_);
  workingDirectoryCreated_ = workingLock_.get() != -1;
  creationMask_ = preflight.GetCreationMask();
  if (result != 0) errorText_ = preflight.GetErrorText();
  return Finish(kStepCreateTempDirectory, result);
}

unsigned int CQKNativeBackup::BackupDB() {
  if (context_.IsStopRequested()) return Finish(kStepBackupDB, 0);
  const CQKString source =
      JoinPath(params_.sourceProjectPath, kQKDatabaseFileName);
  const CQKString target = WorkingPath(kQKDatabaseFileName);
  CSQLiteBackup backup(source.GetSafeStringPtr(), target.GetSafeStringPtr(),
                       true, context_);
  const CSQLiteBackup::BackupError outcome = backup.BackupDB();
  return Finish(kStepBackupDB,
                SetBackupError(outcome, backup.GetErrorMessage()));
}

unsigned int CQKNativeBackup::SetBackupError(CSQLiteBackup::BackupError error,
                                             const CQKString& detail) {
  return qk_database_result(error, detail, errorText_);
}

unsigned int CQKNativeBackup::CopyProjectDirectories() {
  if (params_.databaseOnly) return Finish(kStepCopyProjectDirectories, kSkipped);
  unsigned int result = 0;
  for (const QKProjectDirectory& directory : kQKProjectDirectories) {
    if (result != 0 || context_.IsStopRequested()) break;
    result = CopyProjectDirectory(CQKString(directory.name),
                                  ErrorType(directory.missingError));
  }
  return Finish(kStepCopyProjectDirectories, result);
}

unsigned int CQKNativeBackup::CopyProjectDirectory(const CQKString& name,
                                                   ErrorType missingError) {
  const CQKString source =
      JoinPath(params_.sourceProjectPath, name.GetSafeStringPtr());
  const char* text = name.GetSafeStringPtr();
  if (!qk_access(source, 'f')) {
    return Fail(kStepCopyProjectDirectories + missingError, text,
                CQKStatus::PosixError(source, errno));
  }
  if (!qk_access(source, 'r')) {
    return Fail(kStepCopyProjectDirectories + kNoReadPermission, text,
                CQKStatus::PosixError(source, errno));
  }
  QKCopyOptions options;
  options.liveSource = true;
  options.context = &context_;
  const CQKStatus status =
      qk_copy_tree(source, WorkingPath(text), options);
  if (status.IsOK() || status.IsInterrupted()) return 0;
  return Fail(kStepCopyProjectDirectories + kCopyFailed, text, status);
}

unsigned int CQKNativeBackup::CreateZipFile() {
  if (context_.IsStopRequested()) return Finish(kStepCreateZipFile, 0);
  CWVZip zip(context_, creationMask_);
  // Once in place the archive is the backup, whatever arrives after.
  if (zip.ZipFile(workingDirectory_, params_.destinationPath, true, true)) {
    return 0;
  }
  errorText_ = qk_result_text(kStepCreateZipFile + kZipFailed, nullptr,
                              zip.GetErrorText());
  return Finish(kStepCreateZipFile, kStepCreateZipFile + kZipFailed);
}

unsigned int CQKNativeBackup::FinalCopyProject() {
  if (context_.IsStopRequested()) return Finish(kStepFinalCopyProject, 0);
  const CQKString& destination = params_.destinationPath;
  // The new tree is made durable before it replaces anything.
  CQKStatus status = BuildBesideDestination();
  if (status.IsOK() && !context_.IsStopRequested()) {
    status = qk_sync_durable(builtPath_);
  }
  if (status.IsOK() && !context_.IsStopRequested()) {
    previousPath_ = qk_private_name(destination, "qkold",
                                    static_cast<long>(getpid()));
    status = qk_publish(builtPath_, destination, previousPath_);
    installed_ = status.IsOK();
  }
  // Once in place the directory is the backup, whatever arrives after.
  if (installed_) return 0;
  return Finish(kStepFinalCopyProject,
                Fail(kStepFinalCopyProject + kCopyFailed, nullptr, status));
}

// On the destination's file system the working directory itself becomes the
// new backup; elsewhere it is copied there.
CQKStatus CQKNativeBackup::BuildBesideDestination() {
  builtPath_ = qk_private_name(params_.destinationPath, "qknew",
                               static_cast<long>(getpid()));
  struct stat64 working;
  struct stat64 target;
  if (qk_stat(workingDirectory_, &working) == 0 &&
      qk_stat(DirectoryOf(params_.destinationPath), &target) == 0 &&
      working.st_dev == target.st_dev &&
      qk_rename(workingDirectory_, builtPath_)) {
    builtCreated_ = true;
    return GiveCopyModes(builtPath_, creationMask_);
  }
  QKCopyOptions options;
  options.context = &context_;
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
  if (qk_retry([&] {
        return lstat64(destination.GetSafeStringPtr(), &st);
      }) != 0 &&
      qk_retry([&] {
        return lstat64(previousPath_.GetSafeStringPtr(), &st);
      }) == 0) {
    qk_rename(previousPath_, destination);
  }
}

bool CQKNativeBackup::Cleanup(bool removeDestination) {
  bool workingRemoved = true;
  if (workingDirectoryCreated_) {
    // Asked of the removal itself: a look that failed must not pass for a
    // directory that is gone.
    workingRemoved = qk_rmdir_recursive(workingDirectory_, false) ||
                     errno == ENOENT;
  }
  // The marker goes last, with the lock: a run that dies before, or whose
  // working directory stays, leaves both for the next run to find.
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
  for (const QKProjectDirectory& directory : kQKProjectDirectories) {
    bytes += qk_tree_bytes(JoinPath(params_.sourceProjectPath, directory.name));
  }
  return bytes;
}
