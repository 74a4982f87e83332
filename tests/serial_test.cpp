// The serial port object against the instrument simulator, through a real pseudo-terminal
// and the Qt event loop.
#include <QTimer>

#include <sys/resource.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/detail.h"
#include "framework/exceptions.h"
#include "framework/serial.h"
#include "framework/strings.h"
#include "framework/testing.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_harness.h"

namespace {

using namespace std::chrono_literals;
using framework::Serial;
using testsupport::InstrumentSim;
using Clock = std::chrono::steady_clock;

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

double CpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

speed_t OutputSpeed(const termios& t) { return cfgetospeed(&t); }

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    framework::detail::EnsureQtApplication();
    port.SetBaud(Serial::Baud115200);
    port.SetCTS(true);
    port.SetSerialPort({"sim", sim.SlavePath()});
    port.DataAvailable = [this](Serial* s) {
      ++dataEvents;
      if (onData) onData(s);
    };
    port.Error = [this](Serial*) { ++errorEvents; };
  }

  bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
    return framework::detail::PumpUntil(done, Clock::now() + limit);
  }
  void PumpFor(std::chrono::milliseconds time) {
    Pump([] { return false; }, time);
  }
  // What the simulator receives raises no event here of itself.
  bool PumpUntilReceived(std::size_t count, std::chrono::milliseconds limit = 5000ms) {
    const harness::SimulatorWakesEvents wake;
    return Pump([&] { return sim.ReceivedCount() >= count; }, limit);
  }
  bool PumpUntilBuffered(const std::string& text, std::chrono::milliseconds limit = 3000ms) {
    return Pump([&] { return port.LookAhead().find(text) != std::string::npos; }, limit);
  }

  InstrumentSim sim;  // outlives the port, as the instrument outlives the program's open
  Serial port;
  int dataEvents = 0, errorEvents = 0;
  std::function<void(Serial*)> onData;
};

// --- writing ---

struct WriteCase {
  const char* name;
  std::vector<std::string> writes;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class SerialWriteTest : public SerialTest, public ::testing::WithParamInterface<WriteCase> {};

// No event loop runs here: XmitWait alone must have put every byte into the driver.
TEST_P(SerialWriteTest, XmitWaitHandsEveryByteToTheDriverUnchangedAndInOrder) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  std::string all;
  for (const std::string& w : GetParam().writes) {
    port.Write(w);
    port.XmitWait();
    all += w;
  }
  ASSERT_TRUE(sim.WaitForBytes(all.size(), 5000ms)) << sim.ReceivedCount() << " of " << all.size();
  EXPECT_TRUE(sim.Received() == all) << "the bytes arrived changed or out of order";
  EXPECT_EQ(dataEvents, 0);
  EXPECT_EQ(errorEvents, 0);
}

std::vector<std::string> SingleBytes() {
  std::vector<std::string> v;
  for (int i = 0; i < 300; ++i) v.push_back(std::string(1, static_cast<char>(255 - i % 256)));
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Writes, SerialWriteTest,
    ::testing::Values(WriteCase{"AllByteValues", {AllByteValues()}},
                      WriteCase{"HundredKilobytes", {Pattern(100 * 1024)}},
                      WriteCase{"CommandsAndRawBytes", {"FPGAPage\r", "\x01", "\xff", "MPURec\r"}},
                      WriteCase{"SingleByteWrites", SingleBytes()}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST_F(SerialTest, BytesWrittenWithoutXmitWaitGoOutFromTheEventLoop) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  const std::string big = Pattern(200 * 1024);
  port.Write(big);
  port.Write("tail\r");
  const std::size_t total = big.size() + 5;
  EXPECT_TRUE(PumpUntilReceived(total)) << sim.ReceivedCount();
  EXPECT_TRUE(sim.Received() == big + "tail\r");
}

TEST_F(SerialTest, XmitWaitRunsNoHandlerAndLeavesInputUnread) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  sim.Send("OK\r\n");
  ASSERT_TRUE(sim.WaitUntilQueuedForReading(4)) << "the input is in the driver before the wait";
  port.Write(Pattern(64 * 1024));
  port.XmitWait();
  EXPECT_EQ(dataEvents, 0);
  EXPECT_EQ(errorEvents, 0);
  EXPECT_EQ(port.BytesAvailable(), 0u) << "XmitWait read input";
  EXPECT_TRUE(Pump([&] { return dataEvents > 0; }));
  EXPECT_EQ(port.LookAhead(), "OK\r\n");
  PumpFor(100ms);
  EXPECT_EQ(dataEvents, 1);
}

TEST_F(SerialTest, XmitWaitGivesUpOnALineThatTakesNothingAndReportsItLater) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  sim.PauseReading(true);
  const std::string block = Pattern(1024 * 1024);
  port.Write(block);
  const auto start = Clock::now();
  port.XmitWait();
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 4s);
  EXPECT_LT(waited, 10s);
  EXPECT_EQ(errorEvents, 0) << "no handler may run within XmitWait";
  EXPECT_TRUE(Pump([&] { return errorEvents > 0; }, 2000ms));
  EXPECT_EQ(errorEvents, 1);
  EXPECT_NE(port.LastErrorText(), "");
  EXPECT_TRUE(port.IsOpen());
  // Once the line moves again, nothing of what was written is lost.
  sim.PauseReading(false);
  EXPECT_TRUE(PumpUntilReceived(block.size()));
  EXPECT_TRUE(sim.Received() == block);
}

// --- a closed port ---

enum class Closed { NeverOpened, OpenedThenClosed, FailedOpen };

void PrintTo(Closed c, std::ostream* os) {
  *os << (c == Closed::NeverOpened ? "NeverOpened" : c == Closed::OpenedThenClosed ? "OpenedThenClosed" : "FailedOpen");
}

class SerialClosedTest : public SerialTest, public ::testing::WithParamInterface<Closed> {};

TEST_P(SerialClosedTest, WriteRaisesErrorOnceLaterWhileXmitWaitAndPollReturnAtOnce) {
  switch (GetParam()) {
    case Closed::NeverOpened:
      break;
    case Closed::OpenedThenClosed:
      ASSERT_TRUE(port.Open()) << port.LastErrorText();
      port.Close();
      break;
    case Closed::FailedOpen:
      port.SetSerialPort({"gone", "/nonexistent/ttyV9"});
      ASSERT_FALSE(port.Open());
      break;
  }
  ASSERT_FALSE(port.IsOpen());
  sim.ClearReceived();
  port.Write("ver?\r");
  port.Write("x");
  EXPECT_EQ(errorEvents, 0) << "raised inside Write, not from the event loop";
  const auto start = Clock::now();
  port.XmitWait();
  port.Poll();
  EXPECT_LT(Clock::now() - start, 100ms);
  EXPECT_EQ(errorEvents, 0);
  EXPECT_TRUE(Pump([&] { return errorEvents > 0; }, 2000ms));
  PumpFor(200ms);
  EXPECT_EQ(errorEvents, 1) << "two writes, one report";
  EXPECT_NE(port.LastErrorText(), "");
  // Poll and XmitWait on their own raise nothing.
  port.Poll();
  port.XmitWait();
  PumpFor(100ms);
  EXPECT_EQ(errorEvents, 1);
  // A later write is reported again.
  port.Write("y");
  EXPECT_TRUE(Pump([&] { return errorEvents == 2; }, 2000ms));
  EXPECT_EQ(sim.ReceivedCount(), 0u) << "a closed port sent something";
  EXPECT_EQ(dataEvents, 0);
}

INSTANTIATE_TEST_SUITE_P(States, SerialClosedTest,
                         ::testing::Values(Closed::NeverOpened, Closed::OpenedThenClosed,
                                           Closed::FailedOpen),
                         [](const ::testing::TestParamInfo<Closed>& info) {
                           return ::testing::PrintToString(info.param);
                         });

struct BadPath {
  const char* name;
  std::string path;
};

void PrintTo(const BadPath& c, std::ostream* os) { *os << c.name; }

class SerialOpenFailureTest : public SerialTest, public ::testing::WithParamInterface<BadPath> {};

TEST_P(SerialOpenFailureTest, OpenFailsWithAReadableTextAndLeavesThePortClosed) {
  std::string path = GetParam().path;
  if (path == "<file>") {  // an ordinary file is no serial device
    path = ::testing::TempDir() + "not_a_tty";
    std::ofstream(path) << "plain";
  }
  port.SetSerialPort({"x", path});
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.IsOpen());
  const std::string text = port.LastErrorText();
  EXPECT_NE(text, "");
  if (!path.empty()) {
    EXPECT_NE(text.find(path), std::string::npos) << text;
  }
  PumpFor(50ms);
  EXPECT_EQ(errorEvents, 0) << "a failed open is told by its result";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SerialOpenFailureTest,
    ::testing::Values(BadPath{"Missing", "/nonexistent/ttyV9"}, BadPath{"NoDeviceEntry", ""},
                      BadPath{"Directory", "/tmp"}, BadPath{"PlainFile", "<file>"}),
    [](const ::testing::TestParamInfo<BadPath>& info) { return std::string(info.param.name); });

TEST_F(SerialTest, CloseAndFlushAreHarmlessWhenClosedAndFlushDropsWhatIsBuffered) {
  port.Close();
  port.Flush();
  port.Reset();
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  sim.Send("unread");
  ASSERT_TRUE(PumpUntilBuffered("unread"));
  port.Close();
  port.Close();
  port.Flush();
  EXPECT_EQ(port.BytesAvailable(), 0u);
  EXPECT_EQ(port.ReadAll(), "");
  PumpFor(100ms);
  EXPECT_EQ(errorEvents, 0);
  EXPECT_FALSE(port.IsOpen());
}

// --- settings ---

struct SpeedCase {
  int code;
  speed_t speed;
};

void PrintTo(const SpeedCase& c, std::ostream* os) { *os << "Bps" << Serial::BitsPerSecond(c.code); }

class SerialSpeedTest : public SerialTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SerialSpeedTest, OpenSetsTheSpeedAndTheLineFormat) {
  port.SetBaud(GetParam().code);
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  const termios t = sim.LineSettings();
  EXPECT_EQ(cfgetospeed(&t), GetParam().speed);
  EXPECT_EQ(cfgetispeed(&t), GetParam().speed);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS) << "CTS flow control";
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF)) << "no XON/XOFF";
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO)) << "raw line";
}

INSTANTIATE_TEST_SUITE_P(Speeds, SerialSpeedTest,
                         ::testing::Values(SpeedCase{Serial::Baud9600, B9600},
                                           SpeedCase{Serial::Baud19200, B19200},
                                           SpeedCase{Serial::Baud38400, B38400},
                                           SpeedCase{Serial::Baud115200, B115200},
                                           SpeedCase{Serial::Baud230400, B230400}),
                         [](const ::testing::TestParamInfo<SpeedCase>& info) {
                           return ::testing::PrintToString(info.param);
                         });

TEST_F(SerialTest, XonWithoutCtsMeansSoftwareFlowControl) {
  port.SetCTS(false);
  port.SetXON(true);
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  const termios t = sim.LineSettings();
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_TRUE(t.c_iflag & IXON);
}

TEST_F(SerialTest, ResetAppliesTheSpeedLastSetToTheOpenPort) {
  port.SetBaud(Serial::Baud9600);
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  port.SetBaud(Serial::Baud115200);
  EXPECT_EQ(OutputSpeed(sim.LineSettings()), static_cast<speed_t>(B9600));
  port.Reset();
  EXPECT_EQ(OutputSpeed(sim.LineSettings()), static_cast<speed_t>(B115200));
  // The line still works at the new speed.
  port.Write("ver?\r");
  port.XmitWait();
  EXPECT_TRUE(PumpUntilBuffered("GEN V1.00\r\n"));
}

TEST_F(SerialTest, ASpeedWithNoSystemConstantStillOpensAWorkingLine) {
  port.SetBaud(Serial::Baud14400);
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  const termios t = sim.LineSettings();
  EXPECT_NE(cfgetospeed(&t), static_cast<speed_t>(B9600)) << "the speed was set, not left";
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  port.Write("ver?\r");
  port.XmitWait();
  EXPECT_TRUE(PumpUntilBuffered("GEN V1.00\r\n"));
}

TEST_F(SerialTest, AnOpenPortKeepsTheDeviceToItselfUntilItCloses) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  Serial other;
  other.SetBaud(Serial::Baud115200);
  other.SetSerialPort({"sim", sim.SlavePath()});
  EXPECT_FALSE(other.Open()) << "a second open of a device in use";
  EXPECT_NE(other.LastErrorText().find(sim.SlavePath()), std::string::npos) << other.LastErrorText();
  {
    // Even a program that ignores lock files is kept out (root excepted); the flag shows it.
    const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      int exclusive = 0;
      ASSERT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
      EXPECT_EQ(exclusive, 1);
      ::close(fd);
    } else {
      EXPECT_EQ(errno, EBUSY);
    }
  }
  port.Close();
  ASSERT_TRUE(other.Open()) << other.LastErrorText();
  other.Write("ver?\r");
  other.XmitWait();
  EXPECT_TRUE(Pump([&] {
    other.Poll();
    return other.LookAhead().find("GEN V1.00\r\n") != std::string::npos;
  }));
  EXPECT_FALSE(port.Open()) << "now the first one is kept out";
  other.Close();
  EXPECT_TRUE(port.Open()) << port.LastErrorText();
}

TEST(SerialSpeedCodes, MapToBitsPerSecond) {
  const int expected[] = {300,   600,   1200,  1800,  2400,  3600,   4800,   7200,
                          9600,  14400, 19200, 28800, 38400, 57600, 115200, 230400};
  for (int code = 0; code < 16; ++code) EXPECT_EQ(Serial::BitsPerSecond(code), expected[code]) << code;
  EXPECT_EQ(Serial::BitsPerSecond(-1), 0);
  EXPECT_EQ(Serial::BitsPerSecond(16), 0);
}

TEST_F(SerialTest, AnUnknownSpeedCodeRefusesToOpen) {
  port.SetBaud(99);
  EXPECT_FALSE(port.Open());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_NE(port.LastErrorText(), "");
}

// --- input ---

TEST_F(SerialTest, InputFromTheEventLoopRaisesDataAvailableOnce) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  std::string seen;
  onData = [&](Serial* s) { seen = s->LookAhead(); };
  port.Write("ver?\r");
  port.XmitWait();
  EXPECT_TRUE(Pump([&] { return dataEvents > 0 && seen.find("\r\n") != std::string::npos; }));
  PumpFor(150ms);
  EXPECT_EQ(seen, "GEN V1.00\r\n");
  EXPECT_EQ(dataEvents, 1) << "raised again for the same bytes";
}

TEST_F(SerialTest, PollDeliversWhatTheDriverHoldsWithinTheCallAndNothingTwice) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  bool inPoll = false, allInPoll = true;
  std::vector<std::string> lines;
  onData = [&](Serial* s) {
    allInPoll = allInPoll && inPoll;
    if (s->LookAhead().find("\r\n") != std::string::npos) lines.push_back(s->ReadAll());
  };
  // No event loop runs here: only Poll can have read the driver.
  auto pollUntil = [&](int events) {
    const auto end = Clock::now() + 2s;
    while (dataEvents < events && Clock::now() < end) {
      inPoll = true;
      port.Poll();
      inPoll = false;
      if (dataEvents < events) std::this_thread::sleep_for(1ms);
    }
    return dataEvents == events;
  };
  sim.Send("OK");
  ASSERT_TRUE(pollUntil(1));
  for (int i = 0; i < 5; ++i) port.Poll();
  EXPECT_EQ(dataEvents, 1) << "raised again for bytes left unread";
  EXPECT_EQ(port.BytesAvailable(), 2u);
  sim.Send("\r\n");
  ASSERT_TRUE(pollUntil(2));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "OK\r\n");
  EXPECT_TRUE(allInPoll);
  PumpFor(100ms);
  EXPECT_EQ(dataEvents, 2) << "the event loop raised it again";
}

// The reply hand-off's way of reading: only a complete line is taken.
TEST_F(SerialTest, UnreadInputStaysBufferedAndComesAgainWithLaterInput) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  std::vector<std::string> lines;
  std::vector<std::string> offered;
  onData = [&](Serial* s) {
    const std::string pending = s->LookAhead(framework::Encodings::ASCII);
    offered.push_back(pending);
    if (pending.find("\r\n") != std::string::npos) lines.push_back(s->ReadAll(framework::Encodings::ASCII));
  };
  sim.Send("O");
  ASSERT_TRUE(Pump([&] { return dataEvents == 1; }));
  PumpFor(150ms);
  EXPECT_EQ(dataEvents, 1);
  EXPECT_EQ(port.BytesAvailable(), 1u);
  sim.Send("K\r");
  ASSERT_TRUE(Pump([&] { return dataEvents == 2; }));
  EXPECT_TRUE(lines.empty()) << "a CR alone ends no line";
  sim.Send("\n");
  ASSERT_TRUE(Pump([&] { return lines.size() == 1; }));
  EXPECT_EQ(lines[0], "OK\r\n");
  EXPECT_EQ(port.BytesAvailable(), 0u);
  sim.Send("A\r\nB");
  ASSERT_TRUE(Pump([&] { return lines.size() == 2; }));
  EXPECT_EQ(lines[1], "A\r\nB") << "a line and a fragment are taken together";
  ASSERT_GE(offered.size(), 3u);
  EXPECT_EQ(offered[0], "O");
  EXPECT_EQ(offered[1], "OK\r");
  EXPECT_EQ(offered[2], "OK\r\n");
}

struct EncodingCase {
  const char* name;
  const framework::TextEncoding* encoding;
};

void PrintTo(const EncodingCase& c, std::ostream* os) { *os << c.name; }

class SerialEncodingTest : public SerialTest, public ::testing::WithParamInterface<EncodingCase> {};

TEST_P(SerialEncodingTest, LookAheadLeavesTheInputAndReadAllTakesItBytesUnchanged) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  const std::string all = AllByteValues();
  sim.Send(all);
  ASSERT_TRUE(Pump([&] { return port.BytesAvailable() >= all.size(); }));
  const framework::TextEncoding* enc = GetParam().encoding;
  EXPECT_TRUE(port.LookAhead(enc) == all);
  EXPECT_TRUE(port.LookAhead(enc) == all);
  EXPECT_EQ(port.BytesAvailable(), all.size());
  EXPECT_TRUE(port.ReadAll(enc) == all);
  EXPECT_EQ(port.BytesAvailable(), 0u);
  EXPECT_EQ(port.LookAhead(enc), "");
  EXPECT_EQ(port.ReadAll(enc), "");
}

INSTANTIATE_TEST_SUITE_P(Encodings, SerialEncodingTest,
                         ::testing::Values(EncodingCase{"NoEncoding", nullptr},
                                           EncodingCase{"Ascii", framework::Encodings::ASCII}),
                         [](const ::testing::TestParamInfo<EncodingCase>& info) {
                           return ::testing::PrintToString(info.param);
                         });

TEST_F(SerialTest, TheHandlerIsNeverReenteredAndRunsAgainForInputThatCameMeanwhile) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  int depth = 0, deepest = 0;
  std::vector<std::string> offered;
  onData = [&](Serial* s) {
    ++depth;
    deepest = std::max(deepest, depth);
    offered.push_back(s->LookAhead());
    if (offered.size() == 1) {
      // More input arrives while the handler runs, and its own Poll takes it in.
      sim.Send("B");
      const auto end = Clock::now() + 2s;
      while (s->BytesAvailable() < 2 && Clock::now() < end) {
        s->Poll();
        std::this_thread::sleep_for(1ms);
      }
    }
    --depth;
  };
  sim.Send("A");
  ASSERT_TRUE(Pump([&] { return dataEvents >= 2; }));
  PumpFor(100ms);
  EXPECT_EQ(deepest, 1);
  ASSERT_EQ(dataEvents, 2);
  EXPECT_EQ(offered[0], "A");
  EXPECT_EQ(offered[1], "AB");
}

TEST_F(SerialTest, AnExceptionFromAHandlerRaisedByTheEventLoopIsReportedNotThrownThroughQt) {
  std::vector<std::string> messages;
  framework::testing::SetMessageBox([&](const std::string& m) { messages.push_back(m); });
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  onData = [](Serial*) { throw framework::NilObjectException("handler failed"); };
  sim.Send("x");
  ASSERT_TRUE(Pump([&] { return !messages.empty(); }));
  EXPECT_NE(messages[0].find("handler failed"), std::string::npos) << messages[0];
}

TEST_F(SerialTest, AnExceptionFromAHandlerRaisedWithinPollReachesThePollsCaller) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  bool fail = true;
  onData = [&](Serial* s) {
    if (fail) throw framework::RuntimeException("in poll");
    s->ReadAll();
  };
  sim.Send("1");
  bool thrown = false;
  const auto end = Clock::now() + 2s;
  while (!thrown && Clock::now() < end) {
    try {
      port.Poll();
    } catch (const framework::RuntimeException&) {
      thrown = true;
    }
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(thrown);
  // The handler is not left marked as running: new input raises it again.
  fail = false;
  sim.Send("2");
  ASSERT_TRUE(Pump([&] { return dataEvents == 2; }));
  EXPECT_EQ(port.BytesAvailable(), 0u);
}

TEST_F(SerialTest, InputLeftOverFromBeforeTheOpenIsDropped) {
  const std::string chatter = "chatter before the open\r\n";
  sim.Send(chatter);
  ASSERT_TRUE(sim.WaitUntilQueuedForReading(chatter.size()));
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  sim.Send("fresh\r\n");
  ASSERT_TRUE(PumpUntilBuffered("fresh\r\n"));
  EXPECT_EQ(port.LookAhead(), "fresh\r\n");
  // Nor does input left unread on an earlier connection come back.
  port.Close();
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  EXPECT_EQ(port.BytesAvailable(), 0u);
}

// --- hang-up ---

enum class Noticed { ByTheEventLoop, ByPoll, ByWriting };

void PrintTo(Noticed n, std::ostream* os) {
  *os << (n == Noticed::ByTheEventLoop ? "NoticedByTheEventLoop"
          : n == Noticed::ByPoll       ? "NoticedByPoll"
                                       : "NoticedByWriting");
}

class SerialHangUpTest : public SerialTest, public ::testing::WithParamInterface<Noticed> {};

TEST_P(SerialHangUpTest, AHangUpRaisesErrorOnceClosesThePortAndDoesNotSpin) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  sim.HangUp();
  switch (GetParam()) {
    case Noticed::ByTheEventLoop:
      break;
    case Noticed::ByPoll: {
      const auto end = Clock::now() + 2s;
      while (port.IsOpen() && Clock::now() < end) port.Poll();
      EXPECT_FALSE(port.IsOpen());
      EXPECT_EQ(errorEvents, 0) << "Poll raises the error later, from the event loop";
      break;
    }
    case Noticed::ByWriting:
      port.Write("ver?\r");
      port.XmitWait();
      EXPECT_FALSE(port.IsOpen());
      EXPECT_EQ(errorEvents, 0);
      break;
  }
  ASSERT_TRUE(Pump([&] { return errorEvents > 0; }, 3000ms));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_NE(port.LastErrorText(), "");
  const double before = CpuSeconds();
  PumpFor(1000ms);
  const double used = CpuSeconds() - before;
  EXPECT_LT(used, 0.25) << "the dead port keeps the process busy";
  EXPECT_EQ(errorEvents, 1);
  EXPECT_EQ(dataEvents, 0);
  const auto start = Clock::now();
  port.Poll();
  port.XmitWait();
  EXPECT_LT(Clock::now() - start, 100ms);
}

INSTANTIATE_TEST_SUITE_P(Ways, SerialHangUpTest,
                         ::testing::Values(Noticed::ByTheEventLoop, Noticed::ByPoll,
                                           Noticed::ByWriting),
                         [](const ::testing::TestParamInfo<Noticed>& info) {
                           return ::testing::PrintToString(info.param);
                         });

TEST_F(SerialTest, ReconnectWorksOnceTheDeviceIsBack) {
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  sim.HangUp();
  ASSERT_TRUE(Pump([&] { return errorEvents > 0; }));
  port.Close();
  port.Flush();
  EXPECT_FALSE(port.Open()) << "the device is still away";
  EXPECT_NE(port.LastErrorText(), "");
  sim.ComeBack();
  port.Close();
  port.Flush();
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  port.Write("ver?\r");
  port.XmitWait();
  EXPECT_TRUE(PumpUntilBuffered("GEN V1.00\r\n"));
  EXPECT_EQ(errorEvents, 1);
}

TEST_F(SerialTest, PollKeepsTheConnectionWhenTheEventLoopFindsItsBytesTakenAlready) {
  // A Poll that empties the driver between the event loop's wake-up and its read leaves
  // the read notifier an empty read; that must not pass for a hang-up.
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  onData = [](Serial* s) { s->ReadAll(); };
  for (int i = 0; i < 20; ++i) {
    sim.Send("R\r\n");
    ASSERT_TRUE(sim.WaitUntilQueuedForReading(3)) << i;
    // Run in the same loop pass as the read notifier that the bytes woke.
    QTimer::singleShot(0, [this] { port.Poll(); });
    ASSERT_TRUE(Pump([&] { return dataEvents == i + 1; })) << i;
    PumpFor(10ms);  // the notifier's own turn, should it come after the Poll's
  }
  EXPECT_TRUE(port.IsOpen()) << port.LastErrorText();
  EXPECT_EQ(errorEvents, 0);
  EXPECT_EQ(dataEvents, 20);
}

// --- the port list ---

TEST(SerialPortList, SetSerialPortsReplacesTheSystemsList) {
  const std::vector<framework::testing::SerialPortEntry> ports = {
      {"ttyS0", "/dev/ttyS0"}, {"ttyUSB0", "/tmp/a"}, {"sim", "/tmp/b"}};
  framework::testing::SetSerialPorts(ports);
  ASSERT_EQ(framework::System::SerialPortCount(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(framework::System::SerialPort(i).Name, ports[static_cast<std::size_t>(i)].Name);
    EXPECT_EQ(framework::System::SerialPort(i).Path, ports[static_cast<std::size_t>(i)].Path);
  }
  EXPECT_EQ(framework::detail::SystemPortList().size(), 3u);
  for (int index : {-1, 3, 100}) {
    EXPECT_EQ(framework::System::SerialPort(index).Name, "") << index;
    EXPECT_EQ(framework::System::SerialPort(index).Path, "") << index;
  }
  framework::testing::SetSerialPorts({});
  EXPECT_EQ(framework::System::SerialPortCount(), 0);
  Serial s;
  s.SetSerialPort(framework::System::SerialPort(0));
  EXPECT_FALSE(s.Open());
  EXPECT_FALSE(s.IsOpen());
}

// Built-in UARTs first, other devices next, USB adapters and CDC devices (by name or by a
// vendor id) last; digits compare by value within a group.
TEST(SerialPortList, OrdersBuiltInThenOtherThenUsbInNaturalOrder) {
  using framework::detail::PortListEntry;
  const std::vector<PortListEntry> shuffled = {
      {"ttyUSB1", "/dev/ttyUSB1", true},  {"rfcomm0", "/dev/rfcomm0", false},
      {"ttyS10", "/dev/ttyS10", false},   {"ttyACM0", "/dev/ttyACM0", true},
      {"ttyAMA0", "/dev/ttyAMA0", false}, {"ttyS2", "/dev/ttyS2", false},
      {"ttyUSB10", "/dev/ttyUSB10", true}, {"ttyGS0", "/dev/ttyGS0", false},
      {"ttyXR0", "/dev/ttyXR0", true},    {"ttyUSB2", "/dev/ttyUSB2", true},
      {"ttyS0", "/dev/ttyS0", false},     {"ttyS02", "/dev/ttyS02", false}};
  const std::vector<std::string> expected = {"ttyAMA0", "ttyS0",   "ttyS2",   "ttyS02",
                                             "ttyS10",  "rfcomm0", "ttyGS0",  "ttyACM0",
                                             "ttyUSB1", "ttyUSB2", "ttyUSB10", "ttyXR0"};
  // The order does not depend on the order the system reports them in.
  for (bool reversed : {false, true}) {
    std::vector<PortListEntry> in = shuffled;
    if (reversed) std::reverse(in.begin(), in.end());
    const auto ports = framework::detail::OrderPortList(in);
    ASSERT_EQ(ports.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(ports[i].Name, expected[i]) << "row " << i << (reversed ? " (reversed input)" : "");
      EXPECT_EQ(ports[i].Path, "/dev/" + ports[i].Name);
    }
  }
}

bool IsUsbName(const std::string& n) { return n.rfind("ttyUSB", 0) == 0 || n.rfind("ttyACM", 0) == 0; }
bool IsBuiltinName(const std::string& n) { return n.rfind("ttyS", 0) == 0 || n.rfind("ttyAMA", 0) == 0; }

// Whatever this machine has: built-in ports first, USB and CDC devices last.
TEST(SerialPortList, TheSystemsListPutsTheLikeliestInstrumentLast) {
  const auto ports = framework::detail::SystemPortList();
  EXPECT_EQ(framework::System::SerialPortCount(), static_cast<int>(ports.size()));
  bool seenUsb = false;
  for (const auto& p : ports) {
    EXPECT_NE(p.Name, "");
    EXPECT_NE(p.Path, "");
    if (IsUsbName(p.Name)) seenUsb = true;
    if (IsBuiltinName(p.Name)) {
      EXPECT_FALSE(seenUsb) << p.Name << " listed after a USB device";
    }
  }
}

}  // namespace
