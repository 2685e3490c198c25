#include "backup/WVZipOutput.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fs/qk_fs.h"

namespace {

const size_t kBufferSize = 65536;

CWVZipOutput* Self(voidpf opaque) { return static_cast<CWVZipOutput*>(opaque); }

}  // namespace

CWVZipOutput::CWVZipOutput(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }

zlib_filefunc64_def CWVZipOutput::GetFunctions() {
  zlib_filefunc64_def functions;
  functions.zopen64_file = Open;
  functions.zread_file = Read;
  functions.zwrite_file = Write;
  functions.ztell64_file = Tell;
  functions.zseek64_file = Seek;
  functions.zclose_file = Close;
  functions.zerror_file = Error;
  functions.opaque = this;
  return functions;
}

bool CWVZipOutput::Failed(int error) {
  if (error_ == 0) error_ = error;
  return false;
}

bool CWVZipOutput::Flush() {
  size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t put = qk_retry([&] {
      return pwrite(fd_, buffer_.data() + done, buffer_.size() - done,
                    static_cast<off_t>(bufferAt_ + done));
    });
    if (put <= 0) return Failed(put == 0 ? EIO : errno);
    done += static_cast<size_t>(put);
  }
  bufferAt_ += buffer_.size();
  buffer_.clear();
  return error_ == 0;
}

uLong CWVZipOutput::Append(const unsigned char* bytes, uLong size) {
  // A write elsewhere than right after the buffer starts a buffer of its own.
  if (position_ != bufferAt_ + buffer_.size()) {
    if (!Flush()) return 0;
    bufferAt_ = position_;
  }
  for (uLong left = size; left > 0;) {
    const size_t room = kBufferSize - buffer_.size();
    const size_t take = std::min<size_t>(room, left);
    buffer_.insert(buffer_.end(), bytes, bytes + take);
    bytes += take;
    left -= take;
    if (buffer_.size() == kBufferSize && !Flush()) return 0;
  }
  position_ += size;
  end_ = std::max(end_, position_);
  return size;
}

uLong CWVZipOutput::ReadAt(unsigned char* out, uLong size) {
  if (!Flush()) return 0;
  bufferAt_ = position_;
  const ssize_t got = qk_retry([&] {
    return pread(fd_, out, size, static_cast<off_t>(position_));
  });
  if (got < 0) {
    Failed(errno);
    return 0;
  }
  position_ += static_cast<uint64_t>(got);
  bufferAt_ = position_;
  return static_cast<uLong>(got);
}

voidpf ZCALLBACK CWVZipOutput::Open(voidpf opaque, const void*, int) {
  return opaque;
}

uLong ZCALLBACK CWVZipOutput::Read(voidpf opaque, voidpf, void* buffer,
                                   uLong size) {
  return Self(opaque)->ReadAt(static_cast<unsigned char*>(buffer), size);
}

uLong ZCALLBACK CWVZipOutput::Write(voidpf opaque, voidpf, const void* bytes,
                                    uLong size) {
  return Self(opaque)->Append(static_cast<const unsigned char*>(bytes), size);
}

ZPOS64_T ZCALLBACK CWVZipOutput::Tell(voidpf opaque, voidpf) {
  return Self(opaque)->position_;
}

long ZCALLBACK CWVZipOutput::Seek(voidpf opaque, voidpf, ZPOS64_T offset,
                                  int origin) {
  CWVZipOutput* self = Self(opaque);
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      self->position_ = offset;
      return 0;
    case ZLIB_FILEFUNC_SEEK_CUR:
      self->position_ += offset;
      return 0;
    case ZLIB_FILEFUNC_SEEK_END:
      self->position_ = self->end_ + offset;
      return 0;
    default:
      return -1;
  }
}

int ZCALLBACK CWVZipOutput::Close(voidpf opaque, voidpf) {
  return Self(opaque)->Flush() ? 0 : -1;
}

int ZCALLBACK CWVZipOutput::Error(voidpf opaque, voidpf) {
  return Self(opaque)->error_ != 0;
}
