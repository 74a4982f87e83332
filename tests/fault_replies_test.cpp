// Replies that do not come as one clean line at once, through the real program against the
// simulated instrument: byte by byte with gaps, split between the CR and the LF, after
// unasked text, seconds late; and input that arrives while no upload runs. Whatever way the
// answers come, every upload still delivers its file byte for byte.
#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/instrument_sim.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "tests/support/upload_kind.h"
#include "window/window1.h"

using namespace harness;
using namespace testsupport;

namespace {

using ThreadState = framework::Thread::ThreadState;

// One answer the instrument owes, in the order the program asks for them.
struct Answer {
  Stage stage;  // Done stands for the ANZ configuration query
  unsigned number;
  std::string text;  // without its CR LF
};

// What the program must send, and what the instrument answers to each step; the page or
// record `again` is answered "RP OK" once and so goes out twice.
struct Exchange {
  std::string wire;
  std::vector<Answer> answers;
};

Exchange BinExchange(const std::string& image, unsigned again) {
  Exchange e;
  e.wire = "FPGAFile\r";
  e.answers.push_back({Stage::Erase, 0, "OK"});
  unsigned page = 0;
  for (std::size_t offset = 0; offset < image.size(); offset += 256, ++page) {
    const std::string one = testsupport::PageWire(page, image.substr(offset, 256)).All();
    for (int time = 0; time < (page == again ? 2 : 1); ++time) {
      e.wire += one;
      e.answers.push_back({Stage::Header, page, "OK"});
      e.answers.push_back({Stage::Information, page, "OK"});
      e.answers.push_back({Stage::Data, page, page == again && time == 0 ? "RP OK" : "OK"});
    }
  }
  e.wire += "FPGADone\r";
  return e;
}

Exchange CodeExchange(const std::string& text, Upload u, unsigned again) {
  const std::string at = u == Upload::Anz ? "@" : "";
  Exchange e;
  e.wire = at + "MPUFileE\r";
  e.answers.push_back({Stage::Erase, 0, "OK"});
  const auto records = testsupport::RecordsOfAlignedFile(text);
  for (unsigned n = 0; n < records.size(); ++n) {
    const std::string one = testsupport::RecordWire(records[n], at).All();
    for (int time = 0; time < (n == again ? 2 : 1); ++time) {
      e.wire += one;
      e.answers.push_back({Stage::Header, n, "OK"});
      e.answers.push_back({Stage::Information, n, "OK"});
      e.answers.push_back({Stage::Data, n, n == again && time == 0 ? "RP OK" : "OK"});
    }
  }
  e.wire += at + "MPUDone\r";
  if (u == Upload::Anz) {
    e.wire += "@InitDone?\r";
    e.answers.push_back({Stage::Done, 0, "AYES OK"});
  }
  return e;
}

// How one answer line travels.
enum class Shape {
  Clean,         // the line in one write
  ByteByByte,    // each byte on its own, with a gap after it
  SplitAtCrLf,   // the text and CR, a gap, then the LF
  AfterUnasked,  // an unasked line first; the answer follows once the program has taken it
  Late,          // the line, seconds after the request
};

// An unasked line with bytes that are no ASCII text: NUL, XOFF and a byte above 127.
const std::string kUnasked = std::string("\x13note \xB5\x00 busy", 12) + "\r\n";

Plan PlanFor(Shape shape, const std::string& text) {
  const std::string line = text + "\r\n";
  switch (shape) {
    case Shape::Clean:
      return Plan::Lines({text});
    case Shape::ByteByByte: {
      std::vector<std::string> bytes;
      for (char c : line) bytes.emplace_back(1, c);
      return Plan::Pieces(bytes, 3ms);
    }
    case Shape::SplitAtCrLf:
      return Plan::Pieces({text + "\r", "\n"}, 40ms);
    case Shape::AfterUnasked:
      // The answer itself is sent by the test once the unasked line is in Reply: sent
      // together, the two would reach the program as one value and match nothing.
      return Plan().Send(kUnasked);
    case Shape::Late:
      return Plan::After(1500ms, line);
  }
  return Plan();
}

struct ReplyCase {
  const char* name;
  Upload upload;
  std::vector<Shape> cycle;  // answer k travels as cycle[k % size]
  int lateAnswer = -1;       // that answer comes late instead
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class FaultRepliesTest : public testsupport::ProgramOnSimTest {
 protected:
  void SetUp() override {
    // The configuration wait's 8 s sleep is not what these cases are about.
    framework::testing::SetSleepScale(0.1);
    ASSERT_NO_FATAL_FAILURE(StartOnSim());
    // The real hand-off still runs; what was pending each time it ran is kept.
    auto handOff = w->Serial1()->DataAvailable;
    w->Serial1()->DataAvailable = [this, handOff](framework::Serial* s) {
      pendingAtHandOff.push_back(s->LookAhead());
      const bool takesALine = pendingAtHandOff.back().find("\r\n") != std::string::npos;
      handOff(s);
      if (takesALine && w->Reply == kUnasked) ++unaskedHandedOff;
    };
  }

  framework::Thread* Worker(Upload u) const { return testsupport::WorkerOf(w, u); }
  void Press(Upload u, const std::string& path) {
    seen->nextFile = path;
    Click(testsupport::LauncherOf(w, u)->Widget());
  }
  bool Running(Upload u) const { return Worker(u)->State() != ThreadState::NotRunning; }
  // A hand-off ran while only part of a line was in.
  bool SawPartialLine() const {
    return std::any_of(pendingAtHandOff.begin(), pendingAtHandOff.end(),
                       [](const std::string& p) { return !p.empty() && p.find("\r\n") == std::string::npos; });
  }
  bool SawCrWithoutLf() const {
    return std::any_of(pendingAtHandOff.begin(), pendingAtHandOff.end(),
                       [](const std::string& p) { return p.size() > 1 && p.back() == '\r'; });
  }
  std::vector<std::string> pendingAtHandOff;
  std::size_t unaskedHandedOff = 0;  // hand-offs that put the unasked line into Reply
};

class FaultReplyShapeTest : public FaultRepliesTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(FaultReplyShapeTest, TheUploadStillArrivesByteForByte) {
  const ReplyCase& c = GetParam();
  const Upload u = c.upload;
  std::unique_ptr<BinFraming> bin;
  std::unique_ptr<RecordFraming> records;
  std::unique_ptr<InitDoneQuery> query;
  std::string file, image;
  Exchange e;
  if (u == Upload::Bin) {
    image = testsupport::PatternBytes(2 * 256 + 77, 101);
    e = BinExchange(image, 1);
    bin = std::make_unique<BinFraming>(sim, image);
    file = dir.Write("image.bin", image);
  } else {
    const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(3 * 32, 102));
    e = CodeExchange(text, u, 1);
    records = std::make_unique<RecordFraming>(sim, u == Upload::Anz ? Processor::Anz : Processor::Gen);
    records->ExpectRecords(testsupport::RecordsOfAlignedFile(text));
    if (u == Upload::Anz) query = std::make_unique<InitDoneQuery>(sim);
    file = dir.Write(u == Upload::Anz ? "code.anz" : "code.gen", text);
  }

  // Every answer of the run, each in its shape; those that follow unasked text are the test's.
  std::deque<std::string> oursToSend;
  for (std::size_t k = 0; k < e.answers.size(); ++k) {
    const Answer& a = e.answers[k];
    const Shape shape = static_cast<int>(k) == c.lateAnswer ? Shape::Late : c.cycle[k % c.cycle.size()];
    if (shape == Shape::AfterUnasked) oursToSend.push_back(a.text + "\r\n");
    Plan plan = PlanFor(shape, a.text);
    const Then then = a.text == "RP OK" ? Then::Again : Then::Next;
    if (a.stage == Stage::Erase) {
      if (bin) bin->SetEraseAnswer(plan);
      if (records) records->SetEraseAnswer(plan);
    } else if (a.stage == Stage::Done) {
      query->SetAnswers({plan});
    } else if (bin) {
      bin->Script(a.stage, a.number, plan, then);
    } else {
      records->Script(a.stage, a.number, plan, then);
    }
  }

  Press(u, file);
  ASSERT_TRUE(Running(u));
  // Each unasked line handed off is followed by the answer it stands before; the program
  // may take that answer and reach the next unasked line before the test looks again.
  std::size_t answered = 0;
  while (Running(u)) {
    ASSERT_TRUE(RunUntil([&] { return !Running(u) || unaskedHandedOff > answered; }, 30s))
        << "the upload stopped moving; it showed \"" << w->StatusText()->Text() << "\"";
    if (unaskedHandedOff == answered) break;
    ASSERT_FALSE(oursToSend.empty()) << "unasked text where none was sent";
    EXPECT_EQ(w->Reply, kUnasked);
    sim.Send(oursToSend.front());
    oursToSend.pop_front();
    ++answered;
  }
  EXPECT_TRUE(oursToSend.empty());
  ExpectReceivedExactly(e.wire);

  EXPECT_EQ(w->RepeatPageText()->Text(), "1");
  EXPECT_EQ(w->ProgressBar1()->Value(), 0);
  switch (u) {
    case Upload::Bin:
      EXPECT_TRUE(bin->Errors().empty()) << ::testing::PrintToString(bin->Errors());
      EXPECT_TRUE(bin->Image() == image);
      EXPECT_TRUE(bin->Done());
      EXPECT_EQ(w->StatusText()->Text(), ".bin File Load Done");
      EXPECT_EQ(w->Bin_Status()->Text(), ".bin File Load Done");
      break;
    case Upload::Gen:
      EXPECT_TRUE(records->Errors().empty()) << ::testing::PrintToString(records->Errors());
      EXPECT_EQ(records->Accepted(), 3u);
      EXPECT_TRUE(records->Done());
      EXPECT_EQ(w->StatusText()->Text(), ".gen File Load Done");
      EXPECT_EQ(w->Kesmar_Status()->Text(), ".gen File Load Done");
      break;
    case Upload::Anz:
      EXPECT_TRUE(records->Errors().empty()) << ::testing::PrintToString(records->Errors());
      EXPECT_EQ(records->Accepted(), 3u);
      EXPECT_TRUE(records->Done());
      EXPECT_EQ(query->Count(), 1u);
      EXPECT_EQ(w->StatusText()->Text(), "ANZ Configuration Complete");
      EXPECT_EQ(w->ANZ_Status()->Text(), ".anz File Load Done");
      break;
  }
  // The pieces did reach the program apart: it had to wait for the rest of a line.
  const auto has = [&](Shape s) { return std::find(c.cycle.begin(), c.cycle.end(), s) != c.cycle.end(); };
  if (has(Shape::ByteByByte)) {
    EXPECT_TRUE(SawPartialLine());
  }
  if (has(Shape::SplitAtCrLf)) {
    EXPECT_TRUE(SawCrWithoutLf());
  }
  EXPECT_EQ(w->RxText()->Text(), "") << "upload-side input was shown";
}

// The .anz cases sit through the 8 s before the configuration query: one case mixes the shapes.
INSTANTIATE_TEST_SUITE_P(
    Shapes, FaultReplyShapeTest,
    ::testing::Values(ReplyCase{"BinByteByByte", Upload::Bin, {Shape::ByteByByte}},
                      ReplyCase{"BinSplitAtCrLf", Upload::Bin, {Shape::SplitAtCrLf}},
                      ReplyCase{"BinAfterUnaskedText", Upload::Bin, {Shape::AfterUnasked}},
                      ReplyCase{"GenByteByByte", Upload::Gen, {Shape::ByteByByte}},
                      ReplyCase{"GenSplitAtCrLf", Upload::Gen, {Shape::SplitAtCrLf}},
                      ReplyCase{"GenAfterUnaskedText", Upload::Gen, {Shape::AfterUnasked}},
                      ReplyCase{"AnzMixed", Upload::Anz, {Shape::ByteByByte, Shape::SplitAtCrLf, Shape::AfterUnasked}},
                      // A slow erase, and one late answer to a record's data.
                      ReplyCase{"BinLateErase", Upload::Bin, {Shape::Clean}, 0},
                      ReplyCase{"GenLateDataAnswer", Upload::Gen, {Shape::Clean}, 6}),
    [](const auto& info) { return std::string(info.param.name); });

// --- input while no upload runs ---

struct NoiseCase {
  const char* name;
  Upload upload;
};

void PrintTo(const NoiseCase& c, std::ostream* os) { *os << c.name; }

class FaultNoiseTest : public FaultRepliesTest, public ::testing::WithParamInterface<NoiseCase> {
 protected:
  // One console exchange first, so that the reply area shows something of its own.
  void ShowVersionReply() {
    Click(w->GenVersionPB()->Widget());
    ASSERT_TRUE(RunUntil([&] { return w->RxText()->Text() == "GEN V1.00\r\n"; }));
    sim.ClearReceived();
  }
  // Sends unasked bytes and waits until the hand-off has looked at them.
  void Arrive(const std::string& bytes) {
    const std::size_t before = pendingAtHandOff.size();
    sim.Send(bytes);
    ASSERT_TRUE(RunUntil([&] { return pendingAtHandOff.size() > before; }));
  }
  static std::string EraseCommand(Upload u) { return u == Upload::Bin ? "FPGAFile\r" : "MPUFileE\r"; }
  std::string NoiseLine(std::uint32_t seed) {
    std::string s = testsupport::PatternBytes(40, seed);
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s + "\r\n";
  }
};

// Stray lines, a stale "OK" among them, go to Reply unseen; the next upload empties Reply
// after its first send and is not misled by them.
TEST_P(FaultNoiseTest, UnaskedLinesAreNotShownSendNothingAndDoNotDisturbTheNextUpload) {
  const Upload u = GetParam().upload;
  ASSERT_NO_FATAL_FAILURE(ShowVersionReply());
  for (const std::string& line : {NoiseLine(201), std::string("OK\r\n"), NoiseLine(202), std::string("RP OK\r\n"),
                                  std::string("OK\r\n")})
    ASSERT_NO_FATAL_FAILURE(Arrive(line));
  RunFor(100ms);
  EXPECT_EQ(w->Reply, "OK\r\n");
  EXPECT_EQ(w->Serial1()->BytesAvailable(), 0u);
  EXPECT_EQ(w->RxText()->Text(), "GEN V1.00\r\n") << "unasked input was shown";
  EXPECT_EQ(sim.ReceivedCount(), 0u) << "the program answered the noise";
  EXPECT_EQ(w->StatusText()->Text(), "") << "no upload was started";

  std::unique_ptr<BinFraming> bin;
  std::unique_ptr<RecordFraming> records;
  Exchange e;
  if (u == Upload::Bin) {
    const std::string image = testsupport::PatternBytes(300, 203);
    e = BinExchange(image, ~0u);
    bin = std::make_unique<BinFraming>(sim, image);
    bin->SetEraseAnswer(Plan::Silence());  // the erase is over when the test says so
    Press(u, dir.Write("image.bin", image));
  } else {
    const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 204));
    e = CodeExchange(text, u, ~0u);
    records = std::make_unique<RecordFraming>(sim);
    records->SetEraseAnswer(Plan::Silence());
    Press(u, dir.Write("code.gen", text));
  }
  ASSERT_TRUE(RunUntil([&] { return sim.ReceivedCount() > 0; }));
  RunFor(200ms);
  EXPECT_TRUE(Running(u));
  EXPECT_EQ(sim.Received(), EraseCommand(u)) << "the stale OK ended the erase wait";
  EXPECT_EQ(w->Reply, "");
  sim.Send("OK\r\n");
  ASSERT_TRUE(RunUntil([&] { return !Running(u); }, 20s));
  ExpectReceivedExactly(e.wire);
  EXPECT_EQ(w->StatusText()->Text(), u == Upload::Bin ? ".bin File Load Done" : ".gen File Load Done");
  EXPECT_EQ(w->RxText()->Text(), "GEN V1.00\r\n");
}

// Bytes without a line end stay pending until an upload begins; it drops them, so that they
// cannot join its erase answer, which then ends the erase wait at once.
TEST_P(FaultNoiseTest, AFragmentLeftPendingBeforeTheUploadIsDroppedAndTheEraseAnswerGoesThrough) {
  const Upload u = GetParam().upload;
  ASSERT_NO_FATAL_FAILURE(ShowVersionReply());
  const std::string fragment("\xFF\x00zz", 4);
  ASSERT_NO_FATAL_FAILURE(Arrive(fragment));
  RunFor(100ms);
  EXPECT_EQ(w->Serial1()->BytesAvailable(), fragment.size());
  EXPECT_EQ(w->Reply, "");
  EXPECT_EQ(w->RxText()->Text(), "GEN V1.00\r\n");

  std::unique_ptr<BinFraming> bin;
  std::unique_ptr<RecordFraming> records;
  Exchange e;
  if (u == Upload::Bin) {
    const std::string image = testsupport::PatternBytes(600, 205);
    e = BinExchange(image, ~0u);
    bin = std::make_unique<BinFraming>(sim, image);
    bin->SetEraseAnswer(Plan::Silence());  // the erase is over when the test says so
    Press(u, dir.Write("image.bin", image));
  } else {
    const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 206));
    e = CodeExchange(text, u, ~0u);
    records = std::make_unique<RecordFraming>(sim);
    records->SetEraseAnswer(Plan::Silence());
    Press(u, dir.Write("code.gen", text));
  }
  ASSERT_TRUE(RunUntil([&] { return sim.Received() == EraseCommand(u); }));
  RunFor(100ms);
  EXPECT_EQ(w->Serial1()->BytesAvailable(), 0u) << "the fragment is still pending";
  sim.Send("OK\r\n");
  ASSERT_TRUE(RunUntil([&] { return !Running(u); }, 20s)) << "the erase answer did not reach the upload whole";
  ExpectReceivedExactly(e.wire);
  EXPECT_EQ(w->StatusText()->Text(), u == Upload::Bin ? ".bin File Load Done" : ".gen File Load Done");
  EXPECT_EQ(w->RxText()->Text(), "GEN V1.00\r\n") << "the fragment was shown";
}

INSTANTIATE_TEST_SUITE_P(Uploads, FaultNoiseTest,
                         ::testing::Values(NoiseCase{"Bin", Upload::Bin}, NoiseCase{"Gen", Upload::Gen}),
                         [](const auto& info) { return std::string(info.param.name); });

// Noise while idle and then a console command: the reply area shows the noise in front of
// the answer, and the console goes on working.
TEST_F(FaultRepliesTest, NoiseWithoutALineEndIsShownInFrontOfTheNextConsoleAnswer) {
  const std::string noise("\x80\x01~~", 4);
  const std::size_t before = pendingAtHandOff.size();
  sim.Send(noise);
  ASSERT_TRUE(RunUntil([&] { return pendingAtHandOff.size() > before; }));
  RunFor(50ms);
  EXPECT_EQ(w->RxText()->Text(), "");
  Click(w->VersionPB1()->Widget());
  const std::string shown = noise + InstrumentSim::kGenId + "\r\n";
  EXPECT_TRUE(RunUntil([&] { return w->RxText()->Text() == shown; })) << ::testing::PrintToString(w->RxText()->Text());
  EXPECT_EQ(w->Serial1()->BytesAvailable(), 0u);
  Click(w->GenVersionPB()->Widget());
  EXPECT_TRUE(RunUntil([&] { return w->RxText()->Text() == "GEN V1.00\r\n"; }));
  EXPECT_EQ(sim.Received(), "ID?\rver?\r");
}

}  // namespace
