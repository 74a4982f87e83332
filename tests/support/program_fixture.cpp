#include "tests/support/program_fixture.h"

#include <QTest>

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

}  // namespace testsupport
