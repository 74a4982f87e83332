// The main window's progress bar: a frame, a flat part filled in proportion to the value and,
// with a maximum of 0, a busy stripe that moves. Every redraw paints at once; the event loop
// paints it only when what it shows has changed.
#include <gtest/gtest.h>

#include <QEvent>
#include <QImage>
#include <QPalette>
#include <QProgressBar>
#include <QTest>

#include <string>
#include <vector>

#include "framework/thread.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "window/window1.h"

using namespace harness;
using testsupport::Plan;
using testsupport::Stage;

namespace {

// Paint events that reach the bar, and how many of them a worker's fiber made.
class Paints : public QObject {
 public:
  int count = 0, onThread = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) {
      ++count;
      if (framework::OnThreadStack()) ++onThread;
    }
    return false;
  }
};

class ProgressBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallSeams();
    w = Start({});
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w->Widget()));
    bar = w->ProgressBar1();
    widget = bar->Widget();
    widget->installEventFilter(&paints);
    RunFor(50ms);
  }
  void TearDown() override {
    widget->removeEventFilter(&paints);
    framework::testing::StopProgram();
  }

  QImage Picture() const { return widget->grab().toImage().convertToFormat(QImage::Format_RGB32); }
  QRgb Colour(QPalette::ColorRole role) const { return widget->palette().color(role).rgb(); }
  // The columns of the bar's middle row that show the fill colour.
  std::vector<int> FilledColumns(const QImage& picture) const {
    std::vector<int> columns;
    for (int x = 0; x < picture.width(); ++x)
      if (picture.pixel(x, picture.height() / 2) == Colour(QPalette::Highlight)) columns.push_back(x);
    return columns;
  }

  // The whole picture as the bar is meant to look: a one-pixel frame, the base colour inside,
  // and the fill over the columns [2, 2 + filled) of the rows inside a one-pixel margin.
  ::testing::AssertionResult LooksFilled(int filled) const {
    const QImage p = Picture();
    const int right = p.width() - 1, bottom = p.height() - 1;
    for (int y = 0; y <= bottom; ++y)
      for (int x = 0; x <= right; ++x) {
        const bool frame = x == 0 || y == 0 || x == right || y == bottom;
        const bool inner = x >= 2 && y >= 2 && x <= right - 2 && y <= bottom - 2;
        const QRgb expected = frame                       ? Colour(QPalette::Mid)
                              : inner && x < 2 + filled ? Colour(QPalette::Highlight)
                                                        : Colour(QPalette::Base);
        if (p.pixel(x, y) != expected)
          return ::testing::AssertionFailure() << "filled " << filled << ": pixel " << x << "," << y << " is "
                                               << std::hex << p.pixel(x, y) << ", not " << expected;
      }
    return ::testing::AssertionSuccess();
  }
  int InnerWidth() const { return widget->width() - 4; }

  Window1_* w = nullptr;
  framework::ProgressBar* bar = nullptr;
  QWidget* widget = nullptr;
  Paints paints;
};

// Each upload's maximum, value by value as an upload sets them, and a short bar whose every
// step is a new filled width: the fill ends where value / maximum of the inside ends.
TEST_F(ProgressBarTest, EveryValueFillsItsShareOfTheBar) {
  ASSERT_GT(InnerWidth(), 100);
  for (int maximum : {2665, 2600, 2100, 7}) {
    SCOPED_TRACE(maximum);
    bar->SetMaximum(maximum);
    bar->Refresh(true);
    int failures = 0;
    for (int value = 0; value <= maximum && failures < 3; ++value) {
      bar->SetValue(value);
      bar->Refresh(true);
      const auto right = LooksFilled(value * InnerWidth() / maximum);
      EXPECT_TRUE(right);
      if (!right) ++failures;
    }
    // Past the maximum the bar stays full; back at 0 it is empty again.
    bar->SetValue(maximum + 5);
    bar->Refresh(true);
    EXPECT_TRUE(LooksFilled(InnerWidth()));
    bar->SetValue(0);
    bar->Refresh(true);
    EXPECT_TRUE(LooksFilled(0));
  }
}

TEST_F(ProgressBarTest, ARedrawPaintsAtOnceWhetherOrNotTheLookChanged) {
  bar->SetMaximum(2665);
  bar->SetValue(100);
  struct Step {
    const char* what;
    int value;
  };
  const Step kSteps[] = {{"same value", 100}, {"same filled width", 101}, {"new filled width", 200}, {"same again", 200}};
  for (const Step& s : kSteps) {
    SCOPED_TRACE(s.what);
    bar->SetValue(s.value);
    const int before = paints.count;
    bar->Refresh(true);
    EXPECT_EQ(paints.count, before + 1) << "the redraw did not paint within the call";
    EXPECT_TRUE(LooksFilled(s.value * InnerWidth() / 2665));
  }
}

// Without a redraw, a new filled width is painted by the event loop, and a value that
// leaves the filled width as it is costs no paint at all.
TEST_F(ProgressBarTest, TheEventLoopPaintsANewValueOnlyWhenTheFilledWidthChanges) {
  bar->SetMaximum(2665);
  bar->SetValue(10);
  bar->Refresh(true);
  RunFor(50ms);
  int before = paints.count;
  bar->SetValue(11);  // 10 and 11 of 2665 fill the same width of some 300 pixels
  RunFor(200ms);
  EXPECT_EQ(paints.count, before) << "an unchanged picture was painted again";
  bar->SetValue(2000);
  EXPECT_EQ(paints.count, before) << "setting the value painted at once";
  ASSERT_TRUE(RunUntil([&] { return paints.count > before; }, 2s));
  EXPECT_TRUE(LooksFilled(2000 * InnerWidth() / 2665));
}

// A busy bar shows one stripe of fill that moves along from picture to picture, on its own
// timer; turned determinate, it shows its value.
TEST_F(ProgressBarTest, ABusyBarShowsAStripeThatMovesAndItsValueOnceDeterminate) {
  bar->SetMaximum(0);
  bar->Refresh(true);
  const int before = paints.count;
  std::vector<std::vector<int>> stripes;
  for (int frame = 0; frame < 4; ++frame) {
    const int seen = paints.count;
    ASSERT_TRUE(RunUntil([&] { return paints.count > seen; }, 2s)) << "the busy bar stood still";
    stripes.push_back(FilledColumns(Picture()));
  }
  EXPECT_GE(paints.count - before, 4);
  for (std::size_t i = 0; i < stripes.size(); ++i) {
    SCOPED_TRACE(i);
    const std::vector<int>& s = stripes[i];
    if (s.empty()) continue;  // between leaving at the right and entering at the left
    EXPECT_LE(int(s.size()), InnerWidth() / 2) << "a busy bar is a stripe, not a fill";
    EXPECT_EQ(s.back() - s.front() + 1, int(s.size())) << "the stripe is not one piece";
    if (i > 0) {
      EXPECT_NE(s, stripes[i - 1]) << "a new picture with the stripe in the same place";
    }
  }
  bar->SetMaximum(2600);
  bar->SetValue(1300);
  bar->Refresh(true);
  EXPECT_TRUE(LooksFilled(1300 * InnerWidth() / 2600));
}

// As at the first page of an upload: busy during the erase, then determinate at 0.
TEST_F(ProgressBarTest, ABarThatTurnsDeterminateAndEmptyStopsAnimating) {
  bar->SetMaximum(0);
  bar->Refresh(true);
  RunFor(200ms);
  bar->SetMaximum(2665);
  bar->Refresh(true);
  bar->SetValue(0);
  bar->Refresh(true);
  RunFor(50ms);
  const int before = paints.count;
  RunFor(500ms);
  EXPECT_LE(paints.count - before, 1) << "an unchanging bar went on being repainted";
  EXPECT_TRUE(LooksFilled(0));
  // Busy again, it moves again.
  bar->SetMaximum(0);
  bar->Refresh(true);
  const int busy = paints.count;
  RunFor(300ms);
  EXPECT_GE(paints.count - busy, 3) << "the busy bar stood still";
}

// An erase the instrument does not answer: the worker's wait redraws the busy bar itself,
// again and again, beside the bar's own animation on the main stack.
TEST(ProgressBarEraseWaitTest, TheEraseWaitRedrawsTheBarFromTheWorker) {
  testsupport::InstrumentSim sim;
  testsupport::TempDir dir;
  Seen& seen = InstallSeams();
  Window1_* w = Start({{"sim", sim.SlavePath()}});
  ASSERT_TRUE(w->Serial1()->IsOpen());
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w->Widget()));
  const std::string image = testsupport::PatternBytes(300, 13);
  testsupport::BinFraming framing(sim, image);
  framing.SetEraseAnswer(Plan::Silence());
  Paints paints;
  w->ProgressBar1()->Widget()->installEventFilter(&paints);

  seen.nextFile = dir.Write("image.bin", image);
  Click(w->ConfigPB()->Widget());
  ASSERT_TRUE(RunUntil([&] { return framing.Saw(Stage::Erase, 0); }));
  const int before = paints.onThread;
  EXPECT_TRUE(RunUntil([&] { return paints.onThread >= before + 5; }, 3s))
      << "the erase wait redrew the bar " << paints.onThread - before << " times";
  EXPECT_EQ(w->ProgressBar1()->Maximum(), 0);

  sim.Send("OK\r\n");
  EXPECT_TRUE(RunUntil([&] { return w->SendConfigFile1()->State() == framework::Thread::ThreadState::NotRunning; }, 20s));
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
  w->ProgressBar1()->Widget()->removeEventFilter(&paints);
  framework::testing::StopProgram();
}

}  // namespace
