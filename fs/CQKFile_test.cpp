#include "fs/CQKFile.h"

#include <regex>
#include <string>

#include "tests/support/qk_test_support.h"

namespace {

using qktest::Exists;
using qktest::Pattern;
using CQKFileTest = qktest::ScratchTest;

std::string Str(const CQKString& s) { return s.GetSafeStringPtr(); }
std::string Message(const CQKFile& file) { return Str(file.GetErrorMessage()); }

// "<uid>:<gid> " and the Tree entry of `path`.
std::string Owned(const std::string& path) {
  struct stat st = {};
  lstat(path.c_str(), &st);
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
         qktest::Entry(path);
}

TEST_F(CQKFileTest, OpenModesReadWriteAndRemove) {
  CQKFile file((dir_ / "data").c_str());
  CQKBuffer bytes;
  bytes = "hello world";
  ASSERT_TRUE(file.Open(CQKFile::kOpenWriteTruncate));
  EXPECT_EQ(file.Write(bytes, 11), 11u);
  EXPECT_FALSE(file.Open(CQKFile::kOpenRead));  // already open
  bytes = "HE";
  for (int append : {0, int(CQKFile::kOpenAppend)}) {  // the rest is kept
    file.Close();
    ASSERT_TRUE(file.Open(CQKFile::kOpenWrite | append));
    EXPECT_EQ(file.Write(bytes, 2), 2u);
  }
  file.Close();
  ASSERT_TRUE(file.Open(CQKFile::kOpenRead));
  EXPECT_EQ(file.Write(bytes, 1), 0u);
  EXPECT_EQ(Message(file), "Bad file descriptor");
  EXPECT_EQ(file.Read(bytes, 100), 13u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.GetData()), 13), "HEllo worldHE");
  EXPECT_TRUE(file.IsEndOfFile());
  EXPECT_TRUE(file.Remove() && !file.IsOpen() && !Exists(dir_ / "data"));
  EXPECT_FALSE(file.Open(CQKFile::kOpenRead));
  EXPECT_EQ(Message(file), "No such file or directory");
}

// A new name gets 0700; a replaced file lends its owner and mode. Across
// file systems the bytes are copied in 32768-byte chunks, then the source
// goes; a full target device keeps the source whole.
TEST_F(CQKFileTest, RenameNeverLosesTheSource) {
  qktest::Tmpfs other(dir_ / "other", "16m"), tiny(dir_ / "tiny", "64k");
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/a", "f 644 alpha"},
      {"/dir", "d 755"}, {"/target", "f 641 old"}, {"/keep", "f 644 keep"},
      {"/other/old", "f 604 old"}, {"/big", "f 644 " + Pattern(200000)}}));
  qktest::ChownTree(dir_ / "target", qktest::kNobody);
  qktest::ChownTree(dir_ / "other/old", qktest::kNobody);
  const struct { const char *from, *to; bool overwrite; std::string message, owned; }
      kSteps[] = {
          {"a", "b", false, "", "0:0 f 700 alpha"},
          {"dir", "moved", false, "", "0:0 d 700"},
          {"b", "target", false, "Target already exists, overwrite not specified.", ""},
          {"b", "target", true, "", "65534:65534 f 641 alpha"},
          // Onto itself, under another spelling.
          {"target", "./target", true, "", "65534:65534 f 641 alpha"},
          {"keep", "moved", true, "Failed to remove target before rename: Is a directory", ""},
          {"", "keep", true, "Unable to rename file with no name.", ""},
          {"missing", "elsewhere", false, "No such file or directory", ""},
          {"keep", "other/old", true, "", "65534:65534 f 604 keep"},
          {"big", "tiny/big", false, "No space left on device", ""},
      };
  for (const auto& s : kSteps) {
    SCOPED_TRACE(std::string(s.from) + " -> " + s.to);
    CQKFile file(*s.from ? (dir_ / s.from).c_str() : "");
    EXPECT_EQ(file.Rename((dir_ / s.to).c_str(), s.overwrite), s.message.empty());
    EXPECT_EQ(Message(file), s.message);
    EXPECT_EQ(s.message.empty() ? Owned(dir_ / s.to) : "", s.owned);
  }
  for (size_t size : {0, 32768, 100001}) {
    const std::string name = "file" + std::to_string(size),
                      moved = dir_ / "other/" + name;
    qktest::WriteFile(dir_ / name, Pattern(size));
    CQKFile file((dir_ / name).c_str());
    ASSERT_TRUE(file.Rename(moved.c_str(), false));
    EXPECT_EQ(Str(file.GetName()), moved);
    EXPECT_EQ(Owned(moved), "0:0 f 700 " + Pattern(size));
  }
  EXPECT_EQ(qktest::Tree(dir_.path()).size(), 10u);  // nothing else is left
  EXPECT_EQ(qktest::ReadFile(dir_ / "big"), Pattern(200000));
}

TEST_F(CQKFileTest, TemporaryNamesAreUniqueAndOwnerOnly) {
  // Names differ; a trailing separator of the directory is not doubled.
  CQKString name;
  for (const std::string& in : {dir_.path(), dir_ / "", dir_.path() + "\\"}) {
    ASSERT_TRUE(CQKFile::GetTempFilename(name, in.c_str()));
    EXPECT_TRUE(std::regex_match(Str(name), std::regex(dir_ / "QKf\\w{6}")));
    EXPECT_EQ(qktest::Entry(Str(name)), "f 600 ");
  }
  EXPECT_EQ(qktest::Tree(dir_.path()).size(), 4u);
  umask(0);  // the owner-only mode must not come from the umask
  ASSERT_TRUE(CQKFile::CreateTempDirectory(name, (dir_ / "").c_str()));
  EXPECT_TRUE(std::regex_match(Str(name), std::regex(dir_ / "QKf\\w{6}/")));
  EXPECT_EQ(qktest::Entry(Str(name)), "d 700");
}

// Where the directory cannot take it, the working directory does, under
// "QKtemp<seconds><suffix up to 100>" of the current second only.
TEST_F(CQKFileTest, TemporaryNamesFallBackToTheWorkingDirectory) {
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  const CQKString missing = (dir_ / "missing").c_str();
  CQKString out;
  ASSERT_TRUE(CQKFile::CreateTempDirectory(out, missing));
  EXPECT_TRUE(std::regex_match(Str(out), std::regex("QKtemp\\d+/")));
  EXPECT_EQ(qktest::Entry(dir_ / Str(out)), "d 700");
  const time_t now = time(nullptr);
  for (int i = 0; i < 303; ++i) {  // the clock may tick meanwhile
    const std::string suffix = i % 101 ? std::to_string(i % 101) : "";
    qktest::WriteFile("QKtemp" + std::to_string(now + i / 101) + suffix, "");
  }
  EXPECT_FALSE(CQKFile::GetTempFilename(out, missing));
}

}  // namespace
