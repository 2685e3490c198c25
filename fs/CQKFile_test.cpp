#include "fs/CQKFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>

#include "gtest/gtest.h"
#include "tests/support/qk_test_support.h"

namespace {

using qktest::Exists;
using qktest::Pattern;
using qktest::ReadFile;
using qktest::Tree;

std::string Str(const CQKString& s) { return s.GetSafeStringPtr(); }
std::string Message(const CQKFile& file) { return Str(file.GetErrorMessage()); }

// "<uid>:<gid> " and the Tree entry of the single entry at `path`.
std::string Entry(const std::string& path) {
  struct stat st = {};
  lstat(path.c_str(), &st);
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
         Tree(path).at("");
}

class CQKFileTest : public ::testing::Test {
 protected:
  CQKFileTest() { umask(022); }
  ~CQKFileTest() override { EXPECT_EQ(chdir(cwd_.c_str()), 0); }
  CQKString Path(const std::string& name) const { return (dir_ / name).data(); }

  const std::string cwd_ = qktest::Cwd();
  qktest::ScratchDir dir_;
};

TEST_F(CQKFileTest, OpenModesReadWriteAndRemove) {
  CQKFile file(Path("data"));
  CQKBuffer bytes;
  bytes = "hello world";
  ASSERT_TRUE(file.Open(CQKFile::kOpenWriteTruncate));
  EXPECT_EQ(file.Write(bytes, 11), 11u);
  file.SetError(CQKFile::kOutOfMemory);
  EXPECT_FALSE(file.Open(CQKFile::kOpenRead));  // already open: message kept
  EXPECT_EQ(Message(file), "Memory allocation error.");
  bytes = "HE";
  for (int append : {0, int(CQKFile::kOpenAppend)}) {  // the rest is kept
    file.Close();
    ASSERT_TRUE(file.Open(CQKFile::kOpenWrite | append));
    EXPECT_EQ(file.Write(bytes, 2), 2u);
  }
  file.Close();
  EXPECT_EQ(Tree(dir_ / "data").at(""), "f 644 HEllo worldHE");

  ASSERT_TRUE(file.Open(CQKFile::kOpenRead));
  EXPECT_EQ(file.Write(bytes, 1), 0u);
  EXPECT_EQ(Message(file), "Bad file descriptor");
  EXPECT_EQ(file.Read(bytes, 100), 13u);
  EXPECT_TRUE(file.IsEndOfFile());
  EXPECT_TRUE(file.Remove());  // closes first
  EXPECT_FALSE(file.IsOpen() || file.IsEndOfFile());
  EXPECT_FALSE(file.Open(CQKFile::kOpenRead));
  EXPECT_EQ(Message(file), "No such file or directory");
  EXPECT_TRUE(CQKFile("").Remove());
}

TEST_F(CQKFileTest, RenameGivesOwnerOnlyModeOrTakesOverTheReplacedOnes) {
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/a", "f 644 alpha"},
      {"/dir", "d 755"}, {"/dir/inside", "f 644 x"}, {"/target", "f 641 old"},
      {"/keep", "f 644 keep"}}));
  ASSERT_EQ(chown((dir_ / "target").c_str(), qktest::kNobody, 1), 0);
  CQKFile file(Path("a"));
  ASSERT_TRUE(file.Rename(Path("b"), false));
  EXPECT_EQ(Str(file.GetName()), dir_ / "b");
  EXPECT_EQ(Entry(dir_ / "b"), "0:0 f 700 alpha");
  ASSERT_TRUE(CQKFile(Path("dir")).Rename(Path("moved"), false));
  EXPECT_EQ(Tree(dir_ / "moved").at(""), "d 700");

  EXPECT_FALSE(file.Rename(Path("target"), false));
  EXPECT_EQ(Message(file), "Target already exists, overwrite not specified.");
  ASSERT_TRUE(file.Rename(Path("target"), true));
  EXPECT_EQ(Message(file), "");
  // Onto itself, under another spelling: nothing is lost.
  ASSERT_TRUE(file.Rename(Path("./target"), true));
  EXPECT_EQ(Entry(dir_ / "target"), "65534:1 f 641 alpha");
  EXPECT_FALSE(Exists(dir_ / "b"));

  // Never over a directory, nor without a name or a source.
  CQKFile keep(Path("keep")), unnamed(""), missing(Path("missing"));
  EXPECT_FALSE(keep.Rename(Path("moved"), true));
  EXPECT_EQ(Message(keep),
            "Failed to remove target before rename: Is a directory");
  EXPECT_FALSE(unnamed.Rename(Path("keep"), true));
  EXPECT_EQ(Message(unnamed), "Unable to rename file with no name.");
  EXPECT_FALSE(missing.Rename(Path("elsewhere"), false));
  EXPECT_EQ(Message(missing), "No such file or directory");
  EXPECT_EQ(ReadFile(dir_ / "keep"), "keep");
}

TEST_F(CQKFileTest, RenameAcrossFileSystemsCopiesThenDeletes) {
  qktest::Tmpfs other(dir_ / "other", "16m"), tiny(dir_ / "tiny", "64k");
  ASSERT_TRUE(other.mounted() && tiny.mounted());
  // Sizes around the 32768-byte chunk: none, one exactly, two, and a tail.
  for (size_t size : {0, 32768, 65536, 100001}) {
    const std::string name = "file" + std::to_string(size);
    qktest::WriteFile(dir_ / name, Pattern(size));
    ASSERT_TRUE(CQKFile(Path(name)).Rename(Path("other/" + name), false));
    EXPECT_FALSE(Exists(dir_ / name));
    EXPECT_EQ(Entry(dir_ / "other/" + name), "0:0 f 700 " + Pattern(size));
  }
  ASSERT_TRUE(qktest::MakeTree(dir_.path(), {{"/new", "f 600 new"},
      {"/other/old", "f 604 old"}, {"/big", "f 644 " + Pattern(200000)}}));
  qktest::ChownTree(dir_ / "other/old", qktest::kNobody);
  ASSERT_TRUE(CQKFile(Path("new")).Rename(Path("other/old"), true));
  EXPECT_EQ(Entry(dir_ / "other/old"), "65534:65534 f 604 new");

  // A full target device fails the move and keeps the source whole.
  CQKFile big(Path("big"));
  EXPECT_FALSE(big.Rename(Path("tiny/big"), false));
  EXPECT_EQ(Message(big), "No space left on device");
  EXPECT_EQ(Str(big.GetName()), dir_ / "big");
  EXPECT_EQ(ReadFile(dir_ / "big"), Pattern(200000));
  EXPECT_FALSE(Exists(dir_ / "tiny/big"));
}

TEST_F(CQKFileTest, TemporaryNamesAreUniqueAndOwnerOnly) {
  // Names differ; a trailing separator of the directory is not doubled.
  CQKString name;
  for (const std::string& in : {dir_.path(), dir_ / "", dir_.path() + "\\"}) {
    ASSERT_TRUE(CQKFile::GetTempFilename(name, in.c_str()));
    EXPECT_TRUE(std::regex_match(Str(name), std::regex(dir_ / "QKf\\w{6}")));
    EXPECT_EQ(Tree(Str(name)).at(""), "f 600 ");
  }
  EXPECT_EQ(Tree(dir_.path()).size(), 4u);

  umask(0);  // the owner-only mode must not come from the umask
  ASSERT_TRUE(CQKFile::CreateTempDirectory(name, CQKString::kEmptyString));
  EXPECT_TRUE(std::regex_match(Str(name), std::regex("/tmp/QKf\\w{6}/")));
  EXPECT_EQ(Tree(Str(name)).at(""), "d 700");
  EXPECT_EQ(rmdir(name.GetSafeStringPtr()), 0);  // it was empty
}

TEST_F(CQKFileTest, TemporaryNamesFallBackToTheWorkingDirectory) {
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  const CQKString missing = Path("missing");
  CQKString out;
  ASSERT_TRUE(CQKFile::CreateTempDirectory(out, missing));
  EXPECT_TRUE(std::regex_match(Str(out), std::regex("QKtemp\\d+/")));
  EXPECT_EQ(Tree(dir_ / Str(out)).at(""), "d 700");

  // Occupy the bare names and suffixes 1 to 99 of the next ten seconds.
  const time_t now = time(nullptr);
  for (int i = 0; i < 1000; ++i) {
    const std::string suffix = i % 100 ? std::to_string(i % 100) : "";
    qktest::WriteFile("QKtemp" + std::to_string(now + i / 100) + suffix, "");
  }
  ASSERT_TRUE(CQKFile::GetTempFilename(out, missing));
  std::smatch seconds;
  const std::string name = Str(out);
  ASSERT_TRUE(std::regex_match(name, seconds, std::regex("QKtemp(\\d+)100")));
  EXPECT_TRUE(std::stol(seconds[1]) >= now && std::stol(seconds[1]) < now + 10);
  EXPECT_EQ(Tree(name).at(""), "f 640 ");
  for (time_t t = now; t < now + 10; ++t) {
    qktest::WriteFile("QKtemp" + std::to_string(t) + "100", "");
  }
  EXPECT_FALSE(CQKFile::GetTempFilename(out, missing));
}

}  // namespace
