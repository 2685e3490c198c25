#ifndef QK_FS_QK_PATH_H_
#define QK_FS_QK_PATH_H_

#include "containers/CQKStringList.h"
#include "strings/CQKString.h"

// Making paths full and listing trees. Nothing here normalises a path:
// ".", "..", repeated separators and "~" stay as written.

// Makes `input` a full path in `out`: a full input is taken as it is, a
// relative one is joined to the working directory ("." and "*" name the
// working directory itself). `namesOneEntry`, when given, becomes false when
// the input asks for a directory's contents ("*", or a trailing "/*" or
// "\*", whose "*" is dropped). False only when the working directory cannot
// be read; `out` is then untouched.
bool GetFullPathFromAnyPathInput(const CQKString& input, CQKString& out,
                                 bool* namesOneEntry);

// Joins `directory` and `name` with at most one inserted separator ('/' for
// 0) and answers the text of `out`. An empty directory yields the name.
const char* GetFullFilePathnameFromDirectoryAndFilename(
    const CQKString& directory, const CQKString& name, CQKString& out,
    char separator);

// `directory`, a '/' unless it already ends with one, then `name`: the one
// way the program builds a child's path.
CQKString qk_join_path(const CQKString& directory, const CQKString& name);

// Splits `path` after its last '/': `directory` keeps that '/' (empty when
// there is none), `name` is what follows it.
void SplitPathIntoDirectoryAndName(const CQKString& path, CQKString& directory,
                                   CQKString& name);

// Appends to `list` the full paths found at `path`: the path itself for a
// file; for a directory (itself only with `includeDirectory`) its entries
// in the system's order, each sub-directory just before its own contents
// when `recurse`. A missing or unreadable directory adds nothing and is not
// a failure; a directory that cannot be read to its end is.
bool GetFileAndDirectoryListFromPath(const CQKString& path, CQKStringList& list,
                                     bool recurse, bool includeDirectory);

#endif  // QK_FS_QK_PATH_H_
