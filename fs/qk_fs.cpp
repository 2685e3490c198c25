#include "fs/qk_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The bytes of `path` for the system; never a null pointer.
const char* SysPath(const CQKString& path) { return path.GetSafeStringPtr(); }

// Whether `name` in the scanned directory is a directory. Most file systems
// give the type in the entry; the others are asked through the open
// directory, which holds however the directory was named.
bool EntryIsDirectory(DIR* stream, unsigned char type, const char* name,
                      bool followLinks) {
  if (type == DT_DIR) return true;
  if (type != DT_UNKNOWN && (type != DT_LNK || !followLinks)) return false;
  struct stat64 st;
  const int flags = followLinks ? 0 : AT_SYMLINK_NOFOLLOW;
  return qk_retry([&] {
           return fstatat64(dirfd(stream), name, &st, flags);
         }) == 0 &&
         S_ISDIR(st.st_mode);
}

// opendir, retried as the calls it makes would be.
DIR* OpenDirectory(const CQKString& directory) {
  for (;;) {
    DIR* stream = opendir(SysPath(directory));
    if (stream != nullptr || errno != EINTR) return stream;
  }
}

int AccessModeFor(char mode) {
  switch (mode) {
    case 'R':
    case 'r':
      return R_OK;
    case 'W':
    case 'w':
      return W_OK;
    case 'X':
    case 'x':
      return X_OK;
    default:
      return F_OK;
  }
}

}  // namespace

bool qk_access(const CQKString& path, char mode, struct stat64* out) {
  if (out != nullptr && qk_stat(path, out) != 0) return false;
  return qk_retry([&] { return access(SysPath(path), AccessModeFor(mode)); }) == 0;
}

int qk_stat(const CQKString& path, struct stat64* out) {
  return qk_retry([&] { return stat64(SysPath(path), out); });
}

bool qk_isdir(const CQKString& path, char mode) {
  struct stat64 st;
  return qk_access(path, mode, &st) && S_ISDIR(st.st_mode);
}

bool qk_isfile(const CQKString& path, char mode) {
  struct stat64 st;
  return qk_access(path, mode, &st) && S_ISREG(st.st_mode);
}

bool qk_mkdir(const CQKString& path, bool recursive) {
  CQKString trimmed(path);
  trimmed.TrimRightAscii("/");
  if (qk_retry([&] { return mkdir(SysPath(trimmed), 0755); }) == 0) return true;
  if (!recursive || errno != ENOENT) return false;

  const char* text = SysPath(trimmed);
  const char* lastSlash = strrchr(text, '/');
  if (lastSlash == nullptr) return false;
  CQKString parent;
  parent.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>(text),
                               static_cast<unsigned int>(lastSlash - text));
  // Ancestors come into being top-down, so each one gets 0755 from us.
  return qk_mkdir(parent, true) && qk_mkdir(trimmed, false);
}

bool qk_rmdir(const CQKString& path) {
  return qk_retry([&] { return rmdir(SysPath(path)); }) == 0;
}

bool qk_rename(const CQKString& oldPath, const CQKString& newPath) {
  return qk_retry([&] { return rename(SysPath(oldPath), SysPath(newPath)); }) == 0;
}

bool qk_remove(const CQKString& path) {
  return qk_retry([&] { return unlink(SysPath(path)); }) == 0;
}

bool qk_getcwd(CQKString& out) {
  // The system sizes the buffer: a working directory may be longer than any
  // fixed guess.
  std::unique_ptr<char, decltype(&free)> buffer(getcwd(nullptr, 0), &free);
  if (buffer == nullptr) return false;
  // Byte for byte: a converted name would no longer lead back here.
  out.SetFromUTF8(buffer.get());
  return true;
}

int qk_open(const CQKString& path, int flags, int mode) {
  return qk_retry([&] { return open64(SysPath(path), flags, mode); });
}

int qk_chmod_readwrite(const CQKString& path) {
  struct stat64 st;
  if (qk_stat(path, &st) != 0) return -1;
  return qk_retry([&] { return chmod(SysPath(path), (st.st_mode & 07777) | S_IWUSR); });
}

DIR* qk_fdopendir(int fd) {
  for (;;) {
    DIR* stream = fdopendir(fd);
    if (stream != nullptr || errno != EINTR) return stream;
  }
}

bool qk_isfullpath(const CQKString& path) { return path[0] == '/'; }

bool qk_isdotentry(const char* name) {
  return name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

DIR* qk_startscandir(const CQKString& directory, CQKString& name) {
  name.Empty();
  DIR* stream = OpenDirectory(directory);
  if (stream == nullptr) return nullptr;
  if (!qk_scandirnext(stream, name)) {
    closedir(stream);
    return nullptr;
  }
  return stream;
}

bool qk_scandirnext(DIR* stream, CQKString& name) {
  if (stream == nullptr) return false;
  name.Empty();
  // readdir64 reports the end and a failed read alike; only errno differs.
  errno = 0;
  struct dirent64* entry = readdir64(stream);
  if (entry == nullptr) return false;
  return qk_scandircpfilename(entry, name);
}

bool qk_scandircpfilename(struct dirent64* entry, CQKString& name) {
  // Byte for byte: a name that is not UTF-8 must still name its file.
  name.SetFromUTF8(entry->d_name);
  return true;
}

bool qk_scandirclose(DIR* stream) {
  if (stream == nullptr) return true;
  return closedir(stream) == 0;
}

qk_scandirExtHandle* qk_startscandirExt(const CQKString& directory,
                                        CQKString& name, bool& isDirectory) {
  qk_scandirExtHandle* handle = new qk_scandirExtHandle();
  name.Empty();
  handle->stream = OpenDirectory(directory);
  if (handle->stream == nullptr) {
    delete handle;
    return nullptr;
  }
  if (!qk_scandirnextExt(handle, name, isDirectory)) {
    qk_scandircloseExt(handle);
    return nullptr;
  }
  return handle;
}

bool qk_scandirnextExt(qk_scandirExtHandle* handle, CQKString& name,
                       bool& isDirectory) {
  if (handle == nullptr || handle->stream == nullptr) return false;
  name.Empty();
  isDirectory = false;
  errno = 0;
  struct dirent64* entry = readdir64(handle->stream);
  if (entry == nullptr) {
    // A tree walk must not mistake a failed read for the end of a directory.
    if (errno != 0) handle->readFailed = true;
    return false;
  }
  qk_scandircpfilename(entry, name);
  handle->entryType = entry->d_type;
  isDirectory =
      EntryIsDirectory(handle->stream, entry->d_type, entry->d_name, false);
  return true;
}

bool qk_scandirnamesdirExt(const qk_scandirExtHandle* handle,
                           const CQKString& name) {
  if (handle == nullptr || handle->stream == nullptr) return false;
  return EntryIsDirectory(handle->stream, handle->entryType, SysPath(name),
                          true);
}

bool qk_scandircloseExt(qk_scandirExtHandle* handle) {
  if (handle == nullptr) return true;
  const bool closed = qk_scandirclose(handle->stream) && !handle->readFailed;
  handle->stream = nullptr;
  delete handle;
  return closed;
}
