// The program's message boxes as they are really shown, not through the test seam: each one
// belongs to the main window, modal to it and centred on it whichever window is in front,
// and says its text exactly.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "framework/testing.h"
#include "shell/about.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/upload_kind.h"
#include "window/window1.h"

using namespace harness;

namespace {

struct ShownBox {
  std::string text;
  QWidget* parent = nullptr;
  Qt::WindowModality modality = Qt::NonModal;
  QRect frame;
};

// Answers each real message box with OK once it is up, noting what it was and where it stood.
class RealBoxes {
 public:
  RealBoxes() {
    framework::testing::SetMessageBox(nullptr);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      ShownBox b;
      b.text = box->text().toStdString();
      b.parent = box->parentWidget();
      b.modality = box->windowModality();
      b.frame = box->frameGeometry();
      shown.push_back(b);
      box->accept();
    });
    timer_.start(10);
  }
  std::vector<ShownBox> shown;

 private:
  QTimer timer_;
};

struct BoxCase {
  const char* name;
  bool upload;   // the box is a refusal during an upload; otherwise the port-index error
  std::string text;
  bool aboutInFront = false;  // the About window is the active one when the box comes
};

void PrintTo(const BoxCase& c, std::ostream* os) { *os << c.name; }

class MessageBoxTest : public testsupport::ProgramOnSimTest, public ::testing::WithParamInterface<BoxCase> {
 protected:
  void SetUp() override {}  // each case starts with the ports it needs
};

TEST_P(MessageBoxTest, TheBoxIsModalToTheMainWindowAndCentredOnIt) {
  const BoxCase& c = GetParam();
  if (c.upload) {
    ASSERT_NO_FATAL_FAILURE(StartOnSim({.exposed = true}));
    // The erase is never answered: the upload runs on.
    seen->nextFile = dir.Write("code.gen", "S9030000FC\r\n");
    Click(testsupport::LauncherOf(w, testsupport::Upload::Gen)->Widget());
    ASSERT_TRUE(RunUntil([&] { return sim.Received() == "MPUFileE\r"; }));
  } else {
    StartWith({});
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w->Widget()));
  }
  if (c.aboutInFront) {
    // The About window, smaller than the main window and away from its centre, in front.
    w->AppleAbout()->Action()->trigger();
    About_* about = About();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(about->Widget()));
    about->Widget()->move(w->Widget()->frameGeometry().topLeft() + QPoint(5, 5));
    ASSERT_TRUE(RunUntil([&] { return QApplication::activeWindow() == about->Widget(); }));
    ASSERT_NE(about->Widget()->frameGeometry().center(), w->Widget()->frameGeometry().center());
  }
  RealBoxes boxes;
  // The box's own event loop runs within the click.
  Click(c.upload ? w->GenVersionPB()->Widget() : w->ConnectPB()->Widget());
  ASSERT_EQ(boxes.shown.size(), 1u);
  const ShownBox& b = boxes.shown[0];
  EXPECT_EQ(b.text, c.text);
  EXPECT_EQ(b.parent, w->Widget()) << "the box belongs to no window, or to another";
  EXPECT_EQ(b.modality, Qt::WindowModal);
  ASSERT_TRUE(b.frame.isValid());
  const QRect mainFrame = w->Widget()->frameGeometry();
  const QPoint off = b.frame.center() - mainFrame.center();
  EXPECT_TRUE(std::abs(off.x()) <= 1 && std::abs(off.y()) <= 1)
      << "the box stands off the main window's centre by (" << off.x() << ", " << off.y() << ")";
  EXPECT_TRUE(mainFrame.contains(b.frame)) << "the box stands across the main window's edge";
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the box outlived its OK";
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, MessageBoxTest,
    ::testing::Values(BoxCase{"InvalidPortIndex", false, "Error opening serial port. Invalid serial Port:-1"},
                      BoxCase{"RefusalDuringAnUpload", true,
                              "The .gen File upload is running. Commands can be sent again when it is done. If it "
                              "has stalled (the Vantrel-9 lost power, was unplugged or does not answer), quit (File > "
                              "Quit), start the programmer again and repeat the update step."},
                      BoxCase{"InvalidPortIndexWithAboutInFront", false,
                              "Error opening serial port. Invalid serial Port:-1", true},
                      BoxCase{"RefusalDuringAnUploadWithAboutInFront", true,
                              "The .gen File upload is running. Commands can be sent again when it is done. If it "
                              "has stalled (the Vantrel-9 lost power, was unplugged or does not answer), quit (File > "
                              "Quit), start the programmer again and repeat the update step.",
                              true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
