#include "backup/CSQLiteBackup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
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

// The copy reads and writes each page once, so SQLite's default page cache
// (2 MB per connection) would hold only pages never asked for again.
const char kSmallCache[] = "PRAGMA cache_size=-64";

// SQLite refuses a database whose path leaves no room for its journal's
// name (the path plus "-journal") within the file system layer's limit.
const int kJournalSuffixLength = 8;

// How many SQLite virtual-machine steps pass between two looks at a stop
// request during the check of the copy.
const int kStepsBetweenStopChecks = 10000;

struct CloseConnection {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

// Pages of the source copied so far in the current pass.
int CopiedPages(sqlite3_backup* backup) {
  return sqlite3_backup_pagecount(backup) - sqlite3_backup_remaining(backup);
}

// Tells the run what the step just copied.
class PageReport {
 public:
  explicit PageReport(CQKRunContext& context) : context_(context) {}

  void Update(sqlite3_backup* backup) {
    const int total = sqlite3_backup_pagecount(backup);
    if (total != total_) context_.SetTotal(static_cast<uint64_t>(total));
    total_ = total;
    // A restarted pass counts again only once it passes the last report.
    const int copied = CopiedPages(backup);
    if (copied > reported_) {
      context_.Advance(static_cast<uint64_t>(copied - reported_));
      reported_ = copied;
    }
  }

 private:
  CQKRunContext& context_;
  int total_ = -1;
  int reported_ = 0;
};

// Steps the copy until it is done or fails. A commit by another connection
// makes SQLite start the copy over; with small steps a steady stream of
// commits would restart it forever, so each restart doubles the step. The
// source stays locked for at most one step, so writers still get through.
CSQLiteBackup::BackupError StepUntilDone(sqlite3_backup* backup,
                                         CQKRunContext& context) {
  int pagesPerStep = kPagesPerStep;
  int copied = 0;
  std::chrono::microseconds busyWait = kFirstBusyWait;
  PageReport report(context);
  for (;;) {
    if (context.IsStopRequested()) return CSQLiteBackup::kInterrupted;
    CSQLiteBackup::BackupError result = CSQLiteBackup::TranslateError(
        sqlite3_backup_step(backup, pagesPerStep), CSQLiteBackup::kFromBackup);
    if (result == CSQLiteBackup::kBackupBusy ||
        result == CSQLiteBackup::kBackupLocked) {
      std::this_thread::sleep_for(busyWait);
      busyWait = std::min(busyWait * 2, kLongestBusyWait);
      continue;
    }
    if (result != CSQLiteBackup::kSuccess) {
      if (result == CSQLiteBackup::kDone) report.Update(backup);
      return result;
    }
    report.Update(backup);
    busyWait = kFirstBusyWait;
    const int now = CopiedPages(backup);
    if (now < copied + pagesPerStep && pagesPerStep <= INT_MAX / 2) {
      pagesPerStep *= 2;
    }
    copied = now;
  }
}

int StopRequested(void* context) {
  return static_cast<CQKRunContext*>(context)->IsStopRequested() ? 1 : 0;
}

// Keeps the first row of a quick_check: "ok", or the first problem found.
// A problem's report starts with a line naming the schema, "*** in
// database main ***", which says nothing here.
int KeepVerdict(void* out, int, char** values, char**) {
  CQKString* verdict = static_cast<CQKString*>(out);
  const char* text = values[0] != nullptr ? values[0] : "";
  const char* afterHeading = strchr(text, '\n');
  if (strncmp(text, "*** ", 4) == 0 && afterHeading != nullptr) {
    text = afterHeading + 1;
  }
  if (verdict->GetLength() == 0) verdict->SetFromUTF8(text);
  return 0;
}

// Outcomes that are about the source database rather than its copy.
bool IsAboutSource(CSQLiteBackup::BackupError error) {
  return error == CSQLiteBackup::kSourceMissing ||
         (error >= CSQLiteBackup::kSourceOpenFailed &&
          error <= CSQLiteBackup::kSourceOpenFull);
}

}  // namespace

CSQLiteBackup::CSQLiteBackup(const char* source, const char* destination,
                             bool overwrite)
    : CSQLiteBackup(source, destination, overwrite, CQKRunContext::Quiet()) {}

CSQLiteBackup::CSQLiteBackup(const char* source, const char* destination,
                             bool overwrite, CQKRunContext& context)
    : overwrite_(overwrite), context_(context) {
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
         qk_same_file(source, destination);
}

void CSQLiteBackup::SetErrorMessage(const CQKString& path,
                                    const char* reason) {
  errorMessage_.SafeFormat("%s: %s", path.GetSafeStringPtr(), reason);
}

CSQLiteBackup::BackupError CSQLiteBackup::Open(const CQKString& path,
                                               ErrorSource side,
                                               sqlite3** db) {
  // The live source is never created: had it vanished since it was looked
  // at, an empty database would appear in the project and be backed up.
  const bool isSource = side == kFromSourceOpen;
  // SQLite would create the copy with 0644 less the umask; made here first,
  // it gets the 0666 less the umask of every other file of the backup.
  if (!isSource) {
    const int made = qk_open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (made != -1) close(made);
  }
  const int flags = isSource ? SQLITE_OPEN_READWRITE
                             : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const int code = sqlite3_open_v2(path.GetSafeStringPtr(), db, flags, nullptr);
  BackupError result = TranslateError(code, side);
  // These leave a usable connection: the copy still runs.
  if (*db != nullptr &&
      (result == kSuccess || result == kDestinationOpenEmpty ||
       (isSource && (result == kSourceOpenEmpty ||
                     result == kSourceOpenReadOnly ||
                     result == kSourceOpenFull)))) {
    return kSuccess;
  }
  if (result == kSuccess) result = isSource ? kSourceOpenFailed
                                            : kDestinationOpenFailed;
  const int limit =
      sqlite3_vfs_find(nullptr)->mxPathname - kJournalSuffixLength;
  if ((code & 0xFF) == SQLITE_CANTOPEN && isSource && !qk_access(path, 'f')) {
    SetErrorMessage(path, strerror(errno));
    return kSourceMissing;
  }
  if ((code & 0xFF) == SQLITE_CANTOPEN &&
      static_cast<int>(path.GetLength()) > limit) {
    errorMessage_.SafeFormat(
        "%s: SQLite opens no database whose path is longer than %d bytes "
        "(its limit of %d bytes less room for the journal's name).",
        path.GetSafeStringPtr(), limit, limit + kJournalSuffixLength);
    return result;
  }
  CQKString reason(*db != nullptr ? sqlite3_errmsg(*db) : sqlite3_errstr(code));
  // SQLite's words say what failed; the system's say why (a permission).
  const int error = *db != nullptr ? sqlite3_system_errno(*db) : 0;
  if (error != 0) {
    reason += " (";
    reason += strerror(error);
    reason += ")";
  }
  SetErrorMessage(path, reason.GetSafeStringPtr());
  return result;
}

CSQLiteBackup::BackupError CSQLiteBackup::BackupDB() {
  errorMessage_.Empty();
  if (!overwrite_ && qk_access(destination_, 'f')) {
    SetErrorMessage(destination_, strerror(EEXIST));
    return kDestinationExists;
  }
  if (source_.Compare(destination_, false) == 0 || SameFile()) {
    SetErrorMessage(destination_, "the source database itself");
    return kSamePath;
  }
  if (qk_access(destination_, 'f') && !qk_remove(destination_)) {
    SetErrorMessage(destination_, strerror(errno));
    return kDestinationNotRemoved;
  }
  if (!qk_access(source_, 'f')) {
    SetErrorMessage(source_, strerror(errno));
    return kSourceMissing;
  }

  sqlite3* opened = nullptr;
  BackupError result = Open(destination_, kFromDestinationOpen, &opened);
  Connection destination(opened);
  if (result != kSuccess) return result;
  // The copy's last step syncs the destination while it still holds the
  // source's read lock; the copy is scratch until it is packed, so skipping
  // the sync shortens the time the server's writers wait.
  sqlite3_exec(destination.get(), "PRAGMA synchronous=OFF", nullptr, nullptr,
               nullptr);
  sqlite3_exec(destination.get(), kSmallCache, nullptr, nullptr, nullptr);

  opened = nullptr;
  result = Open(source_, kFromSourceOpen, &opened);
  Connection source(opened);
  if (result != kSuccess) return result;
  // Setting the cache reads the schema; a source that is busy or no
  // database at all keeps the default here and is reported by the copy.
  sqlite3_exec(source.get(), kSmallCache, nullptr, nullptr, nullptr);

  result = Copy(source.get(), destination.get());
  // The live database is let go before the copy is checked.
  source.reset();
  if (result != kSuccess) return result;
  return CheckCopy(destination.get());
}

CSQLiteBackup::BackupError CSQLiteBackup::Copy(sqlite3* source,
                                               sqlite3* destination) {
  sqlite3_backup* backup =
      sqlite3_backup_init(destination, "main", source, "main");
  if (backup == nullptr) {
    BackupError result =
        TranslateError(sqlite3_errcode(destination), kFromBackup);
    // No copy was made, whatever the connection says.
    if (result == kSuccess) result = kBackupFailed;
    SetErrorMessage(destination_, sqlite3_errmsg(destination));
    return result;
  }
  BackupError result = StepUntilDone(backup, context_);
  // Finishing leaves the failed step's reason on the destination connection.
  sqlite3_backup_finish(backup);
  if (result == kDone || result == kInterrupted) {
    return result == kDone ? kSuccess : kInterrupted;
  }
  SetErrorMessage(IsAboutSource(result) ? source_ : destination_,
                  sqlite3_errmsg(destination));
  return result;
}

// The online backup copies pages without reading them, so a damaged source
// gives a damaged copy. quick_check reads every page of the copy once (the
// live database is left alone); it skips integrity_check's cross-check of
// indexes against their tables, which would cost many times more.
CSQLiteBackup::BackupError CSQLiteBackup::CheckCopy(sqlite3* destination) {
  sqlite3_progress_handler(destination, kStepsBetweenStopChecks, StopRequested,
                           &context_);
  CQKString verdict;
  const int code = sqlite3_exec(destination, "PRAGMA quick_check(1)",
                                KeepVerdict, &verdict, nullptr);
  sqlite3_progress_handler(destination, 0, nullptr, nullptr);
  if (context_.IsStopRequested()) return kInterrupted;
  if (code != SQLITE_OK) {
    const BackupError result = TranslateError(code, kFromBackup);
    SetErrorMessage(result == kCorrupt ? source_ : destination_,
                    sqlite3_errmsg(destination));
    return result;
  }
  if (verdict.Compare("ok", false) == 0) return kSuccess;
  SetErrorMessage(source_, verdict.GetSafeStringPtr());
  return kCorrupt;
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
