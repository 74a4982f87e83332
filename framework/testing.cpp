// The testing entry: the program's own steps, with the event loop driven by the test
// between its start-up and its release steps.
#include "framework/testing.h"

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>

#include "framework/application.h"
#include "framework/detail.h"

namespace framework::testing {

namespace {
// The program between StartProgram and StopProgram.
std::optional<ProgramSteps>& Started() {
  static std::optional<ProgramSteps> steps;
  return steps;
}
}  // namespace

void StartProgram(const ProgramSteps& steps) {
  if (!steps.begin || !steps.main || !steps.end)
    throw std::invalid_argument("StartProgram needs all three of the program's steps");
  if (Started()) throw std::logic_error("StartProgram: the program is running already");
  detail::SetEventLoopDrivenByTest(true);
  try {
    steps.begin();
  } catch (...) {
    // Nothing began, so nothing is owed: the next start starts afresh.
    detail::SetEventLoopDrivenByTest(false);
    throw;
  }
  // From here the end step is owed, whatever main does.
  Started() = steps;
  try {
    steps.main();
  } catch (...) {
    // A start that failed half-way is undone here, so that what it made up to then is
    // released and the next start is not refused; the caller sees main's failure.
    const std::exception_ptr failure = std::current_exception();
    try {
      StopProgram();
    } catch (...) {
    }
    std::rethrow_exception(failure);
  }
}

void StartProgram(void (*begin)(), void (*main)(), int (*end)()) { StartProgram(ProgramSteps{begin, main, end}); }

bool RunEventsUntil(std::function<bool()> done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  return detail::PumpUntil([&] { return done() || RuntimeQuitRequested(); }, deadline) && done();
}

int StopProgram() {
  // A fixture's tear-down may come after a set-up that failed or skipped before its start.
  if (!Started()) return 0;
  const ProgramSteps steps = *Started();
  Started().reset();
  RuntimeQuit();
  int status = steps.end();
  detail::SetEventLoopDrivenByTest(false);
  return status;
}

}  // namespace framework::testing
