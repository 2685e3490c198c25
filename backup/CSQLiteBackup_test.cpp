#include "backup/CSQLiteBackup.h"

#include <sqlite3.h>

#include <ctime>
#include <functional>
#include <string>

#include "fs/qk_interrupt.h"
#include "fs/qk_progress.h"
#include "tests/support/qk_test_support.h"

namespace {

typedef CSQLiteBackup B;

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

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

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

// What a consistent copy answers, however many logged commits it holds.
const char kSnapshotCheck[] =
    "SELECT (SELECT integrity_check FROM pragma_integrity_check) || '|' ||"
    " ((SELECT n FROM counter) = (SELECT count(*) FROM log))";

const char kAllRows[] =
    "SELECT (SELECT integrity_check FROM pragma_integrity_check) || ' ' ||"
    " (SELECT group_concat(row, ' ') FROM ("
    " SELECT id || ':' || hex(data) AS row FROM filler UNION ALL"
    " SELECT id || ':' || note FROM log UNION ALL SELECT n FROM counter))";

// Latin-1 names throughout: paths are bytes, not text.
class CSQLiteBackupTest : public qktest::ScratchTest {
 protected:
  void SetUp() override { MakeDatabase(source_, 300); }

  const std::string source_ = dir_ / "caf\xE9.db";
  const std::string copy_ = dir_ / "\xE9t\xE9.db";
};

// An extended code counts as its primary one; no failure becomes a success.
TEST(CSQLiteBackupTranslateTest, ExtendedCodesAndFailuresKeepTheirMeaning) {
  for (int code = 0; code <= SQLITE_DONE; ++code) {
    for (auto side : {B::kFromBackup, B::kFromSourceOpen,
                      B::kFromDestinationOpen}) {
      const B::BackupError primary = B::TranslateError(code, side);
      EXPECT_EQ(primary == B::kSuccess, code == SQLITE_OK) << code;
      for (int extended = code | 256; extended < code + 4096; extended += 256) {
        EXPECT_EQ(B::TranslateError(extended, side), primary) << extended;
      }
    }
  }
}

// Never the source lost, whatever spelling or link names it as the copy.
TEST_F(CSQLiteBackupTest, OnlyASuccessfulCopyReplacesAFile) {
  qktest::WriteFile(copy_, "previous backup");
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/directory.db", "d 755"},
      {"/link.db", "l " + source_}}));
  const auto before = qktest::Tree(dir_.path());
  const struct { std::string to; bool overwrite; B::BackupError expected; }
      kCases[] = {
          {copy_, false, B::kDestinationExists},
          {source_, false, B::kDestinationExists},
          {source_, true, B::kSamePath},
          {dir_ / "./caf\xE9.db", true, B::kSamePath},
          {dir_ / "link.db", true, B::kSamePath},
          {dir_ / "missing/copy.db", false, B::kDestinationOpenCantOpen},
          {dir_ / "directory.db", true, B::kDestinationNotRemoved},
      };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.expected, B(source_.c_str(), c.to.c_str(), c.overwrite).BackupDB())
        << c.to;
  }
  EXPECT_EQ(before, qktest::Tree(dir_.path()));
  ASSERT_EQ(B::kSuccess, B(source_.c_str(), copy_.c_str(), true).BackupDB());
  EXPECT_EQ(Query(source_, kAllRows), Query(copy_, kAllRows));
  // The copy took the previous one's place; no journal was left behind.
  EXPECT_EQ(before.size(), qktest::Tree(dir_.path()).size());

  // Root opens anything: only another user meets a source it cannot open.
  ASSERT_EQ(0, chmod(source_.c_str(), 0) | chmod(dir_.path().c_str(), 0777));
  EXPECT_EQ(B::kCantOpen, qktest::RunAsNobody([&] {
    return B(source_.c_str(), (dir_ / "nobody.db").c_str(), false).BackupDB();
  }));
}

// Removes the file it names when SQLite opens its next connection, which
// BackupDB makes after its own look at the source: the source vanishes in
// between.
std::string gVanishing;
int RemoveVanishing(sqlite3*, char**, const void*) {
  if (!gVanishing.empty()) remove(gVanishing.c_str());
  gVanishing.clear();
  return SQLITE_OK;
}

// Records the pages reported; raises `signal` (when set) at the first one.
class PageSink : public QKProgressSink {
 public:
  explicit PageSink(int signal = 0) : signal_(signal) {
    qk_progress_set_sink(this);
  }
  ~PageSink() override {
    qk_progress_set_sink(nullptr);
    qk_interrupt_clear();
  }
  void Advance(uint64_t done) override {
    pages += done;
    if (signal_ != 0) qk_interrupt_raise(signal_);
  }
  void SetTotal(uint64_t all) override { total = all; }
  uint64_t pages = 0, total = 0;

 private:
  int signal_;
};

// A vanished source is not created again; a stop request is honoured; a
// whole copy reports every page of it, and its file has the mode any other
// new file of the backup gets.
TEST_F(CSQLiteBackupTest, VanishedSourceStopRequestAndProgress) {
  const std::string vanished = dir_ / "gone.db";
  MakeDatabase(vanished, 10);
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(RemoveVanishing));
  gVanishing = vanished;
  B gone(vanished.c_str(), copy_.c_str(), true);
  EXPECT_EQ(B::kSourceMissing, gone.BackupDB());
  sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(RemoveVanishing));
  EXPECT_EQ(vanished + ": No such file or directory",
            gone.GetErrorMessage().GetSafeStringPtr());
  EXPECT_FALSE(qktest::Exists(vanished));
  {
    PageSink stopper(SIGTERM);
    B stopped(source_.c_str(), copy_.c_str(), true);
    EXPECT_EQ(B::kInterrupted, stopped.BackupDB());
    EXPECT_STREQ("", stopped.GetErrorMessage().GetSafeStringPtr());
  }
  PageSink sink;
  umask(002);
  EXPECT_EQ(B::kSuccess, B(source_.c_str(), copy_.c_str(), true).BackupDB());
  EXPECT_EQ("f 664", qktest::Entry(copy_).substr(0, 5));
  EXPECT_EQ(Query(copy_, "PRAGMA page_count"), std::to_string(sink.total));
  EXPECT_EQ(sink.total, sink.pages);
}

// Forks a child that runs `body` and exits 0 if it answers true. Returns, once
// the child has written to its pipe, a function answering its wait status.
std::function<int()> StartChild(const std::function<bool(int ready)>& body) {
  int ready[2];
  EXPECT_EQ(0, pipe(ready));
  const pid_t pid = fork();
  if (pid == 0) _exit(body(ready[1]) ? 0 : 1);
  close(ready[1]);
  char byte;
  EXPECT_EQ(1, read(ready[0], &byte, 1));
  close(ready[0]);
  return [pid] {
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
  };
}

// The writer's counter moves with its log, so only a torn copy breaks
// kSnapshotCheck; its cap only ends a copy that never would.
TEST_F(CSQLiteBackupTest, CopiesASnapshotWhileAnotherProcessCommits) {
  for (const char* mode : {"delete", "wal"}) {
    SCOPED_TRACE(mode);
    const std::string source = dir_ / mode + ".db", stop = dir_ / mode + ".s",
                      copy = dir_ / mode + " copy.db";
    MakeDatabase(source, 16000, mode);
    const auto writer = StartChild([&](int ready) {
      sqlite3* db = nullptr;
      sqlite3_open(source.c_str(), &db);
      sqlite3_busy_timeout(db, 60000);
      bool ok = true;
      for (int i = 0; ok && !qktest::Exists(stop); ++i, usleep(2000)) {
        ok = i < 5000 &&
             Exec(db, "BEGIN IMMEDIATE; INSERT INTO log(note) VALUES('entry');"
                      "UPDATE counter SET n = n + 1; COMMIT;") &&
             (i > 0 || write(ready, "r", 1) == 1);
      }
      sqlite3_close(db);
      return ok;
    });
    const int first = std::stoi(Query(source, "SELECT n FROM counter"));
    const auto result = B(source.c_str(), copy.c_str(), false).BackupDB();
    const int last = std::stoi(Query(source, "SELECT n FROM counter"));
    qktest::WriteFile(stop, "");
    EXPECT_EQ(0, writer());

    ASSERT_EQ(B::kSuccess, result);
    EXPECT_EQ("ok|1", Query(copy, kSnapshotCheck));
    const int seen = std::stoi(Query(copy, "SELECT n FROM counter"));
    EXPECT_LE(first, seen);
    EXPECT_LE(seen, last);
  }
}

// The wait sleeps: a spinning one would burn its two seconds of CPU.
TEST_F(CSQLiteBackupTest, WaitsOutAnExclusiveLockWithoutSpinning) {
  const auto locker = StartChild([&](int ready) {
    sqlite3* db = nullptr;
    sqlite3_open(source_.c_str(), &db);
    const bool ok = Exec(db, "BEGIN EXCLUSIVE; INSERT INTO log(note) VALUES"
                             "('locked'); UPDATE counter SET n = n + 1;") &&
                    write(ready, "l", 1) == 1 && sleep(2) == 0 &&
                    Exec(db, "COMMIT");
    sqlite3_close(db);
    return ok;
  });
  const std::clock_t cpu = std::clock();
  const auto result = B(source_.c_str(), copy_.c_str(), false).BackupDB();
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 2);
  EXPECT_EQ(0, locker());

  EXPECT_EQ(B::kSuccess, result);
  // The copy could start only after the commit, so it holds it.
  EXPECT_EQ(Query(source_, kAllRows), Query(copy_, kAllRows));
}

}  // namespace
