// File types and their registry, file references, the open-file dialog's seam and filter,
// the byte stream and the memory block.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "framework/file_dialog_filter.h"
#include "framework/files.h"
#include "framework/memoryblock.h"
#include "framework/testing.h"
#include "framework/thread.h"
#include "tests/support/held_to_permissions.h"

namespace {

using framework::BinaryStream;
using framework::FileType;
using framework::FileTypeEntry;
using framework::FindFileType;
using framework::FolderItem;
using framework::RegisteredFileTypes;

// ---------------------------------------------------------------------------------------
// File types

// The registry is process-wide; each case looks only at what it added after its start.
class FileTypeTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = RegisteredFileTypes().size(); }
  std::vector<FileTypeEntry> Added() const {
    auto all = RegisteredFileTypes();
    return std::vector<FileTypeEntry>(all.begin() + static_cast<long>(before_), all.end());
  }
  static void Fill(FileType& t, const std::string& name, const std::string& ext,
                   const std::string& type, const std::string& creator) {
    t.SetName(name);
    t.SetExtensions(ext);
    t.SetMacType(type);
    t.SetMacCreator(creator);
  }
  std::size_t before_ = 0;
};

TEST_F(FileTypeTest, ConversionRegistersTheFourStringsInTheirPlacesAndGivesName) {
  FileType t;
  Fill(t, "GEN", ".gen", "VGEN", "CRTR");
  EXPECT_FALSE(t.Registered());
  EXPECT_TRUE(Added().empty()) << "setting strings registers nothing";

  std::string name = t;
  EXPECT_EQ(name, "GEN");
  EXPECT_TRUE(t.Registered());
  auto added = Added();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].Name, "GEN");
  EXPECT_EQ(added[0].MacCreator, "CRTR");
  EXPECT_EQ(added[0].MacType, "VGEN");
  EXPECT_EQ(added[0].Extensions, ".gen");
  const FileTypeEntry* found = FindFileType("GEN");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->MacType, "VGEN");
}

TEST_F(FileTypeTest, RegistryKeepsRegistrationOrder) {
  FileType a, b, c;
  Fill(a, "BinConfig", "bin", "BINC", "");
  Fill(b, "S19", ".s19", "S19T", "");
  Fill(c, "ANZ", ".anz", "VANZ", "");
  // Converted in an order other than creation: the registry follows conversion.
  (void)static_cast<std::string>(c);
  (void)static_cast<std::string>(a);
  (void)static_cast<std::string>(b);
  auto added = Added();
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[0].Name, "ANZ");
  EXPECT_EQ(added[1].Name, "BinConfig");
  EXPECT_EQ(added[2].Name, "S19");
  EXPECT_EQ(added[1].Extensions, "bin");
  EXPECT_EQ(added[1].MacCreator, "");
}

TEST_F(FileTypeTest, ConvertingAgainRegistersNothingMore) {
  FileType t;
  Fill(t, "TXB", ".txb", "TXB", "");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(static_cast<std::string>(t), "TXB");
  EXPECT_EQ(Added().size(), 1u);
}

TEST_F(FileTypeTest, ChangingAnyStringWithdrawsAndTheNextConversionRegistersTheNewValues) {
  struct Case {
    const char* what;
    void (FileType::*set)(const std::string&);
    std::string FileTypeEntry::*field;
  } cases[] = {
      {"Name", &FileType::SetName, &FileTypeEntry::Name},
      {"Extensions", &FileType::SetExtensions, &FileTypeEntry::Extensions},
      {"MacType", &FileType::SetMacType, &FileTypeEntry::MacType},
      {"MacCreator", &FileType::SetMacCreator, &FileTypeEntry::MacCreator},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t start = RegisteredFileTypes().size();
    {
      FileType t;
      Fill(t, "RXB", ".rxb", "RXB", "");
      (void)static_cast<std::string>(t);
      ASSERT_EQ(RegisteredFileTypes().size(), start + 1);

      (t.*c.set)("changed");
      EXPECT_FALSE(t.Registered());
      EXPECT_EQ(RegisteredFileTypes().size(), start) << "withdrawn under the name it had";
      EXPECT_EQ(FindFileType("RXB"), nullptr);

      (void)static_cast<std::string>(t);
      auto all = RegisteredFileTypes();
      ASSERT_EQ(all.size(), start + 1);
      EXPECT_EQ(all.back().*c.field, "changed");
    }
    EXPECT_EQ(RegisteredFileTypes().size(), start);
  }
}

TEST_F(FileTypeTest, SettingAStringOfAnUnregisteredTypeLeavesOthersOfTheSameNameAlone) {
  FileType registered, other;
  Fill(registered, "sx", ".sx", "SXT", "");
  (void)static_cast<std::string>(registered);
  Fill(other, "sx", ".sx", "SXT", "");  // never converted
  other.SetMacType("XXXX");
  ASSERT_NE(FindFileType("sx"), nullptr);
  EXPECT_EQ(FindFileType("sx")->MacType, "SXT");
  EXPECT_EQ(Added().size(), 1u);
}

TEST_F(FileTypeTest, DestroyingWithdrawsOnlyItsOwnRegistration) {
  auto kept = std::make_unique<FileType>();
  Fill(*kept, "kept", ".k", "KEPT", "");
  (void)static_cast<std::string>(*kept);
  {
    FileType gone;
    Fill(gone, "gone", ".g", "GONE", "");
    (void)static_cast<std::string>(gone);
    FileType never;
    Fill(never, "kept", ".k", "KEPT", "");  // same name, not registered
    ASSERT_EQ(Added().size(), 2u);
  }
  auto added = Added();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].Name, "kept");
  kept.reset();
  EXPECT_TRUE(Added().empty());
  EXPECT_EQ(FindFileType("kept"), nullptr);
}

TEST_F(FileTypeTest, TwoTypesOfOneNameEachWithdrawTheirOwnRegistration) {
  FileType first;
  Fill(first, "dup", ".d1", "DUP1", "");
  (void)static_cast<std::string>(first);
  {
    FileType second;
    Fill(second, "dup", ".d2", "DUP2", "");
    (void)static_cast<std::string>(second);
    EXPECT_EQ(Added().size(), 2u);
  }
  ASSERT_EQ(Added().size(), 1u);
  ASSERT_NE(FindFileType("dup"), nullptr);
  EXPECT_EQ(FindFileType("dup")->MacType, "DUP1");
}

// ---------------------------------------------------------------------------------------
// The open-file dialog's filter

TEST(OpenDialogFilterTest, NameAndExtensionsWithOrWithoutTheirDot) {
  struct Case {
    FileTypeEntry type;
    std::string filter;
  } cases[] = {
      {{"BinConfig", "", "BINC", "bin"}, "BinConfig (*.bin)"},
      {{"GEN", "", "VGEN", ".gen"}, "GEN (*.gen)"},
      {{"ANZ", "", "VANZ", ".anz"}, "ANZ (*.anz)"},
      {{"text/plain", "", "TEXT", ".asc;.ascii;.c;txt"}, "text/plain (*.asc *.ascii *.c *.txt)"},
      {{"Odd", "", "ODD", " .a ; b ;; *.c;"}, "Odd (*.a *.b *.c)"},
      {{"None", "", "NONE", ""}, "None (*)"},
      {{"Dots", "", "DOTS", ".;."}, "Dots (*)"},
  };
  for (const auto& c : cases) EXPECT_EQ(framework::detail::OpenDialogFilter(c.type), c.filter);
}

TEST(OpenDialogFilterTest, ByNameUsesTheRegisteredType) {
  FileType bin;
  bin.SetName("BinConfigForFilter");
  bin.SetExtensions("bin");
  bin.SetMacType("BINC");
  bin.SetMacCreator("");
  EXPECT_EQ(framework::detail::OpenDialogFilter("BinConfigForFilter"), "All Files (*)")
      << "not registered yet";
  (void)static_cast<std::string>(bin);
  EXPECT_EQ(framework::detail::OpenDialogFilter("BinConfigForFilter"), "BinConfigForFilter (*.bin)");
  bin.SetExtensions("bin;.rbf");
  (void)static_cast<std::string>(bin);
  EXPECT_EQ(framework::detail::OpenDialogFilter("BinConfigForFilter"),
            "BinConfigForFilter (*.bin *.rbf)");
}

// ---------------------------------------------------------------------------------------
// The open-file dialog through its seam

class OpenDialogSeamTest : public ::testing::Test {
 protected:
  void TearDown() override { framework::testing::SetOpenFileDialog(nullptr); }
};

TEST_F(OpenDialogSeamTest, SeesTheFilterTextAndAnswersWithTheChosenPathOrNothing) {
  struct Case {
    std::string filter;
    std::optional<std::string> answer;
  } cases[] = {
      {"BinConfig", "/tmp/image.bin"},
      {"GEN", "/tmp/code file é.gen"},
      {"ANZ", std::nullopt},
      {"GEN", std::nullopt},
      {"BinConfig", std::string()},  // no path at all is no file either
  };
  for (const auto& c : cases) {
    std::vector<std::string> seen;
    framework::testing::SetOpenFileDialog([&](const std::string& filter) {
      seen.push_back(filter);
      return c.answer;
    });
    auto item = framework::GetOpenFolderItem(c.filter);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], c.filter);
    if (c.answer && !c.answer->empty()) {
      ASSERT_NE(item, nullptr);
      EXPECT_EQ(item->NativePath(), *c.answer);
    } else {
      EXPECT_EQ(item, nullptr);
    }
  }
}

// A dialog runs a nested event loop, which must not run on a thread's fiber: asked from a
// thread, the dialog (here its seam) is answered on the main stack and the thread gets it.
class AskingThread : public framework::Thread {
 public:
  void Event_Run() override {
    item = framework::GetOpenFolderItem("ANZ");
    done = true;
  }
  std::shared_ptr<FolderItem> item;
  bool done = false;
};

TEST_F(OpenDialogSeamTest, AskedFromAThreadTheDialogRunsOnTheMainStack) {
  std::vector<bool> onThread;
  std::vector<std::string> seen;
  framework::testing::SetOpenFileDialog([&](const std::string& filter) {
    onThread.push_back(framework::OnThreadStack());
    seen.push_back(filter);
    return std::optional<std::string>("/tmp/x.anz");
  });
  AskingThread thread;
  thread.Run();
  ASSERT_TRUE(framework::testing::RunEventsUntil([&] { return thread.done; },
                                                 std::chrono::seconds(10)));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "ANZ");
  EXPECT_FALSE(onThread[0]);
  ASSERT_NE(thread.item, nullptr);
  EXPECT_EQ(thread.item->NativePath(), "/tmp/x.anz");
}

// ---------------------------------------------------------------------------------------
// Files on disk

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/files_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const auto& p : made_) {
      ::chmod(p.c_str(), 0600);
      ::unlink(p.c_str());
      ::rmdir(p.c_str());
    }
    ::rmdir(dir_.c_str());
  }
  std::string Path(const std::string& name) {
    std::string p = dir_ + "/" + name;
    made_.insert(made_.begin(), p);  // removed in reverse order of making
    return p;
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string p = Path(name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  std::string dir_;
  std::vector<std::string> made_;
};

std::string AllByteValues() {
  std::string s;
  for (int v = 0; v < 256; ++v) s.push_back(static_cast<char>(v));
  return s;
}

// Large enough to cross the stream's buffer several times, with no repeating period of a
// power of two so that a misplaced buffer shows.
std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

int OpenDescriptorCount() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return -1;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n - 1;  // the directory's own descriptor
}

// The access mode of the descriptor that refers to path, from /proc; -1 when none does.
int AccessModeOfDescriptorFor(const std::string& path) {
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return -1;
  int mode = -1;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (path != target) continue;
    std::ifstream info(std::string("/proc/self/fdinfo/") + e->d_name);
    std::string key, value;
    while (info >> key >> value)
      if (key == "flags:") mode = static_cast<int>(std::strtol(value.c_str(), nullptr, 8)) & O_ACCMODE;
  }
  ::closedir(d);
  return mode;
}

using FolderItemTest = TempDir;

TEST_F(FolderItemTest, NameExistsAndDirectory) {
  const std::string file = Write("image one.bin", "x");
  const std::string dir = Path("sub");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  struct Case {
    std::string path, name;
    bool exists, directory;
  } cases[] = {
      {file, "image one.bin", true, false},
      {dir, "sub", true, true},
      {dir + "/", "sub", true, true},
      {dir_ + "/missing.gen", "missing.gen", false, false},
      {"", "", false, false},
  };
  for (const auto& c : cases) {
    FolderItem f(c.path);
    EXPECT_EQ(f.NativePath(), c.path);
    EXPECT_EQ(f.Name(), c.name) << c.path;
    EXPECT_EQ(f.Exists(), c.exists) << c.path;
    EXPECT_EQ(f.Directory(), c.directory) << c.path;
  }
}

using BinaryStreamTest = TempDir;

TEST_F(BinaryStreamTest, ReadsEveryByteValueBackInOrder) {
  const std::string bytes = AllByteValues();
  auto s = BinaryStream::Open(FolderItem(Write("all.bin", bytes)), false);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Length(), 256u);
  for (int v = 0; v < 256; ++v) {
    ASSERT_FALSE(s->EOF_()) << "at " << v;
    EXPECT_EQ(s->Position(), static_cast<std::uint64_t>(v));
    EXPECT_EQ(s->ReadUInt8(), v);
  }
  EXPECT_TRUE(s->EOF_());
  EXPECT_EQ(s->Position(), 256u);
  EXPECT_FALSE(s->ReadError());
}

TEST_F(BinaryStreamTest, SettingThePositionReadsFromThereAcrossBufferBoundaries) {
  const std::string bytes = Pattern(200003);
  auto s = BinaryStream::Open(FolderItem(Write("big.bin", bytes)), false);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->Length(), bytes.size());
  const std::uint64_t positions[] = {0,     1,      255,    256,    65535,  65536, 65537,
                                     131071, 131072, 4,     200002, 100000, 65535, 0};
  for (std::uint64_t p : positions) {
    s->SetPosition(p);
    EXPECT_EQ(s->Position(), p);
    const std::uint64_t stop = std::min<std::uint64_t>(p + 300, bytes.size());
    for (std::uint64_t i = p; i < stop; ++i)
      ASSERT_EQ(s->ReadUInt8(), static_cast<std::uint8_t>(bytes[i])) << "from " << p << " at " << i;
    EXPECT_EQ(s->Position(), stop);
  }
  EXPECT_FALSE(s->ReadError());
}

TEST_F(BinaryStreamTest, ReadingAPageAgainGivesTheSameBytes) {
  const std::string bytes = Pattern(1000);
  auto s = BinaryStream::Open(FolderItem(Write("pages.bin", bytes)), false);
  ASSERT_NE(s, nullptr);
  std::string first, again;
  s->SetPosition(256);
  const std::uint64_t start = s->Position();
  for (int i = 0; i < 256; ++i) first.push_back(static_cast<char>(s->ReadUInt8()));
  s->SetPosition(start);
  for (int i = 0; i < 256; ++i) again.push_back(static_cast<char>(s->ReadUInt8()));
  EXPECT_EQ(first, bytes.substr(256, 256));
  EXPECT_EQ(again, first);
}

TEST_F(BinaryStreamTest, ReadingPastTheEndGivesZeroAndReadErrorAndMovesNothing) {
  auto s = BinaryStream::Open(FolderItem(Write("short.bin", "\x41\x42")), false);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->ReadUInt8(), 0x41);
  EXPECT_EQ(s->ReadUInt8(), 0x42);
  EXPECT_FALSE(s->ReadError());
  ASSERT_TRUE(s->EOF_());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s->ReadUInt8(), 0);
    EXPECT_TRUE(s->ReadError());
    EXPECT_TRUE(s->EOF_());
    EXPECT_EQ(s->Position(), 2u);
  }
  // The stream is still usable from a position inside the file.
  s->SetPosition(1);
  EXPECT_FALSE(s->EOF_());
  EXPECT_EQ(s->ReadUInt8(), 0x42);
}

TEST_F(BinaryStreamTest, AnEmptyFileIsAtItsEndAtOnce) {
  auto s = BinaryStream::Open(FolderItem(Write("empty.bin", "")), false);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Length(), 0u);
  EXPECT_TRUE(s->EOF_());
  EXPECT_FALSE(s->ReadError());
  EXPECT_EQ(s->ReadUInt8(), 0);
  EXPECT_TRUE(s->ReadError());
}

TEST_F(BinaryStreamTest, APositionBeyondTheEndIsTheEnd) {
  auto s = BinaryStream::Open(FolderItem(Write("ten.bin", "0123456789")), false);
  ASSERT_NE(s, nullptr);
  for (std::uint64_t p : {10ull, 11ull, 1ull << 40, ~0ull}) {
    s->SetPosition(p);
    EXPECT_EQ(s->Position(), p);
    EXPECT_TRUE(s->EOF_()) << p;
    EXPECT_EQ(s->ReadUInt8(), 0) << p;
    EXPECT_EQ(s->Position(), p);
  }
  EXPECT_TRUE(s->ReadError());
  s->SetPosition(9);
  EXPECT_FALSE(s->EOF_());
  EXPECT_EQ(s->ReadUInt8(), '9');
}

// Ways a file changes under an open stream, after its first read ahead.
enum class FileChange {
  None,
  Appended,
  CutShort,
  RewrittenInPlace,
  CopiedOver,
  ReplacedByRename,
  ReplacedKeepingABackup,
  Moved,
  FolderMadeUnsearchable,
  Removed,
  TouchedOnly
};

struct FileChangeCase {
  const char* name;
  FileChange change;
  // The stream reads on to the end, the file as it was opened: its bytes did not change
  // under the descriptor. Otherwise the next read ahead ends the stream.
  bool readsOnWhole;
};

void PrintTo(const FileChangeCase& c, std::ostream* os) { *os << c.name; }

class BinaryStreamChangeTest : public TempDir, public ::testing::WithParamInterface<FileChangeCase> {
 protected:
  // Writes the bytes over the file's start without cutting it, as an editor saving in place does.
  static void WriteInPlace(const std::string& path, const std::string& bytes, int extraFlags = 0) {
    const int fd = ::open(path.c_str(), O_WRONLY | extraFlags);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
};

// The stream has read ahead when the file changes: the bytes it read ahead are the file as it
// was. A change to the file's bytes (written, cut, copied over) or its removal is found at
// the next read ahead, well before the end, and ends the stream with a read error instead of
// going on with new bytes. What leaves the file's bytes as they were (moved, another renamed
// over its name while it keeps a name of its own, its folder closed to lookups) lets the
// stream read on to the end: the descriptor reads the file opened, whole and unmixed. A file
// renamed over a name it alone had is removed by that, and stops as a removal does.
TEST_P(BinaryStreamChangeTest, TheNextReadAheadFindsAChangeOfTheFileOpened) {
  const FileChangeCase& c = GetParam();
  const std::string bytes = Pattern(200003);
  const std::string sub = Path("sub");
  ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
  const std::string p = Write("sub/changing.bin", bytes);
  // A modification time well in the past, so that any change made now moves it, however
  // coarse the file system's clock.
  const timespec past[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), past, 0), 0);
  auto s = BinaryStream::Open(FolderItem(p), false);
  ASSERT_NE(s, nullptr);
  std::string read;
  for (int i = 0; i < 1000; ++i) read.push_back(static_cast<char>(s->ReadUInt8()));

  const std::string other(bytes.size(), 'x');
  // Root looks up names past a folder's permission bits unless held to them.
  std::optional<testsupport::HeldToPermissions> held;
  switch (c.change) {
    case FileChange::None: break;
    case FileChange::Appended: std::ofstream(p, std::ios::binary | std::ios::app) << "more"; break;
    case FileChange::CutShort: ASSERT_EQ(::truncate(p.c_str(), 150000), 0); break;
    case FileChange::RewrittenInPlace: ASSERT_NO_FATAL_FAILURE(WriteInPlace(p, other)); break;
    case FileChange::CopiedOver: ASSERT_NO_FATAL_FAILURE(WriteInPlace(p, other, O_TRUNC)); break;
    case FileChange::ReplacedByRename:
    case FileChange::ReplacedKeepingABackup: {
      // As an editor saves: the new text to a file of its own, renamed over the name; one
      // that keeps a backup first gives the old file the backup's name.
      if (c.change == FileChange::ReplacedKeepingABackup) {
        ASSERT_EQ(::rename(p.c_str(), Path("sub/changing.bin~").c_str()), 0);
      }
      const std::string q = Write("sub/new.bin", other);
      ASSERT_EQ(::utimensat(AT_FDCWD, q.c_str(), past, 0), 0);
      ASSERT_EQ(::rename(q.c_str(), p.c_str()), 0);
      break;
    }
    case FileChange::Moved: ASSERT_EQ(::rename(p.c_str(), Path("sub/moved.bin").c_str()), 0); break;
    case FileChange::FolderMadeUnsearchable:
      held.emplace();
      ASSERT_TRUE(held->Ok()) << "root could not give up looking up names past the permissions";
      ASSERT_EQ(::chmod(sub.c_str(), 0600), 0);
      break;
    case FileChange::Removed: ASSERT_EQ(::unlink(p.c_str()), 0); break;
    case FileChange::TouchedOnly: ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), nullptr, 0), 0); break;
  }
  while (!s->EOF_() && read.size() < bytes.size() + 10) {
    const std::uint8_t b = s->ReadUInt8();
    if (!s->ReadError()) read.push_back(static_cast<char>(b));
  }
  ASSERT_EQ(::chmod(sub.c_str(), 0700), 0);
  ASSERT_LE(read.size(), bytes.size());
  EXPECT_TRUE(read == bytes.substr(0, read.size())) << "bytes other than the file's as it was opened";
  if (c.readsOnWhole) {
    EXPECT_EQ(read.size(), bytes.size());
    EXPECT_FALSE(s->ReadError());
    return;
  }
  EXPECT_TRUE(s->ReadError());
  EXPECT_LT(read.size(), 150000u) << "the change was not seen at the next read ahead";
  EXPECT_EQ(s->ReadUInt8(), 0);
  // Going back to what was read ahead gives nothing either: the stream is spent.
  s->SetPosition(0);
  EXPECT_EQ(s->ReadUInt8(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, BinaryStreamChangeTest,
    ::testing::Values(FileChangeCase{"Unchanged", FileChange::None, true},
                      FileChangeCase{"Appended", FileChange::Appended, false},
                      FileChangeCase{"CutShort", FileChange::CutShort, false},
                      FileChangeCase{"RewrittenInPlace", FileChange::RewrittenInPlace, false},
                      FileChangeCase{"CopiedOver", FileChange::CopiedOver, false},
                      FileChangeCase{"ReplacedByRename", FileChange::ReplacedByRename, false},
                      FileChangeCase{"ReplacedKeepingABackup", FileChange::ReplacedKeepingABackup, true},
                      FileChangeCase{"Moved", FileChange::Moved, true},
                      FileChangeCase{"FolderMadeUnsearchable", FileChange::FolderMadeUnsearchable, true},
                      FileChangeCase{"Removed", FileChange::Removed, false},
                      FileChangeCase{"TouchedOnly", FileChange::TouchedOnly, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A file with no name from the start (reached through /proc, as a memfd is) has lost
// nothing when the stream looks at it again: it reads to its end.
TEST_F(BinaryStreamTest, AFileWithNoNameWhenOpenedReadsToItsEnd) {
  const std::string bytes = Pattern(200003);
  const int fd = ::memfd_create("unnamed", 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  auto s = BinaryStream::Open(FolderItem("/proc/self/fd/" + std::to_string(fd)), false);
  ASSERT_NE(s, nullptr);
  std::string read;
  while (!s->EOF_()) read.push_back(static_cast<char>(s->ReadUInt8()));
  EXPECT_FALSE(s->ReadError());
  EXPECT_TRUE(read == bytes) << "read " << read.size() << " of " << bytes.size();
  s.reset();
  ::close(fd);
}

TEST_F(BinaryStreamTest, AFileCutShortAfterOpeningEndsTheStreamWithAReadError) {
  const std::string p = Write("shrinks.bin", Pattern(100000));
  auto s = BinaryStream::Open(FolderItem(p), false);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(::truncate(p.c_str(), 10), 0);
  std::uint64_t reads = 0;
  while (!s->EOF_() && reads < 200000) {
    s->ReadUInt8();
    ++reads;
  }
  EXPECT_TRUE(s->EOF_());
  EXPECT_TRUE(s->ReadError());
  EXPECT_LE(s->Position(), 10u);
  EXPECT_EQ(s->ReadUInt8(), 0);
}

TEST_F(BinaryStreamTest, OnlyRegularFilesOpen) {
  const std::string dir = Path("a directory");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  const std::string fifo = Path("a fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* what;
    std::string path;
  } cases[] = {
      {"directory", dir},
      {"missing file", dir_ + "/missing.bin"},
      {"empty path", ""},
      {"fifo without a writer", fifo},  // must neither open nor hang
      {"character device", "/dev/null"},
  };
  for (const auto& c : cases) EXPECT_EQ(BinaryStream::Open(FolderItem(c.path), false), nullptr) << c.what;
}

TEST_F(BinaryStreamTest, AFileWithoutReadPermissionDoesNotOpen) {
  const std::string p = Write("locked.bin", "secret");
  // Root reads past the permission bits unless held to them.
  testsupport::HeldToPermissions held;
  ASSERT_TRUE(held.Ok()) << "root could not give up reading past the permissions";
  ASSERT_EQ(::chmod(p.c_str(), 0), 0);
  EXPECT_EQ(BinaryStream::Open(FolderItem(p), false), nullptr);
}

TEST_F(BinaryStreamTest, OpensReadOnlyAndCloseReleasesTheFile) {
  const std::string p = Write("ro.bin", "xyz");
  const int before = OpenDescriptorCount();
  auto s = BinaryStream::Open(FolderItem(p), false);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(OpenDescriptorCount(), before + 1);
  EXPECT_EQ(AccessModeOfDescriptorFor(p), O_RDONLY);
  s->Close();
  EXPECT_EQ(OpenDescriptorCount(), before);
  EXPECT_EQ(AccessModeOfDescriptorFor(p), -1);
  EXPECT_TRUE(s->EOF_());
  EXPECT_EQ(s->ReadUInt8(), 0);
  EXPECT_TRUE(s->ReadError());
  s->Close();  // closing twice is harmless
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(BinaryStreamTest, DestroyingTheStreamClosesIt) {
  const std::string p = Write("d.bin", "xyz");
  const int before = OpenDescriptorCount();
  {
    auto s = BinaryStream::Open(FolderItem(p), false);
    ASSERT_NE(s, nullptr);
    s->ReadUInt8();
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(BinaryStreamTest, AReadOnlyFileOpensForReading) {
  const std::string p = Write("readonly.bin", "r");
  ASSERT_EQ(::chmod(p.c_str(), 0444), 0);
  auto s = BinaryStream::Open(FolderItem(p), false);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->ReadUInt8(), 'r');
}

// ---------------------------------------------------------------------------------------
// The memory block

TEST(MemoryBlockTest, StartsZeroedAndKeepsEveryByteValue) {
  framework::MemoryBlock m(256);
  ASSERT_EQ(m.Size(), 256u);
  for (std::size_t i = 0; i < 256; ++i) EXPECT_EQ(m.Byte(i), 0) << i;
  for (std::size_t i = 0; i < 256; ++i) m.SetByte(i, static_cast<std::uint8_t>(255 - i));
  for (std::size_t i = 0; i < 256; ++i) EXPECT_EQ(m.Byte(i), 255 - i) << i;
}

TEST(MemoryBlockTest, StringValueGivesTheBytesUnchanged) {
  framework::MemoryBlock m(256);
  const std::string bytes("\x0D\x0A\x00\xFF\x80\x41", 6);
  for (std::size_t i = 0; i < bytes.size(); ++i) m.SetByte(10 + i, static_cast<std::uint8_t>(bytes[i]));
  EXPECT_EQ(m.StringValue(10, 6), bytes);
  EXPECT_EQ(m.StringValue(10, 6, framework::Encodings::ASCII), bytes);
  EXPECT_EQ(m.StringValue(12, 1).size(), 1u) << "an embedded 0x00 is kept";
  EXPECT_EQ(m.StringValue(0, 0), "");
  EXPECT_EQ(m.StringValue(256, 0), "");
  EXPECT_EQ(m.StringValue(0, 256).size(), 256u);
}

TEST(MemoryBlockTest, EveryAccessOutsideTheBlockThrows) {
  framework::MemoryBlock m(256);
  const std::size_t huge = static_cast<std::size_t>(-1);
  EXPECT_THROW(m.Byte(256), framework::OutOfBoundsException);
  EXPECT_THROW(m.Byte(huge), framework::OutOfBoundsException);
  EXPECT_THROW(m.SetByte(256, 1), framework::OutOfBoundsException);
  EXPECT_THROW(m.SetByte(huge, 1), framework::OutOfBoundsException);
  EXPECT_THROW(m.StringValue(0, 257), framework::OutOfBoundsException);
  EXPECT_THROW(m.StringValue(200, 57), framework::OutOfBoundsException);
  EXPECT_THROW(m.StringValue(257, 0), framework::OutOfBoundsException);
  EXPECT_THROW(m.StringValue(1, huge), framework::OutOfBoundsException) << "no wrap-around";
  EXPECT_THROW(m.StringValue(huge, 2), framework::OutOfBoundsException);
  EXPECT_NO_THROW(m.Byte(255));
  EXPECT_NO_THROW(m.StringValue(200, 56));
  // A failed write changes nothing.
  for (std::size_t i = 0; i < 256; ++i) EXPECT_EQ(m.Byte(i), 0);

  framework::MemoryBlock empty(0);
  EXPECT_THROW(empty.Byte(0), framework::OutOfBoundsException);
  EXPECT_EQ(empty.StringValue(0, 0), "");
}

}  // namespace
