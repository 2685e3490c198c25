#include "backup/WVZip.h"

#include <map>
#include <random>
#include <sstream>
#include <string>

#include "tests/support/qk_test_support.h"

namespace {

using qktest::MakeTree;
using WVZipTest = qktest::ScratchTest;
using Entries = std::map<std::string, std::pair<size_t, std::string>>;

// Fails unless every entry is deflated and flagged as UTF-8 exactly when
// its name is UTF-8 beyond ASCII; prints, for each entry, the sizes of its
// name, compressed data and data, then the name and the data (checked by
// CRC) as they are.
const char kReader[] =
    "import sys, zipfile\n"
    "z = zipfile.ZipFile(sys.argv[1])\n"
    "for i in z.infolist():\n"
    "  n = i.filename.encode('utf-8' if i.flag_bits else 'cp437')\n"
    "  try:\n"
    "    utf8 = not n.isascii() and bool(n.decode())\n"
    "  except UnicodeDecodeError:\n"
    "    utf8 = False\n"
    "  assert (i.compress_type, i.flag_bits) == (8, 0x800 if utf8 else 0), i\n"
    "  sys.stdout.buffer.write(b'%d %d %d ' % (len(n), i.compress_size,\n"
    "      i.file_size) + n + z.read(i))\n";

// Name to compressed size and data, once the reader and unzip find nothing
// wrong (an empty archive only earns unzip's warning).
Entries ReadBack(const std::string& zip) {
  int status;
  std::istringstream lines(qktest::Output(
      "python3 -c \"" + std::string(kReader) + "\" '" + zip + "'", &status));
  EXPECT_EQ(0, status) << zip;
  Entries entries;
  for (size_t name, stored, size; lines >> name >> stored >> size && lines.get();) {
    std::string bytes(name + size, '\0');
    lines.read(bytes.data(), bytes.size());
    entries[bytes.substr(0, name)] = {stored, bytes.substr(name)};
  }
  const std::string unzip = "unzip -tqq '" + zip + "' >/dev/null 2>&1";
  EXPECT_EQ(entries.empty(), WEXITSTATUS(system(unzip.c_str()))) << zip;
  return entries;
}

// "ok" and the error text on success (which leaves it empty), else the text.
std::string Zip(const std::string& source, const std::string& zip,
                bool relativeNames = true, bool directoryEntries = true,
                CQKRunContext& context = CQKRunContext::Quiet(),
                mode_t mask = 022) {
  CWVZip zipper(context, mask);
  const bool ok = zipper.ZipFile(source.c_str(), zip.c_str(), relativeNames,
                                 directoryEntries);
  return (ok ? "ok" : "") + qktest::Str(zipper.GetErrorText());
}

// The source's own name is multi-byte too, so its prefix is cut in bytes;
// a Latin-1 name ("\xe9t\xe9") keeps its bytes and gets no UTF-8 flag.
TEST_F(WVZipTest, NamingModes) {
  const std::string source = dir_ / "sr\xc3\xa7", e = "\xc3\xa9/",
                    day = "\xe6\x97\xa5\xe6\x9c\xac", latin = "\xe9t\xe9";
  ASSERT_TRUE(MakeTree(source + "/", {{"", "d 755"}, {"a", "d 755"},
      {"a/b", "d 755"}, {"a/b/f", "f 644 1"}, {e, "d 755"}, {e + "x", "f 644 3"},
      {e + day, "f 644 4"}, {latin, "f 644 5"}}));
  const struct { const char* tail; bool relative, directories; std::string names; }
      kCases[] = {
          {"/", true, true,
           "a/ a/b/ a/b/f " + e + " " + e + "x " + e + day + " " + latin},
          {"", true, false, "/a/b/f /" + e + "x /" + e + day + " /" + latin},
          {"/", false, false, "f x " + day + " " + latin},
          {"", false, true, "a/ b/ f x " + e + " " + day + " " + latin},
          {"/a/b/f", true, true, "f"}};
  for (const auto& c : kCases) {
    ASSERT_EQ("ok", Zip(source + c.tail, dir_ / "out.zip", c.relative, c.directories));
    std::string names;
    for (const auto& entry : ReadBack(dir_ / "out.zip")) names += " " + entry.first;
    EXPECT_EQ(" " + c.names, names) << c.tail << c.relative << c.directories;
  }
}

// An archive it replaces lends the new one its owner, group and mode, which
// the umask may narrow; a new one gets 0666 less the umask.
TEST_F(WVZipTest, ArchivePermissions) {
  ASSERT_TRUE(MakeTree(dir_ / "src", {{"", "d 755"}, {"/f", "f 644 f"}}));
  // The earlier archive's mode (-1: none) and owner, the creation mask, the
  // result.
  const struct { int previous; uid_t owner; mode_t mask; std::string result; }
      kCases[] = {{-1, 0, 022, "0:0 f 644"}, {-1, 0, 077, "0:0 f 600"},
                  {0600, qktest::kNobody, 022, "65534:65534 f 600"},
                  {0666, 0, 027, "0:0 f 640"}};
  const std::string zip = dir_ / "out.zip";
  for (const auto& c : kCases) {
    unlink(zip.c_str());
    if (c.previous != -1) {
      qktest::WriteFile(zip, "earlier");
      ASSERT_EQ(0, chmod(zip.c_str(), c.previous) | chown(zip.c_str(), c.owner, c.owner));
    }
    ASSERT_EQ("ok", Zip(dir_ / "src/", zip, true, true, CQKRunContext::Quiet(),
                        c.mask));
    EXPECT_EQ(qktest::Entry(zip, true).substr(0, c.result.size()), c.result);
  }
}

// An empty tree makes an empty archive. Files around the 16384-byte read
// buffer come back whole; text shrinks, random bytes are stored, never grown
// by more than deflate's block headers. Every byte read is reported while
// the archive is private, and a stop asked before the first entry or
// between two blocks of a file leaves the earlier archive as it was.
TEST_F(WVZipTest, ContentsProgressAndInterruption) {
  ASSERT_TRUE(MakeTree(dir_.path(), {{"/out", "d 755"}, {"/src", "d 755"}}));
  ASSERT_EQ("ok", Zip(dir_ / "src/", dir_ / "out/b.zip"));
  EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(18, '\0'),
            qktest::ReadFile(dir_ / "out/b.zip"));
  EXPECT_TRUE(ReadBack(dir_ / "out/b.zip").empty());
  std::mt19937 random(11);
  std::string noise(100000, '\0'), text;
  for (char& c : noise) c = char(random());
  while (text.size() < 100000) text += "line " + std::to_string(random() % 1000) + "\n";
  const std::map<std::string, std::string> files = {{"empty", ""},
      {"block", qktest::Pattern(16384)}, {"over", qktest::Pattern(16385)},
      {"noise", noise}, {"text", text}};
  for (const auto& [name, data] : files) qktest::WriteFile(dir_ / "src/" + name, data);
  {
    std::string building;  // the mode of the archive while it is written
    qktest::Progress progress(0, [&] {
      for (const auto& [name, entry] : qktest::Tree(dir_ / "out")) {
        if (name.find("/.qkzip-") == 0) building = entry.substr(0, 5);
      }
    });
    ASSERT_EQ("ok", Zip(dir_ / "src/", dir_ / "out/b.zip", true, true, progress));
    EXPECT_EQ(2 * 16384 + 1 + noise.size() + text.size(), progress.done);
    EXPECT_EQ("f 600", building);
  }
  Entries entries = ReadBack(dir_ / "out/b.zip");
  for (const auto& [name, data] : files) EXPECT_EQ(entries[name].second, data);
  EXPECT_LT(entries["text"].first, text.size() / 4);
  EXPECT_LE(entries["noise"].first, noise.size() + 64);
  const auto before = qktest::Tree(dir_.path());
  for (int stopAt : {-1, 1}) {  // -1: before anything
    qktest::Progress progress(stopAt);
    if (stopAt == -1) progress.stop = SIGINT;
    EXPECT_EQ("Zip module: Interrupted.",
              Zip(dir_ / "src/", dir_ / "out/b.zip", true, true, progress));
    EXPECT_EQ(before, qktest::Tree(dir_.path()));
  }
}

}  // namespace
