// What the console and the device link do while an upload runs: every way to send, Reconnect
// and the port list are refused with a message, the upload completes untouched, and once it
// is over they work again. Driven through the real program against the simulator.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QTest>

#include <chrono>
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
const std::string kReconnectRefused =
    "Reconnect works again when it is done. If the Vantrel-9 lost power or was unplugged during the "
    "upload, quit (File > Quit), start the programmer again and repeat the update step.";
const std::string kPortListRefused = "The port can be changed again when it is done.";

std::string Refusal(const std::string& kind, const std::string& worksAgain) {
  return "The " + kind + " File upload is running. " + worksAgain;
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

TEST_P(UploadGuardKindTest, TheRefusalNamesTheRunningUpload) {
  seen->nextFile = dir.Write("file", "S9030000FC\r\n");
  Press(testsupport::LauncherOf(w, R().upload));
  // The simulator does not answer the erase command: the upload stays in its erase wait.
  ASSERT_TRUE(RunUntil([&] { return sim.Received() == R().eraseCommand; }));
  EXPECT_EQ(w->RunningUpload(), R().kind);
  Press(w->GenVersionPB());
  Press(w->ConnectPB());
  EXPECT_EQ(seen->messages,
            (std::vector<std::string>{Refusal(R().kind, kConsoleRefused), Refusal(R().kind, kReconnectRefused)}));
  RunFor(100ms);
  EXPECT_EQ(sim.Received(), R().eraseCommand);
}

INSTANTIATE_TEST_SUITE_P(
    Uploads, UploadGuardKindTest,
    ::testing::Values(RunningUpload{testsupport::Upload::Bin, ".bin", "FPGAFile\r"},
                      RunningUpload{testsupport::Upload::Gen, ".gen", "MPUFileE\r"},
                      RunningUpload{testsupport::Upload::Anz, ".anz", "@MPUFileE\r"}),
    [](const auto& info) { return std::string(testsupport::NameOf(info.param.upload)); });

}  // namespace
