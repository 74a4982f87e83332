// Update files that are not what an upload expects, through the real program against the
// simulated instrument: a code file cut at every byte, random bytes of each kind, a file
// that vanishes, is replaced, is cut short or loses its read permission, a 200 MB image,
// and names with blanks and non-ASCII letters chosen in the real open-file dialog. In each
// case: no crash, no read past the end of the file, no partial page or record on the line,
// and a status text that says what happened.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "framework/files.h"
#include "framework/memoryblock.h"
#include "tests/support/held_to_permissions.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/painted_texts.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "tests/support/upload_kind.h"
#include "upload/record_reader.h"
#include "window/window1.h"

using namespace harness;
using testsupport::PaintedTexts;
using testsupport::BinFraming;
using testsupport::Frame;
using testsupport::InstrumentSim;
using testsupport::Plan;
using testsupport::Processor;
using testsupport::RecordFraming;
using testsupport::RecordsWire;
using testsupport::Session;
using testsupport::SrecOptions;
using testsupport::SrecRecords;
using testsupport::Stage;
using testsupport::Upload;

namespace {

using ThreadState = framework::Thread::ThreadState;

// The texts of one kind of upload.
struct Texts {
  std::string extension, errorOpening, loading, noS, fileError, loadDone;
};

Texts TextsOf(Upload u) {
  switch (u) {
    case Upload::Bin:
      return {"bin", "Error Opening .bin File", "Loading .bin File", "", ".bin File Error", ".bin File Load Done"};
    case Upload::Gen:
      return {"gen", "Error Opening .gen File", "Loading .gen File", ".gen No 'S' Error", ".gen File Error",
              ".gen File Load Done"};
    case Upload::Anz:
      return {"anz", "Error Opening .anz File", "Loading .anz File", ".anz No 'S' Error", ".anz File Error",
              ".anz File Load Done"};
  }
  return {};
}

const char* kAnzConfiguring = "Wait - ANZ Configuring";

// The .anz upload's configuration wait shows its text after the record loop's last one:
// takes it off the end of what the status label showed.
void DropTheConfigurationWait(Upload u, std::vector<std::string>& shown) {
  if (u != Upload::Anz) return;
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), kAnzConfiguring);
  shown.pop_back();
}

// What the program must send for an image, between "FPGAFile" and "FPGADone".
std::string BinWire(const std::string& image, std::size_t pages) { return "FPGAFile\r" + testsupport::PagesWire(image, pages); }

// The texts a label showed, in order: every status update redraws its label at once.
class FaultFilesTest : public testsupport::ProgramOnSimTest {
 protected:
  void SetUp() override { StartOnSim({.exposed = true}); }

  framework::Thread* Worker(Upload u) const { return testsupport::WorkerOf(w, u); }
  QWidget* Launcher(Upload u) const { return testsupport::LauncherOf(w, u)->Widget(); }
  void Press(Upload u, const std::string& path) {
    seen->nextFile = path;
    Click(Launcher(u));
  }
  // The run is over, or for .anz its record loop is and the configuration wait has begun.
  bool LoopEnded(Upload u) const {
    return Worker(u)->State() == ThreadState::NotRunning ||
           (u == Upload::Anz && w->StatusText()->Text() == kAnzConfiguring);
  }
  ::testing::AssertionResult RunToLoopEnd(Upload u, std::chrono::milliseconds limit = 20s) {
    return RunUntilOrTell([&] { return LoopEnded(u); }, limit, "the record loop did not end");
  }
};

// --- a code file cut at every byte ---

// S0, an S1 and an S2 record, then S9, with LF, an empty line and CR LF between them.
std::string SmallMixedGenFile() {
  SrecOptions first;
  first.startAddress.reset();
  const std::vector<std::string> a = SrecRecords(testsupport::PatternBytes(32, 401), first);
  SrecOptions second;
  second.header = "";
  second.addressLength = 3;
  second.blockSize = 31;
  second.offset = 0x10000;
  const std::vector<std::string> b = SrecRecords(testsupport::PatternBytes(31, 402), second);
  if (a.size() != 2 || b.size() != 2 || a[1].size() != 74 || b[0].size() != 74 || b[0][1] != '2')
    throw std::runtime_error("srec_cat wrote other records than expected");
  return a[0] + "\n" + a[1] + "\n\n" + b[0] + "\r\n" + b[1] + "\n";
}

// What a file cut after `length` bytes must give, by where the cut falls.
struct CutOutcome {
  std::size_t complete = 0;  // data records wholly in the file
  enum { AtARecordStart, InsideARecord, AfterTheEndRecord } where = AtARecordStart;
};

CutOutcome OutcomeOfCut(const std::string& text, std::size_t length) {
  CutOutcome o;
  std::size_t at = 0;
  for (;;) {
    while (at < text.size() && (text[at] == '\r' || text[at] == '\n')) ++at;
    if (at >= text.size() || length <= at) return o;
    // What the upload reads of the record before its next pass: an S0 all of it, a data
    // record 75 characters from its "S", the end record its "S9".
    const std::size_t lineEnd = text.find_first_of("\r\n", at);
    const char type = text[at + 1];
    const std::size_t need = type == '0' ? lineEnd - at : type == '9' ? 2 : 75;
    if (length < at + need) {
      o.where = CutOutcome::InsideARecord;
      return o;
    }
    if (type == '9') {
      o.where = CutOutcome::AfterTheEndRecord;
      return o;
    }
    if (type != '0') ++o.complete;
    at += need;
  }
}

// Every cut of two files: CR LF throughout (S0, two S1, S9), and the mixed one above.
TEST_F(FaultFilesTest, EveryPrefixOfAGenFileSendsWholeRecordsOnlyAndSaysWhereItStopped) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"CR LF", testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 36))},
      {"mixed", SmallMixedGenFile()},
  };
  RecordFraming framing(sim);
  const Texts t = TextsOf(Upload::Gen);
  std::string wire;
  for (const auto& [name, text] : files) {
    const auto records = testsupport::RecordsOfAlignedFile(text);
    ASSERT_EQ(records.size(), 2u) << name;
    for (std::size_t length = 0; length <= text.size(); ++length) {
      SCOPED_TRACE("the " + name + " file cut after " + std::to_string(length) + " of " +
                   std::to_string(text.size()) + " bytes");
      const CutOutcome o = OutcomeOfCut(text, length);
      const std::vector<testsupport::ExpectedRecord> sent(records.begin(),
                                                          records.begin() + static_cast<std::ptrdiff_t>(o.complete));
      framing.ExpectRecords(sent);
      Press(Upload::Gen, dir.Write("cut " + std::to_string(length) + ".gen", text.substr(0, length)));
      ASSERT_TRUE(RunToLoopEnd(Upload::Gen));
      wire += "MPUFileE\r" + RecordsWire(sent);
      if (o.where == CutOutcome::AfterTheEndRecord) wire += "MPUDone\r";
      // Whatever a run sent beyond its records would stand before the next run's erase.
      ASSERT_TRUE(sim.WaitForReceived([&](const std::string& r) { return r.size() >= wire.size(); }, 5000ms));
      ASSERT_TRUE(sim.Received() == wire) << "the bytes on the line differ from whole records of the file";
      EXPECT_EQ(w->StatusText()->Text(), o.where == CutOutcome::InsideARecord      ? t.fileError
                                         : o.where == CutOutcome::AfterTheEndRecord ? t.loadDone
                                                                                    : t.loading);
      EXPECT_EQ(w->ProgressBar1()->Value(), 0);
    }
  }
  ExpectReceivedExactly(wire);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
}

// The worker's reading, on its own: at no cut does it read beyond the file's last byte.
TEST(FaultRecordReaderTest, NoPrefixOfAGenFileIsReadPastItsEnd) {
  const std::string text = SmallMixedGenFile();
  testsupport::TempDir dir;
  framework::MemoryBlock buffer(256);
  for (std::size_t length = 0; length <= text.size(); ++length) {
    SCOPED_TRACE("the file cut after " + std::to_string(length) + " bytes");
    auto stream = framework::BinaryStream::Open(framework::FolderItem(dir.Write("cut.gen", text.substr(0, length))), false);
    ASSERT_TRUE(stream);
    std::size_t blocks = 0;
    for (;;) {
      const upload::RecordHead head = upload::ReadRecordHead(*stream, [] {});
      ASSERT_FALSE(stream->ReadError()) << "read past the end in a record's head";
      if (head.kind == upload::RecordHead::Kind::Header) continue;
      if (head.kind != upload::RecordHead::Kind::Data) break;
      upload::ReadRecordBlock(*stream, buffer, [] {});
      ASSERT_FALSE(stream->ReadError()) << "read past the end in a record's block";
      ++blocks;
    }
    EXPECT_EQ(blocks, OutcomeOfCut(text, length).complete);
  }
}

// --- random bytes ---

enum class Content { AnyBytes, RecordLike };

struct RandomCase {
  const char* name;
  Upload upload;
  Content content;
  std::uint32_t seed;
};

void PrintTo(const RandomCase& c, std::ostream* os) { *os << c.name; }

// Lines that look like S-records without all being sound ones: mostly data records of the
// length the upload expects, now and then another type character (any character), count
// characters that are no hexadecimal digits, another length, a missing or doubled line end
// or a stray byte.
std::string RecordLikeText(std::uint32_t seed) {
  std::mt19937 g(seed);
  auto pick = [&](const std::string& from) { return from[g() % from.size()]; };
  auto rarely = [&] { return g() % 30 == 0; };
  const std::string hex = "0123456789ABCDEF";
  const std::vector<std::string> lineEnds = {"\r\n", "\n", "\r", "", "\r\n\r\n", "\n\n"};
  std::string text;
  for (int line = 0; line < 80; ++line) {
    if (rarely()) text.push_back(static_cast<char>(g()));
    text += 'S';
    text += rarely() ? static_cast<char>(g()) : rarely() ? pick("0935") : pick("12");
    const std::size_t length = rarely() ? 50 + g() % 40 : 72;  // after the type: 72 for 74 in all
    for (std::size_t i = 0; i < length; ++i) text += i < 2 && rarely() ? pick("g Z") : pick(hex);
    text += rarely() ? lineEnds[g() % lineEnds.size()] : lineEnds[g() % 3];
  }
  return text;
}

class FaultRandomFileTest : public FaultFilesTest, public ::testing::WithParamInterface<RandomCase> {};

TEST_P(FaultRandomFileTest, SendsOnlyWholePiecesOfTheFileAndEndsWithAStatusText) {
  const RandomCase& c = GetParam();
  const Upload u = c.upload;
  const Texts t = TextsOf(u);
  const std::string bytes =
      c.content == Content::AnyBytes ? testsupport::PatternBytes(u == Upload::Bin ? 5000 : 4000, c.seed)
                                     : RecordLikeText(c.seed);
  const std::string path = dir.Write("random." + t.extension, bytes);

  if (u == Upload::Bin) {
    // An image is sent as it stands, whatever it holds.
    BinFraming framing(sim, bytes);
    Press(u, path);
    ASSERT_TRUE(RunToLoopEnd(u));
    ExpectReceivedExactly(BinWire(bytes, (bytes.size() + 255) / 256) + "FPGADone\r");
    EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
    EXPECT_TRUE(framing.Image() == bytes);
    EXPECT_EQ(w->StatusText()->Text(), t.loadDone);
    return;
  }

  RecordFraming framing(sim, u == Upload::Anz ? Processor::Anz : Processor::Gen);
  PaintedTexts status(w->StatusText());
  Press(u, path);
  ASSERT_TRUE(RunToLoopEnd(u)) << "the upload never ended; it showed \"" << w->StatusText()->Text() << "\"";
  RunFor(100ms);
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());

  // Each record on the line is 75 characters of the file from an "S1" or "S2", in file order.
  const auto sent = framing.Records();
  EXPECT_EQ(framing.Count(Stage::Header), sent.size()) << "a record went out in part";
  EXPECT_EQ(framing.Count(Stage::Information), sent.size()) << "a record went out in part";
  std::size_t from = 0;
  for (const auto& r : sent) {
    std::size_t at = from;
    for (; at + 75 <= bytes.size(); ++at) {
      if (bytes[at] == 'S' && (bytes[at + 1] == '1' || bytes[at + 1] == '2') && bytes[at + 4] == r.info[2] &&
          bytes.compare(at + 5, 70, r.block) == 0)
        break;
    }
    ASSERT_LE(at + 75, bytes.size()) << "record " << r.record << " is no whole record of the file";
    from = at + 75;
  }
  const std::string at = u == Upload::Anz ? "@" : "";
  const std::size_t onTheLine = (at + "MPUFileE\r").size() + sent.size() * ((at + "MPURec\r").size() + 3 + 71) +
                                (framing.Done() ? (at + "MPUDone\r").size() : 0);
  EXPECT_EQ(sim.ReceivedCount(), onTheLine);

  // The text the record loop left says how it ended.
  std::vector<std::string> shown = status.Texts();
  ASSERT_NO_FATAL_FAILURE(DropTheConfigurationWait(u, shown));
  ASSERT_FALSE(shown.empty());
  const std::string last = shown.back();
  EXPECT_TRUE(last == t.loading || last == t.noS || last == t.fileError || last == t.loadDone) << last;
  EXPECT_EQ(last == t.loadDone, framing.Done());
  EXPECT_EQ((u == Upload::Anz ? w->ANZ_Status() : w->Kesmar_Status())->Text(), framing.Done() ? t.loadDone : t.loading);
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FaultRandomFileTest,
    ::testing::Values(RandomCase{"GenAnyBytes", Upload::Gen, Content::AnyBytes, 501},
                      RandomCase{"GenAnyBytesAgain", Upload::Gen, Content::AnyBytes, 502},
                      RandomCase{"GenRecordLike1", Upload::Gen, Content::RecordLike, 503},
                      RandomCase{"GenRecordLike2", Upload::Gen, Content::RecordLike, 504},
                      RandomCase{"GenRecordLike3", Upload::Gen, Content::RecordLike, 505},
                      RandomCase{"GenRecordLike4", Upload::Gen, Content::RecordLike, 506},
                      RandomCase{"AnzAnyBytes", Upload::Anz, Content::AnyBytes, 507},
                      RandomCase{"AnzRecordLike", Upload::Anz, Content::RecordLike, 508},
                      RandomCase{"BinAnyBytes", Upload::Bin, Content::AnyBytes, 509}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the file changes while the upload runs ---

enum class Change { Vanishes, Replaced, RewrittenInPlace, CopiedOver, CutInside, CutAtAStart };

struct ChangeCase {
  const char* name;
  Upload upload;
  Change change;
  bool large;  // beyond the stream's read ahead: the upload reads the file again after the change
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

class FaultFileChangeTest : public FaultFilesTest, public ::testing::WithParamInterface<ChangeCase> {};

// The file changes while the second page or record waits for its header's answer. A small
// file has been read whole by then and goes out whole, as it was. A large one is read on
// later (the stream reads ahead in 64 KiB): that read finds the change, and the upload stops
// with the file error text, having sent whole pages or records of the file as it was and no
// end command.
TEST_P(FaultFileChangeTest, TheUploadSendsTheFileAsItWasAndStopsAtAChange) {
  const ChangeCase& c = GetParam();
  const Upload u = c.upload;
  const Texts t = TextsOf(u);
  std::string bytes;
  std::vector<testsupport::ExpectedRecord> records;
  std::size_t total = 0, cutAt = 0;  // pages or records in the file; where a cut falls
  if (u == Upload::Bin) {
    bytes = testsupport::PatternBytes(c.large ? 1200 * 256 : 3 * 256 + 9, 601);
    total = (bytes.size() + 255) / 256;
    cutAt = c.change == Change::CutInside ? 390 * 256 + 160 : 400 * 256;
  } else {
    bytes = testsupport::MakeSrec(testsupport::PatternBytes((c.large ? 1500 : 3) * 32, 602));
    records = testsupport::RecordsOfAlignedFile(bytes);
    total = records.size();
    // Each data record is 74 characters and CR LF, after the header record's line.
    const std::size_t first = bytes.find("\r\nS1") + 2;
    cutAt = first + 1000 * 76 + (c.change == Change::CutInside ? 40 : 0);
  }
  const std::string path = dir.Write("changing." + t.extension, bytes);
  // A modification time well in the past, so that a change made now moves it, however
  // coarse the file system's clock.
  const timespec past[2] = {{946684800, 0}, {946684800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
  std::unique_ptr<BinFraming> bin;
  std::unique_ptr<RecordFraming> code;
  if (u == Upload::Bin) {
    bin = std::make_unique<BinFraming>(sim, bytes);
    bin->Script(Stage::Header, 1, Plan::Silence());
  } else {
    code = std::make_unique<RecordFraming>(sim, u == Upload::Anz ? Processor::Anz : Processor::Gen);
    code->ExpectRecords(records);
    code->Script(Stage::Header, 1, Plan::Silence());
  }
  PaintedTexts status(w->StatusText());
  Press(u, path);
  ASSERT_TRUE(RunUntil([&] { return bin ? bin->Saw(Stage::Header, 1) : code->Saw(Stage::Header, 1); }));
  const std::string other(bytes.size(), 'x');
  auto writeOver = [&](int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | flags);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
    ::close(fd);
  };
  switch (c.change) {
    case Change::Vanishes:
      ASSERT_EQ(::unlink(path.c_str()), 0);
      break;
    case Change::Replaced:
      ASSERT_EQ(::unlink(path.c_str()), 0);
      dir.Write("changing." + t.extension, other);
      break;
    case Change::RewrittenInPlace:
      ASSERT_NO_FATAL_FAILURE(writeOver(0));
      break;
    case Change::CopiedOver:
      ASSERT_NO_FATAL_FAILURE(writeOver(O_TRUNC));
      break;
    case Change::CutInside:
    case Change::CutAtAStart:
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cutAt)), 0);
      break;
  }
  sim.Send("OK\r\n");
  ASSERT_TRUE(RunToLoopEnd(u, 60s));

  // What went out is, byte for byte, the first pages or records of the file as it was.
  const std::size_t sent = bin ? bin->Pages().size() : code->Records().size();
  const std::string at = u == Upload::Anz ? "@" : "";
  const std::string whole =
      bin ? BinWire(bytes, sent)
          : at + "MPUFileE\r" + RecordsWire({records.begin(), records.begin() + static_cast<std::ptrdiff_t>(sent)}, at);
  const std::string done = bin ? "FPGADone\r" : at + "MPUDone\r";
  const std::vector<std::string> errors = bin ? bin->Errors() : code->Errors();
  EXPECT_TRUE(errors.empty()) << "a page or record that the file as it was does not hold: "
                              << ::testing::PrintToString(errors);
  if (!c.large) {
    ExpectReceivedExactly(whole + done);
    EXPECT_EQ(sent, total);
  } else {
    ExpectReceivedExactly(whole);
    EXPECT_GE(sent, 2u);
    EXPECT_LT(sent, c.change == Change::CutInside || c.change == Change::CutAtAStart ? (bin ? 391u : 1001u) : total);
    EXPECT_FALSE(bin ? bin->Done() : code->Done());
  }
  // The text the upload loop ended with; the .anz upload's configuration wait follows it.
  std::vector<std::string> shown = status.Texts();
  ASSERT_NO_FATAL_FAILURE(DropTheConfigurationWait(u, shown));
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), c.large ? t.fileError : t.loadDone);
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FaultFileChangeTest,
    ::testing::Values(ChangeCase{"SmallBinVanishes", Upload::Bin, Change::Vanishes, false},
                      ChangeCase{"SmallBinReplaced", Upload::Bin, Change::Replaced, false},
                      ChangeCase{"SmallBinRewrittenInPlace", Upload::Bin, Change::RewrittenInPlace, false},
                      ChangeCase{"BinVanishes", Upload::Bin, Change::Vanishes, true},
                      ChangeCase{"BinReplaced", Upload::Bin, Change::Replaced, true},
                      ChangeCase{"BinRewrittenInPlace", Upload::Bin, Change::RewrittenInPlace, true},
                      ChangeCase{"BinCopiedOver", Upload::Bin, Change::CopiedOver, true},
                      ChangeCase{"BinCutInsideAPage", Upload::Bin, Change::CutInside, true},
                      ChangeCase{"BinCutAtAPageStart", Upload::Bin, Change::CutAtAStart, true},
                      ChangeCase{"SmallGenVanishes", Upload::Gen, Change::Vanishes, false},
                      ChangeCase{"SmallGenReplaced", Upload::Gen, Change::Replaced, false},
                      ChangeCase{"GenVanishes", Upload::Gen, Change::Vanishes, true},
                      ChangeCase{"GenReplaced", Upload::Gen, Change::Replaced, true},
                      ChangeCase{"GenRewrittenInPlace", Upload::Gen, Change::RewrittenInPlace, true},
                      ChangeCase{"GenCopiedOver", Upload::Gen, Change::CopiedOver, true},
                      ChangeCase{"GenCutInsideARecord", Upload::Gen, Change::CutInside, true},
                      ChangeCase{"GenCutAtARecordStart", Upload::Gen, Change::CutAtAStart, true},
                      ChangeCase{"AnzCopiedOver", Upload::Anz, Change::CopiedOver, true},
                      ChangeCase{"AnzCutInsideARecord", Upload::Anz, Change::CutInside, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- read permission gone between the choice and the run ---

class FaultPermissionTest : public FaultFilesTest, public ::testing::WithParamInterface<Upload> {};

TEST_P(FaultPermissionTest, AFileThatCannotBeReadShowsErrorOpeningAndSendsNothing) {
  const Upload u = GetParam();
  const Texts t = TextsOf(u);
  const std::string path =
      dir.Write("locked." + t.extension, u == Upload::Bin ? testsupport::PatternBytes(600, 701)
                                                          : testsupport::MakeSrec(testsupport::PatternBytes(64, 702)));
  // Root reads past the permission bits unless this thread (the program's main thread,
  // where the upload opens its file) is held to them.
  testsupport::HeldToPermissions held;
  if (!held.Ok()) GTEST_SKIP() << "root reads files whatever their permissions";
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const int probe = ::open(path.c_str(), O_RDONLY);
  if (probe >= 0) {
    ::close(probe);
    GTEST_SKIP() << "this process reads files whatever their permissions";
  }
  ASSERT_EQ(errno, EACCES);
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  // Chosen while readable; the permission goes before the worker opens it.
  framework::testing::SetOpenFileDialog([&](const std::string&) {
    ::chmod(path.c_str(), 0);
    return std::optional<std::string>(path);
  });
  w->StatusText()->SetText("earlier");
  Click(Launcher(u));
  ASSERT_TRUE(RunUntil([&] { return Worker(u)->State() == ThreadState::NotRunning; }));
  RunFor(100ms);
  EXPECT_EQ(sim.ReceivedCount(), 0u);
  EXPECT_EQ(w->StatusText()->Text(), t.errorOpening);
}

INSTANTIATE_TEST_SUITE_P(Uploads, FaultPermissionTest, ::testing::Values(Upload::Bin, Upload::Gen, Upload::Anz),
                         [](const auto& info) { return std::string(testsupport::NameOf(info.param)); });

// --- a 200 MB image ---

// AddressSanitizer keeps freed memory in quarantine (up to 256 MiB), so that resident
// memory there grows with everything the process allocates over time.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryIsTheProgramsOwn = false;
#else
constexpr bool kResidentMemoryIsTheProgramsOwn = true;
#endif

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// The instrument's side of the .bin framing for an image too big to keep: each page is
// checked against the image's known contents and then forgotten.
struct StreamingInstrument {
  std::mutex m;
  unsigned pages = 0;
  std::vector<std::string> errors;
};

TEST_F(FaultFilesTest, A200MegabyteImageStreamsInFlatMemory) {
  constexpr off_t kSize = 200LL * 1024 * 1024;
  const std::string head = testsupport::PatternBytes(4096, 801);  // the rest is a hole: zeros
  const std::string path = dir.Write("big image.bin", head);
  ASSERT_EQ(::truncate(path.c_str(), kSize), 0);
  auto page = [head](unsigned n) {
    return n < head.size() / 256 ? head.substr(n * 256u, 256) : std::string(256, '\0');
  };
  auto st = std::make_shared<StreamingInstrument>();
  sim.AddRule([st, page](const Frame& f, Session& s) {
    std::lock_guard<std::mutex> lock(st->m);
    if (f.kind == Frame::Kind::Line && (f.bytes == "FPGAFile" || f.bytes == "FPGAPage")) {
      s.Reply({"OK"});
      if (f.bytes == "FPGAPage") s.ExpectRaw(2, "big-info");
      return true;
    }
    if (f.tag == "big-info") {
      if (static_cast<unsigned char>(f.bytes[0]) != (st->pages & 0xFF) || static_cast<unsigned char>(f.bytes[1]) != 255)
        st->errors.push_back("page " + std::to_string(st->pages) + ": wrong information bytes");
      s.Reply({"OK"});
      s.ExpectRaw(257, "big-data");
      return true;
    }
    if (f.tag == "big-data") {
      const std::string data = f.bytes.substr(0, 256);
      if (data != page(st->pages) || static_cast<std::uint8_t>(f.bytes[256]) != testsupport::Sum8(data))
        st->errors.push_back("page " + std::to_string(st->pages) + " differs from the image");
      ++st->pages;
      s.Reply({"OK"});
      return true;
    }
    return false;
  });
  auto pages = [&] {
    std::lock_guard<std::mutex> lock(st->m);
    return st->pages;
  };

  RunFor(200ms);
  const long before = ResidentKiB();
  ASSERT_GT(before, 0);
  Press(Upload::Bin, path);
  // Past the progress bar's 2665 pages; the line's record is let go of as it grows.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (pages() < 3000) {
    ASSERT_NE(w->SendConfigFile1()->State(), ThreadState::NotRunning) << LinkState();
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "only " << pages() << " pages in a minute" << LinkState();
    RunUntil([&] { return pages() >= 3000; }, 200ms);
    sim.ClearReceived();
  }
  const long grown = ResidentKiB() - before;
  if (kResidentMemoryIsTheProgramsOwn) {
    EXPECT_LT(grown, 30 * 1024) << "resident memory grew by " << grown << " KiB while 3000 pages of "
                                << kSize / 256 << " were sent";
  }
  EXPECT_EQ(w->StatusText()->Text(), "Loading .bin File");
  {
    std::lock_guard<std::mutex> lock(st->m);
    EXPECT_TRUE(st->errors.empty()) << ::testing::PrintToString(st->errors);
  }

  // No need to see all 800 000 pages go: the instrument goes away, the upload waits.
  sim.HangUp();
  EXPECT_TRUE(RunUntil([&] { return w->RxText()->Text() == "Verify Connection"; }));
  EXPECT_NE(w->SendConfigFile1()->State(), ThreadState::NotRunning);
}

// --- names with blanks and letters beyond ASCII, chosen in the real dialog ---

struct NameCase {
  const char* name;
  Upload upload;
  const char* fileName;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class FaultFileNameTest : public FaultFilesTest, public ::testing::WithParamInterface<NameCase> {
 protected:
  // Answers the program's open-file dialog as a user would: the file picked, then Open.
  // Anything else that comes up modal (a "file not found" box, the dialog still open after
  // Open) is turned down, so that a fault shows as a failure rather than a hang.
  void ChooseInTheDialog(const std::string& path) {
    framework::testing::SetOpenFileDialog(nullptr);
    picker = std::make_unique<QTimer>();
    QObject::connect(picker.get(), &QTimer::timeout, [this, path] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal) return;
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      if (!dialog || answered) {
        unexpected.push_back(modal->metaObject()->className());
        if (auto* d = qobject_cast<QDialog*>(modal)) d->reject();
        return;
      }
      answered = true;
      dialogFilter = dialog->selectedNameFilter().toStdString();
      // The name typed into the file name box (selectFile leaves the box alone once it
      // has the focus).
      const QFileInfo file(QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size())));
      auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      if (!name) {
        unexpected.push_back("a dialog without a file name box");
        dialog->reject();
        return;
      }
      dialog->setDirectory(file.absolutePath());
      name->setText(file.fileName());
      static_cast<QDialog*>(dialog)->accept();  // Open
    });
    picker->start(10);
  }
  std::unique_ptr<QTimer> picker;
  bool answered = false;
  std::vector<std::string> unexpected;
  std::string dialogFilter;
};

TEST_P(FaultFileNameTest, TheFileIsFoundAndSentWhole) {
  const NameCase& c = GetParam();
  const Upload u = c.upload;
  const Texts t = TextsOf(u);
  std::string bytes, wire;
  std::unique_ptr<BinFraming> bin;
  std::unique_ptr<RecordFraming> code;
  if (u == Upload::Bin) {
    bytes = testsupport::PatternBytes(700, 901);
    bin = std::make_unique<BinFraming>(sim, bytes);
    wire = BinWire(bytes, 3) + "FPGADone\r";
  } else {
    bytes = testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 902));
    const std::string at = u == Upload::Anz ? "@" : "";
    code = std::make_unique<RecordFraming>(sim, u == Upload::Anz ? Processor::Anz : Processor::Gen);
    code->ExpectRecords(testsupport::RecordsOfAlignedFile(bytes));
    wire = at + "MPUFileE\r" + RecordsWire(testsupport::RecordsOfAlignedFile(bytes), at) + at + "MPUDone\r";
  }
  const std::string path = dir.Write(c.fileName, bytes);
  ChooseInTheDialog(path);
  Click(Launcher(u));
  picker.reset();
  EXPECT_TRUE(unexpected.empty()) << ::testing::PrintToString(unexpected);
  ASSERT_TRUE(w->f) << "the dialog chose nothing";
  EXPECT_EQ(w->f->NativePath(), path);
  EXPECT_NE(dialogFilter.find("*." + t.extension), std::string::npos) << dialogFilter;
  ASSERT_TRUE(RunToLoopEnd(u));
  ExpectReceivedExactly(wire);
  if (bin) {
    EXPECT_TRUE(bin->Errors().empty()) << ::testing::PrintToString(bin->Errors());
  } else {
    EXPECT_TRUE(code->Errors().empty()) << ::testing::PrintToString(code->Errors());
  }
  EXPECT_EQ(u == Upload::Bin   ? w->Bin_Status()->Text()
            : u == Upload::Gen ? w->Kesmar_Status()->Text()
                               : w->ANZ_Status()->Text(),
            t.loadDone);
}

INSTANTIATE_TEST_SUITE_P(
    Names, FaultFileNameTest,
    ::testing::Values(NameCase{"Bin", Upload::Bin, "FPGA Bild  für Gerät Nr 9 – Ωmega.bin"},
                      NameCase{"Gen", Upload::Gen, " Prüfprogramm  Version 2 – δοκιμή.gen"},
                      NameCase{"Anz", Upload::Anz, "Analysator Firmware 日本語 Ærø.anz"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
