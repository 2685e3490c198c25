#ifndef QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_
#define QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_

// Shared fixtures of the unit tests: scratch directories, file contents,
// tree snapshots, a real tmpfs, and running code as an unprivileged user
// (the tests run as root, and root ignores permissions).

#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace qktest {

const uid_t kNobody = 65534;
using Entries = std::map<std::string, std::string>;

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
  for (size_t i = 0; i < size; ++i) bytes[i] = char(i * 13 + i / 509);
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

// One entry, links not followed: "d <mode>", "f <mode> <bytes>" or
// "l <target>"; empty when missing.
inline std::string Entry(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "";
  if (S_ISLNK(st.st_mode)) return "l " + std::filesystem::read_symlink(path).string();
  char mode[8];
  snprintf(mode, sizeof mode, "%o", unsigned(st.st_mode & 07777));
  return S_ISDIR(st.st_mode) ? std::string("d ") + mode
                             : std::string("f ") + mode + " " + ReadFile(path);
}

// `root` as "" and every entry under it by "/relative/path".
inline Entries Tree(const std::string& root) {
  Entries tree = {{"", Entry(root)}};
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(root, error), end;
       it != end; it.increment(error)) {
    tree[it->path().string().substr(root.size())] = Entry(it->path());
  }
  return tree;
}

// Makes the entries of `tree` (Tree's format) under `root`, with exact modes
// whatever the umask; the map's order puts every directory before its
// contents. False at the first failure.
inline bool MakeTree(const std::string& root, const Entries& tree) {
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
    if (chmod(path.c_str(), strtoul(entry.c_str() + 2, nullptr, 8)) != 0) {
      return false;
    }
  }
  return true;
}

// Hands a whole tree to `owner` (links themselves, not their targets).
inline void ChownTree(const std::string& root, uid_t owner) {
  const std::string id = std::to_string(owner);
  EXPECT_EQ(0, system(("chown -hR " + id + ":" + id + " '" + root + "'").c_str()));
}

// A fresh directory under /tmp, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/qktestXXXXXX";
    path_ = mkdtemp(name);
    chmod(path_.c_str(), 0755);  // reachable for the unprivileged user
  }
  ~ScratchDir() {
    std::error_code error;  // root may remove from read-only directories
    std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

// The fixture of the file and backup tests: a scratch directory and umask
// 022. Every test must leave the process's descriptors as it found them;
// the working directory is put back.
class ScratchTest : public ::testing::Test {
 protected:
  ScratchTest() { umask(022); }
  ~ScratchTest() override {
    EXPECT_EQ(fds_, Tree("/proc/self/fd"));
    EXPECT_EQ(0, chdir(cwd_.c_str()));
  }

  const std::string cwd_ = Cwd();
  const Entries fds_ = Tree("/proc/self/fd");
  ScratchDir dir_;
};

// A real tmpfs of `size` (mount's syntax, e.g. "256k"), open to every user,
// unmounted at the end.
class Tmpfs {
 public:
  Tmpfs(const std::string& directory, const std::string& size)
      : directory_(directory) {
    mkdir(directory.c_str(), 0755);
    EXPECT_EQ(0, mount("tmpfs", directory.c_str(), "tmpfs", 0,
                       ("size=" + size).c_str())) << directory;
  }
  ~Tmpfs() { umount2(directory_.c_str(), MNT_DETACH); }
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

 private:
  std::string directory_;
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
