// The device link of the main window: the port list, opening the chosen port, Reconnect,
// the Connected display and port errors, through the real program against the simulator.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QKeySequence>
#include <QTest>
#include <QWheelEvent>
#include <QWidget>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "framework/application.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "window/window1.h"

using namespace harness;
using namespace std::chrono_literals;
using testsupport::InstrumentSim;

namespace {

const std::string kInvalidPort = "Error opening serial port. Invalid serial Port:-1";

double CpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Descriptors of this process open on the device (the simulator keeps one of its own).
int DescriptorsOn(const std::string& device) {
  int count = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (!d) return -1;
  while (dirent* e = ::readdir(d)) {
    char target[PATH_MAX];
    const std::string link = std::string("/proc/self/fd/") + e->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && device == std::string(target, static_cast<std::size_t>(n))) ++count;
  }
  ::closedir(d);
  return count;
}

QComboBox* PortList(Window1_* w) { return static_cast<QComboBox*>(w->PortPopup()->Widget()); }

class DeviceLinkTest : public testsupport::ProgramOnSimTest {
 protected:
  struct Box {
    std::string text;
    std::string connectedThen;  // the Connected display while the box showed
  };

  // Each case starts with the ports it needs.
  void SetUp() override {
    // Locks of a private folder: the same device (/dev/null) may be opened by another test
    // at the same time.
    framework::testing::SetLockFolders({locks.Path()});
    framework::testing::SetMessageBox([this](const std::string& text) {
      boxes.push_back({text, Window1()->Connected_Text()->Text()});
    });
  }

  std::string Missing(const char* name) const { return std::string("/nonexistent-vantrel/") + name; }

  // The user's choice of another row, as a keyboard user makes it: Space opens the list,
  // an arrow key steps to the row in it and Return takes it.
  void ChooseRowAbove() { ChooseRowInOpenedList(Qt::Key_Up); }
  void ChooseRowBelow() { ChooseRowInOpenedList(Qt::Key_Down); }
  void ChooseRowInOpenedList(Qt::Key step) {
    QComboBox* list = PortList(w);
    QTest::keyClick(list, Qt::Key_Space);
    ASSERT_TRUE(list->view()->isVisible()) << "Space did not open the list";
    QTest::keyClick(list->view(), step);
    QTest::keyClick(list->view(), Qt::Key_Return);
    ASSERT_FALSE(list->view()->isVisible()) << "Return did not close the list";
  }

  void AskGenVersion() { Click(w->GenVersionPB()->Widget()); }
  ::testing::AssertionResult ReplyShown(const std::string& text) {
    return RunUntilOrTell([&] { return w->RxText()->Text() == text; }, 5s,
                          "the reply area did not show " + ::testing::PrintToString(text));
  }

  testsupport::TempDir locks;
  std::vector<Box> boxes;
};

// --- start-up ---

TEST_F(DeviceLinkTest, ThreePortsAreListedAndTheLastIsOpenedAt115200WithFocusInTheCommandLine) {
  StartWith({{"ttyS0", Missing("ttyS0")}, {"ttyUSB3", Missing("ttyUSB3")}, {"Vantrel-9", sim.SlavePath()}});
  ASSERT_EQ(w->PortPopup()->ListCount(), 3);
  EXPECT_EQ(w->PortPopup()->List(0), "0  ttyS0");
  EXPECT_EQ(w->PortPopup()->List(1), "1  ttyUSB3");
  EXPECT_EQ(w->PortPopup()->List(2), "2  Vantrel-9");
  EXPECT_EQ(w->SerialPortCount, 3);
  EXPECT_EQ(w->PortPopup()->ListIndex(), 2);
  EXPECT_EQ(w->SelectedIndex, 2);
  EXPECT_TRUE(w->Serial1()->IsOpen()) << w->Serial1()->LastErrorText();
  EXPECT_EQ(w->Serial1()->SerialPort().Path, sim.SlavePath());
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  EXPECT_EQ(w->Widget()->focusWidget(), w->TxText()->Widget());
  EXPECT_TRUE(boxes.empty());

  // The line as the instrument sees it: 115200 bit/s, 8N1, CTS flow control, no XON/XOFF.
  const termios t = sim.LineSettings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));

  // It is the instrument that answers.
  AskGenVersion();
  EXPECT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
  EXPECT_EQ(sim.Received(), "ver?\r");
}

struct FailedOpenCase {
  const char* name;
  const char* path;
  const char* reason;  // what the Connected display's tip tells besides the device
};
void PrintTo(const FailedOpenCase& c, std::ostream* os) { *os << c.name; }

class DeviceLinkFailedOpenTest : public DeviceLinkTest,
                                 public ::testing::WithParamInterface<FailedOpenCase> {};

TEST_P(DeviceLinkFailedOpenTest, ShowsFalseAndLeavesThePortClosed) {
  StartWith({{"ttyUSB0", GetParam().path}});
  EXPECT_EQ(w->PortPopup()->List(0), "0  ttyUSB0");
  EXPECT_EQ(w->PortPopup()->ListIndex(), 0);
  EXPECT_EQ(w->Connected_Text()->Text(), "False");
  EXPECT_FALSE(w->Serial1()->IsOpen());
  EXPECT_TRUE(boxes.empty()) << "a failed open shows no message box";
  // Why, where the technician points at the False.
  const std::string tip = w->Connected_Text()->Widget()->toolTip().toStdString();
  EXPECT_NE(tip.find(GetParam().path), std::string::npos) << tip;
  EXPECT_NE(tip.find(GetParam().reason), std::string::npos) << tip;
  // Reconnect tries again and fails the same way.
  Click(w->ConnectPB()->Widget());
  EXPECT_EQ(w->Connected_Text()->Text(), "False");
  EXPECT_FALSE(w->Serial1()->IsOpen());
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(w->Connected_Text()->Widget()->toolTip().toStdString(), tip);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceLinkFailedOpenTest,
    ::testing::Values(FailedOpenCase{"Missing", "/nonexistent-vantrel/ttyUSB0", "no such device"},
                      FailedOpenCase{"NotASerialDevice", "/dev/null", "not a serial device"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceLinkTest, APortInUseShowsFalseWithWhoHoldsItUntilReconnectFindsItFree) {
  // Held the way picocom holds a port.
  const int holder = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  StartWith({{"Vantrel-9", sim.SlavePath()}});
  EXPECT_EQ(w->Connected_Text()->Text(), "False");
  EXPECT_FALSE(w->Serial1()->IsOpen());
  const std::string tip = w->Connected_Text()->Widget()->toolTip().toStdString();
  EXPECT_NE(tip.find("in use by another program"), std::string::npos) << tip;
  EXPECT_NE(tip.find("PID " + std::to_string(::getpid())), std::string::npos) << tip;
  EXPECT_TRUE(boxes.empty());

  ::close(holder);
  Click(w->ConnectPB()->Widget());
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  EXPECT_TRUE(w->Serial1()->IsOpen()) << w->Serial1()->LastErrorText();
  EXPECT_EQ(w->Connected_Text()->Widget()->toolTip().toStdString(), "") << "an old reason stayed";
}

TEST_F(DeviceLinkTest, WithoutPortsListsNoneOpensNothingAndReconnectReportsIndexMinusOne) {
  StartWith({});
  ASSERT_EQ(w->PortPopup()->ListCount(), 1);
  EXPECT_EQ(w->PortPopup()->List(0), "none");
  EXPECT_LT(w->PortPopup()->ListIndex(), 0);
  EXPECT_FALSE(w->Serial1()->IsOpen());
  EXPECT_EQ(w->Connected_Text()->Text(), "No");
  EXPECT_EQ(w->Widget()->focusWidget(), w->TxText()->Widget());
  EXPECT_TRUE(boxes.empty());

  Click(w->ConnectPB()->Widget());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kInvalidPort);
  EXPECT_EQ(boxes[0].connectedThen, "No");
  EXPECT_EQ(w->Connected_Text()->Text(), "No");
  EXPECT_EQ(w->SelectedIndex, -1);
  EXPECT_FALSE(w->Serial1()->IsOpen());
  EXPECT_EQ(w->PortPopup()->ListCount(), 1) << "Reconnect does not rebuild the list";
}

TEST_F(DeviceLinkTest, ChoosingTheRowNoneAsksForDeviceZeroAndShowsTheFailedOpen) {
  StartWith({});
  ChooseRowBelow();
  EXPECT_EQ(w->PortPopup()->ListIndex(), 0);
  EXPECT_EQ(w->SelectedIndex, 0);
  EXPECT_EQ(w->Connected_Text()->Text(), "False");
  EXPECT_FALSE(w->Serial1()->IsOpen());
  EXPECT_TRUE(boxes.empty());
}

// --- reselection and Reconnect ---

struct ReselectCase {
  const char* name;
  bool otherRowIsAnInstrument;
};
void PrintTo(const ReselectCase& c, std::ostream* os) { *os << c.name; }

class DeviceLinkReselectTest : public DeviceLinkTest,
                               public ::testing::WithParamInterface<ReselectCase> {};

TEST_P(DeviceLinkReselectTest, ChoosingAnotherRowClosesTheCurrentPortFirst) {
  InstrumentSim current;
  std::optional<InstrumentSim> other;
  if (GetParam().otherRowIsAnInstrument) other.emplace();
  StartWith({{"other", other ? other->SlavePath() : Missing("other")}, {"current", current.SlavePath()}});
  ASSERT_EQ(w->Connected_Text()->Text(), "True");
  ASSERT_EQ(DescriptorsOn(current.DevicePath()), 2) << "the program's and the simulator's own";

  ChooseRowAbove();
  EXPECT_EQ(w->PortPopup()->ListIndex(), 0);
  EXPECT_EQ(w->SelectedIndex, 0);
  EXPECT_EQ(DescriptorsOn(current.DevicePath()), 1) << "the port chosen before is still open";
  if (other) {
    EXPECT_EQ(w->Connected_Text()->Text(), "True");
    EXPECT_TRUE(w->Serial1()->IsOpen());
    EXPECT_EQ(DescriptorsOn(other->DevicePath()), 2);
    EXPECT_EQ(other->LineSettings().c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
  } else {
    EXPECT_EQ(w->Connected_Text()->Text(), "False");
    EXPECT_FALSE(w->Serial1()->IsOpen());
  }
  // Commands now go to the row chosen, or nowhere.
  AskGenVersion();
  if (other) {
    EXPECT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
    EXPECT_EQ(other->Received(), "ver?\r");
  } else {
    EXPECT_TRUE(ReplyShown("Verify Connection")) << w->RxText()->Text();
  }
  RunFor(100ms);
  EXPECT_EQ(current.ReceivedCount(), 0u);
  EXPECT_TRUE(boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceLinkReselectTest,
    ::testing::Values(ReselectCase{"ToAnotherInstrument", true},
                      ReselectCase{"ToAMissingDevice", false}),
    [](const auto& info) { return std::string(info.param.name); });

// A closed list is a pop-up menu: only opening it and picking a row changes the port. A
// wheel notch or a key over it would otherwise reopen another port under the instrument.
struct ClosedListInput {
  const char* name;
  int wheelNotches;  // 0: a key instead
  Qt::Key key;
  char text;  // a typed character instead of a key
};
void PrintTo(const ClosedListInput& c, std::ostream* os) { *os << c.name; }

class DeviceLinkClosedListTest : public DeviceLinkTest,
                                 public ::testing::WithParamInterface<ClosedListInput> {};

TEST_P(DeviceLinkClosedListTest, LeavesTheRowAndThePortAlone) {
  InstrumentSim above, current, below;
  StartWith({{"above", above.SlavePath()}, {"current", current.SlavePath()}, {"below", below.SlavePath()}});
  ChooseRowAbove();  // from the last row, opened at start-up, to the middle one
  ASSERT_EQ(w->PortPopup()->ListIndex(), 1);
  ASSERT_EQ(DescriptorsOn(current.DevicePath()), 2);
  ASSERT_EQ(DescriptorsOn(below.DevicePath()), 1);
  QComboBox* list = PortList(w);
  const ClosedListInput& in = GetParam();
  if (in.wheelNotches != 0) {
    const QPointF at = QRectF(list->rect()).center();
    QWheelEvent wheel(at, list->mapToGlobal(at), QPoint(), QPoint(0, 120 * in.wheelNotches), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(list, &wheel);
  } else if (in.text != 0) {
    QTest::keyClick(list, in.text);
  } else {
    QTest::keyClick(list, in.key);
  }
  RunFor(50ms);
  EXPECT_FALSE(list->view()->isVisible()) << "only Space, F4 and Alt+arrow open the list";
  EXPECT_EQ(w->PortPopup()->ListIndex(), 1);
  EXPECT_EQ(w->SelectedIndex, 1);
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  EXPECT_EQ(DescriptorsOn(current.DevicePath()), 2) << "the port in use was closed";
  EXPECT_EQ(DescriptorsOn(above.DevicePath()), 1) << "another port was opened";
  EXPECT_EQ(DescriptorsOn(below.DevicePath()), 1) << "another port was opened";
  EXPECT_TRUE(boxes.empty());

  // The list still works the way it is meant to.
  ChooseRowBelow();
  EXPECT_EQ(w->PortPopup()->ListIndex(), 2);
  EXPECT_EQ(DescriptorsOn(current.DevicePath()), 1);
  EXPECT_EQ(DescriptorsOn(below.DevicePath()), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DeviceLinkClosedListTest,
    ::testing::Values(ClosedListInput{"WheelUp", 1, Qt::Key_unknown, 0},
                      ClosedListInput{"WheelDown", -1, Qt::Key_unknown, 0},
                      ClosedListInput{"WheelThreeNotches", -3, Qt::Key_unknown, 0},
                      ClosedListInput{"Up", 0, Qt::Key_Up, 0},
                      ClosedListInput{"Down", 0, Qt::Key_Down, 0},
                      ClosedListInput{"PageUp", 0, Qt::Key_PageUp, 0},
                      ClosedListInput{"PageDown", 0, Qt::Key_PageDown, 0},
                      ClosedListInput{"Home", 0, Qt::Key_Home, 0},
                      ClosedListInput{"End", 0, Qt::Key_End, 0},
                      ClosedListInput{"FirstCharacterOfARow", 0, Qt::Key_unknown, '0'},
                      ClosedListInput{"FirstCharacterOfTheLastRow", 0, Qt::Key_unknown, '2'}),
    [](const auto& info) { return std::string(info.param.name); });

// Each key that opens the list opens it and changes nothing until a row is taken.
TEST_F(DeviceLinkTest, SpaceF4AndAltArrowsOpenTheListAndAClickOnARowTakesIt) {
  InstrumentSim first, last;
  StartWith({{"first", first.SlavePath()}, {"last", last.SlavePath()}});
  ASSERT_EQ(w->PortPopup()->ListIndex(), 1);
  QComboBox* list = PortList(w);
  const std::pair<Qt::Key, Qt::KeyboardModifiers> openers[] = {
      {Qt::Key_Space, Qt::NoModifier}, {Qt::Key_F4, Qt::NoModifier},
      {Qt::Key_Down, Qt::AltModifier}, {Qt::Key_Up, Qt::AltModifier}};
  for (const auto& [key, modifiers] : openers) {
    SCOPED_TRACE(QKeySequence(key | modifiers).toString().toStdString());
    QTest::keyClick(list, key, modifiers);
    ASSERT_TRUE(list->view()->isVisible());
    EXPECT_EQ(w->PortPopup()->ListIndex(), 1);
    QTest::keyClick(list->view(), Qt::Key_Escape);
    ASSERT_FALSE(list->view()->isVisible());
    EXPECT_EQ(w->PortPopup()->ListIndex(), 1) << "Escape took a row";
    EXPECT_EQ(DescriptorsOn(last.DevicePath()), 2);
    EXPECT_EQ(DescriptorsOn(first.DevicePath()), 1);
  }
  // The mouse user's way: open the list, click the row.
  list->showPopup();
  ASSERT_TRUE(list->view()->isVisible());
  const QPoint row = list->view()->visualRect(list->model()->index(0, 0)).center();
  QTest::mouseClick(list->view()->viewport(), Qt::LeftButton, Qt::NoModifier, row);
  ASSERT_TRUE(RunUntil([&] { return !list->view()->isVisible(); }));
  EXPECT_EQ(w->PortPopup()->ListIndex(), 0);
  EXPECT_EQ(DescriptorsOn(last.DevicePath()), 1);
  EXPECT_EQ(DescriptorsOn(first.DevicePath()), 2);
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
}

TEST_F(DeviceLinkTest, NoRowSelectedReportsTheIndexAndOnlyReconnectShowsNo) {
  StartWith({{"Vantrel-9", sim.SlavePath()}});
  ASSERT_EQ(w->Connected_Text()->Text(), "True");
  // The list losing its selection raises Change with index -1.
  PortList(w)->setCurrentIndex(-1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kInvalidPort);
  EXPECT_EQ(boxes[0].connectedThen, "True") << "a reselection leaves the display as it was";
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  EXPECT_FALSE(w->Serial1()->IsOpen()) << "the port was closed before the index was looked at";
  EXPECT_EQ(DescriptorsOn(sim.DevicePath()), 1);

  Click(w->ConnectPB()->Widget());
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, kInvalidPort);
  EXPECT_EQ(boxes[1].connectedThen, "No");
  EXPECT_EQ(w->Connected_Text()->Text(), "No");
  EXPECT_FALSE(w->Serial1()->IsOpen());
}

TEST_F(DeviceLinkTest, ReconnectReopensTheSameRowOnceThePowerCycledInstrumentIsBack) {
  StartWith({{"ttyS0", Missing("ttyS0")}, {"Vantrel-9", sim.SlavePath()}});
  ASSERT_EQ(w->Connected_Text()->Text(), "True");
  sim.HangUp();
  ASSERT_TRUE(RunUntil([&] { return errors > 0; }));
  EXPECT_EQ(w->RxText()->Text(), "Verify Connection");
  EXPECT_EQ(w->Connected_Text()->Text(), "True") << "a port error leaves the display alone";

  // Still away: the open fails.
  Click(w->ConnectPB()->Widget());
  EXPECT_EQ(w->Connected_Text()->Text(), "False");
  EXPECT_FALSE(w->Serial1()->IsOpen());

  sim.ComeBack();
  Click(w->ConnectPB()->Widget());
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  EXPECT_TRUE(w->Serial1()->IsOpen()) << w->Serial1()->LastErrorText();
  EXPECT_EQ(w->SelectedIndex, 1);
  EXPECT_EQ(w->PortPopup()->ListCount(), 2);
  EXPECT_EQ(sim.LineSettings().c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
  EXPECT_TRUE(boxes.empty());

  // The console works again.
  AskGenVersion();
  EXPECT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
  EXPECT_EQ(sim.Received(), "ver?\r");
  EXPECT_EQ(errors, 1);
}

TEST_F(DeviceLinkTest, ReconnectRightAfterAPowerCycleTheProgramDidNotNoticeLeavesNoErrorBehind) {
  StartWith({{"Vantrel-9", sim.SlavePath()}});
  AskGenVersion();
  ASSERT_TRUE(ReplyShown("GEN V1.00\r\n"));
  // Off and on again between two events of the program: the next thing it sees is the click.
  sim.HangUp();
  sim.ComeBack();
  Click(w->ConnectPB()->Widget());
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  RunFor(300ms);
  EXPECT_EQ(errors, 0) << "the connection closed by Reconnect was reported after the new open";
  EXPECT_TRUE(w->Serial1()->IsOpen()) << w->Serial1()->LastErrorText();
  AskGenVersion();
  EXPECT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
  EXPECT_EQ(errors, 0);
}

// --- a port that goes away ---

TEST_F(DeviceLinkTest, AHangUpRaisesErrorOnceShowsVerifyConnectionAndDoesNotSpin) {
  StartWith({{"Vantrel-9", sim.SlavePath()}});
  ASSERT_TRUE(w->Serial1()->IsOpen());
  AskGenVersion();
  ASSERT_TRUE(ReplyShown("GEN V1.00\r\n"));

  sim.HangUp();
  ASSERT_TRUE(RunUntil([&] { return errors > 0; }, 3000ms)) << "no Error for the hang-up";
  EXPECT_EQ(w->RxText()->Text(), "Verify Connection");
  const double before = CpuSeconds();
  RunFor(1000ms);
  const double used = CpuSeconds() - before;
  EXPECT_LT(used, 0.5) << "the dead port keeps a core busy";
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(handoffs, 1) << "only the version reply reached the hand-off";
  EXPECT_FALSE(w->Serial1()->IsOpen());
  // The port, the display and the list are left as they were.
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  EXPECT_EQ(w->PortPopup()->ListCount(), 1);
  EXPECT_EQ(w->PortPopup()->ListIndex(), 0);
  EXPECT_FALSE(framework::RuntimeQuitRequested());

  sim.ComeBack();
  Click(w->ConnectPB()->Widget());
  EXPECT_EQ(w->Connected_Text()->Text(), "True");
  AskGenVersion();
  EXPECT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
}

// --- input from before an open ---

enum class OpenedBy { StartUp, Reselection };
void PrintTo(OpenedBy o, std::ostream* os) { *os << (o == OpenedBy::StartUp ? "StartUp" : "Reselection"); }

class DeviceLinkStaleInputTest : public DeviceLinkTest,
                                 public ::testing::WithParamInterface<OpenedBy> {};

TEST_P(DeviceLinkStaleInputTest, InputLeftInTheDriverBeforeTheOpenIsDropped) {
  const std::string stale = "chatter\r\nOK\r\n";
  if (GetParam() == OpenedBy::StartUp) {
    sim.Send(stale);
    ASSERT_TRUE(sim.WaitUntilQueuedForReading(stale.size())) << sim.QueuedForReading() << " bytes wait";
    StartWith({{"Vantrel-9", sim.SlavePath()}});
  } else {
    StartWith({{"Vantrel-9", sim.SlavePath()}, {"ttyS0", Missing("ttyS0")}});
    ASSERT_EQ(w->Connected_Text()->Text(), "False");
    sim.Send(stale);
    ASSERT_TRUE(sim.WaitUntilQueuedForReading(stale.size())) << sim.QueuedForReading() << " bytes wait";
    ChooseRowAbove();
  }
  ASSERT_EQ(w->Connected_Text()->Text(), "True");
  RunFor(200ms);
  EXPECT_EQ(handoffs, 0);
  EXPECT_EQ(w->Reply, "") << "the old lines reached the upload side";
  EXPECT_EQ(w->Serial1()->BytesAvailable(), 0u);
  AskGenVersion();
  EXPECT_TRUE(ReplyShown("GEN V1.00\r\n")) << w->RxText()->Text();
}

INSTANTIATE_TEST_SUITE_P(Opens, DeviceLinkStaleInputTest,
                         ::testing::Values(OpenedBy::StartUp, OpenedBy::Reselection),
                         [](const auto& info) {
                           return std::string(info.param == OpenedBy::StartUp ? "StartUp" : "Reselection");
                         });

// --- closing ---

TEST_F(DeviceLinkTest, ClosingTheWindowClosesThePort) {
  StartWith({{"Vantrel-9", sim.SlavePath()}});
  ASSERT_EQ(DescriptorsOn(sim.DevicePath()), 2);
  w->Close();
  RunFor(50ms);
  EXPECT_EQ(DescriptorsOn(sim.DevicePath()), 1);
}

}  // namespace
