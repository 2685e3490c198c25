#include "fs/qk_tree_size.h"

#include <sys/stat.h>

#include "fs/qk_fs.h"
#include "fs/qk_walk.h"

namespace {

class SizeVisitor : public QKWalkVisitor {
 public:
  CQKStatus VisitEntry(const QKWalkEntry& entry) override {
    struct stat64 st;
    if (entry.type == DT_REG && qk_retry([&] {
          return fstatat64(entry.parent, entry.name, &st, 0);
        }) == 0) {
      bytes_ += static_cast<uint64_t>(st.st_size);
    }
    return CQKStatus::OK();
  }
  uint64_t GetBytes() const { return bytes_; }

 private:
  uint64_t bytes_ = 0;
};

}  // namespace

uint64_t qk_tree_bytes(const CQKString& path) {
  struct stat64 st;
  if (qk_stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
    return static_cast<uint64_t>(st.st_size);
  }
  QKWalkOptions options;
  options.links = QKWalkLinks::kFollowedToFiles;
  options.skipVanished = true;
  SizeVisitor visitor;
  qk_walk(path, options, visitor);
  return visitor.GetBytes();
}
