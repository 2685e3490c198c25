#include "fs/qk_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/qk_fs.h"
#include "fs/qk_owned_fd.h"
#include "fs/qk_path.h"

namespace {

// The entry's type, as the listing gave it or, where it did not (or for a
// link the walk follows to files), as the system says now. False when the
// entry is gone.
bool ResolveType(int parent, const dirent64& entry, QKWalkLinks links,
                 unsigned char& type) {
  type = entry.d_type;
  struct stat64 st;
  if (type == DT_UNKNOWN) {
    if (qk_retry([&] { return fstatat64(parent, entry.d_name, &st,
                                        AT_SYMLINK_NOFOLLOW); }) != 0) {
      return false;
    }
    type = IFTODT(st.st_mode);
  }
  if (type == DT_LNK && links == QKWalkLinks::kFollowedToFiles &&
      qk_retry([&] { return fstatat64(parent, entry.d_name, &st, 0); }) == 0 &&
      S_ISREG(st.st_mode)) {
    type = DT_REG;
  }
  return true;
}

class Walker {
 public:
  Walker(const QKWalkOptions& options, QKWalkVisitor& visitor)
      : options_(options), visitor_(visitor) {}

  // Walks the directory open as `fd`, which `entry` names.
  CQKStatus Directory(const QKWalkEntry& entry, QKOwnedFd& fd);

 private:
  CQKStatus Child(int parent, const dirent64& child, const CQKString& path,
                  const CQKString& relative);
  bool Skips(const CQKStatus& status) const {
    return options_.skipVanished && status.IsNotFound();
  }

  const QKWalkOptions& options_;
  QKWalkVisitor& visitor_;
};

CQKStatus Walker::Directory(const QKWalkEntry& entry, QKOwnedFd& fd) {
  CQKStatus status = visitor_.EnterDirectory(entry, fd.get());
  if (!status.IsOK()) return status;
  QKOwnedScan stream(qk_fdopendir(fd.get()));
  if (!stream) return CQKStatus::PosixError(entry.path, errno);
  const int descriptor = fd.Release();
  for (;;) {
    if (options_.context->IsStopRequested()) return CQKStatus::Interrupted();
    errno = 0;
    const dirent64* child = readdir64(stream.get());
    if (child == nullptr) {
      if (errno == EINTR && !options_.context->IsStopRequested()) continue;
      if (errno != 0) return CQKStatus::PosixError(entry.path, errno);
      break;
    }
    if (qk_isdotentry(child->d_name)) continue;
    CQKString name;
    // Byte for byte: a name that is not UTF-8 must still name its file.
    name.SetFromUTF8(child->d_name);
    status = Child(descriptor, *child, qk_join_path(entry.path, name),
                   entry.relative.GetLength() == 0
                       ? name
                       : qk_join_path(entry.relative, name));
    if (!status.IsOK() && !Skips(status)) return status;
  }
  return visitor_.LeaveDirectory(entry, descriptor);
}

CQKStatus Walker::Child(int parent, const dirent64& child,
                        const CQKString& path, const CQKString& relative) {
  unsigned char type = DT_UNKNOWN;
  if (!ResolveType(parent, child, options_.links, type)) {
    return errno == ENOENT && options_.skipVanished
               ? CQKStatus::NotFound(path)
               : CQKStatus::PosixError(path, errno);
  }
  const QKWalkEntry entry = {parent, child.d_name, path, relative, type};
  if (type != DT_DIR || !options_.recursive) return visitor_.VisitEntry(entry);
  QKOwnedFd fd(qk_retry([&] {
    return openat64(parent, child.d_name,
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (fd.get() == -1) {
    // Gone, or no longer a directory: what was listed is not there now.
    const bool vanished = errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
    return vanished && options_.skipVanished
               ? CQKStatus::NotFound(path)
               : CQKStatus::PosixError(path, errno);
  }
  return Directory(entry, fd);
}

}  // namespace

CQKStatus qk_walk(const CQKString& root, const QKWalkOptions& options,
                  QKWalkVisitor& visitor) {
  QKOwnedFd fd(qk_open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (fd.get() == -1) return CQKStatus::PosixError(root, errno);
  const CQKString relative;
  const QKWalkEntry entry = {AT_FDCWD, root.GetSafeStringPtr(), root, relative,
                             DT_DIR};
  Walker walker(options, visitor);
  return walker.Directory(entry, fd);
}
