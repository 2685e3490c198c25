#include "fs/qk_tree_size.h"

#include <sys/stat.h>

#include <memory>

#include "fs/qk_fs.h"
#include "fs/qk_path.h"

namespace {

uint64_t EntryBytes(const CQKString& path);

uint64_t DirectoryBytes(const CQKString& directory) {
  CQKString name;
  QKOwnedScan stream(qk_startscandir(directory, name));
  if (stream == nullptr) return 0;
  uint64_t bytes = 0;
  CQKString entry;
  do {
    if (qk_isdotentry(name.GetSafeStringPtr())) continue;
    GetFullFilePathnameFromDirectoryAndFilename(directory, name, entry, 0);
    bytes += EntryBytes(entry);
  } while (qk_scandirnext(stream.get(), name));
  return bytes;
}

uint64_t EntryBytes(const CQKString& path) {
  struct stat64 st;
  if (lstat64(path.GetSafeStringPtr(), &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) return DirectoryBytes(path);
  // Never entered as a directory: a loop of links would count for ever.
  if (S_ISLNK(st.st_mode) && qk_stat(path, &st) != 0) return 0;
  return S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

uint64_t qk_tree_bytes(const CQKString& path) { return EntryBytes(path); }
