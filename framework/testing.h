#pragma once
// Test seams of the framework: the system's port list, the open-file dialog and the message
// box can be replaced, and the program can be started and driven without its event loop.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/application.h"

namespace framework::testing {

struct SerialPortEntry {
  std::string Name;  // as the port list shows it
  std::string Path;  // the device that Open opens
};

// Replaces the system's port list (for the rest of the process).
void SetSerialPorts(std::vector<SerialPortEntry> ports);
// Answers open-file dialogs: a path, or nothing for Cancel; sees the filter text.
void SetOpenFileDialog(std::function<std::optional<std::string>(const std::string& filter)> dialog);
// Takes message boxes instead of showing them.
void SetMessageBox(std::function<void(const std::string&)> box);
// Looks for and makes serial port lock files in these folders instead of the system's
// lock folders (for the rest of the process).
void SetLockFolders(std::vector<std::string> folders);

// Sleeps of the cooperative threads last their request times the scale (1: real time, the
// default), and every request is recorded, so that a test can check the times asked for
// without sitting through them.
void SetSleepScale(double scale);
// The milliseconds asked of SleepCurrentThread on a thread, in order, since the process began.
std::vector<int> SleepRequests();

// Runs the program's steps as main hands them to the runtime (RuntimeMain): begin, then
// main, whose event loop returns at once here; the test then drives the events. When begin
// or main throws, the exception passes on and nothing stays started (after main threw, the
// end step has run), so that the next StartProgram starts afresh.
void StartProgram(const ProgramSteps& steps);
// The same, with the three steps handed over one by one as main hands them.
void StartProgram(void (*begin)(), void (*main)(), int (*end)());
// Runs the event loop and the cooperative threads until done() holds or the limit passes;
// returns whether done() held.
bool RunEventsUntil(std::function<bool()> done, std::chrono::milliseconds limit);
// Quits and runs the end step of the program StartProgram started; returns the exit status.
// With no program running it does nothing and returns 0.
int StopProgram();

}  // namespace framework::testing
