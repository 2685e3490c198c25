#include "backup/qk_leftovers.h"

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fs/qk_copy.h"
#include "fs/qk_fs.h"
#include "fs/qk_path.h"
#include "fs/qk_walk.h"

namespace {

const char kBuild[] = "qknew";
const char kPrevious[] = "qkold";
const char kArchivePrefix[] = ".qkzip-";

struct Place {
  CQKString directory;  // ends with '/'
  CQKString name;       // NAME itself
};

Place Split(const CQKString& destination) {
  Place place;
  SplitPathIntoDirectoryAndName(destination, place.directory, place.name);
  return place;
}

// Reads a process id that must run to `end` (or to a '-' when `dashAfter`).
bool ParsePid(const char* text, bool dashAfter, long& pid) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  pid = strtol(text, &end, 10);
  if (errno != 0 || pid <= 0) return false;
  if (!dashAfter) return *end == '\0';
  if (*end != '-' || end[1] < '0' || end[1] > '9') return false;
  strtoul(end + 1, &end, 10);
  return *end == '\0';
}

bool IsDead(long pid) {
  if (pid == static_cast<long>(getpid())) return true;
  return kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
}

// The process id of `entry` when it is one of the private names of `kind`.
bool PrivatePid(const char* entry, const CQKString& name, const char* kind,
                long& pid) {
  if (entry[0] != '.') return false;
  const size_t nameLength = name.GetLength();
  const size_t kindLength = strlen(kind);
  if (strncmp(entry + 1, name.GetSafeStringPtr(), nameLength) != 0) {
    return false;
  }
  const char* tail = entry + 1 + nameLength;
  if (tail[0] != '.' || strncmp(tail + 1, kind, kindLength) != 0 ||
      tail[1 + kindLength] != '-') {
    return false;
  }
  return ParsePid(tail + 2 + kindLength, false, pid);
}

// A previous archive is kept as a file, a backup directory as a tree.
void RemoveEntry(const CQKString& path) {
  if (!qk_remove(path)) qk_rmdir_recursive(path, true);
}

void SweepEntry(const Place& place, const CQKString& destination,
                const CQKString& entry) {
  const char* text = entry.GetSafeStringPtr();
  CQKString path(place.directory);
  path += entry;
  long pid = 0;
  if (strncmp(text, kArchivePrefix, strlen(kArchivePrefix)) == 0 &&
      ParsePid(text + strlen(kArchivePrefix), true, pid)) {
    if (IsDead(pid)) qk_remove(path);
  } else if (PrivatePid(text, place.name, kBuild, pid)) {
    if (IsDead(pid)) RemoveEntry(path);
  } else if (PrivatePid(text, place.name, kPrevious, pid) && IsDead(pid)) {
    // Without NAME the run died between its two renames and this is the
    // only copy; with NAME it is a replaced backup.
    if (!qk_access(destination, 'f')) {
      qk_rename(path, destination);
    } else {
      RemoveEntry(path);
    }
  }
}

// One look at each entry beside the destination.
class LeftoverSweeper : public QKWalkVisitor {
 public:
  LeftoverSweeper(const Place& place, const CQKString& destination)
      : place_(place), destination_(destination) {}

  CQKStatus VisitEntry(const QKWalkEntry& entry) override {
    CQKString name;
    name.SetFromUTF8(entry.name);
    SweepEntry(place_, destination_, name);
    return CQKStatus::OK();
  }

 private:
  const Place& place_;
  const CQKString& destination_;
};

}  // namespace

CQKString qk_private_name(const CQKString& destination, const char* kind,
                          long pid) {
  const Place place = Split(destination);
  CQKString path;
  path.SafeFormat("%s.%s.%s-%ld", place.directory.GetSafeStringPtr(),
                  place.name.GetSafeStringPtr(), kind, pid);
  return path;
}

void qk_sweep_leftovers(const CQKString& destination,
                        const CQKRunContext& context) {
  const Place place = Split(destination);
  LeftoverSweeper sweeper(place, destination);
  QKWalkOptions options;
  options.recursive = false;
  options.skipVanished = true;
  options.context = &context;
  qk_walk(place.directory.GetLength() != 0 ? place.directory : CQKString("."),
          options, sweeper);
}
