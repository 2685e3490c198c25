#include "fs/qk_path.h"

#include <cstring>
#include <utility>

#include "fs/CQKFile.h"
#include "fs/qk_fs.h"

namespace {

const unsigned int kAppend = 0x7FFFFFFF;

bool Is(const CQKString& text, const char* literal) {
  return strcmp(text.GetSafeStringPtr(), literal) == 0;
}

// Appends the entries of `directory` (ending in '/'), each sub-directory
// followed by its own entries when `recurse`. Types come from the scan, so
// a plain file costs no call of its own; a directory that cannot be opened
// stays a plain entry, just as one that cannot be read.
bool ListDirectory(const CQKString& directory, CQKStringList& list,
                   bool recurse) {
  CQKString name;
  bool isDirectory = false;
  qk_scandirExtHandle* scan = qk_startscandirExt(directory, name, isDirectory);
  if (scan == nullptr) return true;
  CQKString entry;
  bool listed = true;
  do {
    if (qk_isdotentry(name.GetSafeStringPtr())) continue;
    GetFullFilePathnameFromDirectoryAndFilename(directory, name, entry, 0);
    listed = list.AddStringToList(entry, kAppend);
    if (listed && recurse && qk_scandirnamesdirExt(scan, name)) {
      CQKString subDirectory(entry);
      CQKFile::AddDirSeperator(subDirectory, '/');
      listed = ListDirectory(subDirectory, list, true);
    }
  } while (listed && qk_scandirnextExt(scan, name, isDirectory));
  // A directory that could not be read to its end is not fully listed.
  return qk_scandircloseExt(scan) && listed;
}

}  // namespace

bool GetFullPathFromAnyPathInput(const CQKString& input, CQKString& out,
                                 bool* namesOneEntry) {
  CQKString copy(input);
  const unsigned int length = copy.GetLength();
  bool wildcard = false;
  if (length > 1 && copy[length - 1] == '*' &&
      (copy[length - 2] == '/' || copy[length - 2] == '\\')) {
    copy.TrimRightAscii("*");
    wildcard = true;
  }

  const bool isStar = Is(copy, "*");
  if (copy.GetLength() != 0 && qk_isfullpath(copy)) {
    out = copy;
  } else {
    CQKString workingDirectory;
    if (!qk_getcwd(workingDirectory)) return false;
    if (isStar || Is(copy, ".")) {
      out = workingDirectory;
    } else {
      GetFullFilePathnameFromDirectoryAndFilename(workingDirectory, copy, out,
                                                  0);
    }
  }

  if (namesOneEntry != nullptr) *namesOneEntry = !(isStar || wildcard);
  return true;
}

const char* GetFullFilePathnameFromDirectoryAndFilename(
    const CQKString& directory, const CQKString& name, CQKString& out,
    char separator) {
  // Built aside: `out` may be the directory or the name itself.
  CQKGrowString joined(directory);
  const unsigned int length = directory.GetLength();
  if (length != 0) {
    if (separator == 0 ||
        (separator == '\\' &&
         strchr(directory.GetSafeStringPtr(), '/') != nullptr)) {
      separator = '/';
    }
    if (directory[length - 1] != separator && name[0] != separator) {
      joined.Append(separator);
    }
  }
  joined.Append(name);
  out = std::move(joined);
  return out.GetSafeStringPtr();
}

CQKString qk_join_path(const CQKString& directory, const CQKString& name) {
  CQKString joined(directory);
  CQKFile::AddDirSeperator(joined, '/');
  joined += name;
  return joined;
}

void SplitPathIntoDirectoryAndName(const CQKString& path, CQKString& directory,
                                   CQKString& name) {
  unsigned int slash = 0;
  if (!path.InStrReverse('/', &slash, false)) {
    directory.Empty();
    name = path;
    return;
  }
  directory = path.Left(static_cast<int>(slash) + 1);
  name = path.Right(static_cast<int>(path.GetLength() - slash - 1));
}

bool GetFileAndDirectoryListFromPath(const CQKString& path,
                                     CQKStringList& list, bool recurse,
                                     bool includeDirectory) {
  if (qk_isfile(path, 'r')) return list.AddStringToList(path, kAppend);
  if (includeDirectory && !list.AddStringToList(path, kAppend)) return false;
  CQKString directory(path);
  CQKFile::AddDirSeperator(directory, '/');
  return ListDirectory(directory, list, recurse);
}
