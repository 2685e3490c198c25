#include "backup/WVZip.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fs/qk_interrupt.h"
#include "fs/qk_progress.h"
#include "tests/support/qk_test_support.h"

namespace {

using qktest::MakeTree;
using qktest::ScratchDir;
using Names = std::vector<std::string>;

struct Entry {
  std::string name, time, data;
  size_t stored;  // compressed size
};

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// An independent reader that fails unless every entry is deflated, flagged
// as UTF-8 exactly when its name is UTF-8 beyond ASCII, its local header
// lies where the previous entry's data ends, agrees with the central
// directory and carries a zip64 extra field with the real sizes, and no
// entry precedes its directory's. Prints "name time data stored" in name
// order, with name and data in hex and the data checked by CRC.
const char kReader[] =
    "import struct, sys, zipfile\n"
    "def utf8(n):\n"
    "  try:\n"
    "    return not n.isascii() and len(n.decode()) > 0\n"
    "  except UnicodeDecodeError:\n"
    "    return False\n"
    "z = zipfile.ZipFile(sys.argv[1])\n"
    "raw = open(sys.argv[1], \"rb\").read()\n"
    "names, seen, at, out = set(z.namelist()), set(), 0, []\n"
    "for i in z.infolist():\n"
    "  n = i.filename.encode(\"utf-8\" if i.flag_bits else \"cp437\")\n"
    "  flag = 0x800 if utf8(n) else 0\n"
    "  h = struct.unpack_from(\"<IHHHIIIIHH\", raw, at)\n"
    "  assert (i.header_offset, i.compress_type, i.flag_bits) == (at, 8, flag)\n"
    "  assert h[:4] == (0x04034b50, 45, flag, 8), i\n"
    "  assert h[5:] == (i.CRC, i.compress_size, i.file_size, len(n), 20), i\n"
    "  assert raw[at + 30:at + 50 + len(n)] == n + struct.pack(\"<HHQQ\",\n"
    "      1, 16, i.file_size, i.compress_size), i\n"
    "  parent = i.filename[:i.filename.rstrip(\"/\").rfind(\"/\") + 1]\n"
    "  assert parent in seen or parent not in names, i\n"
    "  seen.add(i.filename)\n"
    "  at += 50 + len(n) + i.compress_size\n"
    "  t = \"%d-%02d-%02dT%02d:%02d:%02d\" % i.date_time\n"
    "  out.append((n, t, z.read(i), i.compress_size))\n"
    "assert raw[at:at + 4] in (b\"PK\\1\\2\", b\"PK\\5\\6\")\n"
    "for n, t, data, stored in sorted(out):\n"
    "  print(n.hex(), t, \"x\" + data.hex(), stored)\n";

// The entries in name order, once the reader and unzip find nothing wrong
// (an empty archive only earns unzip's warning).
std::vector<Entry> ReadBack(const std::string& zip) {
  const std::string python = "python3 -c '" + std::string(kReader) + "' ";
  FILE* pipe = popen((python + "'" + zip + "'").c_str(), "r");
  std::string out;
  char chunk[65536];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
  EXPECT_EQ(0, pclose(pipe)) << zip;
  const std::string unzip = "unzip -tqq '" + zip + "' >/dev/null 2>&1";
  EXPECT_EQ(out.empty() ? 1 : 0, WEXITSTATUS(system(unzip.c_str()))) << zip;
  std::vector<Entry> entries;
  std::istringstream lines(out);
  std::string name, time, data;
  for (size_t stored; lines >> name >> time >> data >> stored;) {
    entries.push_back({Unhex(name), time, Unhex(data.substr(1)), stored});
  }
  return entries;
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

// The source's own name is multi-byte too, so its prefix is cut in bytes;
// a Latin-1 name ("\xe9t\xe9") keeps its bytes and gets no UTF-8 flag.
TEST(WVZipTest, NamingModes) {
  ScratchDir dir;
  const std::string source = dir / "sr\xc3\xa7", e = "\xc3\xa9/";
  const std::string day = "\xe6\x97\xa5\xe6\x9c\xac", latin = "\xe9t\xe9";
  ASSERT_TRUE(MakeTree(source + "/", {{"", "d 755"}, {"a", "d 755"},
      {"a/b", "d 755"}, {"a/b/f", "f 644 1"}, {"a/x", "f 644 2"},
      {e, "d 755"}, {e + "x", "f 644 3"}, {e + day, "f 644 4"},
      {latin, "f 644 5"}}));
  const struct {
    const char* tail;
    bool relative, directories;
    Names names;
  } cases[] = {
      {"/", true, true,
       {"a/", "a/b/", "a/b/f", "a/x", e, e + "x", e + day, latin}},
      {"", true, false,
       {"/a/b/f", "/a/x", "/" + e + "x", "/" + e + day, "/" + latin}},
      {"/", false, false, {"f", "x", "x", day, latin}},
      {"", false, true, {"a/", "b/", "f", "x", "x", e, day, latin}},
      {"/a/x", true, true, {"x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tail << c.relative << c.directories);
    ASSERT_EQ("ok", Zip(source + c.tail, dir / "out.zip", c.relative,
                        c.directories));
    Names names;
    for (const Entry& entry : ReadBack(dir / "out.zip")) {
      names.push_back(entry.name);
    }
    EXPECT_EQ(c.names, names);
  }
}

// Root reads everything, so this runs as the unprivileged user, in a
// half-hour zone without daylight saving that only the child process gets:
// both moments fall on the next day locally, and both odd seconds round down
// to the MS-DOS resolution. A FIFO, reached directly or through a link, is
// left out without being opened (opening it would block).
TEST(WVZipTest, EntriesAreDatedLocallyAndUnreadableOrSpecialOnesLeftOut) {
  ScratchDir dir;
  ASSERT_TRUE(MakeTree(dir / "src", {{"", "d 755"}, {"/f", "f 644 x"},
      {"/g", "d 755"}, {"/secret", "f 200 no"}, {"/shut", "d 300"},
      {"/shut/f", "f 644 f"}, {"/link", "l pipe"}}));
  ASSERT_EQ(0, mkfifo((dir / "src/pipe").c_str(), 0644));
  for (const auto& [name, mtime] :
       {std::make_pair("/f", 1700000001), {"/g", 1234567891}}) {
    const struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimes((dir / "src" + name).c_str(), times));
  }
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
  ASSERT_TRUE(MakeTree(dir.path(),
                       {{"/disk/b.zip", "f 644 stale"}, {"/src", "d 755"}}));
  ASSERT_EQ("ok", Zip(dir / "src/", dir / "disk/b.zip"));
  EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(18, '\0'),
            qktest::ReadFile(dir / "disk/b.zip"));
  EXPECT_TRUE(ReadBack(dir / "disk/b.zip").empty());

  // Around the 16384-byte read buffer: nothing, one block, one byte over.
  const std::map<std::string, std::string> files = {{"empty", ""},
      {"block", qktest::Pattern(16384)}, {"over", qktest::Pattern(16385)}};
  for (const auto& [name, data] : files) {
    qktest::WriteFile(dir / "src/" + name, data);
  }
  ASSERT_EQ("ok", Zip(dir / "src/", dir / "disk/b.zip"));
  std::map<std::string, std::string> contents;
  for (const Entry& e : ReadBack(dir / "disk/b.zip")) contents[e.name] = e.data;
  EXPECT_EQ(files, contents);
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

// An archive it replaces lends the new one its owner, group and mode, which
// the umask may narrow; a new one gets 0666 less the umask.
TEST(WVZipTest, ArchivePermissions) {
  ScratchDir dir;
  ASSERT_TRUE(MakeTree(dir / "src", {{"", "d 755"}, {"/f", "f 644 f"}}));
  const struct {
    int previous;  // -1: no earlier archive
    uid_t owner;
    mode_t mask, expected;
  } cases[] = {
      {-1, 0, 022, 0644}, {-1, 0, 077, 0600}, {0600, qktest::kNobody, 022, 0600},
      {0664, qktest::kNobody, 002, 0664}, {0666, 0, 027, 0640},
  };
  const std::string zip = dir / "out.zip";
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.previous << " " << c.mask);
    unlink(zip.c_str());
    if (c.previous != -1) {
      qktest::WriteFile(zip, "earlier");
      ASSERT_EQ(0, chmod(zip.c_str(), c.previous));
      ASSERT_EQ(0, chown(zip.c_str(), c.owner, c.owner));
    }
    const mode_t saved = umask(c.mask);
    const std::string result = Zip(dir / "src/", zip);
    umask(saved);
    ASSERT_EQ("ok", result);
    struct stat st;
    ASSERT_EQ(0, stat(zip.c_str(), &st));
    EXPECT_EQ(c.expected, st.st_mode & 07777);
    EXPECT_EQ(std::make_pair(c.owner, c.owner), std::make_pair(st.st_uid, st.st_gid));
  }
}

// Counts the bytes reported, notes the mode of the archive being built, and
// asks the run to stop after `stopAfter` reports (0: never).
class Watcher : public QKProgressSink {
 public:
  Watcher(const std::string& dir, int stopAfter) : dir_(dir), stopAfter_(stopAfter) {
    qk_progress_set_sink(this);
  }
  ~Watcher() override {
    qk_progress_set_sink(nullptr);
    qk_interrupt_clear();
  }
  void Advance(uint64_t done) override {
    bytes += done;
    for (const auto& [name, entry] : qktest::Tree(dir_)) {
      if (name.find("/.qkzip-") == 0) building = entry.substr(0, 5);
    }
    if (++reports == stopAfter_) qk_interrupt_raise(SIGTERM);
  }
  void SetTotal(uint64_t) override {}

  uint64_t bytes = 0;
  int reports = 0;
  std::string building;

 private:
  std::string dir_;
  int stopAfter_;
};

// Text shrinks; random bytes are stored, never grown by more than deflate's
// block headers. Every byte read is reported while the archive is private,
// and a stop asked before the first entry or between two blocks of a file
// leaves the earlier archive as it was.
TEST(WVZipTest, CompressionProgressAndInterruption) {
  ScratchDir dir;
  std::mt19937 random(11);
  std::string noise(100000, '\0'), text;
  for (char& c : noise) c = static_cast<char>(random());
  while (text.size() < 100000) text += "line " + std::to_string(random() % 1000) + "\n";
  ASSERT_TRUE(MakeTree(dir.path(), {{"/out", "d 755"}, {"/out/b.zip", "f 644 earlier"},
      {"/src", "d 755"}, {"/src/noise", "f 644 " + noise}, {"/src/text", "f 644 " + text}}));
  {
    Watcher watcher(dir / "out", 0);
    ASSERT_EQ("ok", Zip(dir / "src/", dir / "out/b.zip"));
    EXPECT_EQ(noise.size() + text.size(), watcher.bytes);
    EXPECT_EQ("f 600", watcher.building);
  }
  std::map<std::string, size_t> stored;
  for (const Entry& e : ReadBack(dir / "out/b.zip")) stored[e.name] = e.stored;
  EXPECT_LT(stored["text"], text.size() / 4);
  EXPECT_LE(stored["noise"], noise.size() + 64);

  const auto before = qktest::Tree(dir.path());
  for (int stopAfter : {-1, 1}) {
    SCOPED_TRACE(stopAfter);
    Watcher watcher(dir / "out", stopAfter);
    if (stopAfter == -1) qk_interrupt_raise(SIGINT);
    EXPECT_EQ("Zip module: Interrupted.", Zip(dir / "src/", dir / "out/b.zip"));
    EXPECT_EQ(before, qktest::Tree(dir.path()));
  }
}

}  // namespace
