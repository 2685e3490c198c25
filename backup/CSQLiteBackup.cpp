#include "backup/CSQLiteBackup.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

#include "fs/qk_fs.h"

namespace {

// Small steps hold the source's lock only briefly, so the server's own
// connections get their turn between steps.
const int kPagesPerStep = 5;

// A busy source is polled gently: a writer usually needs only a moment, and
// a long transaction must not cost the backup a whole core.
const std::chrono::microseconds kFirstBusyWait(1000);
const std::chrono::microseconds kLongestBusyWait(32000);

// Pages of the source copied so far in the current pass.
int CopiedPages(sqlite3_backup* backup) {
  return sqlite3_backup_pagecount(backup) - sqlite3_backup_remaining(backup);
}

// Steps the copy until it is done or fails. A commit by another connection
// makes SQLite start the copy over; with small steps a steady stream of
// commits would restart it forever, so each restart doubles the step. The
// source stays locked for at most one step, so writers still get through.
CSQLiteBackup::BackupError StepUntilDone(sqlite3_backup* backup) {
  int pagesPerStep = kPagesPerStep;
  int copied = 0;
  std::chrono::microseconds busyWait = kFirstBusyWait;
  for (;;) {
    CSQLiteBackup::BackupError result = CSQLiteBackup::TranslateError(
        sqlite3_backup_step(backup, pagesPerStep), CSQLiteBackup::kFromBackup);
    if (result == CSQLiteBackup::kBackupBusy ||
        result == CSQLiteBackup::kBackupLocked) {
      std::this_thread::sleep_for(busyWait);
      busyWait = std::min(busyWait * 2, kLongestBusyWait);
      continue;
    }
    if (result != CSQLiteBackup::kSuccess) return result;
    busyWait = kFirstBusyWait;
    const int now = CopiedPages(backup);
    if (now < copied + pagesPerStep && pagesPerStep <= INT_MAX / 2) {
      pagesPerStep *= 2;
    }
    copied = now;
  }
}

}  // namespace

CSQLiteBackup::CSQLiteBackup(const char* source, const char* destination,
                             bool overwrite)
    : overwrite_(overwrite) {
  // Byte for byte: a converted path would name another file, or none.
  source_.SetFromUTF8(source);
  destination_.SetFromUTF8(destination);
}

CSQLiteBackup::~CSQLiteBackup() = default;

bool CSQLiteBackup::SameFile() const {
  // Another spelling of the source's path, or a link to it, must never let
  // the removal of the destination take the source with it.
  struct stat64 source;
  struct stat64 destination;
  return qk_stat(source_, &source) == 0 &&
         qk_stat(destination_, &destination) == 0 &&
         source.st_dev == destination.st_dev &&
         source.st_ino == destination.st_ino;
}

CSQLiteBackup::BackupError CSQLiteBackup::BackupDB() {
  if (!overwrite_ && qk_access(destination_, 'f')) return kDestinationExists;
  if (source_.Compare(destination_, false) == 0 || SameFile()) return kSamePath;
  if (qk_access(destination_, 'f') && !qk_remove(destination_)) {
    return kDestinationNotRemoved;
  }
  if (!qk_access(source_, 'f')) return kSourceMissing;

  sqlite3* destination = nullptr;
  BackupError result = TranslateError(
      sqlite3_open(destination_.GetSafeStringPtr(), &destination),
      kFromDestinationOpen);
  if (destination == nullptr) {
    return result == kSuccess ? kDestinationOpenFailed : result;
  }
  if (result != kSuccess && result != kDestinationOpenEmpty) {
    sqlite3_close(destination);
    return result;
  }
  // The copy's last step syncs the destination while it still holds the
  // source's read lock; the copy is scratch until it is packed, so skipping
  // the sync shortens the time the server's writers wait.
  sqlite3_exec(destination, "PRAGMA synchronous=OFF", nullptr, nullptr,
               nullptr);

  sqlite3* source = nullptr;
  result = TranslateError(sqlite3_open(source_.GetSafeStringPtr(), &source),
                          kFromSourceOpen);
  if (source == nullptr) {
    sqlite3_close(destination);
    return result == kSuccess ? kSourceOpenFailed : result;
  }
  if (result != kSuccess && result != kSourceOpenEmpty &&
      result != kSourceOpenReadOnly && result != kSourceOpenFull) {
    sqlite3_close(source);
    sqlite3_close(destination);
    return result;
  }

  sqlite3_backup* backup =
      sqlite3_backup_init(destination, "main", source, "main");
  if (backup == nullptr) {
    result = TranslateError(sqlite3_errcode(destination), kFromBackup);
    // No copy was made, whatever the connection says.
    if (result == kSuccess) result = kBackupFailed;
  } else {
    result = StepUntilDone(backup);
    if (result == kDone) result = kSuccess;
    sqlite3_backup_finish(backup);
  }
  sqlite3_close(source);
  sqlite3_close(destination);
  return result;
}

CSQLiteBackup::BackupError CSQLiteBackup::TranslateError(int resultCode,
                                                         ErrorSource source) {
  struct Row {
    int code;
    BackupError fromBackup;
    BackupError fromSourceOpen;
    BackupError fromDestinationOpen;
  };
  static const Row kRows[] = {
      {SQLITE_ERROR, kBackupSQLError, kSourceOpenError, kDestinationOpenError},
      {SQLITE_PERM, kBackupPerm, kSourceOpenPerm, kDestinationOpenPerm},
      {SQLITE_BUSY, kBackupBusy, kSourceOpenFailed, kDestinationOpenFailed},
      {SQLITE_LOCKED, kBackupLocked, kSourceOpenFailed, kDestinationOpenFailed},
      {SQLITE_NOMEM, kBackupNoMem, kSourceOpenFailed, kDestinationOpenFailed},
      {SQLITE_READONLY, kBackupFailed, kSourceOpenReadOnly,
       kDestinationOpenReadOnly},
      {SQLITE_IOERR, kBackupIOError, kSourceOpenIOError,
       kDestinationOpenIOError},
      {SQLITE_CORRUPT, kCorrupt, kCorrupt, kDestinationOpenFailed},
      {SQLITE_FULL, kBackupFailed, kSourceOpenFull, kDestinationOpenFailed},
      {SQLITE_CANTOPEN, kCantOpen, kCantOpen, kDestinationOpenCantOpen},
      {SQLITE_EMPTY, kBackupFailed, kSourceOpenEmpty, kDestinationOpenEmpty},
      {SQLITE_NOTADB, kNotADatabase, kNotADatabase, kDestinationOpenFailed},
      {SQLITE_DONE, kDone, kSourceOpenFailed, kDestinationOpenFailed},
  };
  // Extended codes carry their primary code in the low byte.
  const int primary = resultCode & 0xFF;
  if (primary == SQLITE_OK) return kSuccess;
  Row row = {primary, kBackupFailed, kSourceOpenFailed, kDestinationOpenFailed};
  for (const Row& r : kRows) {
    if (r.code == primary) row = r;
  }
  switch (source) {
    case kFromSourceOpen:
      return row.fromSourceOpen;
    case kFromDestinationOpen:
      return row.fromDestinationOpen;
    case kFromBackup:
      break;
  }
  return row.fromBackup;
}
