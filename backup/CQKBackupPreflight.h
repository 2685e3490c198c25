#ifndef QK_BACKUP_CQKBACKUPPREFLIGHT_H_
#define QK_BACKUP_CQKBACKUPPREFLIGHT_H_

#include <sys/types.h>

#include "backup/CBackupParameters.h"
#include "fs/CQKRunContext.h"
#include "fs/CQKStatus.h"
#include "fs/qk_owned_fd.h"
#include "strings/CQKString.h"

// Step 1 of a run, everything that comes before the first byte is copied:
// the source checks; the destination rules (its ".zip" suffix fitted to the
// mode, never the project nor in it nor around it, no existing one without
// -f, its directory there and writable, with -f -n only a previous backup
// to replace); the tidying of what dead runs left beside the destination
// and in the directory for temporary files; the modes the backup may grant;
// and the working directory, made only in the directory for temporary
// files, never inside the project or the destination.
class CQKBackupPreflight {
 public:
  CQKBackupPreflight(CBackupParameters& params, CQKRunContext& context);
  virtual ~CQKBackupPreflight() = default;

  CQKBackupPreflight(const CQKBackupPreflight&) = delete;
  CQKBackupPreflight& operator=(const CQKBackupPreflight&) = delete;

  // Runs the checks in their order of precedence and, when all pass, makes
  // the working directory: `workingDirectory` gets its path (ending in '/')
  // and `lock` the lock that marks it as a live run's. Answers 0 or step 1's
  // result code, with the sentence in GetErrorText(). May rewrite the
  // destination (its suffix) in the parameters.
  unsigned int Run(CQKString& workingDirectory, QKOwnedFd& lock);

  const CQKString& GetErrorText() const { return errorText_; }
  // The process's file-creation mask from step 1 on, narrowed so that the
  // backup grants group and others no more than the project does.
  mode_t GetCreationMask() const { return creationMask_; }

 private:
  unsigned int Fail(unsigned int type, const CQKString& detail);
  unsigned int CheckSource(CQKStatus& problem);
  void FitDestination();
  unsigned int CheckDestination(unsigned int sourceError);
  unsigned int CheckPreviousBackup();
  unsigned int MakeWorkingDirectory(CQKString& workingDirectory,
                                    QKOwnedFd& lock);
  void NarrowCreationMask();

  CBackupParameters& params_;
  CQKRunContext& context_;
  CQKString errorText_;
  mode_t creationMask_ = 022;
};

#endif  // QK_BACKUP_CQKBACKUPPREFLIGHT_H_
