#include "fs/CQKFile.h"

#include <regex>

#include "tests/support/qk_test_support.h"

namespace {

using qktest::Pattern;
using qktest::Str;
using CQKFileTest = qktest::ScratchTest;


// Writes keep the bytes past theirs unless truncating; short reads mark the end.
TEST_F(CQKFileTest, OpenModesReadWriteAndRemove) {
  CQKFile file((dir_ / "data").c_str());
  CQKBuffer bytes;
  bytes = "hello world";
  ASSERT_TRUE(file.Open(CQKFile::kOpenWriteTruncate));
  EXPECT_EQ(file.Write(bytes, 11), 11u);
  EXPECT_FALSE(file.Open(CQKFile::kOpenRead));  // already open
  bytes = "HE";
  for (int mode : {0 + CQKFile::kOpenWrite, CQKFile::kOpenWrite | CQKFile::kOpenAppend}) {
    file.Close();
    ASSERT_TRUE(file.Open(mode));
    EXPECT_EQ(file.Write(bytes, 2), 2u);
  }
  file.Close();
  ASSERT_TRUE(file.Open(CQKFile::kOpenRead));
  EXPECT_EQ(file.Write(bytes, 1), 0u);
  EXPECT_EQ(Str(file.GetErrorMessage()), "Bad file descriptor");
  EXPECT_EQ(file.Read(bytes, 100), 13u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.GetData()), 13), "HEllo worldHE");
  EXPECT_TRUE(file.IsEndOfFile() && file.Remove() && !file.IsOpen());
  EXPECT_FALSE(file.Open(CQKFile::kOpenRead));
  EXPECT_EQ(Str(file.GetErrorMessage()), "No such file or directory");
}

// A new name gets 0700; a replaced file lends its owner and mode; the
// source is never lost, not even onto itself under another spelling. Across
// file systems the bytes go in 32768-byte chunks, then the source; a full
// target device keeps the source whole.
TEST_F(CQKFileTest, RenameNeverLosesTheSource) {
  Mount("other", "16m");
  Mount("tiny", "64k");
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/a", "f 644 alpha"},
      {"/dir", "d 755"}, {"/target", "f 641 old"}, {"/keep", "f 644 keep"},
      {"/other/old", "f 604 old"}, {"/big", "f 644 " + Pattern(200000)},
      {"/c1", "f 644 " + Pattern(32768)},
      {"/c2", "f 644 " + Pattern(100001)}}));
  ASSERT_EQ(0, lchown((dir_ / "target").c_str(), qktest::kNobody, 1) |
               lchown((dir_ / "other/old").c_str(), qktest::kNobody, 1));
  const std::string nobody = "65534:1 f ";
  const struct { const char *from, *to; bool overwrite; std::string result; } kSteps[] = {
      {"a", "b", false, "0:0 f 700 alpha"}, {"dir", "moved", false, "0:0 d 700"},
      {"b", "target", false, "Target already exists, overwrite not specified."},
      {"b", "target", true, nobody + "641 alpha"},
      {"target", "./target", true, nobody + "641 alpha"},
      {"keep", "moved", true, "Failed to remove target before rename: Is a directory"},
      {"", "keep", true, "Unable to rename file with no name."},
      {"missing", "elsewhere", false, "No such file or directory"},
      {"keep", "other/old", true, nobody + "604 keep"},
      {"big", "tiny/big", false, "No space left on device"},
      {"c1", "other/c1", false, "0:0 f 700 " + Pattern(32768)},
      {"c2", "other/c2", false, "0:0 f 700 " + Pattern(100001)}};
  for (const auto& s : kSteps) {
    CQKFile file(*s.from ? (dir_ / s.from).c_str() : "");
    const bool ok = file.Rename((dir_ / s.to).c_str(), s.overwrite);
    EXPECT_EQ(ok ? qktest::Entry(dir_ / s.to, true) : Str(file.GetErrorMessage()),
              s.result)
        << s.from << " -> " << s.to;
    EXPECT_EQ(Str(file.GetName()), ok ? dir_ / s.to : *s.from ? dir_ / s.from : "");
  }
  EXPECT_EQ(qktest::Tree(dir_.path()).size(), 9u);  // nothing else is left
  EXPECT_EQ(qktest::ReadFile(dir_ / "big"), Pattern(200000));
}

// Owner-only whatever the umask, with no separator doubled; where the
// directory cannot take it, the working directory does.
TEST_F(CQKFileTest, TemporaryNamesAreUniqueAndOwnerOnly) {
  CQKString name;
  umask(0);
  ASSERT_TRUE(CQKFile::GetTempFilename(name, (dir_.path() + "\\").c_str()));
  EXPECT_TRUE(std::regex_match(Str(name), std::regex(dir_ / "QKf\\w{6}")));
  EXPECT_EQ(qktest::Entry(Str(name)), "f 600 ");
  ASSERT_TRUE(CQKFile::CreateTempDirectory(name, (dir_ / "").c_str()));
  EXPECT_TRUE(std::regex_match(Str(name), std::regex(dir_ / "QKf\\w{6}/")));
  EXPECT_EQ(qktest::Entry(Str(name)), "d 700");
  EXPECT_EQ(qktest::Tree(dir_.path()).size(), 3u);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  ASSERT_TRUE(CQKFile::CreateTempDirectory(name, (dir_ / "missing").c_str()));
  EXPECT_TRUE(std::regex_match(Str(name), std::regex("QKtemp\\d+/")));
  EXPECT_EQ(qktest::Entry(dir_ / Str(name)), "d 700");
}

}  // namespace
