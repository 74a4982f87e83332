// The harness's way into the program: the same start-up as main, with the event loop
// driven by the test instead.
#include <chrono>

#include "framework/application.h"
#include "framework/detail.h"
#include "framework/testing.h"
#include "shell/startup.h"

namespace framework::testing {

void StartProgram() {
  shell::MainBegin();
  shell::MainStartup();
}

bool RunEventsUntil(std::function<bool()> done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  return detail::PumpUntil([&] { return done() || RuntimeQuitRequested(); }, deadline) && done();
}

int StopProgram() {
  RuntimeQuit();
  // Let what the quit set going finish, as the event loop would on its way out.
  detail::PumpUntil([] { return true; }, std::chrono::steady_clock::now());
  return shell::MainEnd();
}

}  // namespace framework::testing
