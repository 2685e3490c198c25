#include "fs/CQKStatus.h"

#include <cerrno>
#include <cstring>

CQKStatus::CQKStatus(Code code, int error, const CQKString& path)
    : code_(code), errno_(error) {
  message_ = path;
  message_ += ": ";
  message_ += strerror(error);
}

CQKStatus CQKStatus::PosixError(const CQKString& path, int error) {
  return CQKStatus(kSystemError, error, path);
}

CQKStatus CQKStatus::NotFound(const CQKString& path) {
  return CQKStatus(kNotFound, ENOENT, path);
}

CQKStatus CQKStatus::Interrupted() {
  CQKStatus status;
  status.code_ = kInterrupted;
  status.errno_ = EINTR;
  status.message_ = "Interrupted.";
  return status;
}

CQKStatus CQKStatus::Invalid(const CQKString& path, const char* reason) {
  CQKStatus status;
  status.code_ = kInvalid;
  status.errno_ = EINVAL;
  status.message_ = path;
  status.message_ += ": ";
  status.message_ += reason;
  return status;
}
