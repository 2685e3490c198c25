#ifndef QK_FS_QK_COPY_H_
#define QK_FS_QK_COPY_H_

#include "fs/CQKRunContext.h"
#include "fs/CQKStatus.h"
#include "strings/CQKString.h"

// Whole files and trees. Partial results are never rolled back. Only bytes
// and modification times are copied: new files get 0666 and new
// directories 0755, less the umask.

// Copies one regular file's bytes (links followed). A directory is refused
// with EISDIR and a FIFO, socket or device with EINVAL, before it is opened.
// With `failIfExists` an existing target file is refused with EEXIST. After
// a failed write, *diskFull (when given) tells whether the device was full.
// The reason of a failure stays in errno.
bool qk_copy(const CQKString& source, const CQKString& target,
             bool failIfExists, bool* diskFull);

struct QKCopyOptions {
  // Without it only the top level's files go.
  bool recursive = true;
  // The target must not exist; otherwise the copy merges into it.
  bool failIfExists = true;
  // The source is in use: what vanishes between the listing and its copy
  // is skipped, and a file that changes size is copied as read.
  bool liveSource = false;
  bool* diskFull = nullptr;
  // Asked between files and buffers; told every buffer copied, in bytes.
  CQKRunContext* context = &CQKRunContext::Quiet();
};

// Copies the tree at `source` to `target`, which it creates (its parent must
// exist) or merges into. Only regular files and directories are copied,
// each with its modification time: FIFOs, sockets and devices are skipped
// without being opened, so none can block or flood the copy. Symbolic links
// are never entered as directories: a link to a file is copied as its
// bytes, a link to a special file is skipped, any other link fails the
// copy. A stop request is honoured between files and buffers. A failure
// names the file or directory at fault and the reason.
CQKStatus qk_copy_tree(const CQKString& source, const CQKString& target,
                       const QKCopyOptions& options);

// qk_copy_tree of a source not in use, answering a truth value with the
// reason in errno.
bool qk_copy_dir(const CQKString& source, const CQKString& target,
                 bool recursive, bool failIfExists, bool* diskFull);

// Removes the tree at `path`, links themselves rather than what they name,
// a link at `path` included; stops at the first entry it cannot remove.
// With `forceWritable` each directory first gets its owner-write bit.
bool qk_rmdir_recursive(const CQKString& path, bool forceWritable);

#endif  // QK_FS_QK_COPY_H_
