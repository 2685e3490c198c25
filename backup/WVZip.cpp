#include "backup/WVZip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "containers/CQKStringList.h"
#include "fs/qk_fs.h"
#include "fs/qk_path.h"

namespace {

const unsigned int kReadBufferSize = 16384;

const char kNoMemory[] =
    "Zip module: Unable to allocate memory for compression.";
const char kOpenArchiveFailed[] =
    "Zip module: Unable to open zip file for compression.";
const char kAddEntryFailed[] =
    "Zip module: Unable to add new file to zip archive.";
const char kOpenFileFailed[] =
    "Zip module: Unable to open file to read for insertion into zip archive.";
const char kReadFailed[] =
    "Zip module: Error during read of file for insertion into zip archive.";
const char kWriteFailed[] =
    "Zip module: Unable to write file into zip archive.";
const char kCloseEntryFailed[] =
    "Zip module: Unable to close file inserted into zip archive.";
const char kCloseArchiveFailed[] = "Zip module: Unable to close zip archive.";

struct FreeDeleter {
  void operator()(char* block) const { free(block); }
};

// The message, then the system's reason on a line of its own when known.
void SetMessage(CQKString& text, const char* message, int error) {
  text = message;
  if (error != 0) {
    text += "\n";
    text += strerror(error);
  }
}

void PutLittleEndian(unsigned char* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLittleEndian(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; i--) value = (value << 8) | in[i];
  return value;
}

// minizip writes the zip64 end records only when the central directory lies
// beyond 4 GiB; with more entries than the 16-bit count holds, readers then
// reject the archive. This inserts the zip64 end-of-central-directory record
// and its locator before the classic end record, whose counts stay 0xFFFF.
bool CompleteZip64EndRecords(int fd, uint64_t entries) {
  const off_t end = lseek(fd, 0, SEEK_END);
  const off_t classicAt = end - 22;  // minizip writes no archive comment
  unsigned char classic[22];
  if (classicAt < 0 || pread(fd, classic, sizeof classic, classicAt) != 22) {
    return false;
  }
  if (GetLittleEndian(classic, 4) != 0x06054b50) {
    errno = EINVAL;
    return false;
  }
  const uint64_t directorySize = GetLittleEndian(classic + 12, 4);
  const uint64_t directoryAt = GetLittleEndian(classic + 16, 4);
  // Anything between the directory and the end record means minizip wrote
  // the zip64 records itself.
  if (directoryAt + directorySize != static_cast<uint64_t>(classicAt)) {
    return true;
  }

  unsigned char records[56 + 20 + 22] = {};
  unsigned char* zip64 = records;
  PutLittleEndian(zip64, 0x06064b50, 4);
  PutLittleEndian(zip64 + 4, 44, 8);  // size of the rest of the record
  PutLittleEndian(zip64 + 12, 45, 2);  // version made by
  PutLittleEndian(zip64 + 14, 45, 2);  // version needed
  PutLittleEndian(zip64 + 24, entries, 8);
  PutLittleEndian(zip64 + 32, entries, 8);
  PutLittleEndian(zip64 + 40, directorySize, 8);
  PutLittleEndian(zip64 + 48, directoryAt, 8);
  unsigned char* locator = records + 56;
  PutLittleEndian(locator, 0x07064b50, 4);
  PutLittleEndian(locator + 8, static_cast<uint64_t>(classicAt), 8);
  PutLittleEndian(locator + 16, 1, 4);  // total number of disks
  memcpy(records + 76, classic, sizeof classic);
  PutLittleEndian(records + 76 + 8, 0xFFFF, 2);
  PutLittleEndian(records + 76 + 10, 0xFFFF, 2);
  return pwrite(fd, records, sizeof records, classicAt) ==
         static_cast<ssize_t>(sizeof records);
}

// The archive under construction: a new file beside the destination, which
// takes the destination's name only once complete and is removed otherwise.
class TemporaryArchive {
 public:
  TemporaryArchive() = default;
  ~TemporaryArchive() {
    if (created_ && !installed_) qk_remove(path_);
  }
  TemporaryArchive(const TemporaryArchive&) = delete;
  TemporaryArchive& operator=(const TemporaryArchive&) = delete;

  // Creates the file exclusively, with the mode a new file would get.
  bool Create(const CQKString& zipPath) {
    if (zipPath.GetLength() == 0) {
      errno = ENOENT;
      return false;
    }
    if (qk_isdir(zipPath, 'f')) {
      errno = EISDIR;
      return false;
    }
    CQKString directory;
    unsigned int slash = 0;
    if (zipPath.InStrReverse('/', &slash, false)) {
      directory = zipPath.Left(static_cast<int>(slash) + 1);
    }
    for (unsigned int attempt = 0;; attempt++) {
      path_.SafeFormat("%s.qkzip-%ld-%u", directory.GetSafeStringPtr(),
                       static_cast<long>(getpid()), attempt);
      const int fd = qk_open(path_, O_CREAT | O_EXCL | O_WRONLY, 0666);
      if (fd != -1) {
        close(fd);
        created_ = true;
        return true;
      }
      if (errno != EEXIST) return false;
    }
  }

  // Completes the end records, makes the bytes durable and gives the
  // archive its name.
  bool Install(const CQKString& zipPath, uint64_t entries) {
    const int fd = qk_open(path_, O_RDWR, 0);
    if (fd == -1) return false;
    bool ok = (entries <= 0xFFFF || CompleteZip64EndRecords(fd, entries)) &&
              fsync(fd) == 0;
    const int failure = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
      errno = failure;
      return false;
    }
    if (!qk_rename(path_, zipPath)) return false;
    installed_ = true;
    return true;
  }

  const CQKString& GetPath() const { return path_; }

 private:
  CQKString path_;
  bool created_ = false;
  bool installed_ = false;
};

CQKString EntryName(const CQKString& source, const CQKString& path,
                    bool relativeNames, bool isDirectory) {
  CQKString name;
  unsigned int slash = 0;
  if (relativeNames) {
    name = path.Right(static_cast<int>(path.GetLength() - source.GetLength()));
  } else if (path.InStrReverse('/', &slash, false)) {
    path.GetSubStrInto(name, slash + 1, 0, true);
  } else {
    name = path;
  }
  if (isDirectory) name += '/';
  return name;
}

}  // namespace

CWVZip::CWVZip() {}

CWVZip::~CWVZip() {}

bool CWVZip::ZipFile(const CQKString& source, const CQKString& zipPath,
                     bool relativeNames, bool directoryEntries) {
  std::unique_ptr<char, FreeDeleter> buffer(
      static_cast<char*>(malloc(kReadBufferSize)));
  if (!buffer) {
    errorText_ = kNoMemory;
    return false;
  }

  TemporaryArchive archive;
  zipFile zip = nullptr;
  if (archive.Create(zipPath)) {
    // A reason left over from earlier calls must not reach the message.
    errno = 0;
    zip = zipOpen(archive.GetPath().GetSafeStringPtr(), APPEND_STATUS_CREATE);
  }
  if (zip == nullptr) {
    SetMessage(errorText_, kOpenArchiveFailed, errno);
    return false;
  }

  CQKStringList paths;
  uint64_t entries = 0;
  // An archive of a tree that could not be listed in full is no backup.
  bool ok = GetFileAndDirectoryListFromPath(source, paths, true, false);
  if (!ok) errorText_ = kReadFailed;
  for (unsigned int i = 1; ok && i <= paths.GetCount(); ++i) {
    const CQKString& path = *paths.GetStringAt(i);
    const bool isFile = qk_isfile(path, 'r');
    if (!isFile && !(directoryEntries && qk_isdir(path, 'r'))) continue;
    ok = AddEntry(zip, path, EntryName(source, path, relativeNames, !isFile),
                  isFile, buffer.get());
    if (ok) ++entries;
  }

  // After a failure this also closes the entry left open.
  if (zipClose(zip, nullptr) != ZIP_OK && ok) {
    errorText_ = kCloseArchiveFailed;
    return false;
  }
  if (ok && !archive.Install(zipPath, entries)) {
    SetMessage(errorText_, kCloseArchiveFailed, errno);
    return false;
  }
  return ok;
}

bool CWVZip::AddEntry(zipFile zip, const CQKString& path,
                      const CQKString& name, bool isFile, char* buffer) {
  zip_fileinfo info;
  memset(&info, 0, sizeof info);
  FileTime(path, &info.tmz_date, &info.dosDate);
  if (zipOpenNewFileInZip64(zip, name.GetSafeStringPtr(), &info, nullptr, 0,
                            nullptr, 0, nullptr, Z_DEFLATED,
                            Z_DEFAULT_COMPRESSION, 1) != ZIP_OK) {
    errorText_ = kAddEntryFailed;
    return false;
  }
  if (isFile && !CopyFileIntoEntry(zip, path, buffer)) return false;
  if (zipCloseFileInZip(zip) != ZIP_OK) {
    errorText_ = kCloseEntryFailed;
    return false;
  }
  return true;
}

bool CWVZip::CopyFileIntoEntry(zipFile zip, const CQKString& path,
                               char* buffer) {
  const int fd = qk_open(path, O_RDONLY, 0400);
  if (fd == -1) {
    errorText_ = kOpenFileFailed;
    return false;
  }
  bool ok = true;
  for (;;) {
    const ssize_t count = read(fd, buffer, kReadBufferSize);
    if (count == 0) break;
    if (count < 0) {
      errorText_ = kReadFailed;
      ok = false;
      break;
    }
    if (zipWriteInFileInZip(zip, buffer, static_cast<unsigned>(count)) < 0) {
      errorText_ = kWriteFailed;
      ok = false;
      break;
    }
  }
  close(fd);
  return ok;
}

int CWVZip::FileTime(const CQKString& path, tm_zip* time,
                     unsigned long* /*dosDate*/) {
  time_t modified = 0;
  int result = 0;
  struct stat64 st;
  if (strcmp(path.GetSafeStringPtr(), "-") != 0 && qk_stat(path, &st) == 0) {
    modified = st.st_mtime;
    result = 1;
  }
  struct tm local;
  localtime_r(&modified, &local);
  time->tm_sec = local.tm_sec;
  time->tm_min = local.tm_min;
  time->tm_hour = local.tm_hour;
  time->tm_mday = local.tm_mday;
  time->tm_mon = local.tm_mon;
  time->tm_year = local.tm_year;
  return result;
}
