#include "backup/CSQLiteBackup.h"

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/qk_test_support.h"

namespace {

typedef CSQLiteBackup B;

// Runs `sql` on the database at `path`, made if missing, and answers the
// first column of the first row, as text.
std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_busy_timeout(db, 60000);  // a writer may hold the lock a moment
  std::string text;
  auto first = [](void* out, int, char** values, char**) {
    std::string* text = static_cast<std::string*>(out);
    if (text->empty()) *text = values[0] ? values[0] : "NULL";
    return 0;
  };
  if (sqlite3_exec(db, sql.c_str(), first, &text, nullptr) != SQLITE_OK) {
    text = std::string("(error) ") + sqlite3_errmsg(db);
  }
  sqlite3_close(db);
  return text;
}

// A database of `rows` kilobyte blobs and an empty log whose row count a
// counter mirrors.
void MakeDatabase(const std::string& path, int rows,
                  const std::string& journalMode = "delete") {
  EXPECT_EQ(journalMode,
            Query(path, "PRAGMA journal_mode=" + journalMode + ";"
                  "CREATE TABLE filler(id INTEGER PRIMARY KEY, data BLOB);"
                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1"
                  "  FROM n WHERE i < " + std::to_string(rows) + ")"
                  "  INSERT INTO filler SELECT i, randomblob(1000) FROM n;"
                  "CREATE TABLE log(id INTEGER PRIMARY KEY, note TEXT);"
                  "CREATE TABLE counter(n); INSERT INTO counter VALUES(0);"));
}

// What a consistent copy of MakeDatabase's database answers, however many
// logged commits it holds.
const char kSnapshotCheck[] =
    "SELECT (SELECT integrity_check FROM pragma_integrity_check) || '|' ||"
    " ((SELECT n FROM counter) = (SELECT count(*) FROM log))";

// Every row of every table, in order.
const char kAllRows[] =
    "SELECT group_concat(row, ' ') FROM ("
    " SELECT id || ':' || hex(data) AS row FROM filler UNION ALL"
    " SELECT id || ':' || note FROM log UNION ALL SELECT n FROM counter)";

// Runs one backup and checks that it leaves no descriptor open.
B::BackupError Backup(const std::string& source, const std::string& destination,
                      bool overwrite) {
  const auto before = qktest::Tree("/proc/self/fd");
  const B::BackupError result =
      B(source.c_str(), destination.c_str(), overwrite).BackupDB();
  EXPECT_EQ(before, qktest::Tree("/proc/self/fd"));
  return result;
}

// Latin-1 names throughout: paths are bytes, not text.
class CSQLiteBackupTest : public ::testing::Test {
 protected:
  qktest::ScratchDir dir_;
  const std::string source_ = dir_ / "caf\xE9.db";
  const std::string copy_ = dir_ / "\xE9t\xE9.db";
};

TEST(CSQLiteBackupTranslateTest, MapsEachPrimaryCodeBySource) {
  // Code, then the value from a source open, a destination open, the copy.
  const int kTable[][4] = {
      {SQLITE_OK, 0, 0, 0},          {SQLITE_ERROR, 7, 17, 24},
      {SQLITE_PERM, 8, 18, 25},      {SQLITE_BUSY, 6, 16, 29},
      {SQLITE_LOCKED, 6, 16, 30},    {SQLITE_NOMEM, 6, 16, 27},
      {SQLITE_READONLY, 14, 22, 23}, {SQLITE_IOERR, 9, 19, 26},
      {SQLITE_CORRUPT, 10, 16, 10},  {SQLITE_FULL, 15, 16, 23},
      {SQLITE_CANTOPEN, 11, 20, 11}, {SQLITE_EMPTY, 13, 21, 23},
      {SQLITE_NOTADB, 12, 16, 12},   {SQLITE_DONE, 6, 16, 1},
      // Codes without a value of their own.
      {SQLITE_INTERNAL, 6, 16, 23}, {SQLITE_ROW, 6, 16, 23}, {-1, 6, 16, 23},
      // Extended codes count by their low byte.
      {SQLITE_IOERR_SHORT_READ, 9, 19, 26}, {SQLITE_CANTOPEN_ISDIR, 11, 20, 11},
      {SQLITE_BUSY_SNAPSHOT, 6, 16, 29}, {SQLITE_OK_LOAD_PERMANENTLY, 0, 0, 0},
  };
  for (const auto& row : kTable) {
    SCOPED_TRACE(row[0]);
    EXPECT_EQ(row[1], B::TranslateError(row[0], B::kFromSourceOpen));
    EXPECT_EQ(row[2], B::TranslateError(row[0], B::kFromDestinationOpen));
    EXPECT_EQ(row[3], B::TranslateError(row[0], B::kFromBackup));
  }
}

TEST_F(CSQLiteBackupTest, OnlyASuccessfulCopyReplacesAFile) {
  MakeDatabase(source_, 300);
  qktest::WriteFile(copy_, "previous backup");
  const std::string garbage = dir_ / "garbage.db";
  qktest::WriteFile(garbage, std::string(4096, 'x'));
  const std::string directory = dir_ / "directory.db";
  ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
  ASSERT_EQ(0, symlink(source_.c_str(), (dir_ / "link.db").c_str()));
  const auto before = qktest::Tree(dir_.path());
  struct Case { std::string from, to; bool overwrite; int expected; };
  const Case kCases[] = {
      {source_, copy_, false, 4},
      {source_, source_, false, 4},
      {source_, source_, true, 2},
      {source_, dir_ / "./caf\xE9.db", true, 2},
      {source_, dir_ / "link.db", true, 2},
      {dir_ / "missing.db", dir_ / "none.db", true, 3},
      {source_, dir_ / "missing/copy.db", false, 20},
      {source_, directory, true, 5},  // unlink refuses a directory
      {garbage, dir_ / "garbage copy.db", false, 12},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    EXPECT_EQ(c.expected, Backup(c.from, c.to, c.overwrite));
  }
  // A copy that failed part way may leave its file; the job's clean-up
  // removes it with the working directory.
  remove((dir_ / "garbage copy.db").c_str());
  EXPECT_EQ(before, qktest::Tree(dir_.path()));

  ASSERT_EQ(B::kSuccess, Backup(source_, copy_, true));
  EXPECT_EQ("ok|1", Query(copy_, kSnapshotCheck));
  EXPECT_EQ(Query(source_, kAllRows), Query(copy_, kAllRows));
  // The copy took the previous one's place; no journal was left behind.
  EXPECT_EQ(before.size(), qktest::Tree(dir_.path()).size());

  // Root opens anything: only another user meets a source it cannot open.
  ASSERT_EQ(0, chmod(source_.c_str(), 0));
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0777));
  EXPECT_EQ(B::kCantOpen, qktest::RunAsNobody([&] {
    return B(source_.c_str(), (dir_ / "nobody.db").c_str(), false).BackupDB();
  }));
}

// Forks a child that runs `body` and exits 0 when it returns true; returns
// once the child has written a byte to the pipe `body` is given.
pid_t StartChild(const std::function<bool(int ready)>& body) {
  int ready[2];
  EXPECT_EQ(0, pipe(ready));
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    _exit(body(ready[1]) ? 0 : 1);
  }
  close(ready[1]);
  char byte;
  EXPECT_EQ(1, read(ready[0], &byte, 1));
  close(ready[0]);
  return pid;
}

// The child's wait status: 0 is exit 0.
int WaitStatus(pid_t child) {
  int status = -1;
  waitpid(child, &status, 0);
  return status;
}

// Commits a log entry every couple of milliseconds until the file `stop`
// appears; the counter moves with the log, so only a torn copy breaks
// kSnapshotCheck. True when every commit worked and `stop` came before the
// cap, which only ends a copy that never would.
bool RunWriter(const std::string& path, int ready, const std::string& stop) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_busy_timeout(db, 60000);
  bool ok = true, stopped = false;
  for (int i = 0; ok && !stopped && i < 5000; ++i) {
    ok = sqlite3_exec(db,
                      "BEGIN IMMEDIATE; INSERT INTO log(note) VALUES('entry');"
                      "UPDATE counter SET n = n + 1; COMMIT;",
                      nullptr, nullptr, nullptr) == SQLITE_OK &&
         (i > 0 || write(ready, "r", 1) == 1);
    stopped = qktest::Exists(stop);
    usleep(2000);
  }
  sqlite3_close(db);
  return ok && stopped;
}

TEST_F(CSQLiteBackupTest, CopiesASnapshotWhileAnotherProcessCommits) {
  for (const char* mode : {"delete", "wal"}) {
    SCOPED_TRACE(mode);
    const std::string source = dir_ / mode + ".db";
    const std::string copy = dir_ / mode + " copy.db";
    MakeDatabase(source, 16000, mode);
    const std::string stop = dir_ / mode + ".stop";
    const pid_t writer =
        StartChild([&](int ready) { return RunWriter(source, ready, stop); });
    const int first = std::stoi(Query(source, "SELECT n FROM counter"));
    const B::BackupError result = Backup(source, copy, false);
    const int last = std::stoi(Query(source, "SELECT n FROM counter"));
    qktest::WriteFile(stop, "");
    EXPECT_EQ(0, WaitStatus(writer));

    ASSERT_EQ(B::kSuccess, result);
    EXPECT_EQ("ok|1", Query(copy, kSnapshotCheck));
    // A snapshot taken while the backup ran.
    const int seen = std::stoi(Query(copy, "SELECT n FROM counter"));
    EXPECT_LE(first, seen);
    EXPECT_LE(seen, last);
  }
}

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(CSQLiteBackupTest, WaitsOutAnExclusiveLockWithoutSpinning) {
  MakeDatabase(source_, 300);
  const pid_t locker = StartChild([&](int ready) {
    sqlite3* db = nullptr;
    sqlite3_open(source_.c_str(), &db);
    const bool locked =
        sqlite3_exec(db, "BEGIN EXCLUSIVE; INSERT INTO log(note) VALUES"
                     "('locked'); UPDATE counter SET n = n + 1;",
                     nullptr, nullptr, nullptr) == SQLITE_OK;
    const bool told = write(ready, "l", 1) == 1;
    sleep(2);
    const bool ok = locked && told &&
                    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) ==
                        SQLITE_OK;
    sqlite3_close(db);
    return ok;
  });
  const double cpuBefore = CpuSeconds();
  const B::BackupError result = Backup(source_, copy_, false);
  // Waiting sleeps; it does not spin.
  EXPECT_LT(CpuSeconds() - cpuBefore, 0.5);
  EXPECT_EQ(0, WaitStatus(locker));

  EXPECT_EQ(B::kSuccess, result);
  // The copy could start only after the commit, so it holds it.
  EXPECT_EQ("ok|1", Query(copy_, kSnapshotCheck));
  EXPECT_EQ("locked", Query(copy_, "SELECT group_concat(note) FROM log"));
}

}  // namespace
