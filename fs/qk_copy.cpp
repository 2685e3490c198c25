#include "fs/qk_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fs/CQKFile.h"
#include "fs/qk_fs.h"

namespace {

const size_t kTransferSize = 131072;

// Truncating the target would destroy the source when both name one file.
bool IsSameFile(int sourceDescriptor, const CQKString& target) {
  struct stat64 from;
  struct stat64 to;
  return fstat64(sourceDescriptor, &from) == 0 && qk_stat(target, &to) == 0 &&
         from.st_dev == to.st_dev && from.st_ino == to.st_ino;
}

// Writes all `count` bytes, continuing after partial writes.
bool WriteAll(int descriptor, const unsigned char* bytes, size_t count) {
  while (count > 0) {
    ssize_t put = write(descriptor, bytes, count);
    if (put < 0) {
      if (errno == EINTR) continue;
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

// Moves every byte from `in` to `out`; on failure errno holds the reason.
bool CopyBytes(int in, int out, unsigned char* buffer, bool* diskFull) {
  for (;;) {
    ssize_t got = read(in, buffer, kTransferSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return true;
    if (!WriteAll(out, buffer, static_cast<size_t>(got))) {
      if (diskFull != nullptr) *diskFull = errno == ENOSPC;
      return false;
    }
  }
}

bool IsSkippedName(const CQKString& name) {
  const char* text = name.GetSafeStringPtr();
  return text[0] == '\0' || strcmp(text, ".") == 0 || strcmp(text, "..") == 0;
}

CQKString ChildPath(const CQKString& parent, const CQKString& name) {
  CQKString child(parent);
  CQKFile::AddDirSeperator(child, '/');
  child += name;
  return child;
}

// The walks move the working directory, so a relative path is resolved once,
// before the first scan opens. An empty path names nothing and stays empty.
bool MakeFullPath(const CQKString& path, CQKString& full) {
  if (path.GetLength() == 0 || qk_isfullpath(path)) {
    full = path;
    return true;
  }
  if (!qk_getcwd(full)) return false;
  CQKFile::AddDirSeperator(full, '/');
  full += path;
  return true;
}

// Closing the scan puts the working directory back. A walk that already
// failed keeps its own reason in errno.
bool CloseScan(qk_scandirExtHandle* scan, bool walked) {
  int failure = errno;
  bool closed = qk_scandircloseExt(scan);
  if (!walked) {
    errno = failure;
    return false;
  }
  return closed;
}

bool CopyTree(const CQKString& source, const CQKString& target,
              bool recursive, bool failIfExists, bool* diskFull) {
  if (qk_access(target, 'f')) {
    if (failIfExists) {
      errno = EEXIST;
      return false;
    }
    struct stat64 existing;
    if (!qk_access(target, 'r', &existing)) return false;
    if (!S_ISDIR(existing.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
  } else if (!qk_mkdir(target, false)) {
    return false;
  }

  CQKString name;
  bool isDirectory = false;
  qk_scandirExtHandle* scan = qk_startscandirExt(source, name, isDirectory);
  if (scan == nullptr) return false;
  bool walked = true;
  do {
    if (IsSkippedName(name) || (isDirectory && !recursive)) continue;
    CQKString from = ChildPath(source, name);
    CQKString to = ChildPath(target, name);
    walked = isDirectory ? CopyTree(from, to, true, failIfExists, diskFull)
                         : qk_copy(from, to, failIfExists, diskFull);
  } while (walked && qk_scandirnextExt(scan, name, isDirectory));
  return CloseScan(scan, walked);
}

bool RemoveTree(const CQKString& path, bool forceWritable) {
  CQKString name;
  bool isDirectory = false;
  qk_scandirExtHandle* scan = qk_startscandirExt(path, name, isDirectory);
  if (scan == nullptr) return false;
  bool walked = true;
  do {
    if (IsSkippedName(name)) continue;
    CQKString child = ChildPath(path, name);
    // A link is never followed, not even to change a mode.
    if (forceWritable && isDirectory) qk_chmod_readwrite(child);
    walked = isDirectory ? RemoveTree(child, forceWritable) : qk_remove(child);
  } while (walked && qk_scandirnextExt(scan, name, isDirectory));
  // Only now is the process out of `path`, so it can go.
  if (!CloseScan(scan, walked)) return false;
  return qk_rmdir(path);
}

}  // namespace

bool qk_copy(const CQKString& source, const CQKString& target,
             bool failIfExists, bool* diskFull) {
  if (failIfExists && qk_isfile(target, 'r')) {
    errno = EEXIST;
    return false;
  }
  unsigned char* buffer = static_cast<unsigned char*>(malloc(kTransferSize));
  if (buffer == nullptr) return false;

  int in = qk_open(source, O_RDONLY, 0666);
  if (in == -1 || IsSameFile(in, target)) {
    int failure = in == -1 ? errno : EINVAL;
    if (in != -1) close(in);
    free(buffer);
    errno = failure;
    return false;
  }
  int out = qk_open(target, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out == -1) {
    int failure = errno;
    close(in);
    free(buffer);
    errno = failure;
    return false;
  }

  bool copied = CopyBytes(in, out, buffer, diskFull);
  int failure = errno;
  free(buffer);
  if (!copied) {
    close(out);
    close(in);
    errno = failure;
    return false;
  }
  if (close(out) != 0) {
    failure = errno;
    close(in);
    errno = failure;
    return false;
  }
  return close(in) == 0;
}

bool qk_copy_dir(const CQKString& source, const CQKString& target,
                 bool recursive, bool failIfExists, bool* diskFull) {
  CQKString fullSource;
  CQKString fullTarget;
  if (!MakeFullPath(source, fullSource) || !MakeFullPath(target, fullTarget)) {
    return false;
  }
  return CopyTree(fullSource, fullTarget, recursive, failIfExists, diskFull);
}

bool qk_rmdir_recursive(const CQKString& path, bool forceWritable) {
  CQKString fullPath;
  if (!MakeFullPath(path, fullPath)) return false;
  // A link at the top goes as a link: what it names is not ours to empty.
  struct stat64 top;
  if (lstat64(fullPath.GetSafeStringPtr(), &top) != 0) return false;
  if (S_ISLNK(top.st_mode)) return qk_remove(fullPath);
  return RemoveTree(fullPath, forceWritable);
}
