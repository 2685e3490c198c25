#include "backup/WVZip.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/qk_test_support.h"

namespace {

using qktest::MakeTree;
using qktest::ScratchDir;
using Names = std::vector<std::string>;

// One entry as Python's zipfile reads it back, its data checked by CRC.
struct Entry {
  std::string name, time, data;
  uint64_t method = 0, flags = 0, size = 0, crc = 0;
};

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

uint64_t Le(const std::string& bytes, size_t at, size_t width) {
  if (at + width > bytes.size()) return ~0ull;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
  uint64_t value = 0;
  while (width-- > 0) value = value << 8 | p[width];
  return value;
}

// Names go back to their stored bytes (cp437 without the UTF-8 flag).
const char kReader[] =
    "import sys, zipfile\n"
    "z = zipfile.ZipFile(sys.argv[1])\n"
    "for i in z.infolist():\n"
    "  n = i.filename.encode(\"utf-8\" if i.flag_bits & 0x800 else \"cp437\")\n"
    "  print(n.hex(), i.compress_type, i.flag_bits, i.file_size, i.CRC,\n"
    "        \"%d-%02d-%02dT%02d:%02d:%02d\" % i.date_time,\n"
    "        \"x\" + z.read(i).hex())\n";

// Walks the local headers from the start of the file, as a streaming reader
// would: "name crc size" per entry, or where the walk went wrong.
Names LocalHeaders(const std::string& zip) {
  Names found;
  size_t at = 0;
  while (Le(zip, at, 4) == 0x04034b50) {
    const size_t extra = at + 30 + Le(zip, at + 26, 2);
    if (Le(zip, at + 4, 2) != 45 || Le(zip, at + 6, 2) != 0 ||
        Le(zip, at + 8, 2) != 8 || Le(zip, at + 28, 2) != 20 ||
        Le(zip, extra, 2) != 1 || Le(zip, extra + 2, 2) != 16) {
      return {"bad local header at " + std::to_string(at)};
    }
    // The sizes live in the zip64 extra field: uncompressed, then compressed.
    uint64_t size = Le(zip, at + 22, 4), packed = Le(zip, at + 18, 4);
    if (size == 0xFFFFFFFF) size = Le(zip, extra + 4, 8);
    if (packed == 0xFFFFFFFF) packed = Le(zip, extra + 12, 8);
    found.push_back(zip.substr(at + 30, extra - at - 30) + " " +
                    std::to_string(Le(zip, at + 14, 4)) + " " +
                    std::to_string(size));
    at = extra + 20 + packed;
  }
  return found;
}

// Python's view, once every entry is found deflated without flags, the local
// headers agree with the central directory in order, no entry precedes its
// directory's entry, and unzip finds nothing wrong (an empty archive only
// earns its warning).
std::vector<Entry> ReadBack(const std::string& zip) {
  const std::string python = "python3 -c '" + std::string(kReader) + "' ";
  FILE* pipe = popen((python + "'" + zip + "'").c_str(), "r");
  std::string out, name, data;
  char chunk[65536];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
  EXPECT_EQ(0, pclose(pipe)) << zip;
  std::vector<Entry> entries;
  Names central;
  std::set<std::string> all, seen;
  std::istringstream lines(out);
  for (Entry e; lines >> name >> e.method >> e.flags >> e.size >> e.crc >>
                e.time >> data;) {
    e.name = Unhex(name);
    e.data = Unhex(data.substr(1));
    EXPECT_EQ(std::make_pair(8ul, 0ul), std::make_pair(e.method, e.flags));
    entries.push_back(e);
    all.insert(e.name);
    central.push_back(e.name + " " + std::to_string(e.crc) + " " +
                      std::to_string(e.size));
  }
  EXPECT_EQ(central, LocalHeaders(qktest::ReadFile(zip)));
  for (const Entry& e : entries) {
    const size_t slash = e.name.rfind('/', e.name.size() - 2);
    const std::string parent = e.name.substr(0, slash + 1);
    EXPECT_EQ(all.count(parent), seen.count(parent)) << e.name;
    seen.insert(e.name);
  }
  const std::string unzip = "unzip -tqq '" + zip + "' >/dev/null 2>&1";
  EXPECT_EQ(entries.empty() ? 1 : 0, WEXITSTATUS(system(unzip.c_str()))) << zip;
  return entries;
}

Names SortedNames(const std::vector<Entry>& entries) {
  Names names;
  for (const Entry& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

// "ok" and the error text on success (which leaves it empty), else the text.
std::string Zip(const std::string& source, const std::string& zip,
                bool relativeNames = true, bool directoryEntries = true) {
  CWVZip zipper;
  const bool ok = zipper.ZipFile(source.c_str(), zip.c_str(), relativeNames,
                                 directoryEntries);
  const std::string text = zipper.GetErrorText().GetSafeStringPtr();
  return ok ? "ok" + text : text;
}

TEST(WVZipTest, EmptySourceGivesOnlyTheEndRecord) {
  ScratchDir dir;
  ASSERT_TRUE(MakeTree(dir / "src", {{"", "d 755"}}));
  ASSERT_EQ("ok", Zip(dir / "src/", dir / "out.zip"));
  EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(18, '\0'),
            qktest::ReadFile(dir / "out.zip"));
  EXPECT_TRUE(ReadBack(dir / "out.zip").empty());
}

// Around the 16384-byte read buffer: nothing, one block, one byte over.
TEST(WVZipTest, FileContentsAreDeflatedExactly) {
  ScratchDir dir;
  const std::map<std::string, std::string> files = {
      {"empty", ""}, {"block", qktest::Pattern(16384)},
      {"over", qktest::Pattern(16385)}};
  ASSERT_TRUE(MakeTree(dir / "src/", {{"", "d 755"}, {"empty", "f 644"},
      {"block", "f 644 " + files.at("block")},
      {"over", "f 644 " + files.at("over")}}));
  ASSERT_EQ("ok", Zip(dir / "src/", dir / "out.zip"));
  std::map<std::string, std::string> contents;
  for (const Entry& e : ReadBack(dir / "out.zip")) contents[e.name] = e.data;
  EXPECT_EQ(files, contents);
}

// The source's own name is multi-byte too, so its prefix is cut in bytes.
TEST(WVZipTest, NamingModes) {
  ScratchDir dir;
  const std::string source = dir / "sr\xc3\xa7", e = "\xc3\xa9/";
  const std::string day = "\xe6\x97\xa5\xe6\x9c\xac";
  ASSERT_TRUE(MakeTree(source + "/", {{"", "d 755"}, {"a", "d 755"},
      {"a/b", "d 755"}, {"a/b/f", "f 644 1"}, {"a/x", "f 644 2"},
      {e, "d 755"}, {e + "x", "f 644 3"}, {e + day, "f 644 4"}}));
  const struct {
    const char* tail;
    bool relative, directories;
    Names names;
  } cases[] = {
      {"/", true, true, {"a/", "a/b/", "a/b/f", "a/x", e, e + "x", e + day}},
      {"", true, false, {"/a/b/f", "/a/x", "/" + e + "x", "/" + e + day}},
      {"/", false, false, {"f", "x", "x", day}},
      {"", false, true, {"a/", "b/", "f", "x", "x", e, day}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tail << c.relative << c.directories);
    ASSERT_EQ("ok", Zip(source + c.tail, dir / "out.zip", c.relative,
                        c.directories));
    EXPECT_EQ(c.names, SortedNames(ReadBack(dir / "out.zip")));
  }
}

// A half-hour zone without daylight saving: both moments fall on the next
// day locally, and both odd seconds round down to the MS-DOS resolution.
TEST(WVZipTest, EntryTimeIsLocalModificationTime) {
  ScratchDir dir;
  ASSERT_TRUE(MakeTree(dir / "src", {{"", "d 755"}, {"/f", "f 644 x"},
                                     {"/g", "d 755"}}));
  for (const auto& [name, mtime] :
       {std::make_pair("/f", 1700000001), {"/g", 1234567891}}) {
    const struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimes((dir / "src" + name).c_str(), times));
  }
  // Only a child process gets the zone, so no other test runs in it.
  qktest::ChownTree(dir.path(), qktest::kNobody);
  ASSERT_EQ(0, qktest::RunAsNobody([&] {
    setenv("TZ", "QKT-5:30", 1);
    tzset();
    return Zip(dir / "src/", dir / "out.zip") == "ok" ? 0 : 1;
  }));
  std::map<std::string, std::string> times;
  for (const Entry& e : ReadBack(dir / "out.zip")) times[e.name] = e.time;
  EXPECT_EQ((std::map<std::string, std::string>{{"f", "2023-11-15T03:43:20"},
                                                {"g/", "2009-02-14T05:01:30"}}),
            times);
}

// Root reads everything, so this runs as the unprivileged user.
TEST(WVZipTest, UnreadableEntriesAreLeftOutSilently) {
  ScratchDir dir;
  ASSERT_TRUE(MakeTree(dir.path(), {{"/out", "d 755"}, {"/src", "d 755"},
      {"/src/ok", "f 644 ok"}, {"/src/secret", "f 200 no"},
      {"/src/open", "d 755"}, {"/src/open/f", "f 644 f"},
      {"/src/shut", "d 300"}, {"/src/shut/f", "f 644 f"}}));
  qktest::ChownTree(dir.path(), qktest::kNobody);
  EXPECT_EQ(0, qktest::RunAsNobody([&] {
    return Zip(dir / "src/", dir / "out/out.zip") == "ok" ? 0 : 1;
  }));
  EXPECT_EQ((Names{"ok", "open/", "open/f"}),
            SortedNames(ReadBack(dir / "out/out.zip")));
}

TEST(WVZipTest, UnusableDestinationCreatesNothing) {
  ScratchDir dir;
  ASSERT_TRUE(MakeTree(dir / "src", {{"", "d 755"}, {"/f", "f 644 f"}}));
  const auto before = qktest::Tree(dir.path());
  const std::string kOpen =
      "Zip module: Unable to open zip file for compression.\n";
  EXPECT_EQ(kOpen + "No such file or directory",
            Zip(dir / "src/", dir / "missing/out.zip"));
  EXPECT_EQ(kOpen + "Is a directory", Zip(dir / "src/", dir / "src"));
  EXPECT_EQ(before, qktest::Tree(dir.path()));
}

// Success replaces the archive; a full disk must not cost the previous one.
TEST(WVZipTest, ArchiveIsReplacedOnlyWhenComplete) {
  ScratchDir dir;
  qktest::Tmpfs disk(dir / "disk", "1m");
  ASSERT_TRUE(disk.mounted());
  ASSERT_TRUE(MakeTree(dir.path(), {{"/disk/b.zip", "f 644 stale"},
      {"/src", "d 755"}, {"/src/new", "f 644 new"}}));
  ASSERT_EQ("ok", Zip(dir / "src/", dir / "disk/b.zip"));
  EXPECT_EQ(Names{"new"}, SortedNames(ReadBack(dir / "disk/b.zip")));
  const auto before = qktest::Tree(dir / "disk");
  EXPECT_EQ(2u, before.size());  // the mount point and the archive

  // Random bytes do not compress, so this archive cannot fit.
  std::mt19937 random(7);
  std::string noise(1536 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  qktest::WriteFile(dir / "src/noise", noise);
  EXPECT_EQ("Zip module: Unable to write file into zip archive.",
            Zip(dir / "src/", dir / "disk/b.zip"));
  EXPECT_EQ(before, qktest::Tree(dir / "disk"));
}

// Beyond 65,535 entries readers need the zip64 end records to count them.
TEST(WVZipTest, ManyEntriesGetZip64EndRecords) {
  ScratchDir dir;
  const uint64_t kEntries = 70000;
  ASSERT_TRUE(MakeTree(dir / "src", {{"", "d 755"}}));
  for (uint64_t i = 0; i < kEntries; ++i) {
    qktest::WriteFile(dir / "src/" + std::to_string(i), "");
  }
  ASSERT_EQ("ok", Zip(dir / "src/", dir / "many.zip"));
  EXPECT_EQ(kEntries, ReadBack(dir / "many.zip").size());

  // The zip64 record, its locator, then the classic record.
  const std::string zip = qktest::ReadFile(dir / "many.zip");
  const size_t end = zip.size() - 22, locator = end - 20, record = locator - 56;
  EXPECT_EQ((std::vector<uint64_t>{0x06064b50, kEntries, kEntries, 0x07064b50,
                                   record, 0x06054b50, 0xFFFF, 0xFFFF}),
            (std::vector<uint64_t>{Le(zip, record, 4), Le(zip, record + 24, 8),
                                   Le(zip, record + 32, 8), Le(zip, locator, 4),
                                   Le(zip, locator + 8, 8), Le(zip, end, 4),
                                   Le(zip, end + 8, 2), Le(zip, end + 10, 2)}));
}

}  // namespace
