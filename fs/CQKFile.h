#ifndef QK_FS_CQKFILE_H_
#define QK_FS_CQKFILE_H_

#include "containers/CQKBuffer.h"
#include "strings/CQKString.h"

// A file by name, with a descriptor that is open or not and a text that
// describes the last failure. Members report through their result and leave
// the reason in the error message.
class CQKFile {
 public:
  // Open modes; kOpenRead wins over kOpenWrite, and neither means write with
  // truncation. kOpenAppend combines with either write mode.
  enum OpenMode {
    kOpenWrite = 2,
    kOpenRead = 4,
    kOpenWriteTruncate = 16,
    kOpenAppend = 0x8000,
  };

  enum fileErrors {
    kNoError = 1,
    kSystemError = 2,  // the system's text for the current errno
    kAlreadyOpen = 8,
    kOutOfMemory = 16,
  };

  explicit CQKFile(const CQKString& name);
  virtual ~CQKFile();

  CQKFile(const CQKFile&) = delete;
  CQKFile& operator=(const CQKFile&) = delete;

  virtual void Close();
  // Fails without a message when a file is already open.
  virtual bool Open(int mode);
  // Closes the file, then removes its name; an empty name is nothing to do.
  virtual bool Remove();
  // Moves the file to `newName`. An existing target is refused without
  // `overwrite`; with it, a file (never a directory) is replaced and the
  // moved entry takes over its owner, group and permissions. Otherwise the
  // moved entry gets 0700. Across file systems the bytes are copied, then
  // the source removed.
  virtual bool Rename(const CQKString& newName, bool overwrite);
  // Reads up to `count` bytes into `data`; fewer sets the end-of-file flag.
  virtual unsigned int Read(CQKBuffer& data, unsigned int count);
  // Writes the first `count` bytes of `data`; answers how many were written.
  virtual unsigned int Write(const CQKBuffer& data, unsigned int count);

  void SetError(fileErrors value);
  bool CheckForWindowsReservedName() const { return true; }
  static bool CheckForWindowsReservedName(const CQKString&) { return true; }

  const CQKString& GetName() const { return name_; }
  const CQKString& GetErrorMessage() const { return errorMessage_; }
  bool IsOpen() const { return descriptor_ != -1; }
  bool IsEndOfFile() const { return endOfFile_; }

  // Creates a new, empty, uniquely named file in `directory` (empty: /tmp)
  // and puts its path in `out`. When that directory cannot take it, the file
  // is made in the working directory as "QKtemp" plus the seconds and a
  // suffix of up to 100; `out` then has no directory part.
  static bool GetTempFilename(CQKString& out, const CQKString& directory);
  // Creates a new, uniquely named directory, readable by its owner only
  // (it holds a copy of the project's data), and puts its path, ending in
  // '/', in `out`.
  static bool CreateTempDirectory(CQKString& out, const CQKString& directory);
  // Appends `separator` unless the path already ends with it.
  static void AddDirSeperator(CQKString& path, char separator = '/');

 private:
  // Copies the bytes to `newName`, for a rename across file systems.
  bool CopyTo(const CQKString& newName);

  // -1 when closed: descriptor 0 is a real file when standard input is.
  int descriptor_ = -1;
  CQKString name_;
  CQKString errorMessage_;
  bool endOfFile_ = false;
};

#endif  // QK_FS_CQKFILE_H_
