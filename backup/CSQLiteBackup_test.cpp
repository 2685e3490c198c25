#include "backup/CSQLiteBackup.h"

#include <sqlite3.h>

#include <string>

#include "tests/support/qk_test_support.h"

namespace {

using B = CSQLiteBackup;

// The sqlite3 shell on `path`, waiting for locks as long as a minute.
std::string Shell(const std::string& path) {
  return "sqlite3 -bail -cmd '.timeout 60000' '" + path + "' ";
}

// What `sql` prints, without the last newline.
std::string Query(const std::string& path, const std::string& sql) {
  int status;
  const std::string out = qktest::Output(Shell(path) + "\"" + sql + "\"", &status);
  EXPECT_EQ(0, status) << sql;
  return out.substr(0, out.size() - 1);
}

void MakeDatabase(const std::string& path, int rows, const std::string& journal) {
  EXPECT_EQ(journal, Query(path, "PRAGMA journal_mode=" + journal + ";"
      "CREATE TABLE filler(id INTEGER PRIMARY KEY, data BLOB);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(rows) + ") INSERT INTO filler SELECT i, randomblob(1000) FROM n;"
      "CREATE TABLE log(note); CREATE TABLE counter(n);"
      "INSERT INTO counter VALUES(0);"));
}

// "ok 1 " for a consistent database (the counter moves with the log), then
// a digest of its rows.
const char kCheck[] =
    "SELECT (SELECT integrity_check FROM pragma_integrity_check) || ' ' ||"
    " ((SELECT n FROM counter) = (SELECT count(*) FROM log)) || ' ' || (SELECT"
    " n || group_concat(id || hex(substr(data, 1, 8))) FROM counter, filler)";
const char kCommit[] =
    "INSERT INTO log VALUES('entry'); UPDATE counter SET n = n + 1;";

// Starts the shell `script` and waits for its first line.
FILE* Start(const std::string& script) {
  FILE* child = popen(script.c_str(), "r");
  char line[64];
  EXPECT_NE(nullptr, fgets(line, sizeof line, child));
  return child;
}

// Latin-1 names throughout: paths are bytes, not text.
class CSQLiteBackupTest : public qktest::ScratchTest {
 protected:
  void SetUp() override { MakeDatabase(source_, 300, "delete"); }

  const std::string source_ = dir_ / "caf\xE9.db", copy_ = dir_ / "\xE9t\xE9.db";
};

// Removes the named file as SQLite opens its next connection, which BackupDB
// makes after its own look at the source: the source vanishes in between.
std::string gVanishing;
int RemoveVanishing(sqlite3*, char**, const void*) {
  remove(gVanishing.c_str());
  return SQLITE_OK;
}

// Never the source lost, whatever spelling or link names it as the copy. A
// stop request is honoured (what it leaves is for the job to clear); a whole
// copy reports every page of it, and its file has the mode any other new
// file of the backup gets.
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
  {
    qktest::Progress stopper(1);
    B stopped(source_.c_str(), copy_.c_str(), true, stopper);
    EXPECT_EQ(B::kInterrupted, stopped.BackupDB());
    EXPECT_EQ("", qktest::Str(stopped.GetErrorMessage()));
  }
  {
    qktest::Progress pages;
    umask(002);
    ASSERT_EQ(B::kSuccess, B(source_.c_str(), copy_.c_str(), true, pages).BackupDB());
    EXPECT_EQ(Query(copy_, "PRAGMA page_count"), std::to_string(pages.total));
    EXPECT_EQ(pages.total, pages.done);
  }
  EXPECT_EQ("f 664", qktest::Entry(copy_).substr(0, 5));
  EXPECT_EQ(Query(source_, kCheck), Query(copy_, kCheck));
  // The copy took the previous one's place; no journal was left behind.
  EXPECT_EQ(before.size(), qktest::Tree(dir_.path()).size());

  // A source that vanishes after the look at it is not created again.
  const std::string vanished = dir_ / "gone.db";
  MakeDatabase(vanished, 10, "delete");
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(RemoveVanishing));
  gVanishing = vanished;
  B gone(vanished.c_str(), copy_.c_str(), true);
  EXPECT_EQ(B::kSourceMissing, gone.BackupDB());
  sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(RemoveVanishing));
  EXPECT_EQ(vanished + ": No such file or directory",
            qktest::Str(gone.GetErrorMessage()));
  EXPECT_EQ("", qktest::Entry(vanished));
  // Root opens anything: only another user meets a source it cannot open.
  ASSERT_EQ(0, chmod(source_.c_str(), 0) | chmod(dir_.path().c_str(), 0777));
  EXPECT_EQ(B::kCantOpen, qktest::RunAsNobody([&] {
    return B(source_.c_str(), (dir_ / "nobody.db").c_str(), false).BackupDB();
  }));
}

// Only a torn copy breaks the counter's agreement with the log; the copy
// holds a moment between the backup's start and end. The writer's cap only
// ends a copy that never would.
TEST_F(CSQLiteBackupTest, CopiesASnapshotWhileAnotherProcessCommits) {
  for (const std::string mode : {"delete", "wal"}) {
    const std::string source = dir_ / mode + ".db", stop = dir_ / mode + ".s",
                      copy = dir_ / mode + " copy.db";
    MakeDatabase(source, 16000, mode);
    FILE* writer = Start("echo go; i=0; until [ -e '" + stop + "' ]; do "
        "i=$((i + 1)); [ $i -lt 5000 ] && " + Shell(source) + "\"BEGIN IMMEDIATE; " +
        kCommit + " COMMIT;\" || exit 1; done");
    const int first = std::stoi(Query(source, "SELECT n FROM counter"));
    const auto result = B(source.c_str(), copy.c_str(), false).BackupDB();
    const int last = std::stoi(Query(source, "SELECT n FROM counter"));
    qktest::WriteFile(stop, "");
    EXPECT_EQ(0, pclose(writer));
    ASSERT_EQ(B::kSuccess, result);
    EXPECT_EQ("ok 1 ", Query(copy, kCheck).substr(0, 5)) << mode;
    const int seen = std::stoi(Query(copy, "SELECT n FROM counter"));
    EXPECT_TRUE(first <= seen && seen <= last) << first << " " << seen << " " << last;
  }
}

}  // namespace
