#ifndef QK_FS_QK_PUBLISH_H_
#define QK_FS_QK_PUBLISH_H_

#include "fs/CQKStatus.h"
#include "strings/CQKString.h"

// Makes everything under `path` (a file or a directory tree) durable: the
// file, or the whole file system holding the tree, is synced. A failed sync
// is never retried (Linux may have dropped the data) and fails the call.
CQKStatus qk_sync_durable(const CQKString& path);

// Puts the complete, durable `built` (a file or a directory, in the same
// directory as `destination`) in place of `destination`, and syncs that
// directory so that the new name survives a power loss. The previous entry
// at `destination`, if any, is kept under `previousPath` until the sync
// has succeeded, and put back on any failure (unless another run's backup
// took the name meanwhile); then it is removed. At every
// moment `destination` names the previous entry or the new one (between
// the two renames of a directory, the previous one is whole under
// `previousPath`). On failure `built` keeps its own name when it still
// exists, for the caller to remove.
CQKStatus qk_publish(const CQKString& built, const CQKString& destination,
                     const CQKString& previousPath);

#endif  // QK_FS_QK_PUBLISH_H_
