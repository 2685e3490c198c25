#ifndef QK_FS_CQKSTATUS_H_
#define QK_FS_CQKSTATUS_H_

#include "strings/CQKString.h"

// The outcome of an operation below the backup job: success, or a failure
// that carries the system's errno and a message made where it happened,
// naming the path at fault and the reason ("/p/Attach/a.txt: Permission
// denied"). The job turns it into its result code and sentence; the message
// becomes the sentence's second line.
class CQKStatus {
 public:
  enum Code {
    kOk = 0,
    kSystemError = 1,
    // What a live source listed a moment ago is gone: a walk over such a
    // source may skip it. Never made from an errno alone, so a file of our
    // own that disappears is a plain failure.
    kNotFound = 2,
    // A signal asked the run to stop.
    kInterrupted = 3,
    // What was found is not what the operation may work on.
    kInvalid = 4,
  };

  CQKStatus() = default;

  static CQKStatus OK() { return CQKStatus(); }
  // "`path`: strerror(error)".
  static CQKStatus PosixError(const CQKString& path, int error);
  static CQKStatus NotFound(const CQKString& path);
  static CQKStatus Interrupted();
  // "`path`: `reason`", for a refusal the system did not make.
  static CQKStatus Invalid(const CQKString& path, const char* reason);

  bool IsOK() const { return code_ == kOk; }
  bool IsNotFound() const { return code_ == kNotFound; }
  bool IsInterrupted() const { return code_ == kInterrupted; }
  Code GetCode() const { return code_; }
  int GetErrno() const { return errno_; }
  const CQKString& GetMessage() const { return message_; }

 private:
  CQKStatus(Code code, int error, const CQKString& path);

  Code code_ = kOk;
  int errno_ = 0;
  CQKString message_;
};

#endif  // QK_FS_CQKSTATUS_H_
