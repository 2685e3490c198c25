#ifndef QK_FS_QK_FS_H_
#define QK_FS_QK_FS_H_

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <memory>

#include "fs/CQKRunContext.h"
#include "strings/CQKString.h"

// Thin wrappers over the operating system's file calls. Paths go to the
// system as their bytes, unchanged; names coming back (directory entries,
// the working directory) are taken byte for byte, so a name that is not
// UTF-8 still names the same file. Truth-valued functions leave errno as the
// system set it on failure. Large-file interfaces throughout.
//
// Mode characters of qk_access/qk_isdir/qk_isfile, case-insensitive:
// 'r' readable, 'w' writable, 'x' executable/searchable, anything else
// (callers pass 'f') exists.

bool qk_access(const CQKString& path, char mode, struct stat64* out = nullptr);
int qk_stat(const CQKString& path, struct stat64* out);
bool qk_isdir(const CQKString& path, char mode);
bool qk_isfile(const CQKString& path, char mode);
// Creates one directory with 0755 (less the umask); with `recursive`, missing
// ancestors first. True only when this call created the directory.
bool qk_mkdir(const CQKString& path, bool recursive);
bool qk_rmdir(const CQKString& path);
bool qk_rename(const CQKString& oldPath, const CQKString& newPath);
// Unlinks a file or a symbolic link itself; never a directory.
bool qk_remove(const CQKString& path);
bool qk_getcwd(CQKString& out);
int qk_open(const CQKString& path, int flags, int mode);
// Adds the owner-write bit; 0 or -1.
int qk_chmod_readwrite(const CQKString& path);
bool qk_isfullpath(const CQKString& path);
// Whether two records describe one file: the one same-file check.
inline bool qk_same_file(const struct stat64& a, const struct stat64& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
// The names a tree walk skips: ".", ".." and the empty name.
bool qk_isdotentry(const char* name);

// Makes `call` (a system call answering -1 on failure) again while it fails
// with EINTR: a signal only cut the call short. close() is never passed
// here: Linux has released the descriptor whatever it answers.
template <typename Call>
auto qk_retry(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// As qk_retry, for the calls of a loop that may block for long (reads and
// writes of data, directory reads): once `context` asks the run to stop,
// the EINTR stands, so the loop gives way at once.
template <typename Call>
auto qk_retry(const CQKRunContext& context, Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result != -1 || errno != EINTR || context.IsStopRequested()) {
      return result;
    }
  }
}

// fdopendir of `fd`, retried as qk_retry does; the stream owns `fd` once
// made.
DIR* qk_fdopendir(int fd);

// Plain scan: every entry the system returns, "." and ".." included. When
// qk_scandirnext answers false, errno is 0 at the end of the directory and
// the reason when reading failed.
DIR* qk_startscandir(const CQKString& directory, CQKString& name);
bool qk_scandirnext(DIR* stream, CQKString& name);
bool qk_scandircpfilename(struct dirent64* entry, CQKString& name);
bool qk_scandirclose(DIR* stream);

// Owns an open directory stream and closes it when it goes.
struct QKScanCloser {
  void operator()(DIR* stream) const { qk_scandirclose(stream); }
};
using QKOwnedScan = std::unique_ptr<DIR, QKScanCloser>;

// Extended scan: also tells whether each entry is itself a directory (no
// symbolic link followed). Entries are examined through the open directory,
// so the process's working directory stays where it is and scans may nest
// and close in any order.
struct qk_scandirExtHandle {
  DIR* stream = nullptr;
  // The system's type of the entry read last, DT_UNKNOWN when not given.
  unsigned char entryType = DT_UNKNOWN;
  // Set when reading an entry failed; the close then answers false.
  bool readFailed = false;
};
qk_scandirExtHandle* qk_startscandirExt(const CQKString& directory,
                                        CQKString& name, bool& isDirectory);
bool qk_scandirnextExt(qk_scandirExtHandle* handle, CQKString& name,
                       bool& isDirectory);
// Whether the entry read last, `name`, is a directory once symbolic links
// are followed; costs a system call only for links and untyped entries.
bool qk_scandirnamesdirExt(const qk_scandirExtHandle* handle,
                           const CQKString& name);
// False when the stream did not close cleanly or an entry could not be read.
bool qk_scandircloseExt(qk_scandirExtHandle* handle);

#endif  // QK_FS_QK_FS_H_
