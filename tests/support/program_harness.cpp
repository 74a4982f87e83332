#include "tests/support/program_harness.h"

#include <QTest>
#include <QTimer>
#include <QWidget>

#include "shell/startup.h"
#include "window/window1.h"

namespace harness {

Seen& InstallSeams() {
  static Seen seen;
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

bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  // What the simulator does happens on its own thread and raises no event here: without a
  // tick the loop could sleep until the limit after the condition already holds.
  QTimer tick;
  tick.start(5);
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
