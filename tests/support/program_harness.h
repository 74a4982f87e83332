#pragma once
// Drives the real program in-process: start-up as main runs it, the event loop and the
// cooperative threads pumped by the test, widgets pressed and typed into through QTest.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/testing.h"

class QSocketNotifier;
class QWidget;
class Window1_;

namespace harness {

using namespace std::chrono_literals;

// What the program showed in message boxes and asked of the open-file dialog.
struct Seen {
  std::vector<std::string> messages;
  std::vector<std::string> dialogFilters;
  std::optional<std::string> nextFile;  // the dialog's answer; nothing = Cancel
};

// Replaces the message box and the open-file dialog with recorders (before start-up).
Seen& InstallSeams();

// Start-up with the given port list.
Window1_* Start(std::vector<framework::testing::SerialPortEntry> ports = {});

// While it lives, whatever a simulator does (a byte or frame recorded, a send, a hang-up)
// wakes the event loop, so that a condition on the simulator's side is looked at at once:
// the simulator's thread raises no event of its own.
class SimulatorWakesEvents {
 public:
  SimulatorWakesEvents();
  ~SimulatorWakesEvents();
  SimulatorWakesEvents(const SimulatorWakesEvents&) = delete;
  SimulatorWakesEvents& operator=(const SimulatorWakesEvents&) = delete;

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

// Looks at done whenever an event has been handled or a simulator did something.
bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms);
// Lets pending events and threads run for a while.
void RunFor(std::chrono::milliseconds time);

void Click(QWidget* w);
// Types the text into the focused widget, key by key; "\r" presses Return.
void Type(QWidget* w, const std::string& text);

}  // namespace harness
