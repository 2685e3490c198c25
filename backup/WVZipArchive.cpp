#include "backup/WVZipArchive.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "backup/qk_leftovers.h"
#include "fs/qk_fs.h"
#include "fs/qk_owned_fd.h"
#include "fs/qk_path.h"
#include "fs/qk_publish.h"

namespace {

const uint32_t kLocalHeader = 0x04034b50;
const uint32_t kCentralHeader = 0x02014b50;
const uint32_t kEndRecord = 0x06054b50;
const uint32_t kZip64EndRecord = 0x06064b50;
const uint32_t kZip64Locator = 0x07064b50;
const uint16_t kZip64ExtraId = 0x0001;
const uint64_t kFull32 = 0xFFFFFFFF;
const size_t kEndRecordSize = 22;  // minizip writes no archive comment
const size_t kCentralFixedSize = 46;
const size_t kLocalFixedSize = 30;
const size_t kWindowSize = 65536;

void PutLittleEndian(unsigned char* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLittleEndian(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = (value << 8) | in[i];
  return value;
}

// A short read means the archive is not laid out as its records claim.
bool ReadAt(int fd, unsigned char* out, size_t size, uint64_t at) {
  const ssize_t got =
      qk_retry([&] { return pread(fd, out, size, static_cast<off_t>(at)); });
  if (got == static_cast<ssize_t>(size)) return true;
  if (got >= 0) errno = EINVAL;
  return false;
}

bool Malformed() {
  errno = EINVAL;
  return false;
}

// The central directory read through a window that always holds a whole
// header, so a large directory costs a few reads and no more memory.
class DirectoryReader {
 public:
  DirectoryReader(int fd, uint64_t end) : fd_(fd), end_(end), window_(kWindowSize) {}

  // The `size` bytes at `at`, or null when they cannot be read.
  const unsigned char* Get(uint64_t at, size_t size) {
    if (at < start_ || at + size > start_ + filled_) {
      if (at + size > end_) {
        errno = EINVAL;
        return nullptr;
      }
      window_.resize(std::max(window_.size(), size));
      filled_ = static_cast<size_t>(std::min<uint64_t>(window_.size(), end_ - at));
      start_ = at;
      if (!ReadAt(fd_, window_.data(), filled_, at)) {
        filled_ = 0;
        return nullptr;
      }
    }
    return window_.data() + (at - start_);
  }

 private:
  int fd_;
  uint64_t end_, start_ = 0;
  size_t filled_ = 0;
  std::vector<unsigned char> window_;
};

// Where the central directory starts and ends, from the end records.
bool FindDirectory(int fd, uint64_t& start, uint64_t& end) {
  const off_t fileEnd = lseek(fd, 0, SEEK_END);
  unsigned char classic[kEndRecordSize];
  if (fileEnd < static_cast<off_t>(kEndRecordSize) ||
      !ReadAt(fd, classic, sizeof classic, fileEnd - kEndRecordSize)) {
    return false;
  }
  if (GetLittleEndian(classic, 4) != kEndRecord) return Malformed();
  start = GetLittleEndian(classic + 16, 4);
  uint64_t size = GetLittleEndian(classic + 12, 4);
  if (start == kFull32) {
    // minizip wrote the zip64 records, and its locator, before this one.
    unsigned char locator[20], record[56];
    if (fileEnd < static_cast<off_t>(kEndRecordSize + sizeof locator) ||
        !ReadAt(fd, locator, sizeof locator,
                fileEnd - kEndRecordSize - sizeof locator)) {
      return false;
    }
    if (GetLittleEndian(locator, 4) != kZip64Locator) return Malformed();
    if (!ReadAt(fd, record, sizeof record, GetLittleEndian(locator + 8, 8))) {
      return false;
    }
    if (GetLittleEndian(record, 4) != kZip64EndRecord) return Malformed();
    size = GetLittleEndian(record + 40, 8);
    start = GetLittleEndian(record + 48, 8);
  }
  end = start + size;
  return true;
}

// Replaces the saturated 32-bit `values` (uncompressed size, compressed
// size, local header offset) with their 64-bit forms from the zip64 extra
// field among `extra`'s blocks.
bool ReadZip64Values(const unsigned char* extra, size_t size, uint64_t values[3]) {
  for (size_t at = 0; at + 4 <= size;) {
    const uint64_t id = GetLittleEndian(extra + at, 2);
    const size_t length = GetLittleEndian(extra + at + 2, 2);
    if (at + 4 + length > size) break;
    if (id == kZip64ExtraId) {
      const unsigned char* field = extra + at + 4;
      for (int i = 0; i < 3; i++) {
        if (values[i] != kFull32) continue;
        if (field + 8 > extra + at + 4 + length) return Malformed();
        values[i] = GetLittleEndian(field, 8);
        field += 8;
      }
      return true;
    }
    at += 4 + length;
  }
  const bool saturated =
      values[0] == kFull32 || values[1] == kFull32 || values[2] == kFull32;
  return saturated ? Malformed() : true;
}

// Writes the real sizes into the zip64 extra field that opens the extra
// data of the local header at `offset`, once sure that is what lies there.
bool FillLocalSizes(int fd, uint64_t offset, size_t nameLength,
                    uint64_t uncompressed, uint64_t compressed,
                    std::vector<unsigned char>& header) {
  header.resize(kLocalFixedSize + nameLength + 4);
  if (!ReadAt(fd, header.data(), header.size(), offset)) return false;
  const unsigned char* extra = header.data() + kLocalFixedSize + nameLength;
  if (GetLittleEndian(header.data(), 4) != kLocalHeader ||
      GetLittleEndian(header.data() + 26, 2) != nameLength ||
      GetLittleEndian(header.data() + 28, 2) < 20 ||
      GetLittleEndian(extra, 2) != kZip64ExtraId ||
      GetLittleEndian(extra + 2, 2) != 16) {
    return Malformed();
  }
  unsigned char sizes[16];
  PutLittleEndian(sizes, uncompressed, 8);
  PutLittleEndian(sizes + 8, compressed, 8);
  const off_t at = static_cast<off_t>(offset + kLocalFixedSize + nameLength + 4);
  return qk_retry([&] { return pwrite(fd, sizes, sizeof sizes, at); }) ==
         static_cast<ssize_t>(sizeof sizes);
}

// minizip fills a local zip64 extra field only for an entry of 4 GiB or
// more; below that its sizes stay 0 while the header's own fields hold the
// real ones, and some readers warn about the mismatch. The central
// directory says where every local header is and what belongs in it.
bool FillAllLocalSizes(int fd) {
  uint64_t at = 0, end = 0;
  if (!FindDirectory(fd, at, end)) return false;
  DirectoryReader directory(fd, end);
  std::vector<unsigned char> local;
  while (at < end) {
    const unsigned char* header = directory.Get(at, kCentralFixedSize);
    if (header == nullptr) return false;
    if (GetLittleEndian(header, 4) != kCentralHeader) return Malformed();
    const size_t nameLength = GetLittleEndian(header + 28, 2);
    const size_t extraLength = GetLittleEndian(header + 30, 2);
    const size_t commentLength = GetLittleEndian(header + 32, 2);
    header = directory.Get(at, kCentralFixedSize + nameLength + extraLength);
    if (header == nullptr) return false;
    uint64_t values[3] = {GetLittleEndian(header + 24, 4),
                          GetLittleEndian(header + 20, 4),
                          GetLittleEndian(header + 42, 4)};
    if (!ReadZip64Values(header + kCentralFixedSize + nameLength, extraLength,
                         values) ||
        !FillLocalSizes(fd, values[2], nameLength, values[0], values[1], local)) {
      return false;
    }
    at += kCentralFixedSize + nameLength + extraLength + commentLength;
  }
  return true;
}

// minizip writes the zip64 end records only when the central directory lies
// beyond 4 GiB; with more entries than the 16-bit count holds, readers then
// reject the archive. This inserts the zip64 end-of-central-directory record
// and its locator before the classic end record, whose counts stay 0xFFFF.
bool CompleteZip64EndRecords(int fd, uint64_t entries) {
  const off_t end = lseek(fd, 0, SEEK_END);
  const off_t classicAt = end - kEndRecordSize;
  unsigned char classic[kEndRecordSize];
  if (classicAt < 0 || !ReadAt(fd, classic, sizeof classic, classicAt)) {
    return false;
  }
  if (GetLittleEndian(classic, 4) != kEndRecord) return Malformed();
  const uint64_t directorySize = GetLittleEndian(classic + 12, 4);
  const uint64_t directoryAt = GetLittleEndian(classic + 16, 4);
  // Anything between the directory and the end record means minizip wrote
  // the zip64 records itself.
  if (directoryAt + directorySize != static_cast<uint64_t>(classicAt)) {
    return true;
  }

  unsigned char records[56 + 20 + kEndRecordSize] = {};
  unsigned char* zip64 = records;
  PutLittleEndian(zip64, kZip64EndRecord, 4);
  PutLittleEndian(zip64 + 4, 44, 8);  // size of the rest of the record
  PutLittleEndian(zip64 + 12, 45, 2);  // version made by
  PutLittleEndian(zip64 + 14, 45, 2);  // version needed
  PutLittleEndian(zip64 + 24, entries, 8);
  PutLittleEndian(zip64 + 32, entries, 8);
  PutLittleEndian(zip64 + 40, directorySize, 8);
  PutLittleEndian(zip64 + 48, directoryAt, 8);
  unsigned char* locator = records + 56;
  PutLittleEndian(locator, kZip64Locator, 4);
  PutLittleEndian(locator + 8, static_cast<uint64_t>(classicAt), 8);
  PutLittleEndian(locator + 16, 1, 4);  // total number of disks
  memcpy(records + 76, classic, sizeof classic);
  PutLittleEndian(records + 76 + 8, 0xFFFF, 2);
  PutLittleEndian(records + 76 + 10, 0xFFFF, 2);
  return qk_retry([&] { return pwrite(fd, records, sizeof records, classicAt); }) ==
         static_cast<ssize_t>(sizeof records);
}

// An archive that replaces another keeps its owner, group and mode, so an
// administrator's choice survives every later run; the creation mask may
// narrow the mode but never widens it.
bool TakePermissions(int fd, const CQKString& zipPath, mode_t mask) {
  struct stat64 previous;
  if (qk_stat(zipPath, &previous) != 0) {
    return qk_retry([&] { return fchmod(fd, 0666 & ~mask); }) == 0;
  }
  // Without privileges the owner may not pass; the mode still does.
  [[maybe_unused]] const int owned =
      fchown(fd, previous.st_uid, previous.st_gid);
  return qk_retry([&] {
           return fchmod(fd, previous.st_mode & 0777 & ~mask);
         }) == 0;
}

}  // namespace

CWVZipArchive::~CWVZipArchive() {
  if (created_ && !installed_) qk_remove(path_);
}

bool CWVZipArchive::Create(const CQKString& zipPath) {
  if (zipPath.GetLength() == 0) {
    errno = ENOENT;
    return false;
  }
  if (qk_isdir(zipPath, 'f')) {
    errno = EISDIR;
    return false;
  }
  destination_ = zipPath;
  CQKString directory;
  CQKString name;
  SplitPathIntoDirectoryAndName(zipPath, directory, name);
  for (unsigned int attempt = 0;; attempt++) {
    path_.SafeFormat("%s.qkzip-%ld-%u", directory.GetSafeStringPtr(),
                     static_cast<long>(getpid()), attempt);
    // Private while it is built: the data is the project's.
    file_.Reset(qk_open(path_, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
    if (file_.get() != -1) {
      created_ = true;
      if (qk_retry([&] { return fstat64(file_.get(), &self_); }) != 0) {
        return false;
      }
      output_ = std::make_unique<CWVZipOutput>(file_.get());
      return true;
    }
    if (errno != EEXIST) return false;
  }
}

bool CWVZipArchive::IsSelf(const struct stat64& st) const {
  return created_ && qk_same_file(st, self_);
}

zlib_filefunc64_def CWVZipArchive::GetFunctions() {
  return output_->GetFunctions();
}

int CWVZipArchive::GetWriteError() const {
  return output_ != nullptr ? output_->GetError() : 0;
}

CQKStatus CWVZipArchive::Install(const CQKString& zipPath, uint64_t entries,
                                 mode_t mask) {
  const int fd = file_.get();
  if (!output_->Flush()) return CQKStatus::PosixError(path_, output_->GetError());
  const bool ok = FillAllLocalSizes(fd) &&
                  (entries <= 0xFFFF || CompleteZip64EndRecords(fd, entries)) &&
                  TakePermissions(fd, zipPath, mask) &&
                  qk_retry([&] { return fsync(fd); }) == 0;
  const int failure = errno;
  // A failed close may have lost what was written, as a failed fsync has.
  const bool closed = file_.Close();
  if (!ok || !closed) return CQKStatus::PosixError(path_, ok ? errno : failure);
  const CQKStatus published = qk_publish(
      path_, zipPath,
      qk_private_name(zipPath, "qkold", static_cast<long>(getpid())));
  installed_ = published.IsOK();
  return published;
}
