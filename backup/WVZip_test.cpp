#include "backup/WVZip.h"

#include <sys/time.h>

#include <cstdio>
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
using WVZipTest = qktest::ScratchTest;

struct Entry {
  std::string name, time, data;
  size_t stored;  // compressed size
};

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// Fails unless every entry is deflated and flagged as UTF-8 exactly when
// its name is UTF-8 beyond ASCII; prints "name time stored data", name and
// data in hex, the data checked by CRC.
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
    "  t = '%d-%02d-%02dT%02d:%02d:%02d' % i.date_time\n"
    "  print(n.hex(), t, i.compress_size, 'x' + z.read(i).hex())\n";

// The entries in the archive's order, once the reader and unzip find
// nothing wrong (an empty archive only earns unzip's warning).
std::vector<Entry> ReadBack(const std::string& zip) {
  FILE* pipe = popen(("python3 -c \"" + std::string(kReader) + "\" '" + zip +
                      "'").c_str(), "r");
  std::string out;
  char chunk[65536];
  while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
  EXPECT_EQ(0, pclose(pipe)) << zip;
  const std::string unzip = "unzip -tqq '" + zip + "' >/dev/null 2>&1";
  EXPECT_EQ(out.empty() ? 1 : 0, WEXITSTATUS(system(unzip.c_str()))) << zip;
  std::vector<Entry> entries;
  std::istringstream lines(out);
  std::string name, time, data;
  for (size_t stored; lines >> name >> time >> stored >> data;) {
    entries.push_back({Unhex(name), time, Unhex(data.substr(1)), stored});
  }
  return entries;
}

// Entry name to `field` of each entry.
std::map<std::string, std::string> Field(const std::string& zip,
                                         std::string Entry::*field) {
  std::map<std::string, std::string> fields;
  for (const Entry& e : ReadBack(zip)) fields[e.name] = e.*field;
  return fields;
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
TEST_F(WVZipTest, NamingModes) {
  const std::string source = dir_ / "sr\xc3\xa7", e = "\xc3\xa9/";
  const std::string day = "\xe6\x97\xa5\xe6\x9c\xac", latin = "\xe9t\xe9";
  ASSERT_TRUE(MakeTree(source + "/", {{"", "d 755"}, {"a", "d 755"},
      {"a/b", "d 755"}, {"a/b/f", "f 644 1"}, {e, "d 755"}, {e + "x", "f 644 3"},
      {e + day, "f 644 4"}, {latin, "f 644 5"}}));
  const struct { const char* tail; bool relative, directories; std::string names; }
      kCases[] = {
          {"/", true, true, "a/ a/b/ a/b/f " + e + " " + e + "x " + e + day + " " + latin},
          {"", true, false, "/a/b/f /" + e + "x /" + e + day + " /" + latin},
          {"/", false, false, "f x " + day + " " + latin},
          {"", false, true, "a/ b/ f x " + e + " " + day + " " + latin},
          {"/a/b/f", true, true, "f"},
      };
  for (const auto& c : kCases) {
    ASSERT_EQ("ok", Zip(source + c.tail, dir_ / "out.zip", c.relative,
                        c.directories));
    std::string names;
    for (const auto& [name, data] : Field(dir_ / "out.zip", &Entry::data)) {
      names += (names.empty() ? "" : " ") + name;
    }
    EXPECT_EQ(c.names, names) << c.tail << c.relative << c.directories;
  }
}

// Root reads everything, so this runs as the unprivileged user, in a
// half-hour zone without daylight saving that only the child process gets:
// both moments fall on the next day locally, and both odd seconds round down
// to the MS-DOS resolution. A FIFO, reached directly or through a link, is
// left out without being opened (opening it would block).
TEST_F(WVZipTest, EntriesAreDatedLocallyAndUnreadableOrSpecialOnesLeftOut) {
  ASSERT_TRUE(MakeTree(dir_ / "src", {{"", "d 755"}, {"/f", "f 644 x"},
      {"/g", "d 755"}, {"/secret", "f 200 no"}, {"/shut", "d 300"},
      {"/shut/f", "f 644 f"}, {"/link", "l pipe"}}));
  ASSERT_EQ(0, mkfifo((dir_ / "src/pipe").c_str(), 0644));
  for (const auto& [name, mtime] :
       {std::make_pair("/f", 1700000001), {"/g", 1234567891}}) {
    const struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimes((dir_ / "src" + name).c_str(), times));
  }
  qktest::ChownTree(dir_.path(), qktest::kNobody);
  ASSERT_EQ(0, qktest::RunAsNobody([&] {
    setenv("TZ", "QKT-5:30", 1);
    tzset();
    return Zip(dir_ / "src/", dir_ / "out.zip") == "ok" ? 0 : 1;
  }));
  EXPECT_EQ((std::map<std::string, std::string>{{"f", "2023-11-15T03:43:20"},
                                                {"g/", "2009-02-14T05:01:30"}}),
            Field(dir_ / "out.zip", &Entry::time));
}

// An archive it replaces lends the new one its owner, group and mode, which
// the umask may narrow; a new one gets 0666 less the umask.
TEST_F(WVZipTest, ArchivePermissions) {
  ASSERT_TRUE(MakeTree(dir_ / "src", {{"", "d 755"}, {"/f", "f 644 f"}}));
  const struct { int previous; uid_t owner; mode_t mask, expected; } kCases[] = {
      {-1, 0, 022, 0644},  // -1: no earlier archive
      {-1, 0, 077, 0600},
      {0600, qktest::kNobody, 022, 0600},
      {0666, 0, 027, 0640},
  };
  const std::string zip = dir_ / "out.zip";
  for (const auto& c : kCases) {
    unlink(zip.c_str());
    if (c.previous != -1) {
      qktest::WriteFile(zip, "earlier");
      ASSERT_EQ(0, chmod(zip.c_str(), c.previous) |
                   chown(zip.c_str(), c.owner, c.owner));
    }
    umask(c.mask);
    ASSERT_EQ("ok", Zip(dir_ / "src/", zip));
    struct stat st;
    ASSERT_EQ(0, stat(zip.c_str(), &st));
    EXPECT_EQ(std::vector<unsigned>({c.expected, c.owner, c.owner}),
              std::vector<unsigned>({st.st_mode & 07777u, st.st_uid, st.st_gid}))
        << c.previous << " " << c.mask;
  }
}

// Counts the bytes reported, notes the mode of the archive being built, and
// asks the run to stop at report `stopAt` (0: never).
class Watcher : public QKProgressSink {
 public:
  Watcher(const std::string& dir, int stopAt) : dir_(dir), stopAt_(stopAt) {
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
    if (++reports == stopAt_) qk_interrupt_raise(SIGTERM);
  }
  void SetTotal(uint64_t) override {}

  uint64_t bytes = 0;
  int reports = 0;
  std::string building;

 private:
  std::string dir_;
  int stopAt_;
};

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
    Watcher watcher(dir_ / "out", 0);
    ASSERT_EQ("ok", Zip(dir_ / "src/", dir_ / "out/b.zip"));
    EXPECT_EQ(2 * 16384 + 1 + noise.size() + text.size(), watcher.bytes);
    EXPECT_EQ("f 600", watcher.building);
  }
  std::map<std::string, size_t> stored;
  for (const Entry& e : ReadBack(dir_ / "out/b.zip")) stored[e.name] = e.stored;
  EXPECT_EQ(files, Field(dir_ / "out/b.zip", &Entry::data));
  EXPECT_LT(stored["text"], text.size() / 4);
  EXPECT_LE(stored["noise"], noise.size() + 64);

  const auto before = qktest::Tree(dir_.path());
  for (int stopAt : {-1, 1}) {
    Watcher watcher(dir_ / "out", stopAt);
    if (stopAt == -1) qk_interrupt_raise(SIGINT);
    EXPECT_EQ("Zip module: Interrupted.", Zip(dir_ / "src/", dir_ / "out/b.zip"));
    EXPECT_EQ(before, qktest::Tree(dir_.path()));
  }
}

}  // namespace
