#include "tests/support/program_harness.h"

#include <QSocketNotifier>
#include <QTest>
#include <QWidget>

#include "shell/startup.h"
#include "tests/support/instrument_sim.h"
#include "window/window1.h"

namespace harness {

Seen& InstallSeams() {
  static Seen seen;
  // A fresh record for each case: cases of one file may share a process.
  seen = Seen{};
  framework::testing::SetMessageBox([](const std::string& text) { seen.messages.push_back(text); });
  framework::testing::SetOpenFileDialog([](const std::string& filter) {
    seen.dialogFilters.push_back(filter);
    return seen.nextFile;
  });
  return seen;
}

Window1_* Start(std::vector<framework::testing::SerialPortEntry> ports) {
  framework::testing::SetSerialPorts(std::move(ports));
  framework::testing::StartProgram(shell::Program());
  return Window1();
}

SimulatorWakesEvents::SimulatorWakesEvents()
    : notifier_(std::make_unique<QSocketNotifier>(testsupport::ChangeSignalFd(), QSocketNotifier::Read)) {
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [] { testsupport::ClearChangeSignal(); });
}

SimulatorWakesEvents::~SimulatorWakesEvents() = default;

bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const SimulatorWakesEvents wake;
  return framework::testing::RunEventsUntil(done, limit);
}

void RunFor(std::chrono::milliseconds time) {
  framework::testing::RunEventsUntil([] { return false; }, time);
}

void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }

void Type(QWidget* w, const std::string& text) {
  for (char c : text) {
    if (c == '\r')
      QTest::keyClick(w, Qt::Key_Return);
    else
      QTest::keyClick(w, c);
  }
}

}  // namespace harness
