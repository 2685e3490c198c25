#ifndef QK_BACKUP_CSQLITEBACKUP_H_
#define QK_BACKUP_CSQLITEBACKUP_H_

#include "fs/CQKRunContext.h"
#include "strings/CQKString.h"

struct sqlite3;

// One hot copy of an SQLite database file into another, through SQLite's
// online-backup interface, while other processes may keep using the source.
// The copy is a consistent snapshot of the source. Both connections live only
// inside BackupDB: nothing stays open after it returns, on any path.
class CSQLiteBackup {
 public:
  // The outcome of BackupDB. There is no value 28.
  enum BackupError {
    kSuccess = 0,
    kDone = 1,  // a finished copy; BackupDB returns kSuccess instead
    kSamePath = 2,
    kSourceMissing = 3,
    kDestinationExists = 4,
    kDestinationNotRemoved = 5,
    // Opening the source.
    kSourceOpenFailed = 6,
    kSourceOpenError = 7,
    kSourceOpenPerm = 8,
    kSourceOpenIOError = 9,
    // The source, while it is opened or copied.
    kCorrupt = 10,
    kCantOpen = 11,
    kNotADatabase = 12,
    kSourceOpenEmpty = 13,
    kSourceOpenReadOnly = 14,
    kSourceOpenFull = 15,
    // Opening the destination.
    kDestinationOpenFailed = 16,
    kDestinationOpenError = 17,
    kDestinationOpenPerm = 18,
    kDestinationOpenIOError = 19,
    kDestinationOpenCantOpen = 20,
    kDestinationOpenEmpty = 21,
    kDestinationOpenReadOnly = 22,
    // Starting or stepping the copy.
    kBackupFailed = 23,
    kBackupSQLError = 24,
    kBackupPerm = 25,
    kBackupIOError = 26,
    kBackupNoMem = 27,
    kBackupBusy = 29,
    kBackupLocked = 30,
    // The run was asked to stop before the copy was done.
    kInterrupted = 31,
  };

  // Which call produced an SQLite result code.
  enum ErrorSource {
    kFromBackup = 0,  // sqlite3_backup_init or sqlite3_backup_step
    kFromSourceOpen = 1,
    kFromDestinationOpen = 2,
  };

  // Both paths are taken byte for byte. Nothing stops this copy.
  CSQLiteBackup(const char* source, const char* destination, bool overwrite);
  // A copy that asks `context` whether to stop and tells it the pages.
  CSQLiteBackup(const char* source, const char* destination, bool overwrite,
                CQKRunContext& context);
  virtual ~CSQLiteBackup();

  CSQLiteBackup(const CSQLiteBackup&) = delete;
  CSQLiteBackup& operator=(const CSQLiteBackup&) = delete;

  // Copies the source database to the destination file. An existing
  // destination is refused without overwrite and replaced with it, unless
  // it is the source itself (by path, link or another spelling). The source
  // is never created: one that vanished is kSourceMissing. A busy or locked
  // source is waited for, and a source that other connections keep changing
  // is still copied in full. The finished copy is checked (PRAGMA
  // quick_check on the copy, never on the live source): damage is kCorrupt.
  // A stop request ends the copy with kInterrupted. Pages go to the
  // context's total and progress as they are copied.
  BackupError BackupDB();

  // Why the last BackupDB failed, as "<database path>: <reason>", the reason
  // in SQLite's own words where SQLite failed; empty after a success or a
  // stop request.
  const CQKString& GetErrorMessage() const { return errorMessage_; }

  // Maps an SQLite result code, extended or primary, to a BackupError for
  // the call that produced it. SQLITE_OK gives kSuccess.
  static BackupError TranslateError(int resultCode, ErrorSource source);

 private:
  // Whether both paths name one existing file.
  bool SameFile() const;
  // Opens one side of the copy; on failure sets the error message.
  BackupError Open(const CQKString& path, ErrorSource side, sqlite3** db);
  // Runs the steps of the copy, then checks the copy.
  BackupError Copy(sqlite3* source, sqlite3* destination);
  BackupError CheckCopy(sqlite3* destination);
  // Sets the error message to "<path>: <reason>".
  void SetErrorMessage(const CQKString& path, const char* reason);

  CQKString source_;
  CQKString destination_;
  bool overwrite_;
  CQKRunContext& context_;
  CQKString errorMessage_;
};

#endif  // QK_BACKUP_CSQLITEBACKUP_H_
