#include "backup/WVZip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "backup/WVZipArchive.h"
#include "fs/qk_fs.h"
#include "fs/qk_owned_fd.h"
#include "fs/qk_path.h"
#include "fs/qk_walk.h"

namespace {

const unsigned int kReadBufferSize = 16384;
// Level 0 still writes a deflate stream (method 8), of stored blocks.
const int kStoreLevel = 0;
// Made on Unix (zip 4.5): readers then take the name's bytes as they are
// (or as UTF-8 when flagged) instead of as an MS-DOS code page, and find
// each entry's type and permissions in the upper half of its external
// attributes.
const unsigned long kMadeByUnix = (3u << 8) | 45u;
const unsigned long kMsDosDirectoryAttribute = 0x10;
const unsigned long kUtf8NameFlag = 1u << 11;

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
const char kInterrupted[] = "Zip module: Interrupted.";

struct FreeDeleter {
  void operator()(unsigned char* block) const { free(block); }
};

// The message, then the system's reason on a line of its own when known.
void SetMessage(CQKString& text, const char* message, int error) {
  text = message;
  if (error != 0) {
    text += "\n";
    text += strerror(error);
  }
}

void ToZipTime(time_t moment, tm_zip* time) {
  struct tm local;
  localtime_r(&moment, &local);
  time->tm_sec = local.tm_sec;
  time->tm_min = local.tm_min;
  time->tm_hour = local.tm_hour;
  time->tm_mday = local.tm_mday;
  time->tm_mon = local.tm_mon;
  time->tm_year = local.tm_year;
}

// Readers take unflagged names as code page 437; the flag makes them read
// UTF-8. Names that are not UTF-8 keep their bytes and no claim.
bool IsUtf8BeyondAscii(const CQKString& name) {
  const unsigned char* bytes =
      reinterpret_cast<const unsigned char*>(name.GetSafeStringPtr());
  bool ascii = true;
  for (unsigned int i = 0; i < name.GetLength() && ascii; i++) {
    ascii = bytes[i] < 0x80;
  }
  return !ascii && CQKString::IsLegalUTF8String(bytes, name.GetLength());
}

// Whether a file's first block looks already compressed: its byte entropy,
// corrected for the sample's size (Miller-Madow), is so close to 8 bits
// that deflate could save at most about half a percent, for the price of
// its slowest work. Blocks too small to judge are deflated.
bool LooksIncompressible(const unsigned char* block, size_t size) {
  const size_t kMinimumSample = 4096;
  const double kThresholdBits = 7.96;
  if (size < kMinimumSample) return false;
  size_t counts[256] = {};
  for (size_t i = 0; i < size; i++) counts[block[i]]++;
  double bits = 0;
  int used = 0;
  for (size_t count : counts) {
    if (count == 0) continue;
    const double share = static_cast<double>(count) / static_cast<double>(size);
    bits -= share * std::log2(share);
    used++;
  }
  bits += (used - 1) / (2.0 * static_cast<double>(size) * std::log(2.0));
  return bits >= kThresholdBits;
}

// One walk of a tree into an open archive, each entry written as it is
// found: only the archive's central directory grows with the tree. The tree
// is the program's own working copy: whatever cannot be opened, read or
// listed fails the archive, as a backup without it would be no backup.
class TreeZipper : public QKWalkVisitor {
 public:
  TreeZipper(CQKRunContext& context, zipFile zip, const CWVZipArchive& archive,
             bool relativeNames,
             bool directoryEntries, unsigned char* buffer, CQKString& errorText)
      : context_(context),
        zip_(zip),
        archive_(archive),
        relativeNames_(relativeNames),
        directoryEntries_(directoryEntries),
        buffer_(buffer),
        errorText_(errorText) {}

  // Adds everything `source` holds; false with the error text set at the
  // first failure, after which nothing more is attempted.
  bool AddSource(const CQKString& source);
  uint64_t GetEntryCount() const { return entries_; }

  CQKStatus EnterDirectory(const QKWalkEntry& entry, int fd) override;
  CQKStatus VisitEntry(const QKWalkEntry& entry) override;

 private:
  CQKString EntryName(const QKWalkEntry& entry) const;
  bool AddFile(int fd, const struct stat64& st, const CQKString& name,
               const CQKString& path);
  ssize_t ReadBlock(int fd, const CQKString& path);
  bool OpenEntry(const CQKString& name, const struct stat64& st, int level);
  bool CloseEntry();
  bool Fail(const char* message, int error = 0) {
    SetMessage(errorText_, message, error);
    textSet_ = true;
    return false;
  }
  // The message, then the path at fault and the system's reason.
  CQKStatus Fail(const char* message, const CQKStatus& status) {
    errorText_ = message;
    errorText_ += "\n";
    errorText_ += status.GetMessage();
    textSet_ = true;
    return status;
  }
  // A failure of minizip's: the archive and the system's reason follow
  // when a write to it failed.
  bool FailWriting(const char* message) {
    const int error = archive_.GetWriteError();
    if (error == 0) return Fail(message);
    Fail(message, CQKStatus::PosixError(archive_.GetDestination(), error));
    return false;
  }
  // Stops the walk after a failure whose message is in the error text.
  static CQKStatus Failed() { return CQKStatus::PosixError("", EIO); }

  CQKRunContext& context_;
  zipFile zip_;
  const CWVZipArchive& archive_;
  const bool relativeNames_;
  const bool directoryEntries_;
  unsigned char* buffer_;
  CQKString& errorText_;
  // What relative names begin with: "/" unless the source ends with one.
  CQKString prefix_;
  bool textSet_ = false;
  uint64_t entries_ = 0;
};

bool TreeZipper::AddSource(const CQKString& source) {
  struct stat64 st;
  if (qk_stat(source, &st) != 0) {
    Fail(kReadFailed, CQKStatus::PosixError(source, errno));
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    // Non-blocking, so that a FIFO put in its place cannot hang the open.
    QKOwnedFd file(qk_open(source, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0));
    if (file.get() == -1 || qk_retry([&] { return fstat64(file.get(), &st); }) != 0) {
      Fail(kOpenFileFailed, CQKStatus::PosixError(source, errno));
      return false;
    }
    CQKString directory;
    CQKString name;
    SplitPathIntoDirectoryAndName(source, directory, name);
    return AddFile(file.get(), st, name, source);
  }
  if (!S_ISDIR(st.st_mode)) return true;
  const bool endsWithSlash =
      source.GetLength() > 0 && source[source.GetLength() - 1] == '/';
  prefix_ = endsWithSlash ? "" : "/";
  QKWalkOptions options;
  options.links = QKWalkLinks::kFollowedToFiles;
  options.context = &context_;
  const CQKStatus status = qk_walk(source, options, *this);
  if (status.IsOK()) return true;
  if (status.IsInterrupted()) return Fail(kInterrupted);
  // The visitor's own failures have set the text already.
  if (!textSet_) Fail(kReadFailed, status);
  return false;
}

CQKString TreeZipper::EntryName(const QKWalkEntry& entry) const {
  CQKString name;
  if (relativeNames_) {
    name = prefix_;
    name += entry.relative;
  } else {
    name.SetFromUTF8(entry.name);
  }
  return name;
}

CQKStatus TreeZipper::EnterDirectory(const QKWalkEntry& entry, int fd) {
  if (entry.relative.GetLength() == 0 || !directoryEntries_) {
    return CQKStatus::OK();
  }
  struct stat64 st;
  if (qk_retry([&] { return fstat64(fd, &st); }) != 0) {
    return Fail(kReadFailed, CQKStatus::PosixError(entry.path, errno));
  }
  CQKString name = EntryName(entry);
  name += '/';
  if (!(OpenEntry(name, st, Z_DEFAULT_COMPRESSION) && CloseEntry())) {
    return Failed();
  }
  return CQKStatus::OK();
}

CQKStatus TreeZipper::VisitEntry(const QKWalkEntry& entry) {
  // Links to directories and special files are never opened: a FIFO would
  // block, a device not end. A working copy holds none.
  if (entry.type != DT_REG) return CQKStatus::OK();
  QKOwnedFd file(qk_retry([&] {
    return openat64(entry.parent, entry.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }));
  if (file.get() == -1) {
    return Fail(kOpenFileFailed, CQKStatus::PosixError(entry.path, errno));
  }
  // Asked again of what was opened: the name may mean something else now.
  struct stat64 st;
  if (qk_retry([&] { return fstat64(file.get(), &st); }) != 0) {
    return Fail(kReadFailed, CQKStatus::PosixError(entry.path, errno));
  }
  if (!S_ISREG(st.st_mode) || archive_.IsSelf(st)) return CQKStatus::OK();
  if (!AddFile(file.get(), st, EntryName(entry), entry.path)) return Failed();
  return CQKStatus::OK();
}

bool TreeZipper::AddFile(int fd, const struct stat64& st,
                         const CQKString& name, const CQKString& path) {
  ssize_t count = ReadBlock(fd, path);
  if (count < 0) return false;
  const int level = LooksIncompressible(buffer_, static_cast<size_t>(count))
                        ? kStoreLevel
                        : Z_DEFAULT_COMPRESSION;
  if (!OpenEntry(name, st, level)) return false;
  // Only the end of the file (0) stops the copy; a short read does not.
  while (count > 0) {
    if (zipWriteInFileInZip(zip_, buffer_, static_cast<unsigned>(count)) < 0) {
      return FailWriting(kWriteFailed);
    }
    count = ReadBlock(fd, path);
    if (count < 0) return false;
  }
  return CloseEntry();
}

// The next block of the file at `path`, its size, or -1 with the error text
// set.
ssize_t TreeZipper::ReadBlock(int fd, const CQKString& path) {
  const ssize_t count =
      context_.IsStopRequested()
          ? -1
          : qk_retry(context_,
                     [&] { return read(fd, buffer_, kReadBufferSize); });
  if (count >= 0) {
    context_.Advance(static_cast<uint64_t>(count));
    return count;
  }
  if (context_.IsStopRequested()) {
    Fail(kInterrupted);
  } else {
    Fail(kReadFailed, CQKStatus::PosixError(path, errno));
  }
  return -1;
}

// The entry keeps the file's type and permission bits (never set-id bits),
// so a restore grants no more than the backup did.
bool TreeZipper::OpenEntry(const CQKString& name, const struct stat64& st,
                           int level) {
  zip_fileinfo info;
  memset(&info, 0, sizeof info);
  ToZipTime(st.st_mtime, &info.tmz_date);
  info.external_fa = static_cast<unsigned long>(st.st_mode & (S_IFMT | 0777)) << 16;
  if (S_ISDIR(st.st_mode)) info.external_fa |= kMsDosDirectoryAttribute;
  const unsigned long flags = IsUtf8BeyondAscii(name) ? kUtf8NameFlag : 0;
  if (zipOpenNewFileInZip4_64(zip_, name.GetSafeStringPtr(), &info, nullptr, 0,
                              nullptr, 0, nullptr, Z_DEFLATED, level, 0,
                              -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                              nullptr, 0, kMadeByUnix, flags, 1) != ZIP_OK) {
    return FailWriting(kAddEntryFailed);
  }
  return true;
}

bool TreeZipper::CloseEntry() {
  if (zipCloseFileInZip(zip_) != ZIP_OK) return FailWriting(kCloseEntryFailed);
  ++entries_;
  return true;
}

}  // namespace

CWVZip::CWVZip() : CWVZip(CQKRunContext::Quiet(), 022) {}

CWVZip::CWVZip(CQKRunContext& context, mode_t creationMask)
    : context_(context), creationMask_(creationMask) {}

CWVZip::~CWVZip() {}

bool CWVZip::ZipFile(const CQKString& source, const CQKString& zipPath,
                     bool relativeNames, bool directoryEntries) {
  std::unique_ptr<unsigned char, FreeDeleter> buffer(
      static_cast<unsigned char*>(malloc(kReadBufferSize)));
  if (!buffer) {
    errorText_ = kNoMemory;
    return false;
  }

  CWVZipArchive archive;
  zipFile zip = nullptr;
  if (archive.Create(zipPath)) {
    // A reason left over from earlier calls must not reach the message.
    errno = 0;
    zlib_filefunc64_def functions = archive.GetFunctions();
    zip = zipOpen2_64(archive.GetPath().GetSafeStringPtr(), APPEND_STATUS_CREATE,
                      nullptr, &functions);
  }
  if (zip == nullptr) {
    SetMessage(errorText_, kOpenArchiveFailed, errno);
    return false;
  }

  TreeZipper zipper(context_, zip, archive, relativeNames, directoryEntries,
                    buffer.get(), errorText_);
  const bool ok = zipper.AddSource(source);
  // After a failure this also closes the entry left open; the temporary
  // archive then goes with `archive`.
  if (zipClose(zip, nullptr) != ZIP_OK && ok) {
    SetMessage(errorText_, kCloseArchiveFailed, 0);
    if (archive.GetWriteError() != 0) {
      errorText_ += "\n";
      errorText_ += CQKStatus::PosixError(zipPath, archive.GetWriteError())
                        .GetMessage();
    }
    return false;
  }
  if (!ok) return false;
  const CQKStatus installed = archive.Install(zipPath, zipper.GetEntryCount(),
                                                 creationMask_);
  if (!installed.IsOK()) {
    errorText_ = kCloseArchiveFailed;
    errorText_ += "\n";
    errorText_ += installed.GetMessage();
    return false;
  }
  return true;
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
  ToZipTime(modified, time);
  return result;
}
