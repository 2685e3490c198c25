#ifndef QK_FS_QK_WALK_H_
#define QK_FS_QK_WALK_H_

#include <dirent.h>
#include <fcntl.h>

#include "fs/CQKRunContext.h"
#include "fs/CQKStatus.h"
#include "strings/CQKString.h"

// The one walk of a directory tree: depth first, in the system's order, each
// directory before its contents. Every sub-directory is opened from its
// parent's descriptor without following a link, so a directory that is
// swapped for a link (or a file) while the walk runs is never entered and
// no name can lead the walk out of the tree.

enum class QKWalkLinks {
  // A link is reported as a link (DT_LNK), whatever it names.
  kNotFollowed,
  // A link to a regular file is reported as a regular file (DT_REG), to be
  // read through the link; any other link stays DT_LNK.
  kFollowedToFiles,
};

struct QKWalkOptions {
  QKWalkLinks links = QKWalkLinks::kNotFollowed;
  // Without it the walk stays at the top level: sub-directories are
  // reported as entries (DT_DIR), not entered.
  bool recursive = true;
  // For a live source: an entry that is gone (or no longer a directory)
  // when its turn comes, or that a visitor reports as not found, is skipped.
  bool skipVanished = false;
  // Asked before each entry; a stop request ends the walk with an
  // interrupted status. Clean-up keeps the quiet one, to run to its end.
  const CQKRunContext* context = &CQKRunContext::Quiet();
};

struct QKWalkEntry {
  // The open directory holding the entry; AT_FDCWD for the root.
  int parent;
  // The entry's name in `parent`; the root's full path for the root.
  const char* name;
  // Full path, for messages.
  const CQKString& path;
  // Path below the root without a leading '/'; empty for the root.
  const CQKString& relative;
  // DT_REG, DT_DIR, DT_LNK or the DT_ value of a special file.
  unsigned char type;
};

class QKWalkVisitor {
 public:
  virtual ~QKWalkVisitor() = default;
  // A directory, open as `fd`, before its entries.
  virtual CQKStatus EnterDirectory(const QKWalkEntry& /*entry*/, int /*fd*/) {
    return CQKStatus::OK();
  }
  // The same directory after its entries, `fd` still open.
  virtual CQKStatus LeaveDirectory(const QKWalkEntry& /*entry*/, int /*fd*/) {
    return CQKStatus::OK();
  }
  // Anything that is not a directory the walk enters.
  virtual CQKStatus VisitEntry(const QKWalkEntry& entry) = 0;
};

// Walks the directory at `root` (a link at the root itself is followed).
// Stops at the first status that is not OK and answers it.
CQKStatus qk_walk(const CQKString& root, const QKWalkOptions& options,
                  QKWalkVisitor& visitor);

#endif  // QK_FS_QK_WALK_H_
