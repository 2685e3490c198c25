#ifndef QK_BACKUP_QK_WORKSPACE_H_
#define QK_BACKUP_QK_WORKSPACE_H_

#include "fs/CQKRunContext.h"
#include "fs/CQKStatus.h"
#include "fs/qk_owned_fd.h"
#include "strings/CQKString.h"

// A run's working directory "QKf" + six unique characters under the
// directory for temporary files, known as this program's by a marker beside
// it, ".<name>.qkrun", and as a live run's by the exclusive lock (flock)
// that the run holds on the marker from before the directory exists to the
// run's end. The kernel drops the lock with the process, however it dies,
// so the next run can tell a dead run's directory from a live one's. A
// marker is made as ".QKf-<pid>.qkrun" and renamed once locked.

// Marks and locks, then creates the working directory (0700) in
// `directory`. `path` gets its full path ending in '/', `lock` the locked
// marker.
CQKStatus qk_workspace_create(const CQKString& directory, CQKString& path,
                              QKOwnedFd& lock);

// The marker of the working directory at `path`.
CQKString qk_workspace_marker(const CQKString& path);

// Removes, in `directory`, the marked working directories of this user
// whose run is dead, their markers, and dead runs' markers in the making. A
// directory without a marker, of another user or of a live run is never
// touched. Never fails the run; stops early when `context` asks the run to
// stop.
void qk_workspace_sweep(const CQKString& directory,
                        const CQKRunContext& context);

#endif  // QK_BACKUP_QK_WORKSPACE_H_
