#ifndef QK_BACKUP_WVZIPOUTPUT_H_
#define QK_BACKUP_WVZIPOUTPUT_H_

#include <ioapi.h>

#include <cstdint>
#include <vector>

// The archive file as minizip sees it: an open descriptor (not owned) that
// minizip writes through, its many small header writes gathered in one
// buffer and handed to the system whole, every call retried after an
// interruption that asked nothing of the run, the first failure's errno
// kept for the message. minizip's close only flushes.
class CWVZipOutput {
 public:
  explicit CWVZipOutput(int fd);
  virtual ~CWVZipOutput() = default;

  CWVZipOutput(const CWVZipOutput&) = delete;
  CWVZipOutput& operator=(const CWVZipOutput&) = delete;

  // The functions for zipOpen2_64, bound to this object.
  zlib_filefunc64_def GetFunctions();
  // Writes out what the buffer holds; false with the errno kept.
  bool Flush();
  // The errno of the first failed call; 0 while none failed.
  int GetError() const { return error_; }

 private:
  static voidpf ZCALLBACK Open(voidpf opaque, const void* name, int mode);
  static uLong ZCALLBACK Read(voidpf opaque, voidpf stream, void* buffer,
                              uLong size);
  static uLong ZCALLBACK Write(voidpf opaque, voidpf stream, const void* bytes,
                               uLong size);
  static ZPOS64_T ZCALLBACK Tell(voidpf opaque, voidpf stream);
  static long ZCALLBACK Seek(voidpf opaque, voidpf stream, ZPOS64_T offset,
                             int origin);
  static int ZCALLBACK Close(voidpf opaque, voidpf stream);
  static int ZCALLBACK Error(voidpf opaque, voidpf stream);

  uLong Append(const unsigned char* bytes, uLong size);
  uLong ReadAt(unsigned char* out, uLong size);
  bool Failed(int error);

  const int fd_;
  std::vector<unsigned char> buffer_;
  // The file offset of the buffer's first byte.
  uint64_t bufferAt_ = 0;
  uint64_t position_ = 0;
  uint64_t end_ = 0;
  int error_ = 0;
};

#endif  // QK_BACKUP_WVZIPOUTPUT_H_
