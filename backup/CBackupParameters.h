#ifndef QK_BACKUP_CBACKUPPARAMETERS_H_
#define QK_BACKUP_CBACKUPPARAMETERS_H_

#include "strings/CQKString.h"

// The parsed command line. Paths are absolute once parsed; the backup job may
// rewrite the destination once (its ".zip" suffix), and every later step sees
// that change through the reference it holds.
class CBackupParameters {
 public:
  virtual ~CBackupParameters() = default;

  CQKString sourceProjectPath;
  CQKString destinationPath;
  // Empty: the operating system's temporary directory.
  CQKString tempFilesPath;
  bool overwrite = false;     // -f
  bool zip = true;            // cleared by -n
  bool databaseOnly = false;  // -d
  // Positional arguments taken so far, empty ones included.
  unsigned int pathCount = 0;
};

#endif  // QK_BACKUP_CBACKUPPARAMETERS_H_
