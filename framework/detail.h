#pragma once
// Framework-internal links between its parts; not for the program's code.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "framework/application.h"
#include "framework/serial.h"

class QWidget;

namespace framework {
class Window;
}

namespace framework::detail {

// --- scheduler (thread.cpp) ---
// Something happened that a waiting thread may see (input arrived): run the threads soon.
void WakeScheduler();
// The current pass polled the port and found nothing new; a round in which every pass
// did only that lets the scheduler wait for the next event instead of spinning.
void NoteIdlePoll();
// The current pass did real work (a write, for one).
void NoteProgress();
// Number of threads started and not yet finished.
int RunningThreadCount();

// --- message box (msgbox.cpp) ---
// Shows now when on the main stack; from a thread, queued and shown from the main stack.
void ShowMessage(const std::string& text);

// --- port list (serial_port_list.cpp) ---
// One device as the system reports it; a vendor id marks a USB device whatever its name.
struct PortListEntry {
  std::string Name;
  std::string Path;
  bool HasVendorId = false;
};
// The entries in the port list's order: built-in first, other next, USB last, natural
// name order within a group.
std::vector<framework::SerialPort> OrderPortList(std::vector<PortListEntry> entries);
std::vector<framework::SerialPort> SystemPortList();

// --- runtime (runtime.cpp) ---
// Makes the QApplication if there is none yet (tests and the program share this).
void EnsureQtApplication();
// While set, RuntimeRun returns at once: the testing entry drives the events itself.
void SetEventLoopDrivenByTest(bool driven);
// Handles events (and through them the threads) until done or the deadline.
bool PumpUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
// The framework's list of open windows, by which single instances are found.
void RegisterOpenWindow(framework::Window* w);
void ForgetWindow(framework::Window* w);
// A closed window is let go once no handler of it can still be running.
void WindowClosed(framework::Window* w);
// The open windows in the order they opened, and the window of a top-level widget.
std::vector<framework::Window*> OpenWindowList();
// The program's first window while it is open (the main window); null when there is none.
framework::Window* MainWindow();
framework::Window* WindowOfWidget(QWidget* top);
// Places the controls again after the content area changed size (edge locks).
void RelayoutControls(framework::Window* w);

}  // namespace framework::detail
