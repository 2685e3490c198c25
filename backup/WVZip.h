#ifndef QK_BACKUP_WVZIP_H_
#define QK_BACKUP_WVZIP_H_

#include <zip.h>

#include <sys/types.h>

#include "fs/CQKRunContext.h"
#include "strings/CQKString.h"

// Packs a directory tree into a new zip archive through minizip. Every
// entry is deflated (method 8): at zlib's default level, or at level 0 when
// a sample of the file shows it cannot shrink. Names are stored as their
// bytes, flagged as UTF-8 when they are well-formed UTF-8 beyond ASCII;
// entries are dated with their file's modification time in local time.
// A failing operation leaves one message in the error text; success leaves
// the text as it was.
class CWVZip {
 public:
  // An archive that nothing stops, created as under the mask 022.
  CWVZip();
  // An archive whose loops ask `context` whether to stop (between buffers
  // and entries) and tell it the bytes read, its file given the modes new
  // files get under `creationMask`.
  CWVZip(CQKRunContext& context, mode_t creationMask);
  virtual ~CWVZip();

  CWVZip(const CWVZip&) = delete;
  CWVZip& operator=(const CWVZip&) = delete;

  // Writes every regular file under `source` into a new archive at
  // `zipPath`, and with `directoryEntries` every directory too, as an entry
  // of its own named with a trailing "/" and placed before its contents.
  // The tree is packed as it is walked, in the system's directory order;
  // links to files are followed, links to directories are not. Special
  // files (and links to them) are left out unopened; anything else that
  // cannot be opened, read or listed fails the archive, its message naming
  // the path and the reason. With `relativeNames` an entry is named by its
  // path below `source` (without a leading "/" when `source` ends with
  // "/"); otherwise by its last path component alone, which flattens the
  // tree. A `source` that is a file gives one entry named by its last
  // component.
  //
  // The archive is built under a private temporary name in the
  // destination's directory and renamed over `zipPath` only when complete:
  // a failure or an interruption leaves an existing archive untouched and no
  // partial one behind.
  bool ZipFile(const CQKString& source, const CQKString& zipPath,
               bool relativeNames, bool directoryEntries);

  // Sets *time to the modification time of `path` (links followed) as local
  // broken-down time and answers 1; answers 0 with the epoch when the file
  // cannot be examined or `path` is "-". `dosDate` is never written: minizip
  // derives the MS-DOS date from *time while it is 0.
  int FileTime(const CQKString& path, tm_zip* time, unsigned long* dosDate);

  const CQKString& GetErrorText() const { return errorText_; }

 private:
  CQKRunContext& context_;
  const mode_t creationMask_;
  CQKString errorText_;
};

#endif  // QK_BACKUP_WVZIP_H_
