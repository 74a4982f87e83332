#pragma once
// How most tests of the program begin: the seams installed, the simulator's port the only
// one in the list, the program started on it with the port open.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/instrument_sim.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "window/window1.h"

namespace testsupport {

struct StartOptions {
  std::string portName = "sim";  // as the port list shows it
  // Waits until the window is on screen: redraws paint only then.
  bool exposed = false;
};

class ProgramOnSimTest : public ::testing::Test {
 protected:
  // The seams are in before any SetUp, which may put a recorder of its own in their place.
  ProgramOnSimTest() : seen(&harness::InstallSeams()) {}
  void SetUp() override { StartOnSim(); }
  void TearDown() override { framework::testing::StopProgram(); }
  // Fails fatally when the port did not open (or the window did not show).
  void StartOnSim(const StartOptions& options = {});
  // Start-up with any port list (a test that starts so overrides SetUp); whether the port
  // opened is for the test to check, which may expect it not to. From then on errors and
  // handoffs count the port's Error and DataAvailable events: the real handlers still run,
  // the counts only tell the test when they have.
  void StartWith(std::vector<framework::testing::SerialPortEntry> ports);
  // Everything the program sent has arrived, and a while later nothing more has.
  void ExpectReceivedExactly(const std::string& wire);
  // Where the link stands, for a failure message: what the simulator received last and
  // whether it is connected, what waits unread in the driver, Reply and the pending
  // input, the port's state, the upload running and its status text.
  std::string LinkState() const;
  // RunUntil, with the link's state in the failure.
  ::testing::AssertionResult RunUntilOrTell(const std::function<bool()>& done, std::chrono::milliseconds limit,
                                            const std::string& what) const;

  InstrumentSim sim;
  TempDir dir;
  harness::Seen* seen;
  Window1_* w = nullptr;
  int errors = 0, handoffs = 0;
};

}  // namespace testsupport
