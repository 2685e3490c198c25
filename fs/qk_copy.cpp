#include "fs/qk_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "fs/qk_fs.h"
#include "fs/qk_owned_fd.h"
#include "fs/qk_path.h"
#include "fs/qk_walk.h"

namespace {

const size_t kTransferSize = 131072;

struct FreeDeleter {
  void operator()(unsigned char* block) const { free(block); }
};
using Buffer = std::unique_ptr<unsigned char, FreeDeleter>;

Buffer NewBuffer() {
  return Buffer(static_cast<unsigned char*>(malloc(kTransferSize)));
}

// Writes all `count` bytes, continuing after partial writes.
bool WriteAll(const CQKRunContext& context, int descriptor,
              const unsigned char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t put =
        qk_retry(context, [&] { return write(descriptor, bytes, count); });
    if (put < 0) return false;
    if (put == 0) {
      errno = EIO;
      return false;
    }
    bytes += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

// One regular file's bytes from the open `in` into `target`, which is
// created (exclusively with `failIfExists`, else truncated). With `mtime`
// the copy gets that modification time.
CQKStatus CopyOpenFile(int in, const CQKString& source,
                       const CQKString& target, const QKCopyOptions& options,
                       const struct timespec* mtime, unsigned char* buffer) {
  CQKRunContext& context = *options.context;
  const int flags =
      O_WRONLY | O_CREAT | O_CLOEXEC | (options.failIfExists ? O_EXCL : O_TRUNC);
  QKOwnedFd out(qk_open(target, flags, 0666));
  if (out.get() == -1) return CQKStatus::PosixError(target, errno);
  for (;;) {
    if (context.IsStopRequested()) return CQKStatus::Interrupted();
    const ssize_t got =
        qk_retry(context, [&] { return read(in, buffer, kTransferSize); });
    if (got < 0) {
      if (errno == EINTR) return CQKStatus::Interrupted();
      return CQKStatus::PosixError(source, errno);
    }
    if (got == 0) break;
    if (!WriteAll(context, out.get(), buffer, static_cast<size_t>(got))) {
      if (errno == EINTR) return CQKStatus::Interrupted();
      if (options.diskFull != nullptr) *options.diskFull = errno == ENOSPC;
      return CQKStatus::PosixError(target, errno);
    }
    context.Advance(static_cast<uint64_t>(got));
  }
  if (mtime != nullptr) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, *mtime};
    if (qk_retry([&] { return futimens(out.get(), times); }) != 0) {
      return CQKStatus::PosixError(target, errno);
    }
  }
  // A close that fails may have lost what was written.
  if (!out.Close()) {
    return CQKStatus::PosixError(target, errno);
  }
  return CQKStatus::OK();
}

// A target that may already exist must not be the source: truncating it
// would destroy what is being copied.
bool IsSameFile(const struct stat64& from, const CQKString& target) {
  struct stat64 to;
  return qk_stat(target, &to) == 0 && qk_same_file(from, to);
}

class CopyVisitor : public QKWalkVisitor {
 public:
  CopyVisitor(const CQKString& target, const QKCopyOptions& options,
              unsigned char* buffer)
      : target_(target), options_(options), buffer_(buffer) {}

  CQKStatus EnterDirectory(const QKWalkEntry& entry, int fd) override;
  CQKStatus LeaveDirectory(const QKWalkEntry& entry, int fd) override;
  CQKStatus VisitEntry(const QKWalkEntry& entry) override;

 private:
  CQKString TargetOf(const QKWalkEntry& entry) const {
    return entry.relative.GetLength() == 0
               ? target_
               : qk_join_path(target_, entry.relative);
  }
  CQKStatus CopyFile(const QKWalkEntry& entry);
  CQKStatus CheckLink(const QKWalkEntry& entry);
  CQKStatus Gone(const CQKString& path, int error) const {
    return options_.liveSource && error == ENOENT
               ? CQKStatus::NotFound(path)
               : CQKStatus::PosixError(path, error);
  }

  const CQKString& target_;
  const QKCopyOptions& options_;
  unsigned char* buffer_;
};

CQKStatus CopyVisitor::EnterDirectory(const QKWalkEntry& entry, int) {
  const CQKString target = TargetOf(entry);
  if (qk_retry([&] { return mkdir(target.GetSafeStringPtr(), 0755); }) == 0) {
    return CQKStatus::OK();
  }
  const int error = errno;
  struct stat64 existing;
  // Only the top may be merged into, and only a directory.
  if (error != EEXIST || options_.failIfExists ||
      entry.relative.GetLength() != 0) {
    return CQKStatus::PosixError(target, error);
  }
  if (qk_stat(target, &existing) != 0) {
    return CQKStatus::PosixError(target, errno);
  }
  return S_ISDIR(existing.st_mode) ? CQKStatus::OK()
                                   : CQKStatus::PosixError(target, ENOTDIR);
}

// Last, as every entry made inside changed the directory's time.
CQKStatus CopyVisitor::LeaveDirectory(const QKWalkEntry& entry, int fd) {
  struct stat64 st;
  if (qk_retry([&] { return fstat64(fd, &st); }) != 0) return CQKStatus::PosixError(entry.path, errno);
  const CQKString target = TargetOf(entry);
  const struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (qk_retry([&] {
        return utimensat(AT_FDCWD, target.GetSafeStringPtr(), times, 0);
      }) != 0) {
    return CQKStatus::PosixError(target, errno);
  }
  return CQKStatus::OK();
}

CQKStatus CopyVisitor::VisitEntry(const QKWalkEntry& entry) {
  if (entry.type == DT_REG) return CopyFile(entry);
  if (entry.type == DT_LNK) return CheckLink(entry);
  // FIFOs, sockets and devices stay behind, and so do the sub-directories
  // of a copy that is not recursive.
  return CQKStatus::OK();
}

CQKStatus CopyVisitor::CopyFile(const QKWalkEntry& entry) {
  // Non-blocking, as a FIFO may have taken the file's place since.
  QKOwnedFd in(qk_retry([&] {
    return openat64(entry.parent, entry.name,
                    O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }));
  if (in.get() == -1) return Gone(entry.path, errno);
  struct stat64 from;
  if (qk_retry([&] { return fstat64(in.get(), &from); }) != 0) {
    return CQKStatus::PosixError(entry.path, errno);
  }
  if (S_ISDIR(from.st_mode)) {
    return Gone(entry.path, options_.liveSource ? ENOENT : EISDIR);
  }
  if (!S_ISREG(from.st_mode)) return CQKStatus::OK();
  const CQKString target = TargetOf(entry);
  if (!options_.failIfExists && IsSameFile(from, target)) {
    return CQKStatus::PosixError(target, EINVAL);
  }
  return CopyOpenFile(in.get(), entry.path, target, options_, &from.st_mtim,
                      buffer_);
}

// A link that names no regular file: a link to a special file stays behind;
// one to a directory, or one that names nothing, would leave a hole.
CQKStatus CopyVisitor::CheckLink(const QKWalkEntry& entry) {
  struct stat64 named;
  if (qk_retry([&] {
        return fstatat64(entry.parent, entry.name, &named, 0);
      }) != 0) {
    const int error = errno;
    struct stat64 link;
    const bool linkGone =
        qk_retry([&] {
          return fstatat64(entry.parent, entry.name, &link, AT_SYMLINK_NOFOLLOW);
        }) != 0;
    return linkGone ? Gone(entry.path, ENOENT)
                    : CQKStatus::PosixError(entry.path, error);
  }
  if (S_ISDIR(named.st_mode)) return CQKStatus::PosixError(entry.path, EISDIR);
  return CQKStatus::OK();
}

class RemoveVisitor : public QKWalkVisitor {
 public:
  explicit RemoveVisitor(bool forceWritable) : forceWritable_(forceWritable) {}

  CQKStatus EnterDirectory(const QKWalkEntry&, int fd) override {
    struct stat64 st;
    // Through the open directory: a link is never followed to change a mode.
    if (forceWritable_ && qk_retry([&] { return fstat64(fd, &st); }) == 0) {
      fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
    }
    return CQKStatus::OK();
  }
  CQKStatus LeaveDirectory(const QKWalkEntry& entry, int) override {
    return Unlink(entry, AT_REMOVEDIR);
  }
  CQKStatus VisitEntry(const QKWalkEntry& entry) override {
    return Unlink(entry, 0);
  }

 private:
  static CQKStatus Unlink(const QKWalkEntry& entry, int flags) {
    if (qk_retry([&] { return unlinkat(entry.parent, entry.name, flags); }) ==
            0 ||
        errno == ENOENT) {
      return CQKStatus::OK();
    }
    return CQKStatus::PosixError(entry.path, errno);
  }

  const bool forceWritable_;
};

}  // namespace

bool qk_copy(const CQKString& source, const CQKString& target,
             bool failIfExists, bool* diskFull) {
  struct stat64 named;
  if (qk_stat(source, &named) == 0 && !S_ISREG(named.st_mode)) {
    errno = S_ISDIR(named.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  QKOwnedFd in(qk_open(source, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0));
  if (in.get() == -1) return false;
  struct stat64 from;
  if (qk_retry([&] { return fstat64(in.get(), &from); }) != 0) return false;
  // Checked again on what was opened: the name may mean something else now.
  if (!S_ISREG(from.st_mode) || (!failIfExists && IsSameFile(from, target))) {
    errno = S_ISDIR(from.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  Buffer buffer = NewBuffer();
  if (!buffer) return false;
  QKCopyOptions options;
  options.failIfExists = failIfExists;
  options.diskFull = diskFull;
  const CQKStatus status =
      CopyOpenFile(in.get(), source, target, options, nullptr, buffer.get());
  errno = status.GetErrno();
  return status.IsOK();
}

CQKStatus qk_copy_tree(const CQKString& source, const CQKString& target,
                       const QKCopyOptions& options) {
  Buffer buffer = NewBuffer();
  if (!buffer) return CQKStatus::PosixError(source, ENOMEM);
  QKWalkOptions walk;
  walk.links = QKWalkLinks::kFollowedToFiles;
  walk.recursive = options.recursive;
  walk.skipVanished = options.liveSource;
  walk.context = options.context;
  CopyVisitor visitor(target, options, buffer.get());
  return qk_walk(source, walk, visitor);
}

bool qk_copy_dir(const CQKString& source, const CQKString& target,
                 bool recursive, bool failIfExists, bool* diskFull) {
  QKCopyOptions options;
  options.recursive = recursive;
  options.failIfExists = failIfExists;
  options.diskFull = diskFull;
  const CQKStatus status = qk_copy_tree(source, target, options);
  errno = status.GetErrno();
  return status.IsOK();
}

bool qk_rmdir_recursive(const CQKString& path, bool forceWritable) {
  // A link at the top goes as a link: what it names is not ours to empty.
  struct stat64 top;
  if (qk_retry([&] { return lstat64(path.GetSafeStringPtr(), &top); }) != 0) return false;
  if (S_ISLNK(top.st_mode)) return qk_remove(path);
  RemoveVisitor visitor(forceWritable);
  QKWalkOptions walk;
  walk.skipVanished = true;  // what is already gone needs no removing
  const CQKStatus status = qk_walk(path, walk, visitor);
  errno = status.GetErrno();
  return status.IsOK();
}
