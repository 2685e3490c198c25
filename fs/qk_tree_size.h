#ifndef QK_FS_QK_TREE_SIZE_H_
#define QK_FS_QK_TREE_SIZE_H_

#include <cstdint>

#include "strings/CQKString.h"

// The bytes a copy of the tree at `path` would read: the sizes of its regular
// files, links to files counted as the files they name, as the copy takes
// them; a link to a directory is not entered. A file path counts alone. What cannot be read counts 0; the answer
// is an estimate for showing progress, never a reason to fail.
uint64_t qk_tree_bytes(const CQKString& path);

#endif  // QK_FS_QK_TREE_SIZE_H_
