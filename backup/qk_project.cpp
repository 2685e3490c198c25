#include "backup/qk_project.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "backup/CQKNativeBackup.h"
#include "fs/qk_path.h"
#include "fs/qk_walk.h"

const char kQKDatabaseFileName[] = "qkproj.db";

const QKProjectDirectory kQKProjectDirectories[4] = {
    {"Attach", CQKNativeBackup::kAttachMissing},
    {"Quillet_In", CQKNativeBackup::kQuilletInMissing},
    {"Quillet_Out", CQKNativeBackup::kQuilletOutMissing},
    {"StyleSheets", CQKNativeBackup::kStyleSheetsMissing},
};

namespace {

bool IsBackupEntry(const char* name, unsigned char type) {
  if (strcmp(name, kQKDatabaseFileName) == 0) return type == DT_REG;
  for (const QKProjectDirectory& directory : kQKProjectDirectories) {
    if (strcmp(name, directory.name) == 0) return type == DT_DIR;
  }
  return false;
}

// The top level of a directory, each entry held against a backup's.
class BackupChecker : public QKWalkVisitor {
 public:
  CQKStatus LeaveDirectory(const QKWalkEntry& entry, int) override {
    if (hasDatabase_) return CQKStatus::OK();
    return CQKStatus::PosixError(
        qk_join_path(entry.path, CQKString(kQKDatabaseFileName)), ENOENT);
  }
  CQKStatus VisitEntry(const QKWalkEntry& entry) override {
    if (!IsBackupEntry(entry.name, entry.type)) {
      return CQKStatus::Invalid(entry.path, "not part of a backup");
    }
    hasDatabase_ |= strcmp(entry.name, kQKDatabaseFileName) == 0;
    return CQKStatus::OK();
  }

 private:
  bool hasDatabase_ = false;
};

}  // namespace

CQKStatus qk_backup_directory_problem(const CQKString& path) {
  QKWalkOptions options;
  options.recursive = false;
  BackupChecker checker;
  return qk_walk(path, options, checker);
}
