#include "backup/qk_workspace.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_path.h"
#include "fs/qk_walk.h"

namespace {

const char kMarkerSuffix[] = ".qkrun";
const char kPendingPrefix[] = ".QKf-";
const char kNamePrefix[] = "QKf";
const size_t kUniqueLength = 6;
const char kUniqueCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool EndsWith(const char* text, const char* suffix) {
  const size_t length = strlen(text);
  const size_t suffixLength = strlen(suffix);
  return length >= suffixLength &&
         strcmp(text + length - suffixLength, suffix) == 0;
}

// The working directory's name when `entry` is a marker's name.
bool MarkedName(const char* entry, CQKString& name) {
  const size_t nameLength = strlen(kNamePrefix) + kUniqueLength;
  if (strlen(entry) != 1 + nameLength + strlen(kMarkerSuffix) ||
      entry[0] != '.' ||
      strncmp(entry + 1, kNamePrefix, strlen(kNamePrefix)) != 0 ||
      !EndsWith(entry, kMarkerSuffix)) {
    return false;
  }
  name.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>(entry + 1),
                             static_cast<unsigned int>(nameLength));
  return true;
}

// The process id of a marker still being made, ".QKf-<pid>.qkrun".
bool PendingPid(const char* entry, long& pid) {
  if (strncmp(entry, kPendingPrefix, strlen(kPendingPrefix)) != 0 ||
      !EndsWith(entry, kMarkerSuffix)) {
    return false;
  }
  char* end = nullptr;
  pid = strtol(entry + strlen(kPendingPrefix), &end, 10);
  return pid > 0 && strcmp(end, kMarkerSuffix) == 0;
}

bool OwnedByUs(const CQKString& path, bool directory) {
  struct stat64 st;
  return qk_retry([&] { return lstat64(path.GetSafeStringPtr(), &st); }) == 0 &&
         st.st_uid == geteuid() &&
         (directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode));
}

void SweepMarked(const CQKString& directory, const CQKString& markerName,
                 const CQKString& name) {
  const CQKString marker = qk_join_path(directory, markerName);
  const CQKString path = qk_join_path(directory, name);
  if (!OwnedByUs(marker, false)) return;
  QKOwnedFd fd(qk_open(marker, O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
  if (fd.get() == -1 ||
      qk_retry([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    return;  // a live run's
  }
  struct stat64 st;
  const bool present =
      qk_retry([&] { return lstat64(path.GetSafeStringPtr(), &st); }) == 0;
  if (present && (!OwnedByUs(path, true) || !qk_rmdir_recursive(path, true))) {
    return;
  }
  qk_remove(marker);
}

// Makes a marker no sweep can take for a dead run's: created under a name of
// this process's own, locked, and only then given its final name, which
// names a working directory that does not exist yet.
CQKStatus MakeMarker(const CQKString& directory, QKOwnedFd& lock,
                     CQKString& name) {
  CQKString pending;
  pending.SafeFormat("%s%ld%s", kPendingPrefix, static_cast<long>(getpid()),
                     kMarkerSuffix);
  pending = qk_join_path(directory, pending);
  // One of ours is a dead process's that had our id.
  qk_remove(pending);
  lock.Reset(qk_open(pending, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (lock.get() == -1) return CQKStatus::PosixError(directory, errno);
  if (qk_retry([&] { return flock(lock.get(), LOCK_EX | LOCK_NB); }) != 0) {
    const CQKStatus failed = CQKStatus::PosixError(pending, errno);
    qk_remove(pending);
    return failed;
  }
  for (;;) {
    unsigned char random[kUniqueLength];
    if (qk_retry([&] { return getrandom(random, sizeof random, 0); }) !=
        static_cast<ssize_t>(sizeof random)) {
      qk_remove(pending);
      return CQKStatus::PosixError(pending, errno);
    }
    name = kNamePrefix;
    for (unsigned char byte : random) {
      name += kUniqueCharacters[byte % (sizeof kUniqueCharacters - 1)];
    }
    const CQKString path = qk_join_path(directory, name);
    const CQKString marker = qk_workspace_marker(path);
    struct stat64 st;
    if (qk_retry([&] { return lstat64(path.GetSafeStringPtr(), &st); }) == 0) {
      continue;
    }
    if (qk_retry([&] {
          return renameat2(AT_FDCWD, pending.GetSafeStringPtr(), AT_FDCWD,
                           marker.GetSafeStringPtr(), RENAME_NOREPLACE);
        }) == 0) {
      return CQKStatus::OK();
    }
    if (errno != EEXIST) {
      const CQKStatus failed = CQKStatus::PosixError(marker, errno);
      qk_remove(pending);
      return failed;
    }
  }
}

// One look at each entry of the directory for temporary files.
class WorkspaceSweeper : public QKWalkVisitor {
 public:
  explicit WorkspaceSweeper(const CQKString& directory)
      : directory_(directory) {}

  CQKStatus VisitEntry(const QKWalkEntry& entry) override {
    CQKString name;
    long pid = 0;
    if (MarkedName(entry.name, name)) {
      SweepMarked(directory_, CQKString(entry.name), name);
    } else if (PendingPid(entry.name, pid) &&
               pid != static_cast<long>(getpid()) &&
               kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH &&
               OwnedByUs(entry.path, false)) {
      qk_remove(entry.path);
    }
    return CQKStatus::OK();
  }

 private:
  const CQKString& directory_;
};

}  // namespace

CQKString qk_workspace_marker(const CQKString& path) {
  CQKString trimmed(path);
  trimmed.TrimRightAscii("/");
  CQKString directory;
  CQKString name;
  SplitPathIntoDirectoryAndName(trimmed, directory, name);
  CQKString marker(directory);
  marker += ".";
  marker += name;
  marker += kMarkerSuffix;
  return marker;
}

CQKStatus qk_workspace_create(const CQKString& directory, CQKString& path,
                              QKOwnedFd& lock) {
  QKOwnedFd held(-1);
  CQKString name;
  const CQKStatus marked = MakeMarker(directory, held, name);
  if (!marked.IsOK()) return marked;
  CQKString made = qk_join_path(directory, name);
  // Owner-only from the start: it holds a copy of the project's data.
  if (qk_retry([&] { return mkdir(made.GetSafeStringPtr(), 0700); }) != 0) {
    const CQKStatus failed = CQKStatus::PosixError(made, errno);
    qk_remove(qk_workspace_marker(made));
    return failed;
  }
  made += '/';
  path = made;
  lock.Reset(held.Release());
  return CQKStatus::OK();
}

void qk_workspace_sweep(const CQKString& directory,
                        const CQKRunContext& context) {
  WorkspaceSweeper sweeper(directory);
  QKWalkOptions options;
  options.recursive = false;
  options.skipVanished = true;
  options.context = &context;
  qk_walk(directory, options, sweeper);
}
