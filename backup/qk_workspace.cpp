#include "backup/qk_workspace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_interrupt.h"
#include "fs/qk_path.h"

namespace {

const char kMarkerSuffix[] = ".qkrun";
const char kNamePrefix[] = "QKf";
const size_t kUniqueLength = 6;

// The working directory's name when `entry` is a marker's name.
bool MarkedName(const char* entry, CQKString& name) {
  const size_t length = strlen(entry);
  const size_t nameLength = strlen(kNamePrefix) + kUniqueLength;
  if (length != 1 + nameLength + strlen(kMarkerSuffix) || entry[0] != '.' ||
      strncmp(entry + 1, kNamePrefix, strlen(kNamePrefix)) != 0 ||
      strcmp(entry + 1 + nameLength, kMarkerSuffix) != 0) {
    return false;
  }
  name.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>(entry + 1),
                             static_cast<unsigned int>(nameLength));
  return true;
}

bool OwnedByUs(const CQKString& path, bool directory) {
  struct stat64 st;
  return qk_retry([&] { return lstat64(path.GetSafeStringPtr(), &st); }) == 0 && st.st_uid == geteuid() &&
         (directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode));
}

void SweepOne(const CQKString& directory, const CQKString& markerName,
              const CQKString& name) {
  const CQKString marker = qk_join_path(directory, markerName);
  const CQKString path = qk_join_path(directory, name);
  if (!OwnedByUs(marker, false)) return;
  QKOwnedFd fd(qk_open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
  if (fd.get() == -1) {
    // Its run got as far as removing the directory, or moved it away.
    if (errno == ENOENT) qk_remove(marker);
    return;
  }
  if (!OwnedByUs(path, true)) return;
  if (qk_retry([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    return;  // a live run's
  }
  if (qk_rmdir_recursive(path, true)) qk_remove(marker);
}

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
  CQKString pattern = qk_join_path(directory, "QKfXXXXXX");
  std::vector<char> name(pattern.GetSafeStringPtr(),
                         pattern.GetSafeStringPtr() + pattern.GetLength() + 1);
  // Owner-only from the start: it holds a copy of the project's data.
  if (mkdtemp(name.data()) == nullptr) {
    return CQKStatus::PosixError(directory, errno);
  }
  CQKString made;
  made.SetFromUTF8(name.data());
  QKOwnedFd fd(qk_open(made, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
  // Locked before it is marked, so no sweep ever sees it marked but free.
  if (fd.get() == -1 ||
      qk_retry([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    const CQKStatus failed = CQKStatus::PosixError(made, errno);
    qk_rmdir(made);
    return failed;
  }
  const CQKString marker = qk_workspace_marker(made);
  QKOwnedFd markerFd(qk_open(marker, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (markerFd.get() == -1 || !markerFd.Close()) {
    const CQKStatus failed = CQKStatus::PosixError(marker, errno);
    qk_rmdir(made);
    return failed;
  }
  made += '/';
  path = made;
  lock.Reset(fd.Release());
  return CQKStatus::OK();
}

void qk_workspace_sweep(const CQKString& directory) {
  CQKString entry;
  QKOwnedScan stream(qk_startscandir(directory, entry));
  if (!stream) return;
  CQKString name;
  do {
    if (qk_interrupted() != 0) return;
    if (MarkedName(entry.GetSafeStringPtr(), name)) {
      SweepOne(directory, entry, name);
    }
  } while (qk_scandirnext(stream.get(), entry));
}
