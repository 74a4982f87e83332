// The instrument simulator on its own, driven through a plain descriptor on its path.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/detail.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/program_harness.h"
#include "tests/support/pty_client.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Frame;
using testsupport::InstrumentSim;
using testsupport::Plan;
using testsupport::Session;
using Clock = std::chrono::steady_clock;

// The program's end of the line, left as the simulator set it up.
using Terminal = testsupport::PtyClient;

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

class SimTest : public ::testing::Test {
 protected:
  InstrumentSim sim;
};

// --- the console ---

struct ConsoleCase {
  const char* command;
  std::string answer;
};

void PrintTo(const ConsoleCase& c, std::ostream* os) { *os << '"' << c.command << '"'; }

class SimConsoleTest : public SimTest, public ::testing::WithParamInterface<ConsoleCase> {};

TEST_P(SimConsoleTest, AnswersTheConsoleCommandWithItsLine) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  const ConsoleCase& c = GetParam();
  t.Write(std::string(c.command) + "\r");
  EXPECT_EQ(t.ReadUntil(c.answer.size(), 2000ms), c.answer);
  EXPECT_EQ(t.ReadFor(100ms), "") << "one answer per command";
  ASSERT_TRUE(sim.WaitForFrames(1, 1000ms));
  const std::vector<Frame> frames = sim.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].kind, Frame::Kind::Line);
  EXPECT_EQ(frames[0].bytes, c.command);
  EXPECT_EQ(sim.Received(), std::string(c.command) + "\r");
}

INSTANTIATE_TEST_SUITE_P(Defaults, SimConsoleTest,
                         ::testing::Values(ConsoleCase{"ver?", "GEN V1.00\r\n"},
                                           ConsoleCase{"ID?", std::string(InstrumentSim::kGenId) + "\r\n"},
                                           ConsoleCase{"@ver?", "ANZ V1.00\r\n"},
                                           ConsoleCase{"#Boot", "OK\r\n"}),
                         [](const ::testing::TestParamInfo<ConsoleCase>& info) {
                           std::string name;
                           for (const char* c = info.param.command; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return (info.param.command[0] == '@' ? "Anz" : "") + name;
                         });

TEST_F(SimTest, ConfiguredRepliesReplaceTheDefaultsAndUnknownCommandsGetNothing) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  sim.SetReply("ver?", {"GEN V2.17", "extra"});
  sim.SetReply("HELLO", {"HI"});
  sim.RemoveReply("ID?");
  t.Write("ver?\r");
  EXPECT_EQ(t.ReadUntil(18, 2000ms), "GEN V2.17\r\nextra\r\n");
  t.Write("HELLO\r");
  EXPECT_EQ(t.ReadUntil(4, 2000ms), "HI\r\n");
  t.Write("ID?\rnonsense\r");
  ASSERT_TRUE(sim.WaitForFrames(4, 1000ms));
  EXPECT_EQ(t.ReadFor(200ms), "");
}

// --- the record of what arrived ---

TEST_F(SimTest, RecordsEveryByteValueUnchangedWithItsArrivalTime) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  const std::string all = AllByteValues();
  const auto before = Clock::now();
  t.Write(all.substr(0, 128));
  ASSERT_TRUE(sim.WaitForBytes(128, 2000ms));
  std::this_thread::sleep_for(60ms);
  const auto between = Clock::now();
  t.Write(all.substr(128));
  ASSERT_TRUE(sim.WaitForBytes(256, 2000ms));
  const auto after = Clock::now();

  EXPECT_EQ(sim.Received(), all);
  const auto log = sim.ReceivedLog();
  ASSERT_EQ(log.size(), 256u);
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].value, i);
    if (i > 0) {
      EXPECT_LE(log[i - 1].at, log[i].at);
    }
    EXPECT_LE(before, log[i].at);
    EXPECT_LE(log[i].at, after);
  }
  EXPECT_LT(log[127].at, between);
  EXPECT_GE(log[128].at, between);

  sim.ClearReceived();
  EXPECT_EQ(sim.ReceivedCount(), 0u);
  t.Write("x");
  ASSERT_TRUE(sim.WaitForBytes(1, 2000ms));
  EXPECT_EQ(sim.Received(), "x");
}

TEST_F(SimTest, NeitherSideTranslatesLineEndsOrEchoes) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  const std::string tricky("\r\n\n\r\x00\x7f\x03\x1a\xff", 9);
  sim.Send(tricky);
  EXPECT_EQ(t.ReadUntil(tricky.size(), 2000ms), tricky);
  t.Write("a\nb\r");
  ASSERT_TRUE(sim.WaitForFrames(1, 2000ms));
  EXPECT_EQ(sim.Frames()[0].bytes, "a\nb");
  EXPECT_EQ(t.ReadFor(100ms), "") << "nothing echoed";
}

// --- scripted answers ---

TEST_F(SimTest, ScriptedPiecesArriveWithTheirGaps) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  sim.Script("ver?", Plan::Pieces({"GEN", " V1", ".00\r\n"}, 100ms));
  std::vector<Clock::time_point> at;
  const auto asked = Clock::now();
  t.Write("ver?\r");
  EXPECT_EQ(t.ReadUntil(11, 3000ms, &at), "GEN V1.00\r\n");
  ASSERT_EQ(at.size(), 11u);
  // A gap is never shorter than asked, however late the simulator's thread runs; only a
  // reader that is late itself may see the pieces closer together. So the gaps are taken
  // from the simulator's record, and the reader sees nothing before its time.
  const auto sent = sim.SentLog();
  ASSERT_EQ(sent.size(), 11u);
  EXPECT_GE(sent[3].at - sent[2].at, 100ms) << "\" V1\" after \"GEN\"";
  EXPECT_GE(sent[6].at - sent[5].at, 100ms) << "\".00\\r\\n\" after \" V1\"";
  EXPECT_GE(at[3] - asked, 100ms) << "\" V1\" read early";
  EXPECT_GE(at[6] - asked, 200ms) << "\".00\\r\\n\" read early";
}

TEST_F(SimTest, ScriptEntriesAreOneShotAndKeyedByCommand) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  sim.Script("ver?", Plan::Silence());
  sim.Script("ID?", Plan::After(150ms, "late\r\n"));
  t.Write("ID?\r");
  const auto sent = Clock::now();
  EXPECT_EQ(t.ReadUntil(6, 2000ms), "late\r\n");
  EXPECT_GE(Clock::now() - sent, 140ms);
  t.Write("ver?\r");
  EXPECT_EQ(t.ReadFor(200ms), "") << "silenced once";
  t.Write("ver?\r");
  EXPECT_EQ(t.ReadUntil(11, 2000ms), "GEN V1.00\r\n") << "then the usual answer";
  sim.Script("", Plan::Lines({"ANY"}));
  t.Write("whatever\r");
  EXPECT_EQ(t.ReadUntil(5, 2000ms), "ANY\r\n");
}

TEST_F(SimTest, TwoLinesAtOnceArriveInOneRead) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  sim.Script("#Boot", Plan::Lines({"OK", "RP OK"}));
  t.Write("#Boot\r");
  ASSERT_TRUE(sim.WaitForFrames(1, 2000ms));
  ASSERT_TRUE(sim.WaitUntilQuiet(2000ms));
  ASSERT_TRUE(sim.WaitUntilQueuedForReading(11));
  char buf[64];
  const ssize_t n = ::read(t.fd(), buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "OK\r\nRP OK\r\n");
}

TEST_F(SimTest, SendsUnaskedTextAnyTime) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  sim.Send("POWER ON\r\n");
  EXPECT_EQ(t.ReadUntil(10, 2000ms), "POWER ON\r\n");
  sim.Run(Plan::After(100ms, "TICK\r\n"));
  EXPECT_EQ(t.ReadFor(50ms), "");
  EXPECT_EQ(t.ReadUntil(6, 2000ms), "TICK\r\n");
  EXPECT_TRUE(sim.Received().empty());
}

// --- hang-up and coming back ---

TEST_F(SimTest, HangUpEndsTheLineAndRemovesThePathUntilItComesBack) {
  const std::string first = sim.DevicePath();
  {
    Terminal t(sim.SlavePath());
    ASSERT_TRUE(t.ok());
    sim.HangUp();
    EXPECT_FALSE(sim.Connected());
    EXPECT_EQ(sim.DevicePath(), "");
    pollfd p{t.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    char c;
    EXPECT_EQ(::read(t.fd(), &c, 1), 0) << "end of file on a hung-up line";
    EXPECT_EQ(::write(t.fd(), "x", 1), -1);
    struct stat st;
    EXPECT_NE(::lstat(sim.SlavePath().c_str(), &st), 0) << "the device is gone";
    Terminal absent(sim.SlavePath());
    EXPECT_FALSE(absent.ok());
    EXPECT_THROW(sim.LineSettings(), std::runtime_error);
  }
  sim.ComeBack();
  EXPECT_TRUE(sim.Connected());
  EXPECT_NE(sim.DevicePath(), "");
  Terminal again(sim.SlavePath());
  ASSERT_TRUE(again.ok());
  again.Write("ver?\r");
  EXPECT_EQ(again.ReadUntil(11, 2000ms), "GEN V1.00\r\n");
}

TEST_F(SimTest, APlanCanAnswerAndThenHangUp) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  sim.Script("#Boot", Plan().Line("OK").Wait(50ms).HangUp());
  t.Write("#Boot\r");
  EXPECT_EQ(t.ReadUntil(4, 2000ms), "OK\r\n");
  pollfd p{t.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  EXPECT_FALSE(sim.Connected());
}

TEST_F(SimTest, ThePairOutlivesTheProgramClosingThePortAndKeepsWhatWasSentMeanwhile) {
  { Terminal t(sim.SlavePath()); ASSERT_TRUE(t.ok()); }
  sim.Send("while closed");
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t.ReadUntil(12, 2000ms), "while closed");
  t.Write("ver?\r");
  EXPECT_EQ(t.ReadUntil(11, 2000ms), "GEN V1.00\r\n");
}

TEST_F(SimTest, PausedReadingBacksUpTheWriterUntilResumed) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  sim.PauseReading(true);  // nothing is read from its return on
  const std::string block(4096, 'z');
  std::size_t written = 0;
  bool blocked = false;
  for (int i = 0; i < 1024 && !blocked; ++i) {
    const ssize_t n = ::write(t.fd(), block.data(), block.size());
    if (n > 0) written += static_cast<std::size_t>(n);
    blocked = n < 0 && errno == EAGAIN;
  }
  EXPECT_TRUE(blocked) << "the driver kept taking bytes: " << written;
  EXPECT_LT(sim.ReceivedCount(), written);
  sim.PauseReading(false);
  EXPECT_TRUE(sim.WaitForBytes(written, 5000ms));
  EXPECT_EQ(sim.ReceivedCount(), written);
}

TEST_F(SimTest, LineSettingsShowWhatTheOtherSideSet) {
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  termios mine;
  ASSERT_EQ(::tcgetattr(t.fd(), &mine), 0);
  ::cfsetspeed(&mine, B9600);
  mine.c_cflag |= CRTSCTS;
  ASSERT_EQ(::tcsetattr(t.fd(), TCSANOW, &mine), 0);
  const termios seen = sim.LineSettings();
  EXPECT_EQ(::cfgetospeed(&seen), static_cast<speed_t>(B9600));
  EXPECT_TRUE(seen.c_cflag & CRTSCTS);
}

// --- framings by rules ---

// A length-prefixed framing of the kind the uploads use: a command line, one byte giving
// the length, that many raw bytes, answered with their 8-bit sum.
void AddSumFraming(InstrumentSim& sim) {
  sim.AddRule([](const Frame& f, Session& s) {
    if (f.kind == Frame::Kind::Line && f.bytes == "SUM") {
      s.Reply({"OK"});
      s.ExpectRaw(1, "len");
      return true;
    }
    if (f.kind == Frame::Kind::Raw && f.tag == "len") {
      s.ExpectRaw(static_cast<unsigned char>(f.bytes[0]), "data");
      return true;  // no answer to the length byte
    }
    if (f.kind == Frame::Kind::Raw && f.tag == "data") {
      unsigned sum = 0;
      for (char c : f.bytes) sum += static_cast<unsigned char>(c);
      s.Reply({std::to_string(sum % 256)});
      return true;
    }
    return false;
  });
}

TEST_F(SimTest, ARuleSetsTheLengthOfTheNextRawFramesEvenWithinOneWrite) {
  AddSumFraming(sim);
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  const std::string data("\r\xff\x02\n", 4);  // CR and LF inside raw data cut nothing
  t.Write("SUM\r" + std::string(1, '\x04') + data + "ver?\r");
  EXPECT_EQ(t.ReadUntil(4 + 4 + 11, 3000ms), "OK\r\n" "24\r\n" "GEN V1.00\r\n");
  const std::vector<Frame> frames = sim.Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].bytes, "SUM");
  EXPECT_EQ(frames[1].kind, Frame::Kind::Raw);
  EXPECT_EQ(frames[1].tag, "len");
  EXPECT_EQ(frames[1].bytes, std::string(1, '\x04'));
  EXPECT_EQ(frames[2].tag, "data");
  EXPECT_EQ(frames[2].bytes, data);
  EXPECT_EQ(frames[3].kind, Frame::Kind::Line);
  EXPECT_EQ(frames[3].bytes, "ver?");
}

TEST_F(SimTest, AScriptReplacesARulesAnswerWhileItsFramingGoesOn) {
  AddSumFraming(sim);
  sim.Script("data", Plan::Lines({"RP OK"}));
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  t.Write("SUM\r\x02" "ab");
  EXPECT_EQ(t.ReadUntil(4 + 7, 2000ms), "OK\r\nRP OK\r\n");
  t.Write("SUM\r\x02" "ab");
  EXPECT_EQ(t.ReadUntil(4 + 5, 2000ms), "OK\r\n195\r\n");
}

TEST_F(SimTest, ARuleThatThrowsLeavesItsFrameUnansweredAndIsReported) {
  sim.AddRule([](const Frame& f, Session&) -> bool {
    if (f.bytes == "boom") throw std::runtime_error("rule failed");
    return false;
  });
  Terminal t(sim.SlavePath());
  ASSERT_TRUE(t.ok());
  t.Write("boom\rver?\r");
  EXPECT_EQ(t.ReadUntil(11, 2000ms), "GEN V1.00\r\n");
  const auto errors = sim.RuleErrors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "rule failed");
}

// --- waking a test's event loop ---

// Nothing else happens meanwhile: without the simulator's signal the loop would sleep until
// its limit, and look at the condition only then.
TEST(SimChangeSignalTest, AnEventLoopWaitingForTheSimulatorWakesWhenItActs) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  framework::detail::EnsureQtApplication();
  InstrumentSim sim;
  sim.Run(Plan::After(100ms, "x"));
  const auto start = Clock::now();
  EXPECT_TRUE(harness::RunUntil([&] { return sim.SentLog().size() == 1; }, 20s));
  EXPECT_LT(Clock::now() - start, 10s) << "the loop slept until its limit";
}

}  // namespace
