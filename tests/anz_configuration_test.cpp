// The wait for the ANZ processor's configuration that ends every .anz upload: the 8 s
// sleep, the one "@InitDone?" query and up to 20 cycles of "ANO OK". The sleeps run at a
// tenth of their time and the cases check the times asked for; one case keeps real time.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/instrument_sim.h"
#include "tests/support/painted_texts.h"
#include "tests/support/program_fixture.h"
#include "tests/support/program_harness.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "window/window1.h"

using namespace harness;
using testsupport::InitDoneQuery;
using testsupport::InstrumentSim;
using testsupport::PaintedTexts;
using testsupport::Plan;
using testsupport::Processor;
using testsupport::RecordFraming;
using testsupport::SimClock;
using testsupport::Stage;

namespace {

using ThreadState = framework::Thread::ThreadState;

const char* kConfiguring = "Wait - ANZ Configuring";
const char* kComplete = "ANZ Configuration Complete";

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Long enough that a line sent during the 8 s sleep is handed off before it ends.
constexpr double kSleepScale = 0.1;

std::vector<int> Sleeps(std::initializer_list<int> first, int halfSeconds = 0) {
  std::vector<int> v(first);
  v.insert(v.end(), static_cast<std::size_t>(halfSeconds), 500);
  return v;
}

class AnzConfigurationTest : public testsupport::ProgramOnSimTest {
 protected:
  void SetUp() override {
    framework::testing::SetSleepScale(scale);
    sleepsBefore = framework::testing::SleepRequests().size();
    // The conditions below are looked at at least every few milliseconds, sleeps included.
    ASSERT_NO_FATAL_FAILURE(StartOnSim({.exposed = true}));
    file = dir.Write("code.anz", testsupport::MakeSrec(testsupport::PatternBytes(2 * 32, 41)));
  }

  ThreadState State() const { return w->SendAnzMPUCode1()->State(); }
  void Upload() {
    seen->nextFile = file;
    Click(w->LoadAnzCodePB()->Widget());
  }
  ::testing::AssertionResult RunToEnd(std::chrono::milliseconds limit = 60s) {
    return RunUntilOrTell([&] { return State() == ThreadState::NotRunning; }, limit, "the upload did not end");
  }
  bool Asked() const { return query.Count() > 0; }
  std::string Status() const { return w->StatusText()->Text(); }
  // What the worker asked of SleepCurrentThread in this case, in milliseconds.
  std::vector<int> SleepsAsked() const {
    const std::vector<int> all = framework::testing::SleepRequests();
    return std::vector<int>(all.begin() + static_cast<long>(sleepsBefore), all.end());
  }

  double scale = kSleepScale;
  std::size_t sleepsBefore = 0;

  RecordFraming framing{sim, Processor::Anz};
  InitDoneQuery query{sim};
  std::string file;
};

TEST_F(AnzConfigurationTest, AFirstAyesOkCompletesAtOnceWithoutASleep) {
  PaintedTexts status(w->StatusText());
  Upload();
  ASSERT_TRUE(RunUntil([&] { return Status() == kConfiguring; }));
  EXPECT_EQ(w->ANZ_Status()->Text(), ".anz File Load Done");
  bool sleptAfterTheQuery = false;
  ASSERT_TRUE(RunUntil(
      [&] {
        if (Asked() && State() == ThreadState::Sleeping) sleptAfterTheQuery = true;
        return State() == ThreadState::NotRunning;
      },
      30s));
  EXPECT_FALSE(sleptAfterTheQuery) << "a 500 ms sleep after \"AYES OK\"";
  EXPECT_EQ(SleepsAsked(), Sleeps({8000}));
  EXPECT_EQ(Status(), kComplete);
  EXPECT_EQ(query.Count(), 1u);
  const std::string wire = sim.Received();
  const std::string ask = "\x40\x49\x6E\x69\x74\x44\x6F\x6E\x65\x3F\x0D";
  ASSERT_GE(wire.size(), ask.size());
  EXPECT_EQ(wire.substr(wire.size() - ask.size()), ask);
  EXPECT_EQ(wire.find(ask), wire.size() - ask.size()) << "the query went out more than once";
  // The status line reads ".anz File Load Done", then the waiting text, then the result,
  // which is redrawn once more at the very end.
  const std::vector<std::string> changes = status.Texts();
  ASSERT_GE(changes.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(changes.end() - 3, changes.end()),
            (std::vector<std::string>{".anz File Load Done", kConfiguring, kComplete}));
  EXPECT_GE(std::count(status.All().begin(), status.All().end(), kComplete), 2);
  EXPECT_TRUE(framing.Done());
  EXPECT_TRUE(framing.Errors().empty()) << ::testing::PrintToString(framing.Errors());
}

// A line that comes in during the 8 s sleep is dropped before the query goes out; after
// the query's "ANO OK" the worker counts 20 cycles of 500 ms and gives up.
TEST_F(AnzConfigurationTest, AnAnoOkAndNothingMoreRunsTwentyCyclesAfterOneQuery) {
  query.SetAnswers({Plan::Lines({"ANO OK"})});
  Upload();
  ASSERT_TRUE(RunUntil([&] { return Status() == kConfiguring && State() == ThreadState::Sleeping; }));
  sim.Send("AYES OK\r\n");
  ASSERT_TRUE(RunUntil([&] { return w->Reply == "AYES OK\r\n"; }));
  ASSERT_FALSE(Asked()) << "the early line came too late to test anything";
  ASSERT_TRUE(RunToEnd(60s));
  const SimClock::time_point ended = SimClock::now();
  EXPECT_EQ(Status(), kConfiguring);
  EXPECT_EQ(query.Count(), 1u);
  EXPECT_EQ(w->Reply, "ANO OK\r\n");
  // Exactly twenty sleeps of 500 ms after the one of 8 s, and they lie between the answer
  // and the end, however slow the machine.
  EXPECT_EQ(SleepsAsked(), Sleeps({8000}, 20));
  ASSERT_EQ(query.Times().size(), 1u);
  EXPECT_GE(ended - query.Times()[0], std::chrono::milliseconds(20 * 500) * scale);
}

TEST_F(AnzConfigurationTest, AnAyesOkDuringASleepAfterAnoOkEndsTheWaitEarly) {
  query.SetAnswers({Plan::Lines({"ANO OK"})});
  Upload();
  ASSERT_TRUE(RunUntil(
      [&] { return Asked() && w->Reply == "ANO OK\r\n" && State() == ThreadState::Sleeping; }, 30s));
  sim.Send("AYES OK\r\n");
  ASSERT_TRUE(RunToEnd(30s));
  EXPECT_EQ(Status(), kComplete);
  EXPECT_EQ(query.Count(), 1u);
  const std::vector<int> asked = SleepsAsked();
  ASSERT_GE(asked.size(), 2u);
  EXPECT_LT(asked.size(), 21u) << "the wait ran out its twenty cycles";
  EXPECT_EQ(asked, Sleeps({8000}, static_cast<int>(asked.size()) - 1));
}

TEST_F(AnzConfigurationTest, AnOkAnswerCountsNoCycleAndTheWorkerKeepsPolling) {
  query.SetAnswers({Plan::Lines({"OK"})});
  Upload();
  ASSERT_TRUE(RunUntil([&] { return Asked() && w->Reply == "OK\r\n"; }, 30s));
  bool slept = false;
  const double cpuBefore = CpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  RunUntil(
      [&] {
        if (State() == ThreadState::Sleeping) slept = true;
        return State() == ThreadState::NotRunning;
      },
      1500ms);
  const double cpu = CpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  EXPECT_FALSE(slept) << "\"OK\" was taken for \"ANO OK\"";
  // Polling waits for the next event between passes; it does not spin.
  EXPECT_LT(cpu, 0.5 * wall) << cpu << " s of CPU in " << wall << " s";
  EXPECT_EQ(State(), ThreadState::Running);
  EXPECT_EQ(Status(), kConfiguring);
  sim.Send("AYES OK\r\n");
  ASSERT_TRUE(RunToEnd(10s));
  EXPECT_EQ(Status(), kComplete);
  EXPECT_EQ(query.Count(), 1u);
  EXPECT_EQ(SleepsAsked(), Sleeps({8000}));
}

// GetEntireReply set when the wait begins is cleared before the query, so the answer reaches
// Reply and not the reply area.
TEST_F(AnzConfigurationTest, GetEntireReplySetOnEntryIsClearedBeforeTheQuery) {
  // The answer comes a little later, while the worker polls.
  query.SetAnswers(InitDoneQuery::NotReadyThenReady(0, 200ms));
  Upload();
  ASSERT_TRUE(RunUntil([&] { return Status() == kConfiguring && State() == ThreadState::Sleeping; }));
  // The console refuses to send while an upload runs; the flag is set as a send would set it.
  w->GetEntireReply = true;
  ASSERT_TRUE(RunToEnd(30s));
  EXPECT_EQ(Status(), kComplete);
  EXPECT_EQ(SleepsAsked(), Sleeps({8000}));
  EXPECT_FALSE(w->GetEntireReply);
  EXPECT_EQ(w->RxText()->Text(), "");
}

// The one case on real time: the 8 s are really slept.
class AnzConfigurationRealTimeTest : public AnzConfigurationTest {
 protected:
  AnzConfigurationRealTimeTest() { scale = 1.0; }
};

TEST_F(AnzConfigurationRealTimeTest, AfterAChecksumErrorTheWaitStillRuns) {
  framing.Script(Stage::Data, 1, "ER OK");
  PaintedTexts status(w->StatusText());
  Upload();
  ASSERT_TRUE(RunToEnd(30s));
  const std::vector<std::string> changes = status.Texts();
  ASSERT_GE(changes.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(changes.end() - 3, changes.end()),
            (std::vector<std::string>{".anz File Checksum Error", kConfiguring, kComplete}));
  EXPECT_EQ(w->ANZ_Status()->Text(), "Loading .anz File");
  EXPECT_FALSE(framing.Done());
  EXPECT_EQ(query.Count(), 1u);
  // The query follows the rejected record by the 8 s sleep at least.
  SimClock::time_point rejected{};
  for (const testsupport::Frame& f : sim.Frames())
    if (f.kind == testsupport::Frame::Kind::Raw && f.bytes.size() == 71) rejected = f.last;
  ASSERT_EQ(query.Times().size(), 1u);
  EXPECT_GE(query.Times()[0] - rejected, std::chrono::milliseconds(8000));
  EXPECT_EQ(SleepsAsked(), Sleeps({8000}));
}

TEST_F(AnzConfigurationTest, AfterErrorOpeningTheWaitDoesNotRun) {
  PaintedTexts status(w->StatusText());
  seen->nextFile = dir.Path() + "/no-such.anz";
  Click(w->LoadAnzCodePB()->Widget());
  ASSERT_TRUE(RunToEnd(5s));
  EXPECT_EQ(status.Texts(), std::vector<std::string>{"Error Opening .anz File"});
  EXPECT_EQ(sim.ReceivedCount(), 0u);
  EXPECT_EQ(query.Count(), 0u);
  EXPECT_EQ(SleepsAsked(), Sleeps({}));
}

}  // namespace
