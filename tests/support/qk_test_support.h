#ifndef QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_
#define QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_

// Shared fixtures of the unit tests: scratch directories, file contents,
// tree snapshots, a real tmpfs, and running code as an unprivileged user
// (the tests run as root, and root ignores permissions).

#include <ftw.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <grp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

namespace qktest {

const uid_t kNobody = 65534;

inline std::string ReadFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// `size` bytes with no short period, so a misplaced block shows.
inline std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i * 13 + i / 509);
  }
  return bytes;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline std::string Cwd() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

namespace internal {
inline std::map<std::string, std::string>* g_tree;
inline size_t g_rootLength;
inline uid_t g_owner;

inline int AddToTree(const char* path, const struct stat* st, int,
                     struct FTW*) {
  char mode[8];
  snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st->st_mode & 07777));
  std::string& entry = (*g_tree)[path + g_rootLength];
  if (S_ISDIR(st->st_mode)) {
    entry = std::string("d ") + mode;
  } else if (S_ISLNK(st->st_mode)) {
    char target[4096];
    const ssize_t n = readlink(path, target, sizeof target);
    entry = "l " + std::string(target, n > 0 ? n : 0);
  } else {
    entry = std::string("f ") + mode + " " + ReadFile(path);
  }
  return 0;
}

inline int RemoveEntry(const char* path, const struct stat*, int type,
                       struct FTW*) {
  // A read-only directory must still go; a link's target is not ours.
  if (type != FTW_SL) chmod(path, 0700);
  return remove(path);
}

inline int GiveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return lchown(path, g_owner, g_owner);
}
}  // namespace internal

// Every entry under `root` by relative path: "d <mode>", "f <mode> <bytes>"
// or "l <target>"; links are not followed.
inline std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  internal::g_tree = &tree;
  internal::g_rootLength = root.size();
  nftw(root.c_str(), internal::AddToTree, 16, FTW_PHYS);
  return tree;
}

// Makes the entries of `tree` (Tree's format) under `root`; the map's order
// puts every directory before its contents. False at the first failure.
inline bool MakeTree(const std::string& root,
                     const std::map<std::string, std::string>& tree) {
  for (const auto& [name, entry] : tree) {
    const std::string path = root + name;
    if (entry[0] == 'l') {
      if (symlink(entry.c_str() + 2, path.c_str()) != 0) return false;
      continue;
    }
    const size_t bytes = entry.find(' ', 2);
    if (entry[0] == 'd') {
      if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    } else {
      WriteFile(path, bytes == std::string::npos ? "" : entry.substr(bytes + 1));
    }
    // Exact modes, whatever the umask.
    if (chmod(path.c_str(), strtoul(entry.c_str() + 2, nullptr, 8)) != 0) {
      return false;
    }
  }
  return true;
}

inline void RemoveTree(const std::string& root) {
  nftw(root.c_str(), internal::RemoveEntry, 16, FTW_PHYS | FTW_DEPTH);
}

// Hands a whole tree to `owner` (links themselves, not their targets).
inline void ChownTree(const std::string& root, uid_t owner) {
  internal::g_owner = owner;
  nftw(root.c_str(), internal::GiveEntry, 16, FTW_PHYS);
}

// A fresh directory under /tmp, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/qktestXXXXXX";
    path_ = mkdtemp(name);
    chmod(path_.c_str(), 0755);  // reachable for the unprivileged user
  }
  ~ScratchDir() { RemoveTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

// A real tmpfs of `size` (mount's syntax, e.g. "256k"), unmounted at the end.
class Tmpfs {
 public:
  Tmpfs(const std::string& directory, const std::string& size)
      : directory_(directory) {
    mkdir(directory.c_str(), 0755);
    mounted_ = mount("tmpfs", directory.c_str(), "tmpfs", 0,
                     ("size=" + size).c_str()) == 0;
  }
  ~Tmpfs() {
    if (mounted_) umount2(directory_.c_str(), MNT_DETACH);
  }
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string directory_;
  bool mounted_;
};

// Runs `body` in a child process as the unprivileged user and answers its
// result (0-255), or -1 when the child did not exit normally.
inline int RunAsNobody(const std::function<int()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
        setuid(kNobody) != 0) {
      _exit(250);
    }
    _exit(body());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

}  // namespace qktest

#endif  // QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_
