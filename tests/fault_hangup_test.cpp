// The instrument hangs up (power cut, cable pulled) in the middle of each phase of each
// upload, through the real program against the simulator. The program stays alive and
// answers clicks, shows "Verify Connection", writes nothing more, and its worker keeps
// waiting for the answer (the design has no time-out); once the instrument is back and
// Reconnect is pressed, the console works again and the waiting worker takes up its answer.
#include <gtest/gtest.h>

#include <QTimer>

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

enum class Phase { Erase, Header, Information, Data, Query };

// The page or record in whose stages the line goes dead: one in the middle of the file.
constexpr unsigned kNumber = 1;

// What the program sends, cut into the steps that each await an answer.
struct Step {
  Phase phase;
  unsigned number;
  std::string bytes;
};

std::vector<Step> BinSteps(const std::string& image) {
  std::vector<Step> steps{{Phase::Erase, 0, "FPGAFile\r"}};
  unsigned page = 0;
  for (std::size_t offset = 0; offset < image.size(); offset += 256, ++page) {
    const testsupport::StagedWire wire = testsupport::PageWire(page, image.substr(offset, 256));
    steps.push_back({Phase::Header, page, wire.header});
    steps.push_back({Phase::Information, page, wire.information});
    steps.push_back({Phase::Data, page, wire.data});
  }
  return steps;
}

std::vector<Step> CodeSteps(const std::string& text, Upload u) {
  const std::string at = u == Upload::Anz ? "@" : "";
  std::vector<Step> steps{{Phase::Erase, 0, at + "MPUFileE\r"}};
  const auto records = testsupport::RecordsOfAlignedFile(text);
  for (unsigned n = 0; n < records.size(); ++n) {
    const testsupport::StagedWire wire = testsupport::RecordWire(records[n], at);
    steps.push_back({Phase::Header, n, wire.header});
    steps.push_back({Phase::Information, n, wire.information});
    steps.push_back({Phase::Data, n, wire.data});
  }
  // The end command awaits no answer; the query that follows it does.
  if (u == Upload::Anz) steps.push_back({Phase::Query, 0, at + "MPUDone\r@InitDone?\r"});
  return steps;
}

struct HangUpCase {
  const char* name;
  Upload upload;
  Phase phase;
  std::string before;  // what the instrument got out of its answer before the line died
};

void PrintTo(const HangUpCase& c, std::ostream* os) { *os << c.name; }

class FaultHangUpTest : public testsupport::ProgramOnSimTest, public ::testing::WithParamInterface<HangUpCase> {
 protected:
  void SetUp() override {
    // The configuration wait's 8 s sleep is not what these cases are about.
    framework::testing::SetSleepScale(0.1);
    ASSERT_NO_FATAL_FAILURE(StartOnSim({.portName = "Vantrel-9"}));
  }

  framework::Thread* Worker(Upload u) const { return testsupport::WorkerOf(w, u); }
  framework::PushButton* Launcher(Upload u) const { return testsupport::LauncherOf(w, u); }
  // What StatusText shows while the worker waits in that phase.
  static std::string WaitingText(Upload u, Phase p) {
    if (p == Phase::Query) return "Wait - ANZ Configuring";
    const std::string kind = u == Upload::Bin ? ".bin" : u == Upload::Gen ? ".gen" : ".anz";
    return p == Phase::Erase ? "Erasing " + kind + " ROM" : "Loading " + kind + " File";
  }
};

TEST_P(FaultHangUpTest, TheProgramWaitsUnharmedAndWorksAgainAfterReconnect) {
  const HangUpCase& c = GetParam();
  const Upload u = c.upload;
  const Plan hangUp = Plan().Send(c.before).Wait(10ms).HangUp();

  std::unique_ptr<BinFraming> bin;
  std::unique_ptr<RecordFraming> records;
  std::unique_ptr<InitDoneQuery> query;
  std::vector<Step> steps;
  std::string file;
  if (u == Upload::Bin) {
    const std::string image = testsupport::PatternBytes(3 * 256 + 10, 301);
    steps = BinSteps(image);
    bin = std::make_unique<BinFraming>(sim, image);
    file = dir.Write("image.bin", image);
  } else {
    const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(3 * 32, 302));
    steps = CodeSteps(text, u);
    records = std::make_unique<RecordFraming>(sim, u == Upload::Anz ? Processor::Anz : Processor::Gen);
    records->ExpectRecords(testsupport::RecordsOfAlignedFile(text));
    if (u == Upload::Anz) query = std::make_unique<InitDoneQuery>(sim);
    file = dir.Write(u == Upload::Anz ? "code.anz" : "code.gen", text);
  }
  const Stage stage = c.phase == Phase::Header        ? Stage::Header
                      : c.phase == Phase::Information ? Stage::Information
                                                      : Stage::Data;
  switch (c.phase) {
    case Phase::Erase:
      if (bin) bin->SetEraseAnswer(hangUp);
      if (records) records->SetEraseAnswer(hangUp);
      break;
    case Phase::Query:
      query->SetAnswers({hangUp});
      break;
    default:
      if (bin) bin->Script(stage, kNumber, hangUp, Then::Next);
      if (records) records->Script(stage, kNumber, hangUp, Then::Next);
      break;
  }
  // Everything up to the step whose answer never comes, and the step the program takes next.
  std::string sentBefore;
  std::size_t next = 0;
  while (next < steps.size()) {
    const Step& s = steps[next++];
    sentBefore += s.bytes;
    if (s.phase == c.phase && (s.number == kNumber || c.phase == Phase::Erase || c.phase == Phase::Query)) break;
  }

  seen->nextFile = file;
  Click(Launcher(u)->Widget());
  ASSERT_TRUE(RunUntil([&] { return w->RxText()->Text() == "Verify Connection"; }, 20s))
      << "no \"Verify Connection\"; the program sent " << ::testing::PrintToString(sim.Received());
  EXPECT_FALSE(sim.Connected());

  // Alive, waiting in the phase, and silent: every write on the dead port would raise an error.
  RunFor(300ms);
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(sim.Received() == sentBefore) << "sent " << ::testing::PrintToString(sim.Received()) << ", expected "
                                            << ::testing::PrintToString(sentBefore);
  EXPECT_NE(Worker(u)->State(), ThreadState::NotRunning) << "the worker gave up";
  EXPECT_EQ(w->StatusText()->Text(), WaitingText(u, c.phase));
  EXPECT_FALSE(w->Serial1()->IsOpen());
  EXPECT_EQ(w->Connected_Text()->Text(), "True") << "an error leaves the display alone";

  // A click is handled: Reconnect, while the instrument is still away, fails.
  Click(w->ConnectPB()->Widget());
  EXPECT_EQ(w->Connected_Text()->Text(), "False");
  EXPECT_EQ(w->RxText()->Text(), "Verify Connection");

  sim.ComeBack();
  Click(w->ConnectPB()->Widget());
  ASSERT_EQ(w->Connected_Text()->Text(), "True") << w->Serial1()->LastErrorText();
  RunFor(200ms);
  EXPECT_EQ(sim.ReceivedCount(), sentBefore.size()) << "the worker wrote on the new connection unasked";

  // The console still leaves the line to the waiting upload.
  const std::size_t shown = seen->messages.size();
  Click(w->GenVersionPB()->Widget());
  RunFor(100ms);
  EXPECT_EQ(seen->messages.size(), shown + 1) << "the refusal was not shown";
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_EQ(errors, 1);

  // The worker still waits for its answer, and takes it on the new connection.
  const std::string console = sentBefore;
  ASSERT_TRUE(sim.Received() == console) << ::testing::PrintToString(sim.Received());
  if (c.phase == Phase::Query) {
    sim.Send("AYES OK\r\n");
    EXPECT_TRUE(RunUntil([&] { return Worker(u)->State() == ThreadState::NotRunning; }));
    EXPECT_EQ(w->StatusText()->Text(), "ANZ Configuration Complete");
  } else {
    ASSERT_LT(next, steps.size());
    const std::string then = console + steps[next].bytes;
    sim.Send("OK\r\n");
    EXPECT_TRUE(RunUntil([&] { return sim.ReceivedCount() >= then.size(); }))
        << "the worker did not go on after the answer";
    EXPECT_TRUE(sim.Received().substr(0, then.size()) == then) << ::testing::PrintToString(sim.Received());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, FaultHangUpTest,
    ::testing::Values(HangUpCase{"BinErase", Upload::Bin, Phase::Erase, ""},
                      HangUpCase{"BinHeader", Upload::Bin, Phase::Header, "O"},
                      HangUpCase{"BinInformation", Upload::Bin, Phase::Information, "OK\r"},
                      HangUpCase{"BinData", Upload::Bin, Phase::Data, ""},
                      HangUpCase{"GenErase", Upload::Gen, Phase::Erase, "OK\r"},
                      HangUpCase{"GenHeader", Upload::Gen, Phase::Header, ""},
                      HangUpCase{"GenInformation", Upload::Gen, Phase::Information, "O"},
                      HangUpCase{"GenData", Upload::Gen, Phase::Data, "RP"},
                      HangUpCase{"AnzErase", Upload::Anz, Phase::Erase, "O"},
                      HangUpCase{"AnzHeader", Upload::Anz, Phase::Header, "OK\r"},
                      HangUpCase{"AnzInformation", Upload::Anz, Phase::Information, ""},
                      HangUpCase{"AnzData", Upload::Anz, Phase::Data, "OK\r"},
                      // Sits through the 8 s before the query.
                      HangUpCase{"AnzConfigurationQuery", Upload::Anz, Phase::Query, "AYES"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
