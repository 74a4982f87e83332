// The testing entry: the program's own steps, with the event loop driven by the test
// between its start-up and its release steps.
#include "framework/testing.h"

#include <chrono>
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
  Started() = steps;
  detail::SetEventLoopDrivenByTest(true);
  steps.begin();
  steps.main();
}

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
