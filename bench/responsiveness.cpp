// Responsiveness: while a .bin upload runs against the simulator answering at once (the
// worker never idles then), another thread posts events to the window as the window system
// would: key presses in the command line, and redraw requests for a caption. Each probe is
// timed from its posting to its handling (the key press reaching the line edit, the
// caption's paint); a new probe of a kind is posted 1 to 4 ms after the last one was
// handled.
#include <QApplication>
#include <QInputDevice>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "bench/bench_support.h"

namespace {

using namespace bench;

struct Probe {
  std::mutex m;
  bool pending = false;
  Clock::time_point postedAt;
  std::vector<double> latencies;  // ms

  bool Pending() {
    std::lock_guard<std::mutex> lock(m);
    return pending;
  }
  void Posted() {
    std::lock_guard<std::mutex> lock(m);
    pending = true;
    postedAt = Clock::now();
  }
  void Handled() {
    std::lock_guard<std::mutex> lock(m);
    if (!pending) return;
    pending = false;
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - postedAt).count());
  }
};

class Watch : public QObject {
 public:
  Watch(QEvent::Type type, Probe& probe) : type_(type), probe_(probe) {}

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == type_) probe_.Handled();
    return false;
  }

 private:
  QEvent::Type type_;
  Probe& probe_;
};

}  // namespace

int main() {
  Header("Responsiveness: events posted to the window during a .bin upload");
  testsupport::InstrumentSim sim;
  testsupport::TempDir dir;
  const std::string image = BinImage();
  const std::string path = dir.Write("image.bin", image);
  testsupport::BinFraming framing(sim, image);
  Program program(sim.SlavePath());

  auto* line = static_cast<QLineEdit*>(program.w->TxText()->Widget());
  auto* caption = static_cast<QLabel*>(program.w->SerialPort_Label()->Widget());
  Probe keys, redraws;
  Watch keyWatch(QEvent::KeyPress, keys), paintWatch(QEvent::Paint, redraws);
  line->installEventFilter(&keyWatch);
  caption->installEventFilter(&paintWatch);
  RunLoopUntil([] { return false; }, 300ms);

  // Key events name their device; the first one asked for makes it, which must happen here.
  (void)QInputDevice::primaryKeyboard();
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> gap(1000, 4000);
    bool backspace = false;
    auto nextKey = Clock::now(), nextRedraw = Clock::now();
    while (!stop) {
      const auto now = Clock::now();
      if (!keys.Pending() && now >= nextKey) {
        keys.Posted();
        // A letter, then a backspace, so that the command line stays short.
        const int key = backspace ? Qt::Key_Backspace : Qt::Key_A;
        const QString text = backspace ? QString(QChar(8)) : QStringLiteral("a");
        backspace = !backspace;
        QCoreApplication::postEvent(line, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
        QCoreApplication::postEvent(line, new QKeyEvent(QEvent::KeyRelease, key, Qt::NoModifier, text));
        nextKey = now + std::chrono::microseconds(gap(random));
      }
      if (!redraws.Pending() && now >= nextRedraw) {
        redraws.Posted();
        QMetaObject::invokeMethod(caption, [caption] { caption->update(); }, Qt::QueuedConnection);
        nextRedraw = now + std::chrono::microseconds(gap(random));
      }
      std::this_thread::sleep_for(200us);
    }
  });

  const int runs = 3;
  double wall = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    program.Choose(path, program.w->ConfigPB());
    RunLoopUntil([&] { return program.Idle() && framing.Done(); }, 600s);
    wall += Seconds(Clock::now() - start);
  }
  stop = true;
  poster.join();
  RunLoopUntil([] { return false; }, 100ms);
  line->removeEventFilter(&keyWatch);
  caption->removeEventFilter(&paintWatch);

  Note(std::to_string(runs) + " uploads of 2665 pages, " + std::to_string(wall) + " s" +
       (framing.Errors().empty() ? "" : ", NOT VERIFIED"));
  for (auto [what, probe] : {std::pair<const char*, Probe*>{"key press in the command line", &keys},
                             {"redraw of a caption", &redraws}}) {
    Note(std::string(what) + ": " + std::to_string(probe->latencies.size()) + " probes");
    Figure(std::string(what) + ", median", Percentile(probe->latencies, 50), "ms");
    Goal(std::string(what) + ", 99th percentile", Percentile(probe->latencies, 99), "ms", 16);
    Figure(std::string(what) + ", slowest", Percentile(probe->latencies, 100), "ms");
  }
  return 0;
}
