#ifndef QK_FS_QK_LOCATION_H_
#define QK_FS_QK_LOCATION_H_

#include "strings/CQKString.h"

// Where a path really is: spellings differ ("..", links, repeated '/'),
// locations do not. Used to keep a backup from landing in what it backs up.

// The real location of `path`, which need not exist: its longest existing
// leading part with every link and ".." resolved, then the rest of its
// components with "." dropped and ".." taking back the one before. False
// when `path` is not a full path or no part of it can be resolved.
bool qk_real_location(const CQKString& path, CQKString& out);

// True when `inner` is `outer` or lies somewhere below it, by their real
// locations; false when either cannot be resolved.
bool qk_lies_within(const CQKString& inner, const CQKString& outer);

#endif  // QK_FS_QK_LOCATION_H_
