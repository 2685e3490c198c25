#include "fs/qk_publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_owned_fd.h"
#include "fs/qk_path.h"

namespace {

CQKString DirectoryOf(const CQKString& path) {
  CQKString directory;
  CQKString name;
  SplitPathIntoDirectoryAndName(path, directory, name);
  return directory.GetLength() != 0 ? directory : CQKString(".");
}

CQKStatus SyncDirectoryOf(const CQKString& path) {
  const CQKString directory = DirectoryOf(path);
  QKOwnedFd fd(qk_open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (fd.get() == -1 || qk_retry([&] { return fsync(fd.get()); }) != 0) {
    return CQKStatus::PosixError(directory, errno);
  }
  return CQKStatus::OK();
}

CQKStatus Rename(const CQKString& from, const CQKString& to) {
  if (qk_retry([&] {
        return rename(from.GetSafeStringPtr(), to.GetSafeStringPtr());
      }) == 0) {
    return CQKStatus::OK();
  }
  return CQKStatus::PosixError(from, errno);
}

// Moves the previous entry aside: beside a new file by a second name, so
// that `destination` never stops naming one; before a new directory, which
// rename cannot put over anything, under its own private name.
CQKStatus KeepPrevious(const CQKString& destination,
                       const CQKString& previousPath, bool isDirectory) {
  if (isDirectory) return Rename(destination, previousPath);
  if (qk_retry([&] {
        return link(destination.GetSafeStringPtr(),
                    previousPath.GetSafeStringPtr());
      }) == 0) {
    return CQKStatus::OK();
  }
  return CQKStatus::PosixError(previousPath, errno);
}

void RemoveEntry(const CQKString& path) {
  if (!qk_remove(path)) qk_rmdir_recursive(path, true);
}

}  // namespace

CQKStatus qk_sync_durable(const CQKString& path) {
  QKOwnedFd fd(qk_open(path, O_RDONLY | O_CLOEXEC, 0));
  if (fd.get() == -1) return CQKStatus::PosixError(path, errno);
  struct stat64 st;
  if (qk_retry([&] { return fstat64(fd.get(), &st); }) != 0) return CQKStatus::PosixError(path, errno);
  // A tree's files are too many to sync one by one; its file system at once.
  const int synced = qk_retry([&] {
    return S_ISDIR(st.st_mode) ? syncfs(fd.get()) : fsync(fd.get());
  });
  if (synced != 0) return CQKStatus::PosixError(path, errno);
  return CQKStatus::OK();
}

CQKStatus qk_publish(const CQKString& built, const CQKString& destination,
                     const CQKString& previousPath) {
  struct stat64 st;
  if (qk_retry([&] { return lstat64(built.GetSafeStringPtr(), &st); }) != 0) {
    return CQKStatus::PosixError(built, errno);
  }
  const bool isDirectory = S_ISDIR(st.st_mode);
  bool hadPrevious = qk_retry([&] { return lstat64(destination.GetSafeStringPtr(), &st); }) == 0;
  if (hadPrevious) {
    const CQKStatus kept = KeepPrevious(destination, previousPath, isDirectory);
    // Gone meanwhile (another run moved it): nothing to keep.
    if (!kept.IsOK() && kept.GetErrno() != ENOENT) return kept;
    hadPrevious = kept.IsOK();
  }
  CQKStatus status = Rename(built, destination);
  const bool renamed = status.IsOK();
  if (renamed) status = SyncDirectoryOf(destination);
  if (status.IsOK()) {
    if (hadPrevious) RemoveEntry(previousPath);
    return status;
  }
  // Back as it was: the previous entry under its name, the new one under
  // its own (a file's new name is simply given up).
  if (renamed && isDirectory) Rename(destination, built);
  if (hadPrevious) {
    const CQKStatus back = Rename(previousPath, destination);
    // Another run's complete backup took the name meanwhile: the previous
    // one is superseded.
    if (back.GetErrno() == ENOTEMPTY || back.GetErrno() == EEXIST) {
      RemoveEntry(previousPath);
    }
  } else if (renamed) {
    Rename(destination, built);
  }
  SyncDirectoryOf(destination);
  return status;
}
