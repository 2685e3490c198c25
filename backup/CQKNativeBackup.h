#ifndef QK_BACKUP_CQKNATIVEBACKUP_H_
#define QK_BACKUP_CQKNATIVEBACKUP_H_

#include <sys/types.h>

#include <cstdint>

#include "backup/CBackupParameters.h"
#include "backup/CSQLiteBackup.h"
#include "fs/CQKRunContext.h"
#include "fs/CQKStatus.h"
#include "fs/qk_owned_fd.h"
#include "strings/CQKString.h"

// One backup run of one project. The step runner calls one operation per
// step; each returns a result code, 0 on success, otherwise the step value
// plus an ErrorType, and leaves a complete sentence in the error text. The
// one exception is kSkipped, returned bare and not a failure.
class CQKNativeBackup {
 public:
  enum Step {
    kStepCreateTempDirectory = 0x100,
    kStepBackupDB = 0x200,
    kStepCopyProjectDirectories = 0x300,
    kStepCreateZipFile = 0x400,
    kStepFinalCopyProject = 0x500,
  };

  enum ErrorType {
    kNoError = 0,
    kDatabaseError = 1,
    kEmptyPath = 2,
    kDestinationExists = 3,
    kSourceMissing = 4,
    kTempDirectoryFailed = 5,
    kNotAProject = 6,
    kNoReadPermission = 7,
    kSourceIOError = 8,
    kSourceCorrupt = 9,
    kSourceCannotOpen = 10,
    kSourceNotADatabase = 11,
    kSourceUnknownError = 12,
    kBackupFilePermission = 13,
    kBackupFileIOError = 14,
    kBackupFileCannotOpen = 15,
    kBackupFileNotRemoved = 16,
    kBackupFileOpenFailed = 17,
    kBackupFileWriteError = 19,
    kOutOfMemory = 20,
    kAttachMissing = 21,
    kQuilletInMissing = 22,
    kQuilletOutMissing = 23,
    kStyleSheetsMissing = 24,
    kCopyFailed = 25,
    kZipFailed = 26,
    kRenameFailed = 28,
    kSkipped = 29,
    kDestinationOverlapsSource = 30,
    // A signal asked the run to stop; the process then exits with 128 plus
    // the signal's number rather than this code.
    kInterrupted = 31,
    // -f -n would replace a directory that is not a backup.
    kDestinationNotABackup = 32,
    // The destination's directory is missing or cannot take a new entry.
    kDestinationDirectoryUnusable = 33,
  };

  // A run that nothing stops and that shows no progress.
  explicit CQKNativeBackup(CBackupParameters& params);
  // A run whose loops ask `context` whether to stop and tell it how far
  // they have come.
  CQKNativeBackup(CBackupParameters& params, CQKRunContext& context);
  virtual ~CQKNativeBackup() = default;

  CQKNativeBackup(const CQKNativeBackup&) = delete;
  CQKNativeBackup& operator=(const CQKNativeBackup&) = delete;

  // Step 1: the checks and destination rules of CQKBackupPreflight, then
  // the working directory.
  unsigned int CreateTempDirectory();
  // Step 2: hot backup of the project database into the working directory.
  unsigned int BackupDB();
  // Sets the step's error text for `error`; a `detail` (what failed and
  // why) becomes its second line.
  unsigned int SetBackupError(
      CSQLiteBackup::BackupError error,
      const CQKString& detail = CQKString::kEmptyString);
  // Step 3: the four project sub-directories; kSkipped for database only.
  unsigned int CopyProjectDirectories();
  unsigned int CopyProjectDirectory(const CQKString& name,
                                    ErrorType missingError);
  // Step 4: the zip archive, or the backup directory when not zipping. The
  // directory is built under a private name beside the destination, made
  // durable, and only then takes the destination's name; the previous
  // backup goes once the new name is on disk.
  unsigned int CreateZipFile();
  unsigned int FinalCopyProject();
  // The bytes step 3 or 4 is about to read, counted beforehand to show how
  // far it has come; 0 for the other steps and a database-only step 3.
  uint64_t CountStepBytes(Step step) const;

  // Puts the previous backup back under its own name when step 4 moved it
  // aside but the new one did not take its place.
  void RevertNameChange();
  // Removes the working directory and an unfinished new backup directory
  // (only what this job created). True when everything it had to remove was
  // removed.
  bool Cleanup(bool removeDestination);

  const CQKString& GetErrorText() const { return errorText_; }
  const CQKString& GetWorkingDirectory() const { return workingDirectory_; }

 private:
  // Sets the error text of `result`, with `name` (a project directory) where
  // the sentence names one and `detail` after it; answers `result`.
  unsigned int Fail(unsigned int result, const char* name,
                    const CQKStatus& detail);
  // The step's outcome, an interruption when a stop was asked for.
  unsigned int Finish(Step step, unsigned int result);
  CQKString WorkingPath(const char* name) const;
  CQKStatus BuildBesideDestination();

  CBackupParameters& params_;
  CQKRunContext& context_;
  CQKString workingDirectory_;
  CQKString errorText_;
  // The clean-up must never remove a directory this job did not create.
  bool workingDirectoryCreated_ = false;
  // Held for the whole run: it tells later runs that this one is alive.
  QKOwnedFd workingLock_{-1};
  // The new backup directory while it is built, and the previous backup
  // while the new one takes its name.
  CQKString builtPath_;
  CQKString previousPath_;
  bool builtCreated_ = false;
  bool installed_ = false;
  // What step 1 narrowed the process's file-creation mask to.
  mode_t creationMask_ = 022;
};

#endif  // QK_BACKUP_CQKNATIVEBACKUP_H_
