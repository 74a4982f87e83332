// What the console and the device link do while an upload runs: every way to send, Reconnect,
// the port list and the file buttons are refused with a message that names the way out, the
// upload completes untouched, and once it is over they work again; and nothing the console
// left on the link before an upload strands it. Driven through the real program against the
// simulator.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QTest>

#include <chrono>
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
using namespace std::chrono_literals;
using testsupport::BinFraming;
using testsupport::InstrumentSim;
using testsupport::Plan;
using testsupport::Stage;

namespace {

using ThreadState = framework::Thread::ThreadState;

const std::string kConsoleRefused = "Commands can be sent again when it is done.";
const std::string kReconnectRefused = "Reconnect works again when it is done.";
const std::string kPortListRefused = "The port can be changed again when it is done.";
const std::string kLauncherRefused = "The next file can be sent when it is done.";
// Every refusal ends with the way out of an upload that never ends, in the same words.
const std::string kWayOut =
    "If it has stalled (the Vantrel-9 lost power, was unplugged or does not answer), quit (File > Quit), "
    "start the programmer again and repeat the update step.";

std::string Refusal(const std::string& kind, const std::string& worksAgain) {
  return "The " + kind + " File upload is running. " + worksAgain + " " + kWayOut;
}

enum class Control { Console, Reconnect, PortList };

class GuardTest : public testsupport::ProgramOnSimTest {
 public:
  void ReturnInCommandLine() { QTest::keyClick(w->TxText()->Widget(), Qt::Key_Return); }
  void Press(framework::PushButton* button) { Click(button->Widget()); }
  // The user opens the list and chooses the first row.
  void ChooseFirstRow() {
    auto* list = static_cast<QComboBox*>(w->PortPopup()->Widget());
    list->showPopup();
    QAbstractItemView* rows = list->view();
    rows->setCurrentIndex(list->model()->index(0, 0));
    QTest::keyClick(rows, Qt::Key_Return);
  }
  Window1_* W() const { return w; }

 protected:
  void SetUp() override {
    // The instrument is the last row, which start-up opens; the first row is a missing device.
    StartWith({{"ttyS0", "/nonexistent-vantrel/ttyS0"}, {"Vantrel-9", sim.SlavePath()}});
    ASSERT_TRUE(w->Serial1()->IsOpen()) << w->Serial1()->LastErrorText();
    ASSERT_EQ(w->SelectedIndex, 1);
  }

  bool Running() const { return !w->RunningUpload().empty(); }

  // An acknowledgement that has arrived and waits in the driver, unread: what a close, a
  // flush or an input flush at open drops, and what a console send takes for itself.
  void PutInFlight(const std::string& line) {
    sim.Send(line);
    ASSERT_TRUE(sim.WaitUntilQueuedForReading(line.size())) << sim.QueuedForReading() << " bytes wait";
  }
};

struct Interference {
  const char* name;
  Control control;
  std::string typed;              // in the command line before the upload ("\r": Return)
  void (*act)(GuardTest&);        // one user action, a single event
  const std::string* worksAgain;  // the refusal's second part
  std::string sends;              // console, once free: what goes out
  std::string shown;              // and what the reply area then shows ("": it still waits)
  std::string fieldAfter;         // and what the command line holds
};

void PrintTo(const Interference& c, std::ostream* os) { *os << c.name; }

class UploadGuardTest : public GuardTest, public ::testing::WithParamInterface<Interference> {};

TEST_P(UploadGuardTest, TheActionIsRefusedDuringAnUploadWhichCompletesAndWorksOnceItIsOver) {
  const Interference& c = GetParam();
  Type(w->TxText()->Widget(), c.typed);
  ASSERT_TRUE(RunUntil([&] { return !w->GetEntireReply; })) << "the command typed got no answer";
  const std::string field = w->TxText()->Text();
  const std::string rx = w->RxText()->Text();
  sim.ClearReceived();

  const std::string image = testsupport::PatternBytes(3 * 256, 61);
  BinFraming bin(sim, image);
  bin.Script(Stage::Header, 1, Plan::Silence());  // the test sends that acknowledgement
  seen->nextFile = dir.Write("image.bin", image);
  Press(w->ConfigPB());
  ASSERT_TRUE(RunUntil([&] { return bin.Saw(Stage::Header, 1); }));
  ASSERT_TRUE(Running());

  // The action lands while the worker waits and its "OK" is on its way.
  ASSERT_NO_FATAL_FAILURE(PutInFlight("OK\r\n"));
  c.act(*this);
  EXPECT_EQ(seen->messages, std::vector<std::string>{Refusal(".bin", *c.worksAgain)});
  EXPECT_FALSE(w->GetEntireReply) << "the console waits for the upload's reply";
  EXPECT_EQ(w->TxText()->Text(), field) << "the command line lost its text";
  EXPECT_EQ(w->PortPopup()->ListIndex(), 1) << "the list does not show the port in use";
  EXPECT_EQ(w->SelectedIndex, 1);
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  EXPECT_TRUE(w->Serial1()->IsOpen());

  ASSERT_TRUE(RunUntil([&] { return !Running(); })) << "the upload was stranded";
  // "FPGADone" is the one send no answer follows: it may arrive after the worker ended.
  ExpectReceivedExactly("FPGAFile\r" + testsupport::PagesWire(image) + "FPGADone\r");
  EXPECT_TRUE(bin.Image() == image);
  EXPECT_TRUE(bin.Errors().empty()) << ::testing::PrintToString(bin.Errors());
  EXPECT_EQ(w->StatusText()->Text(), ".bin File Load Done");
  EXPECT_EQ(w->RxText()->Text(), rx) << "the upload's reply reached the reply area";
  EXPECT_EQ(seen->messages.size(), 1u) << "the list's return to the port in use said it again";

  // Over: the same action does what it does without an upload.
  sim.ClearReceived();
  switch (c.control) {
    case Control::Console:
      c.act(*this);
      EXPECT_TRUE(sim.WaitForBytes(c.sends.size(), 3000ms));
      RunFor(100ms);
      EXPECT_EQ(sim.Received(), c.sends);
      EXPECT_TRUE(RunUntil([&] { return w->RxText()->Text() == c.shown; })) << w->RxText()->Text();
      EXPECT_EQ(w->GetEntireReply, c.shown.empty());
      EXPECT_EQ(w->TxText()->Text(), c.fieldAfter);
      break;
    case Control::Reconnect: {
      const std::string reply = w->Reply;
      ASSERT_NO_FATAL_FAILURE(PutInFlight("late\r\n"));
      c.act(*this);
      RunFor(200ms);
      EXPECT_EQ(w->Reply, reply) << "the port was not reopened: the input from before is still there";
      EXPECT_EQ(w->Connected_Text()->Text(), "True");
      EXPECT_TRUE(w->Serial1()->IsOpen());
      EXPECT_EQ(sim.ReceivedCount(), 0u);
      break;
    }
    case Control::PortList:
      c.act(*this);
      EXPECT_EQ(w->PortPopup()->ListIndex(), 0);
      EXPECT_EQ(w->SelectedIndex, 0);
      EXPECT_EQ(w->Connected_Text()->Text(), "False");
      EXPECT_FALSE(w->Serial1()->IsOpen());
      break;
  }
  EXPECT_EQ(seen->messages.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, UploadGuardTest,
    ::testing::Values(
        Interference{"ReturnAfterACommand", Control::Console, "ver?", [](GuardTest& t) { t.ReturnInCommandLine(); },
                     &kConsoleRefused, "ver?\r", "GEN V1.00\r\n", "ver?"},
        // The line sent before the upload still shows; its clear waits for the next key.
        Interference{"ReturnAfterASentLine", Control::Console, "ID?\r", [](GuardTest& t) { t.ReturnInCommandLine(); },
                     &kConsoleRefused, "\r", "", ""},
        Interference{"ReturnOnAnEmptyLine", Control::Console, "", [](GuardTest& t) { t.ReturnInCommandLine(); },
                     &kConsoleRefused, "\r", "", ""},
        Interference{"BeginUpdate", Control::Console, "ID?", [](GuardTest& t) { t.Press(t.W()->BootloaderPB()); },
                     &kConsoleRefused, "#Boot\r", "OK\r\n", "ID?"},
        Interference{"GenVersion", Control::Console, "", [](GuardTest& t) { t.Press(t.W()->GenVersionPB()); },
                     &kConsoleRefused, "ver?\r", "GEN V1.00\r\n", ""},
        Interference{"GenId", Control::Console, "", [](GuardTest& t) { t.Press(t.W()->VersionPB1()); },
                     &kConsoleRefused, "ID?\r", "GEN ID 000042\r\n", ""},
        Interference{"AnzVersion", Control::Console, "", [](GuardTest& t) { t.Press(t.W()->AnzVersionPB()); },
                     &kConsoleRefused, "@ver?\r", "ANZ V1.00\r\n", ""},
        Interference{"Reconnect", Control::Reconnect, "", [](GuardTest& t) { t.Press(t.W()->ConnectPB()); },
                     &kReconnectRefused, "", "", ""},
        Interference{"AnotherPort", Control::PortList, "", [](GuardTest& t) { t.ChooseFirstRow(); },
                     &kPortListRefused, "", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the refusal names the upload that runs ---

struct RunningUpload {
  testsupport::Upload upload;
  const char* kind;
  const char* eraseCommand;
};

void PrintTo(const RunningUpload& c, std::ostream* os) { *os << testsupport::NameOf(c.upload); }

class UploadGuardKindTest : public GuardTest, public ::testing::WithParamInterface<RunningUpload> {
 protected:
  const RunningUpload& R() const { return GetParam(); }
};

// The upload's erase is never answered, as when the instrument lost power behind an adapter
// that stays powered: every way to use the link is refused, each box naming the upload and
// the way out; the launchers refuse before their dialog, and f keeps the running upload's file.
TEST_P(UploadGuardKindTest, EveryRefusalNamesTheRunningUploadAndTheWayOut) {
  seen->nextFile = dir.Write("file", "S9030000FC\r\n");
  Press(testsupport::LauncherOf(w, R().upload));
  ASSERT_TRUE(RunUntil([&] { return sim.Received() == R().eraseCommand; }));
  EXPECT_EQ(w->RunningUpload(), R().kind);
  const std::shared_ptr<framework::FolderItem> chosen = w->f;
  ASSERT_TRUE(chosen);
  seen->nextFile = dir.Write("another", "S9030000FC\r\n");

  Type(w->TxText()->Widget(), "ver?\r");
  for (auto* button : {w->BootloaderPB(), w->GenVersionPB(), w->VersionPB1(), w->AnzVersionPB(), w->ConnectPB()})
    Press(button);
  ChooseFirstRow();
  for (testsupport::Upload u : {testsupport::Upload::Bin, testsupport::Upload::Gen, testsupport::Upload::Anz})
    Press(testsupport::LauncherOf(w, u));

  const std::string console = Refusal(R().kind, kConsoleRefused);
  const std::string launcher = Refusal(R().kind, kLauncherRefused);
  EXPECT_EQ(seen->messages, (std::vector<std::string>{console, console, console, console, console,
                                                      Refusal(R().kind, kReconnectRefused),
                                                      Refusal(R().kind, kPortListRefused), launcher, launcher,
                                                      launcher}));
  EXPECT_EQ(seen->dialogFilters.size(), 1u) << "a launcher opened its dialog during the upload";
  EXPECT_EQ(w->f, chosen);
  EXPECT_EQ(w->TxText()->Text(), "ver?");
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_EQ(w->PortPopup()->ListIndex(), 1);
  EXPECT_TRUE(w->Serial1()->IsOpen());
  RunFor(100ms);
  EXPECT_EQ(sim.Received(), R().eraseCommand);
  EXPECT_EQ(w->RunningUpload(), R().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Uploads, UploadGuardKindTest,
    ::testing::Values(RunningUpload{testsupport::Upload::Bin, ".bin", "FPGAFile\r"},
                      RunningUpload{testsupport::Upload::Gen, ".gen", "MPUFileE\r"},
                      RunningUpload{testsupport::Upload::Anz, ".anz", "@MPUFileE\r"}),
    [](const auto& info) { return std::string(testsupport::NameOf(info.param.upload)); });

}  // namespace

// --- what the console left on the link ---

namespace {

// What the console leaves behind when an upload starts: a command the instrument never
// answered (as a boot loader may not), or a reply whose CR came alone and whose LF came
// 60 ms later, after the reply area had shown the line.
enum class Leftover { UnansweredCommand, LineEndApart };

struct LeftoverCase {
  const char* name;
  testsupport::Upload upload;
  Leftover leftover;
};

void PrintTo(const LeftoverCase& c, std::ostream* os) { *os << c.name; }

class UploadAfterConsoleTest : public GuardTest, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(UploadAfterConsoleTest, TheUploadOwnsTheLinkFromItsFirstSend) {
  using testsupport::Upload;
  const LeftoverCase& c = GetParam();
  framework::testing::SetSleepScale(0.01);  // the .anz upload's 8 s before its query
  std::string shown;
  if (c.leftover == Leftover::UnansweredCommand) {
    sim.Script("ID?", Plan::Silence());
    Press(w->VersionPB1());
    ASSERT_TRUE(sim.WaitForReceived([](const std::string& r) { return r == "ID?\r"; }, 3000ms));
    RunFor(100ms);
    ASSERT_TRUE(w->GetEntireReply) << "the console still waits for its reply";
  } else {
    sim.Script("ID?", Plan().Send("ID 004217\r").Wait(60ms).Send("\n"));
    Press(w->VersionPB1());
    shown = "ID 004217\r";
    ASSERT_TRUE(RunUntil([&] { return w->RxText()->Text() == shown; })) << w->RxText()->Text();
    ASSERT_TRUE(RunUntil([&] { return w->Serial1()->BytesAvailable() == 1; })) << "the LF is not pending";
    ASSERT_FALSE(w->GetEntireReply);
  }

  std::unique_ptr<BinFraming> bin;
  std::unique_ptr<testsupport::RecordFraming> records;
  std::unique_ptr<testsupport::InitDoneQuery> query;
  std::string wire, done;
  if (c.upload == Upload::Bin) {
    const std::string image = testsupport::PatternBytes(2 * 256 + 30, 63);
    bin = std::make_unique<BinFraming>(sim, image);
    seen->nextFile = dir.Write("image.bin", image);
    wire = "FPGAFile\r" + testsupport::PagesWire(image) + "FPGADone\r";
    done = ".bin File Load Done";
  } else {
    const bool anz = c.upload == Upload::Anz;
    const std::string at = anz ? "@" : "";
    const std::string text = testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 64));
    const auto expected = testsupport::RecordsOfAlignedFile(text);
    records = std::make_unique<testsupport::RecordFraming>(
        sim, anz ? testsupport::Processor::Anz : testsupport::Processor::Gen);
    records->ExpectRecords(expected);
    if (anz) query = std::make_unique<testsupport::InitDoneQuery>(sim);
    seen->nextFile = dir.Write(anz ? "code.anz" : "code.gen", text);
    wire = at + "MPUFileE\r" + testsupport::RecordsWire(expected, at) + at + "MPUDone\r" + (anz ? "@InitDone?\r" : "");
    done = anz ? "ANZ Configuration Complete" : ".gen File Load Done";
  }
  Press(testsupport::LauncherOf(w, c.upload));
  ASSERT_TRUE(RunUntil([&] { return !Running(); }, 10s))
      << "the upload was stranded at \"" << w->StatusText()->Text() << "\"";
  ExpectReceivedExactly("ID?\r" + wire);
  const std::vector<std::string> errors = bin ? bin->Errors() : records->Errors();
  EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
  EXPECT_TRUE(bin ? bin->Done() : records->Done());
  EXPECT_EQ(w->StatusText()->Text(), done);
  EXPECT_EQ(w->RxText()->Text(), shown) << "an acknowledgement reached the reply area";
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_TRUE(seen->messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Leftovers, UploadAfterConsoleTest,
    ::testing::Values(LeftoverCase{"BinAfterAnUnansweredCommand", testsupport::Upload::Bin, Leftover::UnansweredCommand},
                      LeftoverCase{"GenAfterAnUnansweredCommand", testsupport::Upload::Gen, Leftover::UnansweredCommand},
                      LeftoverCase{"AnzAfterAnUnansweredCommand", testsupport::Upload::Anz, Leftover::UnansweredCommand},
                      LeftoverCase{"BinAfterALineEndApart", testsupport::Upload::Bin, Leftover::LineEndApart},
                      LeftoverCase{"GenAfterALineEndApart", testsupport::Upload::Gen, Leftover::LineEndApart},
                      LeftoverCase{"AnzAfterALineEndApart", testsupport::Upload::Anz, Leftover::LineEndApart}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
