#ifndef QK_BACKUP_WVZIP_H_
#define QK_BACKUP_WVZIP_H_

#include <zip.h>

#include "strings/CQKString.h"

// Packs a directory tree into a new zip archive through minizip: every entry
// deflated at zlib's default level, named in UTF-8, dated with its file's
// modification time in local time. A failing operation leaves one message
// in the error text; success leaves the text as it was.
class CWVZip {
 public:
  CWVZip();
  virtual ~CWVZip();

  CWVZip(const CWVZip&) = delete;
  CWVZip& operator=(const CWVZip&) = delete;

  // Writes every readable regular file under `source` into a new archive at
  // `zipPath`, and with `directoryEntries` every readable directory too, as
  // an entry of its own named with a trailing "/" and placed before its
  // contents. Anything unreadable or special is left out without a message.
  // With `relativeNames` an entry is named by its path below `source`
  // (without a leading "/" when `source` ends with "/"); otherwise by its
  // last path component alone, which flattens the tree.
  //
  // The archive is built under a temporary name in the destination's
  // directory and renamed over `zipPath` only when complete: a failure
  // leaves an existing archive untouched and no partial one behind.
  bool ZipFile(const CQKString& source, const CQKString& zipPath,
               bool relativeNames, bool directoryEntries);

  // Sets *time to the modification time of `path` (links followed) as local
  // broken-down time and answers 1; answers 0 with the epoch when the file
  // cannot be examined or `path` is "-". `dosDate` is never written: minizip
  // derives the MS-DOS date from *time while it is 0.
  int FileTime(const CQKString& path, tm_zip* time, unsigned long* dosDate);

  const CQKString& GetErrorText() const { return errorText_; }

 private:
  bool AddEntry(zipFile zip, const CQKString& path, const CQKString& name,
                bool isFile, char* buffer);
  bool CopyFileIntoEntry(zipFile zip, const CQKString& path, char* buffer);

  CQKString errorText_;
};

#endif  // QK_BACKUP_WVZIP_H_
