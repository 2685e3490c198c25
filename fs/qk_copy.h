#ifndef QK_FS_QK_COPY_H_
#define QK_FS_QK_COPY_H_

#include "strings/CQKString.h"

// Whole files and trees. Results are truth values; the reason of a failure
// stays in errno. Partial results are never rolled back. Only bytes are
// copied: new files get 0666 and new directories 0755, less the umask.

// Copies one file's bytes (links followed). With `failIfExists` an existing
// target file is refused with EEXIST. After a failed write, *diskFull (when
// given) tells whether the device was full.
bool qk_copy(const CQKString& source, const CQKString& target,
             bool failIfExists, bool* diskFull);

// Copies the tree at `source` to `target`, which it creates (its parent must
// exist) or, without `failIfExists`, merges into. Symbolic links are never
// entered as directories: a link to a file is copied as its bytes, any other
// link fails the copy. Without `recursive` only the top level's files go.
bool qk_copy_dir(const CQKString& source, const CQKString& target,
                 bool recursive, bool failIfExists, bool* diskFull);

// Removes the tree at `path`, links themselves rather than what they name,
// a link at `path` included; stops at the first entry it cannot remove. With
// `forceWritable` each directory first gets its owner-write bit.
bool qk_rmdir_recursive(const CQKString& path, bool forceWritable);

#endif  // QK_FS_QK_COPY_H_
