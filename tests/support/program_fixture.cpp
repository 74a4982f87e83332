#include "tests/support/program_fixture.h"

#include <QTest>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace testsupport {

void ProgramOnSimTest::StartOnSim(const StartOptions& options) {
  StartWith({{options.portName, sim.SlavePath()}});
  ASSERT_TRUE(w->Serial1()->IsOpen());
  if (options.exposed) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w->Widget()));
  }
  if (options.ticking) {
    tick = std::make_unique<QTimer>();
    tick->start(5);
  }
}

void ProgramOnSimTest::StartWith(std::vector<framework::testing::SerialPortEntry> ports) {
  w = harness::Start(std::move(ports));
  auto error = w->Serial1()->Error;
  w->Serial1()->Error = [this, error](framework::Serial* s) {
    ++errors;
    error(s);
  };
  auto data = w->Serial1()->DataAvailable;
  w->Serial1()->DataAvailable = [this, data](framework::Serial* s) {
    ++handoffs;
    data(s);
  };
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

bool WaitUntilQueuedForReading(const std::string& path, int count) {
  using namespace std::chrono_literals;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  int queued = -1;
  for (int i = 0; i < 500 && queued != count; ++i) {
    if (::ioctl(fd, FIONREAD, &queued) != 0) break;
    if (queued != count) std::this_thread::sleep_for(10ms);
  }
  ::close(fd);
  return queued == count;
}

}  // namespace testsupport
