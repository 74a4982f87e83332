// The .gen and .anz code file uploads through the real program, with S-record files made
// by srec_cat and a simulated instrument that checks every record's framing.
#include <gtest/gtest.h>

#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QTest>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "framework/strings.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/painted_texts.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "window/window1.h"

using namespace harness;
using testsupport::PaintedTexts;
using testsupport::InstrumentSim;
using testsupport::LineEnd;
using testsupport::LineEndText;
using testsupport::Plan;
using testsupport::Processor;
using testsupport::RecordFraming;
using testsupport::SrecOptions;
using testsupport::SrecRecords;
using testsupport::Stage;

namespace {

using ThreadState = framework::Thread::ThreadState;

const std::string kOK = "OK\r\n";

// What tells the two code file uploads apart.
struct Kind {
  Processor processor;
  const char* prefix;
  framework::Label* (Window1_::*ownStatus)();
  const char* erasing;
  const char* loading;
  const char* noS;
  const char* loadDone;
  const char* fileError;
  const char* checksumError;
  int maximum;
};

const Kind kGen{Processor::Gen,         "",
                &Window1_::Kesmar_Status, "Erasing .gen ROM",
                "Loading .gen File",      ".gen No 'S' Error",
                ".gen File Load Done",    ".gen File Error",
                ".gen File Checksum Error", 2600};
const Kind kAnz{Processor::Anz,         "@",
                &Window1_::ANZ_Status,    "Erasing .anz ROM",
                "Loading .anz File",      ".anz No 'S' Error",
                ".anz File Load Done",    ".anz File Error",
                ".anz File Checksum Error", 2100};

const char* kAnzConfiguring = "Wait - ANZ Configuring";

void PrintTo(const Kind& k, std::ostream* os) { *os << (k.processor == Processor::Gen ? "gen" : "anz"); }

// The texts a label showed, in order: every status update redraws its label at once, so
// each text is painted before the next replaces it.
class CodeFileTest : public testsupport::ProgramOnSimTest {
 protected:
  void SetUp() override { StartOnSim({.exposed = true}); }

  virtual const Kind& K() const { return kGen; }
  framework::Thread* Worker() const {
    return K().processor == Processor::Gen ? static_cast<framework::Thread*>(w->SendGenMPUCode1())
                                           : static_cast<framework::Thread*>(w->SendAnzMPUCode1());
  }
  void Press(const std::string& path) {
    seen->nextFile = path;
    Click(K().processor == Processor::Gen ? w->LoadGenCodePB()->Widget() : w->LoadAnzCodePB()->Widget());
  }
  std::string Upload(const std::string& text) { return dir.Write(K().processor == Processor::Gen ? "code.gen" : "code.anz", text); }
  // The record loop is over: a .gen run has ended, an .anz run has gone on to wait for
  // the processor's configuration.
  bool LoopEnded() const {
    return Worker()->State() == ThreadState::NotRunning || w->StatusText()->Text() == kAnzConfiguring;
  }
  ::testing::AssertionResult RunToLoopEnd(std::chrono::milliseconds limit = 20s) {
    return RunUntilOrTell([&] { return LoopEnded(); }, limit, "the record loop did not end");
  }
  // The end command is the one send that no answer follows: the run may be over before
  // the instrument has read it.
  ::testing::AssertionResult RunToDone(const RecordFraming& framing) {
    ::testing::AssertionResult ended = RunToLoopEnd();
    if (!ended) return ended;
    return RunUntilOrTell([&] { return framing.Done(); }, 5s, "the end command did not arrive");
  }
  // Time for anything sent after the last answer to reach the instrument.
  void Settle() { RunFor(100ms); }
  // Chooses a file with the text in it and lets the record loop run out, and a while more.
  void UploadToLoopEnd(const std::string& text) {
    Press(Upload(text));
    ASSERT_TRUE(RunToLoopEnd());
    Settle();
  }
  std::string Cmd(const std::string& text) const { return K().prefix + text + "\r"; }
  std::string OwnStatus() const { return (w->*K().ownStatus)()->Text(); }
  std::string Text(framework::Label* label) const { return label->Text(); }
  static std::string Errors(const RecordFraming& f) { return ::testing::PrintToString(f.Errors()); }
};

class CodeFileKindTest : public CodeFileTest, public ::testing::WithParamInterface<Kind> {
 protected:
  const Kind& K() const override { return GetParam(); }
};

// --- the worked example: one aligned S1 record ---

struct WorkedExample {
  const char* name;
  LineEnd lineEnd;
  char blockEnd;
  int sum;
};

void PrintTo(const WorkedExample& c, std::ostream* os) { *os << c.name; }

class WorkedExampleTest : public CodeFileTest,
                          public ::testing::WithParamInterface<std::tuple<Kind, WorkedExample>> {
 protected:
  const Kind& K() const override { return std::get<0>(GetParam()); }
};

TEST_P(WorkedExampleTest, GivesExactlyItsBytes) {
  const WorkedExample& c = std::get<1>(GetParam());
  SrecOptions o;
  o.lineEnd = c.lineEnd;
  const std::vector<std::string> records = SrecRecords(std::string(32, '\0'), o);
  ASSERT_EQ(records.size(), 3u);
  ASSERT_EQ(records[1], "S1230000" + std::string(64, '0') + "DC") << "srec_cat wrote another record";
  RecordFraming framing(sim, K().processor);
  framing.Script(Stage::Header, 0, Plan::Silence());
  PaintedTexts status(w->StatusText());
  Press(Upload(testsupport::JoinRecords(records, c.lineEnd)));

  // Before the record command goes out the record's number and Sum8 are shown.
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Header, 0); }));
  EXPECT_EQ(Text(w->PageNumText()), "0");
  EXPECT_EQ(Text(w->ChecksumText()), framework::Str(c.sum));
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  EXPECT_EQ(w->ProgressBar1()->Maximum(), K().maximum);
  EXPECT_EQ(Text(w->StatusText()), K().loading);
  EXPECT_EQ(OwnStatus(), K().loading);
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  sim.Send(kOK);
  ASSERT_TRUE(RunToDone(framing));

  std::string block = "000" + std::string(64, '0') + "DC" + c.blockEnd;
  const std::string wire = Cmd("MPUFileE") + Cmd("MPURec") + "\x46\x45\x30" + block +
                           static_cast<char>(c.sum) + Cmd("MPUDone");
  EXPECT_TRUE(sim.Received().substr(0, wire.size()) == wire) << ::testing::PrintToString(sim.Received());
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
  EXPECT_TRUE(framing.Done());
  EXPECT_EQ(OwnStatus(), K().loadDone);
  EXPECT_TRUE(status.Showed(K().erasing));
  EXPECT_TRUE(status.Showed(K().loadDone));
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  if (K().processor == Processor::Gen) {
    EXPECT_EQ(Text(w->StatusText()), K().loadDone);
    Settle();
    EXPECT_TRUE(sim.Received() == wire) << "something was sent after the end command";
  }
}

INSTANTIATE_TEST_SUITE_P(
    LineEnds, WorkedExampleTest,
    ::testing::Combine(::testing::Values(kGen, kAnz),
                       ::testing::Values(WorkedExample{"CRLF", LineEnd::CRLF, '\r', 0x24},
                                         WorkedExample{"LF", LineEnd::LF, '\n', 33},
                                         WorkedExample{"CR", LineEnd::CR, '\r', 36})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).processor == Processor::Gen ? "Gen" : "Anz") +
             std::get<1>(info.param).name;
    });

// --- a full-size file ---

TEST_F(CodeFileTest, A2600RecordFileArrivesRecordForRecord) {
  SrecOptions o;
  o.addressLength = 3;
  o.blockSize = 31;
  const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(2600 * 31, 21), o);
  const auto expected = testsupport::RecordsOfAlignedFile(text);
  ASSERT_EQ(expected.size(), 2600u);
  RecordFraming framing(sim);
  framing.ExpectRecords(expected);
  Press(Upload(text));
  ASSERT_TRUE(RunToLoopEnd(120s));
  ASSERT_TRUE(RunUntil([&] { return framing.Done(); }));
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
  EXPECT_EQ(framing.Accepted(), 2600u);
  EXPECT_EQ(framing.Records().size(), 2600u);
  EXPECT_TRUE(framing.Done());
  EXPECT_EQ(Text(w->PageNumText()), "2599");
  EXPECT_EQ(Text(w->StatusText()), ".gen File Load Done");
  EXPECT_EQ(Text(w->Kesmar_Status()), ".gen File Load Done");
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 2600);
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
}

// The end record ends the file: what follows it, records or rubbish, is neither read nor sent.
TEST_F(CodeFileTest, NothingAfterTheEndRecordIsReadOrSent) {
  const std::string before = testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 23));
  const std::string after = testsupport::MakeSrec(testsupport::PatternBytes(3 * 32, 24));
  const auto expected = testsupport::RecordsOfAlignedFile(before);
  RecordFraming framing(sim);
  framing.ExpectRecords(expected);
  // Read on, the records would be sent and the rubbish would end in "No 'S' Error".
  Press(Upload(before + after + "not a record\r\n"));
  ASSERT_TRUE(RunToLoopEnd(20s));
  ASSERT_TRUE(RunUntil([&] { return framing.Done(); }));
  Settle();
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
  EXPECT_EQ(framing.Accepted(), expected.size());
  EXPECT_EQ(framing.Records().size(), expected.size());
  const std::string done = Cmd("MPUDone");
  EXPECT_EQ(sim.Received().rfind(done), sim.Received().size() - done.size()) << "something was sent after the end command";
  EXPECT_EQ(Text(w->StatusText()), ".gen File Load Done");
}

// --- files without data records ---

TEST_F(CodeFileTest, AnEmptyFileIsErasedForAndThenEndsWithNothingSent) {
  RecordFraming framing(sim);
  w->PageNumText()->SetText("4");
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(""));
  EXPECT_EQ(sim.Received(), "MPUFileE\r");
  EXPECT_EQ(Text(w->StatusText()), "Loading .gen File");
  EXPECT_EQ(Text(w->Kesmar_Status()), "Loading .gen File");
  EXPECT_EQ(Text(w->PageNumText()), "");
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 2600);
}

struct HeaderOnly {
  const char* name;
  std::string header;
  LineEnd lineEnd;
  bool lineEndAfterHeader = true;  // false: the end record follows the header's last character
};

void PrintTo(const HeaderOnly& c, std::ostream* os) { *os << c.name; }

class HeaderOnlyTest : public CodeFileTest, public ::testing::WithParamInterface<HeaderOnly> {};

// The S0 record is passed over by its count, whatever its length.
TEST_P(HeaderOnlyTest, SendsNothingBetweenTheEraseAndMPUDone) {
  SrecOptions o;
  o.header = GetParam().header;
  const std::vector<std::string> records = SrecRecords("", o);
  ASSERT_EQ(records.size(), o.header.empty() ? 1u : 2u);
  RecordFraming framing(sim);
  w->PageNumText()->SetText("4");
  w->ChecksumText()->SetText("5");
  std::string text = testsupport::JoinRecords(records, GetParam().lineEnd);
  if (!GetParam().lineEndAfterHeader) text.erase(records[0].size(), std::string(LineEndText(GetParam().lineEnd)).size());
  Press(Upload(text));
  ASSERT_TRUE(RunToDone(framing));
  EXPECT_EQ(sim.Received(), "MPUFileE\rMPUDone\r");
  EXPECT_EQ(Text(w->PageNumText()), "");
  EXPECT_EQ(Text(w->ChecksumText()), "");
  EXPECT_EQ(Text(w->StatusText()), ".gen File Load Done");
  EXPECT_EQ(Text(w->Kesmar_Status()), ".gen File Load Done");
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderOnlyTest,
    ::testing::Values(HeaderOnly{"ShortHeader", "V9", LineEnd::CRLF},
                      HeaderOnly{"LongHeader", std::string(120, 'h'), LineEnd::CRLF},
                      HeaderOnly{"NoHeaderLF", "", LineEnd::LF},
                      // Passed over exactly by its count: the next character is the "S".
                      HeaderOnly{"HeaderWithoutLineEnd", "V9", LineEnd::CRLF, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- line ends and what stands where a record should begin ---

TEST_F(CodeFileTest, EmptyLinesBetweenRecordsAreSkipped) {
  const std::vector<std::string> r = SrecRecords(testsupport::PatternBytes(4 * 32, 22));
  ASSERT_EQ(r.size(), 6u);
  const std::string text = r[0] + "\r\n\r\n" + r[1] + "\r\n\n\n" + r[2] + "\r\n\r\r\n\r" + r[3] + "\r\n" + r[4] +
                           "\r\n\r\n\r\n" + r[5] + "\r\n";
  RecordFraming framing(sim);
  framing.ExpectRecords(testsupport::RecordsOfAlignedFile(text));
  Press(Upload(text));
  ASSERT_TRUE(RunToDone(framing));
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
  EXPECT_EQ(framing.Accepted(), 4u);
  EXPECT_TRUE(framing.Done());
  EXPECT_EQ(Text(w->StatusText()), ".gen File Load Done");
}

struct Stray {
  const char* name;
  std::string before;  // what stands before the second data record
};

void PrintTo(const Stray& c, std::ostream* os) { *os << c.name; }

class StrayCharacterTest : public CodeFileTest, public ::testing::WithParamInterface<Stray> {};

TEST_P(StrayCharacterTest, GivesNoSErrorAfterTheRecordsBeforeIt) {
  const std::vector<std::string> r = SrecRecords(testsupport::PatternBytes(3 * 32, 23));
  ASSERT_EQ(r.size(), 5u);
  const std::string text = r[0] + "\r\n" + r[1] + "\r\n" + GetParam().before + r[2] + "\r\n" + r[3] + "\r\n" + r[4] + "\r\n";
  RecordFraming framing(sim);
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(text));
  EXPECT_EQ(Text(w->StatusText()), ".gen No 'S' Error");
  EXPECT_EQ(Text(w->Kesmar_Status()), "Loading .gen File");
  EXPECT_EQ(framing.Accepted(), 1u);
  EXPECT_EQ(framing.Count(Stage::Header), 1u);
  EXPECT_FALSE(framing.Done());
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
}

INSTANTIATE_TEST_SUITE_P(Characters, StrayCharacterTest,
                         ::testing::Values(Stray{"Blank", " "}, Stray{"Tab", "\t"},
                                           Stray{"BlankAfterEmptyLine", "\r\n "}, Stray{"Letter", "X"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- record types the instrument does not take ---

// Each file is made when its case runs, not when the cases are listed.
struct Foreign {
  const char* name;
  std::vector<std::string> (*records)();
  std::size_t sentBefore;  // data records sent before the foreign one
};

void PrintTo(const Foreign& c, std::ostream* os) { *os << c.name; }

std::vector<std::string> S3Records() {
  SrecOptions o;
  o.addressLength = 4;
  o.blockSize = 30;
  return SrecRecords(testsupport::PatternBytes(60, 24), o);
}
std::vector<std::string> S5Record() {
  SrecOptions o;
  o.dataCount = true;
  return SrecRecords(testsupport::PatternBytes(64, 25), o);
}
std::vector<std::string> S7Record() {
  SrecOptions o;
  o.addressLength = 4;
  o.keepEndRecord = true;
  return SrecRecords("", o);
}
std::vector<std::string> S8Record() {
  SrecOptions o;
  o.addressLength = 3;
  o.blockSize = 31;
  o.keepEndRecord = true;
  return SrecRecords(testsupport::PatternBytes(62, 26), o);
}
// A type no tool writes: the end record of a 16-bit file with its type changed.
std::vector<std::string> S4Record() {
  std::vector<std::string> r = SrecRecords(testsupport::PatternBytes(32, 27));
  r.back()[1] = '4';
  return r;
}

class ForeignRecordTest : public CodeFileTest, public ::testing::WithParamInterface<Foreign> {};

TEST_P(ForeignRecordTest, GivesFileErrorAndNoEndCommand) {
  const Foreign& c = GetParam();
  const std::vector<std::string> records = c.records();
  const char type = c.name[1];
  ASSERT_TRUE(std::any_of(records.begin(), records.end(),
                          [&](const std::string& r) { return r[0] == 'S' && r[1] == type; }))
      << "srec_cat wrote no S" << type << " record";
  RecordFraming framing(sim);
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(testsupport::JoinRecords(records)));
  EXPECT_EQ(Text(w->StatusText()), ".gen File Error");
  EXPECT_EQ(Text(w->Kesmar_Status()), "Loading .gen File");
  EXPECT_EQ(framing.Accepted(), c.sentBefore);
  EXPECT_EQ(framing.Count(Stage::Header), c.sentBefore);
  EXPECT_FALSE(framing.Done());
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
}

INSTANTIATE_TEST_SUITE_P(Types, ForeignRecordTest,
                         ::testing::Values(Foreign{"S3", S3Records, 0}, Foreign{"S5", S5Record, 2},
                                           Foreign{"S7", S7Record, 0}, Foreign{"S8", S8Record, 2},
                                           Foreign{"S4", S4Record, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the instrument's answers to a record ---

TEST_F(CodeFileTest, RpOkThreeTimesSendsTheRecordFourTimesInFull) {
  const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(3 * 32, 28));
  RecordFraming framing(sim);
  framing.ExpectRecords(testsupport::RecordsOfAlignedFile(text));
  framing.Script(Stage::Header, 1, "OK");
  for (int i = 0; i < 3; ++i) {
    framing.Script(Stage::Data, 1, "RP OK");
    framing.Script(Stage::Header, 1, Plan::Silence());  // each resend waits for the test
  }
  Press(Upload(text));
  for (std::size_t resend = 1; resend <= 3; ++resend) {
    ASSERT_TRUE(RunUntil([&] { return framing.Times(Stage::Header, 1) == resend + 1; })) << "resend " << resend;
    EXPECT_EQ(Text(w->RepeatPageText()), framework::Str(static_cast<int>(resend)));
    EXPECT_EQ(Text(w->PageNumText()), "1");
    EXPECT_EQ(w->ProgressBar1()->Value(), 1);
    sim.Send(kOK);
  }
  ASSERT_TRUE(RunToDone(framing));
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
  const auto records = framing.Records();
  ASSERT_EQ(records.size(), 6u);
  for (std::size_t i = 1; i <= 4; ++i) {
    EXPECT_EQ(records[i].record, 1u);
    EXPECT_TRUE(records[i].info == records[1].info);
    EXPECT_TRUE(records[i].block == records[1].block);
  }
  EXPECT_EQ(records[5].record, 2u);
  EXPECT_EQ(framing.Count(Stage::Information), 6u);
  EXPECT_EQ(framing.Accepted(), 3u);
  EXPECT_EQ(Text(w->RepeatPageText()), "3");
  EXPECT_EQ(Text(w->PageNumText()), "2");
  EXPECT_TRUE(framing.Done());
}

TEST_P(CodeFileKindTest, ErOkStopsWithChecksumErrorAndSendsNothingMore) {
  const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(3 * 32, 29));
  RecordFraming framing(sim, K().processor);
  framing.ExpectRecords(testsupport::RecordsOfAlignedFile(text));
  framing.Script(Stage::Data, 1, "ER OK");
  PaintedTexts status(w->StatusText());
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(text));
  EXPECT_TRUE(status.Showed(K().checksumError)) << ::testing::PrintToString(status.Texts());
  EXPECT_EQ(Text(w->StatusText()), K().processor == Processor::Gen ? K().checksumError : kAnzConfiguring);
  EXPECT_EQ(OwnStatus(), K().loading);
  EXPECT_EQ(framing.Records().size(), 2u);
  EXPECT_EQ(framing.Count(Stage::Header), 2u);
  EXPECT_FALSE(framing.Done());
  EXPECT_EQ(sim.Received().find(Cmd("MPUDone")), std::string::npos);
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  EXPECT_EQ(Text(w->PageNumText()), "1");
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
}

INSTANTIATE_TEST_SUITE_P(Processors, CodeFileKindTest, ::testing::Values(kGen, kAnz),
                         [](const auto& info) {
                           return std::string(info.param.processor == Processor::Gen ? "Gen" : "Anz");
                         });

enum class Fault { StrayBlank, ForeignType };

void PrintTo(Fault f, std::ostream* os) { *os << (f == Fault::StrayBlank ? "stray blank" : "foreign type"); }

class ErrorTextTest : public CodeFileTest, public ::testing::WithParamInterface<std::tuple<Kind, Fault>> {
 protected:
  const Kind& K() const override { return std::get<0>(GetParam()); }
};

TEST_P(ErrorTextTest, IsTheProcessorsOwn) {
  const std::vector<std::string> r = SrecRecords(testsupport::PatternBytes(32, 30));
  const bool blank = std::get<1>(GetParam()) == Fault::StrayBlank;
  const std::string text = blank ? r[0] + "\r\n " + r[1] + "\r\n" : r[0] + "\r\nS4" + r[1].substr(2) + "\r\n";
  RecordFraming framing(sim, K().processor);
  PaintedTexts status(w->StatusText());
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(text));
  const std::vector<std::string> expected = {K().erasing, K().loading, blank ? K().noS : K().fileError};
  std::vector<std::string> shown = status.Texts();
  if (K().processor == Processor::Anz) {
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), kAnzConfiguring);
    shown.pop_back();
  }
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(OwnStatus(), K().loading);
  EXPECT_EQ(sim.Received(), Cmd("MPUFileE"));
}

INSTANTIATE_TEST_SUITE_P(Texts, ErrorTextTest,
                         ::testing::Combine(::testing::Values(kGen, kAnz),
                                            ::testing::Values(Fault::StrayBlank, Fault::ForeignType)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).processor == Processor::Gen ? "Gen" : "Anz") +
                                  (std::get<1>(info.param) == Fault::StrayBlank ? "NoS" : "FileError");
                         });

// --- the 16-bit counters ---
// Each needs 65536 records through the whole three-stage framing: the slowest cases here.

TEST_F(CodeFileTest, TheRecordNumberWrapsFrom65535ToZero) {
  SrecOptions o;
  o.addressLength = 3;
  o.blockSize = 31;
  const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(65537 * 31, 37), o);
  RecordFraming framing(sim);
  framing.ExpectRecords(testsupport::RecordsOfAlignedFile(text));
  framing.Script(Stage::Header, 65535, Plan::Silence());
  framing.Script(Stage::Header, 65536, Plan::Silence());
  Press(Upload(text));
  ASSERT_TRUE(RunUntilOrTell([&] { return framing.Saw(Stage::Header, 65535); }, 400s, "record 65535 did not come"));
  EXPECT_EQ(Text(w->PageNumText()), "65535");
  EXPECT_EQ(w->ProgressBar1()->Value(), 65535);
  sim.Send(kOK);
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Header, 65536); }));
  EXPECT_EQ(Text(w->PageNumText()), "0");
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  sim.Send(kOK);
  ASSERT_TRUE(RunToDone(framing));
  EXPECT_EQ(framing.Accepted(), 65537u);
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
}

TEST_F(CodeFileTest, TheRepeatCountWrapsFrom65535ToZero) {
  const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 38));
  RecordFraming framing(sim);
  framing.ExpectRecords(testsupport::RecordsOfAlignedFile(text));
  framing.Script(Stage::Data, 1, "RP OK", 65536);
  framing.Script(Stage::Header, 1, "OK", 65535);
  framing.Script(Stage::Header, 1, Plan::Silence());  // after 65535 resends
  framing.Script(Stage::Header, 1, Plan::Silence());  // after 65536
  Press(Upload(text));
  ASSERT_TRUE(RunUntilOrTell([&] { return framing.Times(Stage::Header, 1) == 65536; }, 400s, "record 1 did not come 65536 times"));
  EXPECT_EQ(Text(w->RepeatPageText()), "65535");
  sim.Send(kOK);
  ASSERT_TRUE(RunUntil([&] { return framing.Times(Stage::Header, 1) == 65537; }));
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  EXPECT_EQ(Text(w->PageNumText()), "1");
  sim.Send(kOK);
  ASSERT_TRUE(RunToDone(framing));
  EXPECT_EQ(framing.Accepted(), 2u);
  EXPECT_EQ(Text(w->RepeatPageText()), "0");
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
}

// --- records that are not 74 characters long ---

TEST_F(CodeFileTest, A72CharacterRecordTakesTheLineEndAndTheNextS) {
  SrecOptions shortRecord;
  shortRecord.blockSize = 31;
  SrecOptions next;
  next.header = "";
  next.startAddress.reset();
  next.offset = 31;
  const std::vector<std::string> a = SrecRecords(testsupport::PatternBytes(31, 31), shortRecord);
  const std::vector<std::string> b = SrecRecords(testsupport::PatternBytes(32, 32), next);
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 1u);
  ASSERT_EQ(a[1].size(), 72u);
  ASSERT_EQ(a[1].substr(2, 2), "22");
  ASSERT_EQ(b[0].size(), 74u);
  RecordFraming framing(sim);
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(testsupport::JoinRecords({a[0], a[1], b[0], a[2]})));
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
  const auto records = framing.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].info == std::string("\x44\x45") + a[1][4]);
  EXPECT_TRUE(records[0].block == a[1].substr(5) + "\r\nS") << records[0].block;
  EXPECT_EQ(Text(w->StatusText()), ".gen No 'S' Error");
  EXPECT_FALSE(framing.Done());
}

TEST_F(CodeFileTest, A76CharacterRecordLeavesItsTailWhereTheNextRecordShouldBegin) {
  SrecOptions o;
  o.blockSize = 33;
  const std::vector<std::string> r = SrecRecords(testsupport::PatternBytes(66, 33), o);
  ASSERT_EQ(r.size(), 4u);
  ASSERT_EQ(r[1].size(), 76u);
  RecordFraming framing(sim);
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(testsupport::JoinRecords(r)));
  const auto records = framing.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].info == std::string("\x48\x45") + r[1][4]);
  EXPECT_TRUE(records[0].block == r[1].substr(5, 70));
  EXPECT_EQ(Text(w->StatusText()), ".gen No 'S' Error");
}

TEST_F(CodeFileTest, ACountAbove127SendsTheLowEightBitsOfTwiceTheCount) {
  SrecOptions o;
  o.blockSize = 200;  // count 2 + 200 + 1 = 203 (0xCB); 2 x 203 = 406 = 0x196
  const std::vector<std::string> r = SrecRecords(testsupport::PatternBytes(200, 34), o);
  ASSERT_EQ(r[1].substr(2, 2), "CB");
  RecordFraming framing(sim);
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd(testsupport::JoinRecords(r)));
  const auto records = framing.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(static_cast<unsigned char>(records[0].info[0]), 0x96);
  EXPECT_EQ(records[0].info[1], 69);
  EXPECT_TRUE(records[0].block == r[1].substr(5, 70));
  // The block ends inside the long record: what follows it is no record start.
  EXPECT_EQ(Text(w->StatusText()), ".gen No 'S' Error");
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
}

TEST_F(CodeFileTest, CountCharactersThatAreNotHexadecimalCountByTheDigitsThatLeadThem) {
  std::vector<std::string> r = SrecRecords(testsupport::PatternBytes(64, 35));
  ASSERT_EQ(r.size(), 4u);
  r[1][3] = 'Z';  // "2Z": 2
  r[2][2] = 'G';  // "G3": no digit, 0
  RecordFraming framing(sim);
  Press(Upload(testsupport::JoinRecords(r)));
  ASSERT_TRUE(RunToDone(framing));
  const auto records = framing.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].info[0], 4);
  EXPECT_EQ(records[1].info[0], 0);
  // The count does not change how much of the record is read.
  EXPECT_TRUE(records[1].block == r[2].substr(5) + "\r");
  EXPECT_TRUE(framing.Done());
  EXPECT_TRUE(framing.Errors().empty()) << Errors(framing);
}

// --- the file ending inside a record ---

TEST_F(CodeFileTest, AHeaderCountPointingPastTheEndGivesFileError) {
  RecordFraming framing(sim);
  ASSERT_NO_FATAL_FAILURE(UploadToLoopEnd("S00F0000"));
  EXPECT_EQ(Text(w->StatusText()), ".gen File Error");
  EXPECT_EQ(sim.Received(), "MPUFileE\r");
}

// --- no file ---

enum class Missing { NoFile, Deleted, Directory };

const char* const kMissingNames[] = {"NoFile", "Deleted", "Directory"};

void PrintTo(Missing m, std::ostream* os) { *os << kMissingNames[static_cast<int>(m)]; }

class CodeFileMissingTest : public CodeFileTest,
                            public ::testing::WithParamInterface<std::tuple<Kind, Missing>> {
 protected:
  const Kind& K() const override { return std::get<0>(GetParam()); }
};

TEST_P(CodeFileMissingTest, ShowsErrorOpeningSendsNothingAndChangesOnlyItsLabels) {
  RecordFraming framing(sim, K().processor);
  for (framework::Label* l : {w->PageNumText(), w->ChecksumText(), w->RepeatPageText(), w->StatusText(),
                              w->Bin_Status(), w->Kesmar_Status(), w->ANZ_Status()})
    l->SetText(l->Name() + " earlier");
  w->ProgressBar1()->SetMaximum(2665);
  w->ProgressBar1()->SetValue(77);
  const bool gen = K().processor == Processor::Gen;
  const std::string path = Upload("S9030000FC\r\n");
  switch (std::get<1>(GetParam())) {
    case Missing::NoFile:
      w->f = nullptr;
      Worker()->Run();
      break;
    case Missing::Deleted:
      std::remove(path.c_str());
      Press(path);
      break;
    case Missing::Directory:
      Press(dir.Path());
      break;
  }
  ASSERT_TRUE(RunUntil([&] { return Worker()->State() == ThreadState::NotRunning; }));
  Settle();
  EXPECT_EQ(sim.ReceivedCount(), 0u);
  EXPECT_EQ(Text(w->StatusText()), gen ? "Error Opening .gen File" : "Error Opening .anz File");
  EXPECT_EQ(Text(w->Bin_Status()), "");
  EXPECT_EQ(Text(w->Kesmar_Status()), gen ? "" : "Kesmar_Status earlier");
  EXPECT_EQ(Text(w->ANZ_Status()), gen ? "ANZ_Status earlier" : "");
  EXPECT_EQ(Text(w->PageNumText()), "PageNumText earlier");
  EXPECT_EQ(Text(w->ChecksumText()), "ChecksumText earlier");
  EXPECT_EQ(Text(w->RepeatPageText()), "RepeatPageText earlier");
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 2665);
  EXPECT_EQ(w->ProgressBar1()->Value(), 77);
}

std::string MissingName(const ::testing::TestParamInfo<std::tuple<Kind, Missing>>& info) {
  return std::string(std::get<0>(info.param).processor == Processor::Gen ? "Gen" : "Anz") +
         kMissingNames[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Files, CodeFileMissingTest,
                         ::testing::Combine(::testing::Values(kGen, kAnz),
                                            ::testing::Values(Missing::NoFile, Missing::Deleted, Missing::Directory)),
                         MissingName);

}  // namespace
