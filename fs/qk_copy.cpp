#include "fs/qk_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fs/CQKFile.h"
#include "fs/qk_fs.h"
#include "fs/qk_interrupt.h"
#include "fs/qk_progress.h"

namespace {

const size_t kTransferSize = 131072;

enum class Outcome { kCopied, kSkipped, kFailed };

// Names `path` as the one that failed, keeping the reason in errno.
void Blame(CQKString* failedPath, const CQKString& path) {
  if (failedPath == nullptr) return;
  const int failure = errno;
  *failedPath = path;
  errno = failure;
}

// Closes `descriptor` without disturbing the reason of an earlier failure.
void CloseKeepingErrno(int descriptor) {
  const int failure = errno;
  close(descriptor);
  errno = failure;
}

// A stop request ends a data loop as an interrupted call would.
bool Interrupted() {
  if (qk_interrupted() == 0) return false;
  errno = EINTR;
  return true;
}

// An EINTR from a blocked call is retried unless the run is to stop.
bool Retry() { return errno == EINTR && !Interrupted(); }

// Writes all `count` bytes, continuing after partial writes.
bool WriteAll(int descriptor, const unsigned char* bytes, size_t count) {
  while (count > 0) {
    ssize_t put = write(descriptor, bytes, count);
    if (put < 0) {
      if (Retry()) continue;
      return false;
    }
    if (put == 0) {
      errno = EIO;
      return false;
    }
    bytes += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

// Moves every byte from `in` to `out`. On failure errno holds the reason and
// *writeFailed tells which side it came from.
bool CopyBytes(int in, int out, unsigned char* buffer, bool* diskFull,
               bool* writeFailed) {
  *writeFailed = false;
  for (;;) {
    if (Interrupted()) return false;
    ssize_t got = read(in, buffer, kTransferSize);
    if (got < 0) {
      if (Retry()) continue;
      return false;
    }
    if (got == 0) return true;
    if (!WriteAll(out, buffer, static_cast<size_t>(got))) {
      if (diskFull != nullptr) *diskFull = errno == ENOSPC;
      *writeFailed = true;
      return false;
    }
    qk_progress_advance(static_cast<uint64_t>(got));
  }
}

// Opens `source` for reading without ever blocking, even when a FIFO took a
// regular file's place after the caller looked, and checks what it got. A
// special file is closed unread (kSkipped); a directory fails with EISDIR.
// Truncating the target would destroy the source when both name one file;
// a target that must be new (`targetIsNew`) cannot be the source.
Outcome OpenSource(const CQKString& source, const CQKString& target,
                   bool targetIsNew, int* descriptor) {
  *descriptor = qk_open(source, O_RDONLY | O_NONBLOCK, 0666);
  if (*descriptor == -1) return Outcome::kFailed;
  struct stat64 from;
  struct stat64 to;
  Outcome outcome = Outcome::kCopied;
  if (fstat64(*descriptor, &from) != 0) {
    outcome = Outcome::kFailed;
  } else if (S_ISDIR(from.st_mode)) {
    errno = EISDIR;
    outcome = Outcome::kFailed;
  } else if (!S_ISREG(from.st_mode)) {
    outcome = Outcome::kSkipped;
  } else if (!targetIsNew && qk_stat(target, &to) == 0 &&
             from.st_dev == to.st_dev &&
             from.st_ino == to.st_ino) {
    errno = EINVAL;
    outcome = Outcome::kFailed;
  }
  if (outcome != Outcome::kCopied) CloseKeepingErrno(*descriptor);
  return outcome;
}

// Copies one regular file's bytes into a new or truncated `target` (0666
// less the umask when new; with `failIfExists` it must be new, which the
// exclusive create checks in the same call). On failure the file at fault
// goes to *failedPath (when given) and the reason stays in errno.
Outcome CopyFile(const CQKString& source, const CQKString& target,
                 bool failIfExists, bool* diskFull, CQKString* failedPath) {
  int in = -1;
  const Outcome opened = OpenSource(source, target, failIfExists, &in);
  if (opened != Outcome::kCopied) {
    if (opened == Outcome::kFailed) Blame(failedPath, source);
    return opened;
  }
  const CQKString* culprit = &target;
  bool copied = false;
  const int out = qk_open(
      target, O_WRONLY | O_CREAT | (failIfExists ? O_EXCL : O_TRUNC), 0666);
  if (out != -1) {
    unsigned char* buffer = static_cast<unsigned char*>(malloc(kTransferSize));
    bool writeFailed = false;
    copied = buffer != nullptr &&
             CopyBytes(in, out, buffer, diskFull, &writeFailed);
    if (buffer != nullptr && !copied && !writeFailed) culprit = &source;
    const int failure = errno;
    free(buffer);
    errno = failure;
    if (copied) {
      copied = close(out) == 0;
    } else {
      CloseKeepingErrno(out);
    }
  }
  if (!copied) {
    CloseKeepingErrno(in);
    Blame(failedPath, *culprit);
    return Outcome::kFailed;
  }
  if (close(in) != 0) {
    Blame(failedPath, source);
    return Outcome::kFailed;
  }
  return Outcome::kCopied;
}

CQKString ChildPath(const CQKString& parent, const CQKString& name) {
  CQKString child(parent);
  CQKFile::AddDirSeperator(child, '/');
  child += name;
  return child;
}

// A walk that already failed keeps its own reason in errno.
bool CloseScan(qk_scandirExtHandle* scan, bool walked) {
  int failure = errno;
  bool closed = qk_scandircloseExt(scan);
  if (!walked) {
    errno = failure;
    return false;
  }
  return closed;
}

// Copies one entry that the scan did not report as a directory. Its type is
// read without opening it, links followed: a link to a file is copied as the
// file's bytes, a link to a directory is never entered and fails the copy,
// and FIFOs, sockets and devices (or links to them) are skipped unopened.
bool CopyEntry(const CQKString& source, const CQKString& target,
               bool failIfExists, bool* diskFull, CQKString* failedPath) {
  struct stat64 named;
  if (qk_stat(source, &named) != 0) {
    Blame(failedPath, source);
    return false;
  }
  if (S_ISDIR(named.st_mode)) {
    errno = EISDIR;
    Blame(failedPath, source);
    return false;
  }
  if (!S_ISREG(named.st_mode)) return true;
  return CopyFile(source, target, failIfExists, diskFull, failedPath) !=
         Outcome::kFailed;
}

// Makes `target` ready to receive a tree: creates it (0755 less the umask)
// or, without `failIfExists`, accepts an existing readable directory.
bool PrepareTarget(const CQKString& target, bool failIfExists) {
  if (!qk_access(target, 'f')) return qk_mkdir(target, false);
  if (failIfExists) {
    errno = EEXIST;
    return false;
  }
  struct stat64 existing;
  if (!qk_access(target, 'r', &existing)) return false;
  if (S_ISDIR(existing.st_mode)) return true;
  errno = ENOTDIR;
  return false;
}

bool CopyTree(const CQKString& source, const CQKString& target,
              bool recursive, bool failIfExists, bool* diskFull,
              CQKString* failedPath) {
  if (!PrepareTarget(target, failIfExists)) {
    Blame(failedPath, target);
    return false;
  }
  CQKString name;
  bool isDirectory = false;
  qk_scandirExtHandle* scan = qk_startscandirExt(source, name, isDirectory);
  if (scan == nullptr) {
    Blame(failedPath, source);
    return false;
  }
  bool walked = true;
  do {
    if (qk_isdotentry(name.GetSafeStringPtr()) || (isDirectory && !recursive)) continue;
    CQKString from = ChildPath(source, name);
    CQKString to = ChildPath(target, name);
    if (Interrupted()) {
      Blame(failedPath, from);
      walked = false;
    } else if (isDirectory) {
      walked = CopyTree(from, to, true, failIfExists, diskFull, failedPath);
    } else {
      walked = CopyEntry(from, to, failIfExists, diskFull, failedPath);
    }
  } while (walked && qk_scandirnextExt(scan, name, isDirectory));
  if (CloseScan(scan, walked)) return true;
  // An entry that could not be read fails the directory itself.
  if (walked) Blame(failedPath, source);
  return false;
}

bool RemoveTree(const CQKString& path, bool forceWritable) {
  CQKString name;
  bool isDirectory = false;
  qk_scandirExtHandle* scan = qk_startscandirExt(path, name, isDirectory);
  if (scan == nullptr) return false;
  bool walked = true;
  do {
    if (qk_isdotentry(name.GetSafeStringPtr())) continue;
    CQKString child = ChildPath(path, name);
    // A link is never followed, not even to change a mode.
    if (forceWritable && isDirectory) qk_chmod_readwrite(child);
    walked = isDirectory ? RemoveTree(child, forceWritable) : qk_remove(child);
  } while (walked && qk_scandirnextExt(scan, name, isDirectory));
  // The directory goes once its scan is closed and it is empty.
  if (!CloseScan(scan, walked)) return false;
  return qk_rmdir(path);
}

}  // namespace

bool qk_copy(const CQKString& source, const CQKString& target,
             bool failIfExists, bool* diskFull) {
  // Anything but a regular file is refused before it is opened.
  struct stat64 named;
  if (qk_stat(source, &named) == 0 && !S_ISREG(named.st_mode)) {
    errno = S_ISDIR(named.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  const Outcome outcome =
      CopyFile(source, target, failIfExists, diskFull, nullptr);
  if (outcome == Outcome::kSkipped) errno = EINVAL;
  return outcome == Outcome::kCopied;
}

bool qk_copy_dir(const CQKString& source, const CQKString& target,
                 bool recursive, bool failIfExists, bool* diskFull,
                 CQKString* failedPath) {
  return CopyTree(source, target, recursive, failIfExists, diskFull,
                  failedPath);
}

bool qk_rmdir_recursive(const CQKString& path, bool forceWritable) {
  // A link at the top goes as a link: what it names is not ours to empty.
  struct stat64 top;
  if (lstat64(path.GetSafeStringPtr(), &top) != 0) return false;
  if (S_ISLNK(top.st_mode)) return qk_remove(path);
  return RemoveTree(path, forceWritable);
}
