// Cooperative threads: they run only between events, give way only where they say so,
// sleep without holding anything up, keep their failures to themselves, cost nothing
// while they wait and can be torn down while suspended.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QLinearGradient>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/application.h"
#include "framework/detail.h"
#include "framework/exceptions.h"
#include "framework/testing.h"
#include "framework/thread.h"

namespace {

namespace fw = framework;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using State = fw::Thread::ThreadState;

class LambdaThread : public fw::Thread {
 public:
  explicit LambdaThread(std::function<void()> body) : body_(std::move(body)) {}
  void Event_Run() override { body_(); }

 private:
  std::function<void()> body_;
};

struct Message {
  std::string text;
  bool onThreadStack;
};

class ThreadTest : public ::testing::Test {
 public:
  void SetUp() override {
    fw::detail::EnsureQtApplication();
    fw::testing::SetMessageBox(
        [this](const std::string& text) { messages_.push_back({text, fw::OnThreadStack()}); });
  }
  void TearDown() override { fw::testing::SetMessageBox(nullptr); }

  static bool Pump(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    return fw::detail::PumpUntil(done, Clock::now() + limit);
  }
  static void PumpFor(std::chrono::milliseconds time) {
    fw::detail::PumpUntil([] { return false; }, Clock::now() + time);
  }
  static bool Ended(const fw::Thread& t) { return t.State() == State::NotRunning; }
  void Sleep(int ms) { app_.SleepCurrentThread(ms); }

  std::vector<Message> messages_;
  fw::Application app_;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BusyFor(std::chrono::microseconds time) {
  const auto until = Clock::now() + time;
  while (Clock::now() < until) {
  }
}

TEST_F(ThreadTest, RunStartsTheBodyOnAFiberAtTheNextRoundNotInsideRun) {
  std::vector<bool> bodyOnFiber;
  LambdaThread t([&] { bodyOnFiber.push_back(fw::OnThreadStack()); });
  EXPECT_EQ(t.State(), State::NotRunning);
  t.Run();
  EXPECT_TRUE(bodyOnFiber.empty());
  EXPECT_EQ(t.State(), State::Running);
  EXPECT_EQ(fw::detail::RunningThreadCount(), 1);
  ASSERT_TRUE(Pump([&] { return Ended(t); }));
  EXPECT_EQ(bodyOnFiber, std::vector<bool>{true});
  EXPECT_EQ(fw::detail::RunningThreadCount(), 0);
  EXPECT_FALSE(fw::OnThreadStack());
}

// Each pass logs its start and its end; a pass is never cut, and the threads take turns in
// the order they were started, with every way of giving way that takes no time.
TEST_F(ThreadTest, ThreadsTakeTurnsPassByPassInStartOrder) {
  struct Case {
    const char* name;
    std::function<void(ThreadTest&)> giveWay;
  };
  const std::vector<Case> cases = {
      {"GiveWay", [](ThreadTest&) { fw::GiveWay(); }},
      {"SleepCurrentThread(0)", [](ThreadTest& f) { f.Sleep(0); }},
      {"SleepCurrentThread(-5)", [](ThreadTest& f) { f.Sleep(-5); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> log;
    auto body = [&](const std::string& name, int passes) {
      return [&, name, passes] {
        for (int i = 0; i < passes; ++i) {
          log.push_back(name + std::to_string(i) + "<");
          log.push_back(name + std::to_string(i) + ">");
          c.giveWay(*this);
        }
      };
    };
    LambdaThread a(body("A", 5)), b(body("B", 3)), z(body("C", 2));
    a.Run();
    b.Run();
    z.Run();
    ASSERT_TRUE(Pump([&] { return Ended(a) && Ended(b) && Ended(z); }));
    std::vector<std::string> expected;
    for (int i = 0; i < 5; ++i)
      for (const char* name : {"A", "B", "C"}) {
        if ((name[0] == 'B' && i >= 3) || (name[0] == 'C' && i >= 2)) continue;
        expected.push_back(name + std::to_string(i) + "<");
        expected.push_back(name + std::to_string(i) + ">");
      }
    EXPECT_EQ(log, expected);
  }
}

// Whatever was queued during a pass is handled after that pass and before long: the
// scheduler hands the event loop back every couple of milliseconds, not when the thread ends.
TEST_F(ThreadTest, QueuedWorkRunsBetweenPassesAndSoon) {
  class Receiver : public QObject {
   public:
    std::function<void()> onEvent;
    bool event(QEvent* e) override {
      if (e->type() != QEvent::User) return QObject::event(e);
      onEvent();
      return true;
    }
  };
  struct Case {
    const char* name;
    std::function<void(Receiver*, std::function<void()>)> queue;
  };
  const std::vector<Case> cases = {
      {"posted event",
       [](Receiver* r, std::function<void()> fn) {
         r->onEvent = std::move(fn);
         QCoreApplication::postEvent(r, new QEvent(QEvent::User));
       }},
      {"queued call",
       [](Receiver* r, std::function<void()> fn) {
         QMetaObject::invokeMethod(r, std::move(fn), Qt::QueuedConnection);
       }},
      {"zero timer", [](Receiver* r, std::function<void()> fn) { QTimer::singleShot(0, r, fn); }},
  };
  constexpr int kPasses = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Receiver receiver;
    std::vector<std::string> log;
    int passesWhenHandled = -1, passesDone = 0;
    LambdaThread t([&] {
      for (int i = 0; i < kPasses; ++i) {
        log.push_back("begin");
        if (i == 0)
          c.queue(&receiver, [&] {
            log.push_back("event");
            passesWhenHandled = passesDone;
          });
        BusyFor(300us);
        log.push_back("end");
        ++passesDone;
        fw::GiveWay();
      }
    });
    t.Run();
    ASSERT_TRUE(Pump([&] { return Ended(t); }));
    auto it = std::find(log.begin(), log.end(), "event");
    ASSERT_NE(it, log.end());
    ASSERT_NE(it, log.begin());
    EXPECT_EQ(*(it - 1), "end");
    ASSERT_NE(it + 1, log.end()) << "handled only after the thread had ended";
    EXPECT_EQ(*(it + 1), "begin");
    // A 2 ms slice against 0.3 ms passes: a handful of passes, whatever the load.
    EXPECT_LT(passesWhenHandled, kPasses / 2);
  }
}

// A pass that runs an event loop of its own (processEvents) must still not be cut: the
// scheduler is not entered again from a fiber.
TEST_F(ThreadTest, EventLoopInsideAPassDoesNotRunOtherThreads) {
  std::vector<std::string> log;
  LambdaThread a([&] {
    for (int i = 0; i < 3; ++i) {
      log.push_back("A<");
      QCoreApplication::processEvents();
      QCoreApplication::processEvents();
      log.push_back("A>");
      fw::GiveWay();
    }
  });
  LambdaThread b([&] {
    for (int i = 0; i < 3; ++i) {
      log.push_back("B");
      fw::GiveWay();
    }
  });
  a.Run();
  b.Run();
  ASSERT_TRUE(Pump([&] { return Ended(a) && Ended(b); }));
  EXPECT_EQ(log, (std::vector<std::string>{"A<", "A>", "B", "A<", "A>", "B", "A<", "A>", "B"}));
}

// A modal dialog shown from the main stack runs a nested event loop; the threads go on in it.
TEST_F(ThreadTest, ThreadsRunInsideANestedEventLoopOnTheMainStack) {
  bool stop = false;
  int passes = 0, passesInsideNestedLoop = -1;
  LambdaThread t([&] {
    while (!stop) {
      ++passes;
      fw::GiveWay();
    }
  });
  t.Run();
  QTimer::singleShot(0, [&] {
    QEventLoop loop;
    QTimer::singleShot(100, &loop, &QEventLoop::quit);
    const int before = passes;
    loop.exec();
    passesInsideNestedLoop = passes - before;
    stop = true;
  });
  ASSERT_TRUE(Pump([&] { return Ended(t); }));
  EXPECT_GT(passesInsideNestedLoop, 0);
}

TEST_F(ThreadTest, SleepLetsEventsAndOtherThreadsRunAndWakesAfterTheTime) {
  constexpr int kSleepMs = 200;
  bool slept = false, wokeOnFiber = false, timerRanWhileAsleep = false;
  int otherPasses = 0, otherPassesAtWake = -1;
  Clock::duration sleptFor{};
  LambdaThread sleeper([&] {
    const auto start = Clock::now();
    Sleep(kSleepMs);
    sleptFor = Clock::now() - start;
    otherPassesAtWake = otherPasses;
    wokeOnFiber = fw::OnThreadStack();
    slept = true;
  });
  LambdaThread other([&] {
    while (!slept) {
      ++otherPasses;
      fw::GiveWay();
    }
  });
  sleeper.Run();
  other.Run();
  QTimer::singleShot(50, [&] { timerRanWhileAsleep = sleeper.State() == State::Sleeping; });
  ASSERT_TRUE(Pump([&] { return sleeper.State() == State::Sleeping; }));
  EXPECT_EQ(other.State(), State::Running);
  ASSERT_TRUE(Pump([&] { return Ended(sleeper) && Ended(other); }));
  EXPECT_GE(sleptFor, std::chrono::milliseconds(kSleepMs));
  EXPECT_LT(sleptFor, 5s);
  EXPECT_TRUE(wokeOnFiber);
  EXPECT_TRUE(timerRanWhileAsleep);
  EXPECT_GT(otherPassesAtWake, 0);
}

// Nobody calls them there, but on the main stack GiveWay is a no-op and a sleep is a plain
// sleep: neither runs a thread.
TEST_F(ThreadTest, OnTheMainStackGiveWayDoesNothingAndSleepJustSleeps) {
  bool ran = false;
  LambdaThread t([&] { ran = true; });
  t.Run();
  fw::GiveWay();
  const auto start = Clock::now();
  Sleep(30);
  EXPECT_GE(Clock::now() - start, 30ms);
  EXPECT_FALSE(ran);
  EXPECT_FALSE(fw::OnThreadStack());
  ASSERT_TRUE(Pump([&] { return Ended(t); }));
  EXPECT_TRUE(ran);
}

TEST_F(ThreadTest, RunIsIgnoredWhileRunningOrSleepingAndStartsAgainAfterTheEnd) {
  int runs = 0;
  bool release = false;
  LambdaThread t([&] {
    ++runs;
    Sleep(20);
    while (!release) fw::GiveWay();
  });
  t.Run();
  t.Run();
  ASSERT_TRUE(Pump([&] { return t.State() == State::Sleeping; }));
  t.Run();
  ASSERT_TRUE(Pump([&] { return t.State() == State::Running; }));
  t.Run();
  release = true;
  ASSERT_TRUE(Pump([&] { return Ended(t); }));
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(fw::detail::RunningThreadCount(), 0);

  release = false;
  t.Run();
  EXPECT_EQ(t.State(), State::Running);
  EXPECT_EQ(fw::detail::RunningThreadCount(), 1);
  ASSERT_TRUE(Pump([&] { return t.State() == State::Sleeping; }));
  release = true;
  ASSERT_TRUE(Pump([&] { return Ended(t); }));
  EXPECT_EQ(runs, 2);
}

// A thread that gives way inside a catch block and rethrows afterwards gets its own
// exception back, not the one another thread is handling meanwhile.
TEST_F(ThreadTest, EachThreadKeepsItsOwnExceptionBeingHandled) {
  std::vector<std::string> seen;
  auto body = [&](const std::string& name) {
    return [&seen, name] {
      try {
        throw std::runtime_error(name);
      } catch (...) {
        fw::GiveWay();
        fw::GiveWay();
        try {
          throw;
        } catch (const std::exception& e) {
          seen.push_back(name + ":" + e.what() + ":" +
                         std::to_string(std::uncaught_exceptions()));
        }
      }
    };
  };
  LambdaThread a(body("A")), b(body("B"));
  a.Run();
  b.Run();
  ASSERT_TRUE(Pump([&] { return Ended(a) && Ended(b); }));
  EXPECT_EQ(seen, (std::vector<std::string>{"A:A:0", "B:B:0"}));
  EXPECT_TRUE(messages_.empty());
}

// An exception that escapes Event_Run ends that thread only, and reaches the unhandled-
// exception routine once, from the main stack (each case runs in its own process: the
// routine reports once per process).
struct Escape {
  const char* name;
  std::function<void()> raise;
  const char* shown;  // part of the message the routine shows
};

void PrintTo(const Escape& e, std::ostream* os) { *os << e.name; }

class EscapeTest : public ThreadTest, public ::testing::WithParamInterface<Escape> {};

TEST_P(EscapeTest, EndsOnlyThatThreadAndIsReportedOnceFromTheMainStack) {
  bool stop = false;
  int otherPasses = 0;
  bool resumedAfterThrow = false;
  LambdaThread failing([&] {
    fw::GiveWay();
    GetParam().raise();
    resumedAfterThrow = true;
  });
  LambdaThread other([&] {
    while (!stop) {
      ++otherPasses;
      fw::GiveWay();
    }
  });
  failing.Run();
  other.Run();
  ASSERT_TRUE(Pump([&] { return !messages_.empty(); }));
  EXPECT_TRUE(Ended(failing));
  EXPECT_EQ(other.State(), State::Running);
  EXPECT_EQ(fw::detail::RunningThreadCount(), 1);
  const int passesAtReport = otherPasses;
  ASSERT_TRUE(Pump([&] { return otherPasses > passesAtReport + 10; }));
  stop = true;
  ASSERT_TRUE(Pump([&] { return Ended(other); }));
  PumpFor(50ms);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_FALSE(messages_[0].onThreadStack);
  EXPECT_NE(messages_[0].text.find(GetParam().shown), std::string::npos) << messages_[0].text;
  EXPECT_FALSE(resumedAfterThrow);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EscapeTest,
    ::testing::Values(
        Escape{"RuntimeException", [] { throw fw::NilObjectException("nil in worker"); },
               "nil in worker"},
        Escape{"StdException", [] { throw std::logic_error("logic in worker"); },
               "logic in worker"},
        Escape{"NotAnException", [] { throw 42; }, "unknown"}),
    [](const ::testing::TestParamInfo<Escape>& info) { return std::string(info.param.name); });

// The idle rule: a round in which every pass only polled and found nothing lets the
// scheduler wait; anything else keeps it going. Over 300 ms, a thread that only polls is
// resumed by the fallback a handful of times, a thread with work thousands of times.
TEST_F(ThreadTest, OnlyRoundsOfIdlePollsLetTheSchedulerWait) {
  struct Case {
    const char* name;
    std::function<void()> pass;
    bool withBusyNeighbour;
    bool expectIdle;
  };
  const std::vector<Case> cases = {
      {"idle poll", [] { fw::detail::NoteIdlePoll(); }, false, true},
      {"progress before idle poll",
       [] {
         fw::detail::NoteProgress();
         fw::detail::NoteIdlePoll();
       },
       false, true},
      {"progress after idle poll",
       [] {
         fw::detail::NoteIdlePoll();
         fw::detail::NoteProgress();
       },
       false, false},
      {"wake from the pass after idle poll",
       [] {
         fw::detail::NoteIdlePoll();
         fw::detail::WakeScheduler();
       },
       false, false},
      {"no note at all", [] {}, false, false},
      {"idle poll beside a busy thread", [] { fw::detail::NoteIdlePoll(); }, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool stop = false;
    long passes = 0;
    LambdaThread t([&] {
      while (!stop) {
        ++passes;
        c.pass();
        fw::GiveWay();
      }
    });
    LambdaThread busy([&] {
      while (!stop) fw::GiveWay();
    });
    t.Run();
    if (c.withBusyNeighbour) busy.Run();
    ASSERT_TRUE(Pump([&] { return passes > 0; }));
    PumpFor(20ms);
    const long before = passes;
    PumpFor(300ms);
    const long during = passes - before;
    if (c.expectIdle)
      EXPECT_LT(during, 100);
    else
      EXPECT_GT(during, 100);
    stop = true;
    ASSERT_TRUE(Pump([&] { return Ended(t) && Ended(busy); }));
  }
}

// While every thread waits (one polling, one asleep for long) the process costs next to
// nothing, yet a WakeScheduler gets the poller going at the next turn of the event loop.
TEST_F(ThreadTest, WaitingCostsNoCpuAndWakeSchedulerResumesAtOnce) {
  bool go = false;
  long polls = 0;
  LambdaThread poller([&] {
    while (!go) {
      ++polls;
      fw::detail::NoteIdlePoll();
      fw::GiveWay();
    }
  });
  LambdaThread sleeper([&] { Sleep(60000); });
  poller.Run();
  sleeper.Run();
  ASSERT_TRUE(Pump([&] { return polls > 0 && sleeper.State() == State::Sleeping; }));
  const double cpuBefore = CpuSeconds();
  const auto wallBefore = Clock::now();
  PumpFor(1000ms);
  const double cpu = CpuSeconds() - cpuBefore;
  const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
  EXPECT_LT(cpu, 0.1 * wall) << cpu << " s of CPU in " << wall << " s";
  EXPECT_EQ(poller.State(), State::Running);
  EXPECT_EQ(sleeper.State(), State::Sleeping);

  go = true;
  fw::detail::WakeScheduler();
  // The fallback poll comes only every 50 ms; a few non-waiting turns are far quicker.
  for (int i = 0; i < 5 && !Ended(poller); ++i) QCoreApplication::processEvents();
  EXPECT_TRUE(Ended(poller));
  EXPECT_EQ(sleeper.State(), State::Sleeping);
}

// A thread started from another thread's pass runs at the next round, even when every
// pass of the round that started it went on to poll idly.
TEST_F(ThreadTest, AThreadStartedFromAPassRunsAtTheNextRound) {
  bool childRan = false, childOnFiber = false;
  LambdaThread child([&] {
    childRan = true;
    childOnFiber = fw::OnThreadStack();
  });
  LambdaThread parent([&] {
    child.Run();
    while (!childRan) {
      fw::detail::NoteIdlePoll();
      fw::GiveWay();
    }
  });
  parent.Run();
  // Far quicker than the 50 ms fallback poll.
  for (int i = 0; i < 5 && !(Ended(parent) && Ended(child)); ++i)
    QCoreApplication::processEvents();
  EXPECT_TRUE(childRan);
  EXPECT_TRUE(childOnFiber);
  EXPECT_TRUE(Ended(parent));
}

// Destroying a thread whose fiber is suspended (the program ends while a worker waits)
// takes the fiber's frames down on its own stack, running their destructors, and leaves
// the scheduler working for the others.
TEST_F(ThreadTest, DestroyingASuspendedThreadUnwindsItsStack) {
  struct Case {
    const char* name;
    bool letItStart;
    std::function<void(ThreadTest&)> wait;  // never returns for long
  };
  const std::vector<Case> cases = {
      {"waiting in GiveWay", true,
       [](ThreadTest&) {
         for (;;) {
           fw::detail::NoteIdlePoll();
           fw::GiveWay();
         }
       }},
      {"asleep", true, [](ThreadTest& f) { f.Sleep(60000); }},
      {"deep in nested frames", true,
       [](ThreadTest&) {
         std::function<void(int)> down = [&](int depth) {
           volatile char frame[512];
           frame[0] = static_cast<char>(depth);
           if (depth > 0)
             down(depth - 1);
           else
             for (;;) fw::GiveWay();
           (void)frame[0];
         };
         down(200);
       }},
      {"started but not yet resumed", false, [](ThreadTest&) { fw::GiveWay(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    struct Sentinel {
      int* destroyed;
      bool* onFiber;
      ~Sentinel() {
        ++*destroyed;
        *onFiber = fw::OnThreadStack();
      }
    };
    int destroyed = 0;
    bool onFiber = false, waiting = false;
    auto t = std::make_unique<LambdaThread>([&] {
      Sentinel s{&destroyed, &onFiber};
      waiting = true;
      c.wait(*this);
    });
    t->Run();
    if (c.letItStart) {
      ASSERT_TRUE(Pump([&] { return waiting; }));
      PumpFor(20ms);
    }
    t.reset();
    EXPECT_EQ(destroyed, c.letItStart ? 1 : 0);
    if (c.letItStart) {
      EXPECT_TRUE(onFiber);
    }
    EXPECT_FALSE(fw::OnThreadStack());
    EXPECT_EQ(fw::detail::RunningThreadCount(), 0);

    int after = 0;
    LambdaThread next([&] {
      for (int i = 0; i < 3; ++i) {
        ++after;
        fw::GiveWay();
      }
    });
    next.Run();
    ASSERT_TRUE(Pump([&] { return Ended(next); }));
    EXPECT_EQ(after, 3);
  }
  EXPECT_TRUE(messages_.empty());
}

// One thread may destroy another that waits; the victim unwinds and the killer goes on.
TEST_F(ThreadTest, AThreadCanDestroyAnotherSuspendedThread) {
  bool victimUnwound = false, killerDone = false;
  struct Sentinel {
    bool* flag;
    ~Sentinel() { *flag = true; }
  };
  auto victim = std::make_unique<LambdaThread>([&] {
    Sentinel s{&victimUnwound};
    for (;;) fw::GiveWay();
  });
  LambdaThread killer([&] {
    fw::GiveWay();
    fw::GiveWay();
    victim.reset();
    fw::GiveWay();
    killerDone = fw::OnThreadStack();
  });
  victim->Run();
  killer.Run();
  ASSERT_TRUE(Pump([&] { return Ended(killer); }));
  EXPECT_TRUE(victimUnwound);
  EXPECT_TRUE(killerDone);
  EXPECT_EQ(fw::detail::RunningThreadCount(), 0);
}

// Finds the mapping in /proc/self/maps that holds the address, and the one just below it.
struct Mapping {
  std::uintptr_t start = 0, end = 0;
  std::string perms;
};

std::vector<Mapping> Mappings() {
  std::vector<Mapping> maps;
  std::ifstream in("/proc/self/maps");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string range, perms;
    ls >> range >> perms;
    Mapping m;
    m.start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    m.end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    m.perms = perms;
    maps.push_back(m);
  }
  return maps;
}

// The fiber's stack is its own mapping, large enough for painting, with an inaccessible
// guard page right below it, so that running off its end faults instead of corrupting.
TEST_F(ThreadTest, StacksAreLargeAndGuarded) {
  struct Case {
    int requested;
    std::uintptr_t atLeast;
  };
  for (const Case& c : {Case{0, 1024 * 1024}, Case{16 * 1024, 256 * 1024},
                        Case{4 * 1024 * 1024, 4 * 1024 * 1024}}) {
    SCOPED_TRACE(c.requested);
    std::uintptr_t probe = 0;
    std::vector<Mapping> maps;
    LambdaThread t([&] {
      // The frame itself, not a local: under the sanitizer locals may live elsewhere.
      probe = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
      maps = Mappings();
    });
    t.SetStackSize(c.requested);
    t.Run();
    ASSERT_TRUE(Pump([&] { return Ended(t); }));
    auto it = std::find_if(maps.begin(), maps.end(),
                           [&](const Mapping& m) { return m.start <= probe && probe < m.end; });
    ASSERT_NE(it, maps.end());
    EXPECT_EQ(it->perms.substr(0, 2), "rw");
    EXPECT_GE(it->end - it->start, c.atLeast);
    ASSERT_NE(it, maps.begin());
    auto below = it - 1;
    EXPECT_EQ(below->end, it->start);
    EXPECT_EQ(below->perms.substr(0, 3), "---");
  }
}

// Widgets painted at once from a thread: the paint runs inside the fiber, on its stack.
TEST_F(ThreadTest, RepaintInsideAFiberPaintsThere) {
  class Probe : public QWidget {
   public:
    int paints = 0;
    bool lastOnFiber = false;

   protected:
    void paintEvent(QPaintEvent*) override {
      QPainter p(this);
      QLinearGradient g(0, 0, width(), height());
      g.setColorAt(0, Qt::white);
      g.setColorAt(1, Qt::darkBlue);
      p.fillRect(rect(), g);
      p.setRenderHint(QPainter::Antialiasing);
      p.drawEllipse(rect().adjusted(4, 4, -4, -4));
      p.drawText(rect(), Qt::AlignCenter, QStringLiteral("Loading .gen File 2600"));
      ++paints;
      lastOnFiber = fw::OnThreadStack();
    }
  };
  auto window = std::make_unique<Probe>();
  Probe& w = *window;
  w.resize(240, 80);
  w.show();
  ASSERT_TRUE(Pump([&] { return w.paints > 0; }));
  int paintsInRepaint = -1;
  bool paintedOnFiber = false;
  LambdaThread t([&] {
    for (int i = 0; i < 3; ++i) {
      const int before = w.paints;
      w.repaint();
      paintsInRepaint = w.paints - before;
      paintedOnFiber = w.lastOnFiber;
      fw::GiveWay();
    }
  });
  t.Run();
  ASSERT_TRUE(Pump([&] { return Ended(t); }));
  EXPECT_EQ(paintsInRepaint, 1);
  EXPECT_TRUE(paintedOnFiber);
  // A QApplication that has shown a widget must go before the exit handlers run, as the
  // program's own exit does it.
  window.reset();
  fw::RuntimeExit();
}

}  // namespace
