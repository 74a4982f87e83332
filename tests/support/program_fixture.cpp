#include "tests/support/program_fixture.h"

#include <QTest>

#include <algorithm>
#include <sstream>

namespace testsupport {

void ProgramOnSimTest::StartOnSim(const StartOptions& options) {
  StartWith({{options.portName, sim.SlavePath()}});
  ASSERT_TRUE(w->Serial1()->IsOpen());
  if (options.exposed) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w->Widget()));
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
  // With the events running: what the program has not handed to the driver yet goes out
  // from the event loop.
  harness::RunUntil([&] { return sim.ReceivedCount() >= wire.size(); }, 5000ms);
  harness::RunFor(100ms);
  const std::string got = sim.Received();
  EXPECT_EQ(got.size(), wire.size());
  EXPECT_TRUE(got == wire) << "the bytes on the line differ, first at "
                           << std::mismatch(got.begin(), got.end(), wire.begin(), wire.end()).first - got.begin();
}

std::string ProgramOnSimTest::LinkState() const {
  constexpr std::size_t kTail = 160;
  auto tail = [](const std::string& bytes) {
    return ::testing::PrintToString(bytes.size() > kTail ? bytes.substr(bytes.size() - kTail) : bytes);
  };
  std::ostringstream s;
  const std::string received = sim.Received();
  const std::vector<Frame> frames = sim.Frames();
  s << "\n  the simulator " << (sim.Connected() ? "is connected" : "has hung up") << "; it received "
    << received.size() << " bytes (since its record was last cleared), the last " << tail(received) << "; "
    << frames.size() << " frames";
  if (!frames.empty()) s << ", the last " << ::testing::PrintToString(frames.back().Key());
  s << "; it sent " << sim.SentLog().size() << " bytes, of which " << sim.QueuedForReading()
    << " wait unread in the driver";
  if (!w) return s.str() + "\n  the program has not started";
  framework::Serial* port = w->Serial1();
  s << "\n  Reply " << ::testing::PrintToString(w->Reply) << ", pending input "
    << tail(std::string(port->LookAhead())) << ", the reply area " << tail(w->RxText()->Text())
    << (w->GetEntireReply ? " (the console waits for a reply)" : "")
    << "\n  the port is " << (port->IsOpen() ? "open" : "closed") << " on " << port->SerialPort().Path
    << ", its last error " << ::testing::PrintToString(port->LastErrorText()) << "; errors " << errors
    << ", hand-offs " << handoffs << "\n  running upload " << ::testing::PrintToString(w->RunningUpload())
    << ", StatusText " << ::testing::PrintToString(w->StatusText()->Text());
  return s.str();
}

::testing::AssertionResult ProgramOnSimTest::RunUntilOrTell(const std::function<bool()>& done,
                                                            std::chrono::milliseconds limit,
                                                            const std::string& what) const {
  if (harness::RunUntil(done, limit)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << " within " << limit.count() << " ms:" << LinkState();
}

}  // namespace testsupport
