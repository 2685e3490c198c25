#include "fs/CQKFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "fs/qk_fs.h"

namespace {

const unsigned int kCopyChunk = 32768;
const int kMaxTempSuffix = 100;

}  // namespace

CQKFile::CQKFile(const CQKString& name) : name_(name) {}

CQKFile::~CQKFile() { Close(); }

void CQKFile::SetError(fileErrors value) {
  switch (value) {
    case kNoError:
      errorMessage_.Empty();
      break;
    case kSystemError:
      errorMessage_ = strerror(errno);
      break;
    case kAlreadyOpen:
      errorMessage_ = "File already open.";
      break;
    case kOutOfMemory:
      errorMessage_ = "Memory allocation error.";
      break;
  }
}

void CQKFile::Close() {
  if (descriptor_ == -1) return;
  close(descriptor_);
  descriptor_ = -1;
  endOfFile_ = false;
}

bool CQKFile::Open(int mode) {
  if (IsOpen()) return false;
  endOfFile_ = false;
  int flags;
  if (mode & kOpenRead) {
    flags = O_RDONLY;
  } else if (mode & kOpenWrite) {
    flags = O_WRONLY | O_CREAT;
  } else {
    flags = O_WRONLY | O_CREAT | O_TRUNC;
  }
  if (mode & kOpenAppend) flags |= O_APPEND;
  descriptor_ = qk_open(name_, flags, 0666);
  if (descriptor_ == -1) {
    SetError(kSystemError);
    return false;
  }
  return true;
}

bool CQKFile::Remove() {
  Close();
  if (name_.GetLength() == 0) return true;
  if (!qk_remove(name_)) {
    SetError(kSystemError);
    return false;
  }
  return true;
}

unsigned int CQKFile::Write(const CQKBuffer& data, unsigned int count) {
  if (!IsOpen()) return 0;
  // Never past the end of the caller's block.
  if (count > data.GetSize()) count = data.GetSize();
  unsigned int written = 0;
  while (written < count) {
    const ssize_t put = write(descriptor_, data.GetData() + written,
                              count - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (errno != 0) SetError(kSystemError);
      break;
    }
    written += static_cast<unsigned int>(put);
  }
  return written;
}

unsigned int CQKFile::Read(CQKBuffer& data, unsigned int count) {
  if (!data.GrowTo(count, false)) {
    SetError(kOutOfMemory);
    return 0;
  }
  if (!IsOpen()) return 0;
  unsigned int got = 0;
  while (got < count) {
    const ssize_t n = read(descriptor_, data.GetData() + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetError(kSystemError);
      return 0;
    }
    if (n == 0) {
      endOfFile_ = true;
      break;
    }
    got += static_cast<unsigned int>(n);
  }
  return got;
}

bool CQKFile::CopyTo(const CQKString& newName) {
  if (!Open(kOpenRead)) return false;
  CQKFile target(newName);
  const bool created = target.Open(kOpenWriteTruncate);
  bool copied = created;
  int failure = errno;
  CQKBuffer chunk;
  while (copied) {
    const unsigned int got = Read(chunk, kCopyChunk);
    if (got == 0) {
      copied = endOfFile_;
      failure = errno;
      break;
    }
    if (target.Write(chunk, got) != got) {
      copied = false;
      failure = errno;
    }
  }
  target.Close();
  Close();
  if (!copied) {
    // A partial copy under the new name would pass for the file.
    if (created) qk_remove(newName);
    errno = failure;
    SetError(kSystemError);
  }
  return copied;
}

bool CQKFile::Rename(const CQKString& newName, bool overwrite) {
  SetError(kNoError);
  if (name_.GetLength() == 0) {
    errorMessage_ = "Unable to rename file with no name.";
    return false;
  }
  struct stat64 replaced;
  bool takeOver = false;
  if (qk_access(newName, 'f')) {
    if (!overwrite) {
      errorMessage_ = "Target already exists, overwrite not specified.";
      return false;
    }
    takeOver = qk_stat(newName, &replaced) == 0;
    // Removing a target that is this very file would lose it.
    struct stat64 self;
    const bool sameFile = takeOver && qk_stat(name_, &self) == 0 &&
                          self.st_dev == replaced.st_dev &&
                          self.st_ino == replaced.st_ino;
    CQKFile target(newName);
    if (!sameFile && !target.Remove()) {
      errorMessage_ = "Failed to remove target before rename: ";
      errorMessage_ += target.GetErrorMessage();
      return false;
    }
  }
  if (!qk_rename(name_, newName)) {
    if (errno != EXDEV) {
      SetError(kSystemError);
      return false;
    }
    if (!CopyTo(newName)) return false;
    Remove();
  }
  name_ = newName;
  const char* path = name_.GetSafeStringPtr();
  if (takeOver) {
    // Without privileges the owner may not pass; the mode still does.
    [[maybe_unused]] const int owned =
        chown(path, replaced.st_uid, replaced.st_gid);
    chmod(path, replaced.st_mode & 07777);
  } else {
    chmod(path, 0700);
  }
  return true;
}

bool CQKFile::GetTempFilename(CQKString& out, const CQKString& directory) {
  CQKString pattern;
  if (directory.GetLength() != 0) {
    pattern = directory;
    const char last = pattern[pattern.GetLength() - 1];
    if (last == '/' || last == '\\') {
      pattern.TruncateAfterByte(pattern.GetLength() - 1);
    }
    pattern += "/QKfXXXXXX";
  } else {
    pattern = "/tmp/QKfXXXXXX";
  }
  std::vector<char> name(pattern.GetSafeStringPtr(),
                         pattern.GetSafeStringPtr() + pattern.GetLength() + 1);
  const int descriptor = mkstemp(name.data());
  if (descriptor != -1) {
    close(descriptor);
    out.SetFromUTF8(name.data());
    return true;
  }

  // The directory cannot take it: fall back to the working directory.
  CQKString base;
  base.SafeFormat("QKtemp%lu", static_cast<unsigned long>(time(nullptr)));
  for (int suffix = 0; suffix <= kMaxTempSuffix; suffix++) {
    CQKString candidate(base);
    if (suffix != 0) candidate += suffix;
    const int fd = qk_open(candidate, O_CREAT | O_EXCL | O_RDWR, 0660);
    if (fd != -1) {
      close(fd);
      out = std::move(candidate);
      return true;
    }
  }
  return false;
}

bool CQKFile::CreateTempDirectory(CQKString& out,
                                  const CQKString& directory) {
  out.Empty();
  if (!GetTempFilename(out, directory) || !qk_remove(out)) return false;
  // Created owner-only in one step, so it is never open to others, and
  // mkdir refuses anything planted under the name in the meantime.
  if (mkdir(out.GetSafeStringPtr(), 0700) != 0) return false;
  out += '/';
  return true;
}

void CQKFile::AddDirSeperator(CQKString& path, char separator) {
  const unsigned int length = path.GetLength();
  if (length == 0 || path[length - 1] != separator) path += separator;
}
