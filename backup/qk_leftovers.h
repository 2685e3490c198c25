#ifndef QK_BACKUP_QK_LEFTOVERS_H_
#define QK_BACKUP_QK_LEFTOVERS_H_

#include "fs/CQKRunContext.h"
#include "strings/CQKString.h"

// A run's own entries beside the destination NAME carry its process id, so
// a later run can tell those of a run that died from those of one that is
// still working:
//   ".NAME.qknew-<pid>"  the new backup directory while it is built;
//   ".NAME.qkold-<pid>"  the previous backup while the new one takes NAME;
//   ".qkzip-<pid>-<n>"   a zip archive while it is written.
// Nothing else is ever touched, whatever its name.

// The private name of `kind` ("qknew" or "qkold") for `destination`.
CQKString qk_private_name(const CQKString& destination, const char* kind,
                          long pid);

// Tidies what dead runs left beside `destination`: when NAME is missing, a
// dead run's previous backup is put back under it first; then their build
// directories, previous backups and partial archives go. Entries of a live
// run are left alone; an entry of this process's own id can only be from an
// earlier process that had it. Stops early when `context` asks the run to
// stop; never fails the run.
void qk_sweep_leftovers(const CQKString& destination,
                        const CQKRunContext& context);

#endif  // QK_BACKUP_QK_LEFTOVERS_H_
