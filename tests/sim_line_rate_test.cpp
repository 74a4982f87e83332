// The simulator's line-rate pacing, driven through a plain descriptor on its path: what it
// sends leaves no faster than a UART at that speed would let it, what it receives counts as
// arrived only once it would have crossed such a line, and the byte record keeps the
// moment each byte went out. Only lower bounds are checked: a loaded machine may be late,
// never early.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/instrument_sim.h"
#include "tests/support/pty_client.h"

namespace {

using namespace std::chrono_literals;
using testsupport::InstrumentSim;
using testsupport::Plan;
using Clock = std::chrono::steady_clock;

// One byte at 115200 baud, 10 bits: 86.8 us.
constexpr auto kByte = std::chrono::nanoseconds(1'000'000'000LL * 10 / 115200);


class SimLineRateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(line.ok()); }
  InstrumentSim sim;
  testsupport::PtyClient line{sim.SlavePath(), testsupport::PtyClient::Mode::Raw};
};

TEST_F(SimLineRateTest, WhatItSendsLeavesOneByteTimeApart) {
  sim.SetLineRate(115200, 10);
  const std::string reply = "0123456789ABCDEFGHIJ\r\n";
  const auto before = Clock::now();
  sim.Run(Plan().Send(reply));
  std::vector<Clock::time_point> at;
  ASSERT_EQ(line.ReadUntil(reply.size(), 2000ms, &at), reply);
  const auto sent = sim.SentLog();
  ASSERT_EQ(sent.size(), reply.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].value, static_cast<std::uint8_t>(reply[i]));
    // The byte's last bit is in no sooner than i + 1 byte times after the reply began.
    EXPECT_GE(sent[i].at - before, kByte * static_cast<long>(i + 1)) << "byte " << i << " went out early";
    EXPECT_GE(at[i] - before, kByte * static_cast<long>(i + 1)) << "byte " << i << " arrived early";
  }
}

TEST_F(SimLineRateTest, WhatItReceivesArrivesOneByteTimeApartAndIsAnsweredAfterItsLastByte) {
  sim.SetLineRate(115200, 10);
  sim.SetReply("ver?", {"V"});
  const std::string command = "ver?\r";
  const std::string block(100, '\x55');
  const auto before = Clock::now();
  line.Write(command + block);
  ASSERT_TRUE(sim.WaitForBytes(command.size() + block.size(), 2000ms));
  const auto log = sim.ReceivedLog();
  for (std::size_t i = 0; i < log.size(); ++i)
    EXPECT_GE(log[i].at - before, kByte * static_cast<long>(i + 1)) << "byte " << i << " counted as in early";
  // The answer starts once the command's CR is in, and its own three bytes take their time.
  ASSERT_EQ(line.ReadUntil(3, 2000ms), "V\r\n");
  const auto sent = sim.SentLog();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_GE(sent[2].at - log[command.size() - 1].at, kByte * 3);
}

TEST_F(SimLineRateTest, BothDirectionsArePacedApartAsOnAFullDuplexLine) {
  // Slow enough that the answer takes half a second: a loaded machine may delay either
  // thread by some tens of milliseconds, not by that.
  constexpr int kRate = 2400;
  constexpr auto kSlowByte = std::chrono::nanoseconds(1'000'000'000LL * 10 / kRate);
  constexpr std::size_t kAnswer = 120;
  sim.SetLineRate(kRate, 10);
  // While a long answer goes out, a command coming in is framed at its own pace, not after it.
  sim.SetReply("go", Plan().Send(std::string(kAnswer, 'x')));
  sim.SetReply("ping", {"P"});
  line.Write("go\r");
  ASSERT_TRUE(sim.WaitForFrames(1, 2000ms));
  const auto pinged = Clock::now();
  line.Write("ping\r");
  const std::string got = line.ReadUntil(kAnswer + 3, 5000ms);
  ASSERT_EQ(got.size(), kAnswer + 3);
  EXPECT_NE(got.find("P\r\n"), std::string::npos);
  const auto frames = sim.Frames();
  ASSERT_EQ(frames.size(), 2u);
  const auto sent = sim.SentLog();
  ASSERT_EQ(sent.size(), kAnswer + 3);
  // "ping" CR is in no sooner than 5 byte times after it was written, and while the answer
  // is still going out: its last byte left after the ping was framed.
  EXPECT_GE(frames[1].last - pinged, kSlowByte * 5);
  // (Answers go out in turn: the long one first, then "P" CR LF.)
  EXPECT_LT(frames[1].last, sent[kAnswer - 1].at) << "the command waited for the answer to be out";
}

TEST_F(SimLineRateTest, WithoutALineRateAnswersGoOutInOneWriteAndAreRecorded) {
  const std::string reply(300, 'y');
  sim.SetReply("now", Plan().Send(reply));
  line.Write("now\r");
  ASSERT_EQ(line.ReadUntil(reply.size(), 2000ms).size(), reply.size());
  const auto sent = sim.SentLog();
  ASSERT_EQ(sent.size(), reply.size());
  // Far quicker than the 26 ms that 300 paced bytes would take.
  EXPECT_LT(sent.back().at - sent.front().at, 20ms);
  sim.ClearSent();
  EXPECT_TRUE(sim.SentLog().empty());
}

TEST_F(SimLineRateTest, TurningThePacingOffLetsWhatIsOnItsWayInAtOnce) {
  sim.SetLineRate(300, 10);  // 33 ms a byte
  line.Write("abcdefghij");
  ASSERT_TRUE(sim.WaitForBytes(1, 1000ms));
  EXPECT_LT(sim.ReceivedCount(), 10u);
  sim.SetLineRate(0);
  EXPECT_TRUE(sim.WaitForBytes(10, 200ms));
  EXPECT_EQ(sim.Received(), "abcdefghij");
}

}  // namespace
