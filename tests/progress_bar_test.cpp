// The main window's progress bar keeps what it painted and paints it again while its look
// is unchanged: every redraw must still paint at once, and must give exactly the pixels that
// a fresh drawing by Qt's style gives.
#include <gtest/gtest.h>

#include <QAbstractAnimation>
#include <QEvent>
#include <QImage>
#include <QProgressBar>
#include <QTest>

#include <string>

#include "tests/support/program_harness.h"
#include "window/window1.h"

using namespace harness;

namespace {

class Paints : public QObject {
 public:
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++count;
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
    // Qt's own bar beside it, drawn fresh for every picture: same window, size and style.
    reference = new QProgressBar(widget->parentWidget());
    reference->setTextVisible(false);
    reference->setGeometry(widget->geometry().translated(0, widget->height() + 4));
    reference->show();
    widget->installEventFilter(&paints);
    RunFor(50ms);
  }
  void TearDown() override {
    widget->removeEventFilter(&paints);
    delete reference;
    framework::testing::StopProgram();
  }

  // The bar's picture against Qt's for the same range and value.
  ::testing::AssertionResult LooksLikeQts(int maximum, int value) {
    reference->setRange(0, maximum);
    reference->setValue(value);
    const QImage mine = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage qts = reference->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    if (mine == qts) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "maximum " << maximum << ", value " << value
                                         << ": the picture differs from Qt's";
  }

  Window1_* w = nullptr;
  framework::ProgressBar* bar = nullptr;
  QWidget* widget = nullptr;
  QProgressBar* reference = nullptr;
  Paints paints;
};

// Each upload's maximum, value by value as an upload sets them, and a short bar whose every
// step is a new filled width.
TEST_F(ProgressBarTest, EveryValueLooksExactlyAsQtDrawsIt) {
  for (int maximum : {2665, 2600, 2100, 7}) {
    SCOPED_TRACE(maximum);
    bar->SetMaximum(maximum);
    bar->Refresh(true);
    int failures = 0;
    for (int value = 0; value <= maximum && failures < 3; ++value) {
      bar->SetValue(value);
      bar->Refresh(true);
      const auto same = LooksLikeQts(maximum, value);
      EXPECT_TRUE(same);
      if (!same) ++failures;
    }
    // Past the maximum the bar stays full; back at 0 it is empty again.
    bar->SetValue(maximum + 5);
    bar->Refresh(true);
    EXPECT_TRUE(LooksLikeQts(maximum, maximum));
    bar->SetValue(0);
    bar->Refresh(true);
    EXPECT_TRUE(LooksLikeQts(maximum, 0));
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
    EXPECT_TRUE(LooksLikeQts(2665, s.value));
  }
}

TEST_F(ProgressBarTest, ANewValueWithoutARedrawIsPaintedByTheEventLoop) {
  bar->SetMaximum(2665);
  bar->SetValue(10);
  bar->Refresh(true);
  const int before = paints.count;
  bar->SetValue(2000);
  EXPECT_EQ(paints.count, before) << "setting the value painted at once";
  ASSERT_TRUE(RunUntil([&] { return paints.count > before; }, 2s));
  EXPECT_TRUE(LooksLikeQts(2665, 2000));
}

TEST_F(ProgressBarTest, ABusyBarKeepsMovingAndLooksAsQtDrawsItOnceDeterminate) {
  bar->SetMaximum(0);
  bar->Refresh(true);
  const int before = paints.count;
  RunFor(300ms);
  EXPECT_GE(paints.count - before, 5) << "the busy bar stood still";
  bar->SetMaximum(2600);
  bar->SetValue(1300);
  bar->Refresh(true);
  EXPECT_TRUE(LooksLikeQts(2600, 1300));
}

// The style's animation of a busy bar, a child of the bar.
QAbstractAnimation* BusyAnimation(QWidget* bar) {
  for (QAbstractAnimation* a : bar->findChildren<QAbstractAnimation*>(Qt::FindDirectChildrenOnly))
    if (std::string(a->metaObject()->className()) == "QProgressStyleAnimation") return a;
  return nullptr;
}

// Three rounds of the animation's cycle at each step and between steps: every frame the bar
// keeps and paints again must be the one Qt draws at that moment of the animation.
TEST_F(ProgressBarTest, EveryFrameOfABusyBarLooksExactlyAsQtDrawsIt) {
  bar->SetMaximum(0);
  bar->Refresh(true);
  reference->setRange(0, 0);
  reference->repaint();
  QAbstractAnimation* mine = BusyAnimation(widget);
  QAbstractAnimation* qts = BusyAnimation(reference);
  ASSERT_TRUE(mine && qts) << "no busy animation: this check does not apply to the style in use";
  mine->pause();
  qts->pause();
  int failures = 0;
  for (int ms = 0; ms < 3 * 22 * 1000 / 60 && failures < 3; ms += 7) {
    mine->setCurrentTime(ms);
    qts->setCurrentTime(ms);
    bar->Refresh(true);
    const QImage a = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage b = reference->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_TRUE(a == b) << "at " << ms << " ms of the animation";
    if (a != b) ++failures;
  }
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
  EXPECT_TRUE(LooksLikeQts(2665, 0));
  // Busy again, it moves again.
  bar->SetMaximum(0);
  bar->Refresh(true);
  const int busy = paints.count;
  RunFor(300ms);
  EXPECT_GE(paints.count - busy, 5) << "the busy bar stood still";
}

}  // namespace
