#ifndef QK_BACKUP_WVZIPARCHIVE_H_
#define QK_BACKUP_WVZIPARCHIVE_H_

#include <sys/stat.h>

#include <cstdint>
#include <memory>

#include "backup/WVZipOutput.h"
#include "fs/qk_owned_fd.h"
#include "fs/CQKStatus.h"
#include "strings/CQKString.h"

// The archive file while minizip writes it: a private file beside the
// destination named ".qkzip-<pid>-<n>" (the clean-up of dead runs looks for
// that name), completed after minizip has closed it, and given the
// destination's name only then. Destroyed before that, it removes the file,
// so a failed run never leaves a partial archive nor costs the previous one.
// Failures answer false with errno set.
class CWVZipArchive {
 public:
  CWVZipArchive() = default;
  virtual ~CWVZipArchive();

  CWVZipArchive(const CWVZipArchive&) = delete;
  CWVZipArchive& operator=(const CWVZipArchive&) = delete;

  // Creates the file exclusively, readable and writable by the owner only,
  // in the directory of `zipPath`, which must not be a directory itself,
  // and keeps it open for minizip and the completion.
  bool Create(const CQKString& zipPath);
  // After Create: the functions through which minizip writes the file.
  zlib_filefunc64_def GetFunctions();
  // The errno of minizip's first failed write; 0 while none failed.
  int GetWriteError() const;
  const CQKString& GetPath() const { return path_; }
  // The `zipPath` given to Create.
  const CQKString& GetDestination() const { return destination_; }
  // Whether `st` describes this very file, which a walk of a tree holding
  // the destination must not pack into itself.
  bool IsSelf(const struct stat64& st) const;

  // Completes the archive of `entries` entries that minizip has closed:
  // every local zip64 extra field gets the entry's real sizes (minizip
  // leaves them 0 below 4 GiB, which readers flag as a header error), and
  // beyond 65535 entries the zip64 end records are added. The file then
  // takes the permissions of the archive it replaces (owner, group, and its
  // mode narrowed by `mask`; 0666 less `mask` when there is none),
  // reaches the disk, and is renamed to `zipPath`, its directory synced; a
  // failure at any point, the last sync included, leaves the archive that
  // was there before.
  CQKStatus Install(const CQKString& zipPath, uint64_t entries, mode_t mask);

 private:
  CQKString path_;
  CQKString destination_;
  QKOwnedFd file_{-1};
  std::unique_ptr<CWVZipOutput> output_;
  struct stat64 self_ = {};
  bool created_ = false;
  bool installed_ = false;
};

#endif  // QK_BACKUP_WVZIPARCHIVE_H_
