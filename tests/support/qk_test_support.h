#ifndef QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_
#define QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_

// Shared fixtures of the unit tests. They run as root, which ignores
// permissions: RunAsNobody runs what must meet them.

#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fs/CQKRunContext.h"
#include "gtest/gtest.h"
#include "strings/CQKString.h"

namespace qktest {

const uid_t kNobody = 65534;
using Entries = std::map<std::string, std::string>;

inline std::string Str(const CQKString& s) { return s.GetSafeStringPtr(); }

// A path's bytes as they are: a converted name would name another file.
inline CQKString Bytes(const std::string& path) {
  return CQKString(CQKString::kUTF8, path.c_str(), path.size());
}

inline std::string ReadFile(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// What the shell command prints; its exit status goes to *status.
inline std::string Output(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char chunk[65536];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
  *status = pclose(pipe);
  return out;
}

// The plain UTF-8 form of a code point; surrogates too, as the invalid
// input the string operations must absorb.
inline std::string EncodeUTF8(unsigned int cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  const int trailing = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  std::string out(1, static_cast<char>("\xC0\xE0\xF0"[trailing - 1] | cp >> (6 * trailing)));
  for (int i = trailing - 1; i >= 0; --i) out += static_cast<char>(0x80 | (cp >> (6 * i) & 0x3F));
  return out;
}

// `size` bytes with no short period, so a misplaced block shows.
inline std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = char(i * 13 + i / 509);
  return bytes;
}

// One entry, links not followed: "d <mode>", "f <mode> <bytes>" or "l <target>",
// after "<uid>:<gid> " when `owner` is asked; empty when there is none.
inline std::string Entry(const std::string& path, bool owner = false) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "";
  char mode[32];
  snprintf(mode, sizeof mode, "%o", unsigned(st.st_mode & 07777));
  const std::string ids = owner ? std::to_string(st.st_uid) + ":" +
                                      std::to_string(st.st_gid) + " " : "";
  if (S_ISLNK(st.st_mode)) {
    return ids + "l " + std::filesystem::read_symlink(path).string();
  }
  if (S_ISDIR(st.st_mode)) return ids + "d " + mode;
  return ids + "f " + mode + " " + ReadFile(path);
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

// Makes the entries of `tree` (Tree's format, which puts directories before
// their contents) under `root`, with exact modes; false at the first failure.
inline bool MakeTree(const std::string& root, const Entries& tree) {
  for (const auto& [name, entry] : tree) {
    const std::string path = root + name;
    const size_t bytes = entry.find(' ', 2);
    if (entry[0] == 'l') {
      if (symlink(entry.c_str() + 2, path.c_str()) != 0) return false;
      continue;
    }
    if (entry[0] == 'd' && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
    if (entry[0] == 'f') {
      WriteFile(path, bytes == std::string::npos ? "" : entry.substr(bytes + 1));
    }
    if (chmod(path.c_str(), strtoul(entry.c_str() + 2, nullptr, 8)) != 0) return false;
  }
  return true;
}

// Runs `body` in a child process as the unprivileged user and answers its
// result (0-255), or -1 when the child did not exit normally.
inline int RunAsNobody(const std::function<int()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const bool dropped = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
                         setuid(kNobody) == 0;
    _exit(dropped ? body() : 250);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A fresh directory under /tmp, removed with all it holds.
class ScratchDir {
 public:
  ScratchDir() : path_(mkdtemp(std::string("/tmp/qktestXXXXXX").data())) {
    chmod(path_.c_str(), 0755);  // reachable for the unprivileged user
  }
  ~ScratchDir() {
    std::error_code error;  // root may remove from read-only directories
    std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  const std::string path_;
};

// The fixture of the file and backup tests: a scratch directory, umask 022,
// the working directory put back, and no descriptor left open.
class ScratchTest : public ::testing::Test {
 protected:
  ScratchTest() { umask(022); }
  ~ScratchTest() override {
    for (const std::string& mount : mounts_) umount2(mount.c_str(), MNT_DETACH);
    EXPECT_EQ(fds_, Tree("/proc/self/fd"));
    EXPECT_EQ(0, chdir(cwd_.c_str()));
  }

  // A real tmpfs of `size` (e.g. "256k") at `name`, open to every user.
  void Mount(const std::string& name, const std::string& size) {
    mounts_.push_back(dir_ / name);
    mkdir(mounts_.back().c_str(), 0755);
    ASSERT_EQ(0, mount("tmpfs", mounts_.back().c_str(), "tmpfs", 0,
                       ("size=" + size).c_str()));
  }

  const std::string cwd_ = std::filesystem::current_path();
  const Entries fds_ = Tree("/proc/self/fd");
  ScratchDir dir_;
  std::vector<std::string> mounts_;
};

// A run context for the loops under test: sums the progress reports, runs
// `onReport` at each, and asks the run to stop at report `stopAt` (0:
// never), or from the start once `stop` is set.
class Progress : public CQKRunContext {
 public:
  explicit Progress(int stopAt = 0, std::function<void()> onReport = nullptr)
      : stopAt_(stopAt), onReport_(onReport) {}
  int GetStopSignal() const override { return stop; }
  void Advance(uint64_t bytes) override {
    done += bytes;
    if (onReport_) onReport_();
    if (++reports_ == stopAt_) stop = SIGTERM;
  }
  void SetTotal(uint64_t all) override { total = all; }
  uint64_t done = 0, total = 0;
  int stop = 0;

 private:
  int stopAt_, reports_ = 0;
  std::function<void()> onReport_;
};

}  // namespace qktest

#endif  // QK_TESTS_SUPPORT_QK_TEST_SUPPORT_H_
