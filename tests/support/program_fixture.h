#pragma once
// How most tests of the program begin: the seams installed, the simulator's port the only
// one in the list, the program started on it with the port open.
#include <gtest/gtest.h>

#include <QTimer>

#include <memory>
#include <string>

#include "tests/support/instrument_sim.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "window/window1.h"

namespace testsupport {

struct StartOptions {
  std::string portName = "sim";  // as the port list shows it
  // Waits until the window is on screen: redraws paint only then.
  bool exposed = false;
  // A timer ticking every 5 ms, so that a condition on the simulator's side is looked at
  // at least that often (it is looked at whenever an event has been handled).
  bool ticking = false;
};

class ProgramOnSimTest : public ::testing::Test {
 protected:
  void SetUp() override { StartOnSim(); }
  void TearDown() override {
    tick.reset();
    framework::testing::StopProgram();
  }
  // Fails fatally when the port did not open (or the window did not show).
  void StartOnSim(const StartOptions& options = {});
  // Everything the program sent has arrived, and a while later nothing more has.
  void ExpectReceivedExactly(const std::string& wire);

  InstrumentSim sim;
  TempDir dir;
  std::unique_ptr<QTimer> tick;
  harness::Seen* seen = nullptr;
  Window1_* w = nullptr;
};

}  // namespace testsupport
