// The testing entry: the program's own registered steps, with the event loop driven by the
// test between its start-up and its release steps.
#include "framework/testing.h"

#include <chrono>
#include <stdexcept>

#include "framework/application.h"
#include "framework/detail.h"

namespace framework::testing {

namespace {
const ProgramSteps& Program() {
  const ProgramSteps& steps = detail::RegisteredProgram();
  // Only a link that left the program's start-up out gets here.
  if (!steps.begin || !steps.main || !steps.end)
    throw std::logic_error("no program registered its start-up with the framework");
  return steps;
}
}  // namespace

void StartProgram() {
  const ProgramSteps& steps = Program();
  detail::SetEventLoopDrivenByTest(true);
  steps.begin();
  steps.main();
}

bool RunEventsUntil(std::function<bool()> done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  return detail::PumpUntil([&] { return done() || RuntimeQuitRequested(); }, deadline) && done();
}

int StopProgram() {
  RuntimeQuit();
  int status = Program().end();
  detail::SetEventLoopDrivenByTest(false);
  return status;
}

}  // namespace framework::testing
