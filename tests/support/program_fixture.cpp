#include "tests/support/program_fixture.h"

#include <QTest>

#include <algorithm>

namespace testsupport {

void ProgramOnSimTest::StartOnSim(const StartOptions& options) {
  seen = &harness::InstallSeams();
  w = harness::Start({{options.portName, sim.SlavePath()}});
  ASSERT_TRUE(w->Serial1()->IsOpen());
  if (options.exposed) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w->Widget()));
  }
  if (options.ticking) {
    tick = std::make_unique<QTimer>();
    tick->start(5);
  }
}

void ProgramOnSimTest::ExpectReceivedExactly(const std::string& wire) {
  using namespace std::chrono_literals;
  sim.WaitForReceived([&](const std::string& r) { return r.size() >= wire.size(); }, 5000ms);
  harness::RunFor(100ms);
  const std::string got = sim.Received();
  EXPECT_EQ(got.size(), wire.size());
  EXPECT_TRUE(got == wire) << "the bytes on the line differ, first at "
                           << std::mismatch(got.begin(), got.end(), wire.begin(), wire.end()).first - got.begin();
}

}  // namespace testsupport
