#ifndef QK_FS_QK_OWNED_FD_H_
#define QK_FS_QK_OWNED_FD_H_

#include <errno.h>
#include <unistd.h>

// Owns one file descriptor (or -1) and closes it when it goes.
class QKOwnedFd {
 public:
  explicit QKOwnedFd(int fd) : fd_(fd) {}
  ~QKOwnedFd() {
    if (fd_ != -1) close(fd_);
  }
  QKOwnedFd(const QKOwnedFd&) = delete;
  QKOwnedFd& operator=(const QKOwnedFd&) = delete;

  int get() const { return fd_; }
  // Gives up ownership, for a call that takes the descriptor over.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Takes `fd` over, closing the one held before.
  void Reset(int fd) {
    if (fd_ != -1) close(fd_);
    fd_ = fd;
  }
  // Closes now, where a failure to close must be seen. An interrupted
  // close has still released the descriptor (Linux), and is no failure.
  bool Close() { return close(Release()) == 0 || errno == EINTR; }

 private:
  int fd_;
};

#endif  // QK_FS_QK_OWNED_FD_H_
