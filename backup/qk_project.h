#ifndef QK_BACKUP_QK_PROJECT_H_
#define QK_BACKUP_QK_PROJECT_H_

#include "fs/CQKStatus.h"
#include "strings/CQKString.h"

// What a project, and so a backup of one, is made of: the database and the
// four directories of external data.

extern const char kQKDatabaseFileName[];

struct QKProjectDirectory {
  const char* name;
  // The error type of a run that finds it missing.
  unsigned int missingError;
};

extern const QKProjectDirectory kQKProjectDirectories[4];

// Why the directory at `path` is not a backup this program made, if it is
// not (OK when it is): an entry a backup never holds, a database that is
// not a file, a project directory that is not a directory, or no database.
CQKStatus qk_backup_directory_problem(const CQKString& path);

#endif  // QK_BACKUP_QK_PROJECT_H_
