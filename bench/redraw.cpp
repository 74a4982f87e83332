// The progress bar's immediate redraw, as an upload makes it after every record or page:
// microseconds per SetValue + Refresh(true) through a whole upload's values, per
// Refresh(true) with the value unchanged, and per Refresh(true) of a busy bar (the erase
// wait's redraw in every pass). Then the paints a busy bar gets from its own animation
// alone, per second. Medians of several rounds, on the main window shown offscreen.
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/bench_support.h"
#include "tests/support/paint_counter.h"

namespace {

using namespace bench;

using PaintCount = testsupport::PaintCounter;

template <class Step>
double MicrosEach(int rounds, int n, Step step) {
  std::vector<double> each;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) step(i);
    each.push_back(Micros(Clock::now() - start) / n);
  }
  return Percentile(each, 50);
}

}  // namespace

int main() {
  Header("The progress bar's immediate redraw");
  testsupport::InstrumentSim sim;
  Program program(sim.SlavePath());
  RunLoopUntil([] { return false; }, 500ms);  // the window's first painting is over
  framework::ProgressBar* bar = program.w->ProgressBar1();

  constexpr int kPages = 2665;
  bar->SetMaximum(kPages);
  bar->Refresh(true);
  Figure("value 0 to 2665, SetValue + Refresh(true) each", MicrosEach(5, kPages + 1, [&](int i) {
           bar->SetValue(i);
           bar->Refresh(true);
         }),
         "us a redraw");
  bar->SetValue(1300);
  Figure("value unchanged, Refresh(true)", MicrosEach(5, 2000, [&](int) { bar->Refresh(true); }), "us a redraw");

  bar->SetMaximum(0);
  bar->Refresh(true);
  Figure("busy bar, Refresh(true)", MicrosEach(5, 2000, [&](int) { bar->Refresh(true); }), "us a redraw");

  PaintCount paints;
  bar->Widget()->installEventFilter(&paints);
  const auto start = Clock::now();
  RunLoopUntil([] { return false; }, 3s, 1000ms);
  Figure("busy bar left alone: its own paints", paints.count / Seconds(Clock::now() - start), "a second");
  bar->Widget()->removeEventFilter(&paints);
  return 0;
}
