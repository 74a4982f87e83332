// Cooperative threads on fibers of the main thread.
//
// Every thread runs its Event_Run on a fiber of its own (Boost.Context), and only ever on
// the main thread: a scheduler resumes the runnable fibers one after the other from a
// zero-interval timer, between batches of Qt events, and a fiber hands control back only
// in GiveWay or in a sleep. So nothing needs a lock, and Qt may be used freely from a
// thread, painting included.
//
// The scheduler works in rounds (every runnable thread resumed once, in start order) and
// in shots (rounds for at most a short slice, then back to the event loop so that clicks,
// redraws and serial input are handled at least that often). A round in which every pass
// only polled and found nothing means nobody can move until something happens: the
// scheduler then waits for the next event instead of spinning. WakeScheduler (input, a
// handler that ran), a sleeper's wake time or a slow fallback timer start it again.
//
// The zero timer fires in every event loop of the main thread, nested ones included, so
// the threads also run while a modal dialog shown from the main stack is open (an upload
// does not stall behind a message box). No dialog ever runs on a fiber: the message box
// defers itself to the main stack.
#include "framework/thread.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "framework/application.h"
#include "framework/detail.h"
#include "framework/testing.h"

#if defined(VANTREL_ASAN_FIBERS)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace framework {
namespace {

using Clock = std::chrono::steady_clock;

// A fiber's stack. Qt's painting alone takes some 90 KiB; fonts, styles and the program's
// own frames come on top, so a thread that asks for nothing gets ample room, and one
// that asks for little still gets enough to paint.
constexpr std::size_t kDefaultStackBytes = 1024 * 1024;
constexpr std::size_t kMinimumStackBytes = 256 * 1024;

// How long one shot may keep the event loop waiting.
constexpr auto kSlice = std::chrono::microseconds(2000);
// How often threads that only wait are polled anyway, should something they wait for
// come about without a WakeScheduler.
constexpr int kFallbackMs = 50;

std::size_t StackBytes(int requested) {
  if (requested <= 0) return kDefaultStackBytes;
  return std::max<std::size_t>(static_cast<std::size_t>(requested), kMinimumStackBytes);
}

// Thrown inside a suspended fiber whose thread is being destroyed: it takes the fiber's
// frames down, running their destructors, and is caught at the fiber's top.
struct Unwind {};

// AddressSanitizer must be told about every change of stack, or it takes the fiber's
// frames for stray writes and its checks on a throw look at the wrong stack.
void StartSwitch(void** fakeStack, const void* bottom, std::size_t size) {
#if defined(VANTREL_ASAN_FIBERS)
  __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#else
  (void)fakeStack, (void)bottom, (void)size;
#endif
}

void FinishSwitch(void* fakeStack, const void** oldBottom, std::size_t* oldSize) {
#if defined(VANTREL_ASAN_FIBERS)
  __sanitizer_finish_switch_fiber(fakeStack, oldBottom, oldSize);
#else
  (void)fakeStack, (void)oldBottom, (void)oldSize;
#endif
}

// A fiber's stack, given back clean. Frames that never return (the last switch away, a
// thread destroyed while it waits) leave their red zones marked in the sanitizer's shadow;
// once the stack is unmapped, the kernel may hand the same pages to anything else (a
// font file mapped by Qt, say), whose reads the stale marks would then report as stack
// underflows.
class FiberStack : public boost::context::protected_fixedsize_stack {
 public:
  using boost::context::protected_fixedsize_stack::protected_fixedsize_stack;
  void deallocate(boost::context::stack_context& sctx) {
#if defined(VANTREL_ASAN_FIBERS)
    __asan_unpoison_memory_region(static_cast<char*>(sctx.sp) - sctx.size, sctx.size);
#endif
    boost::context::protected_fixedsize_stack::deallocate(sctx);
  }
};

// The exception-handling state of the C++ runtime (the exceptions being handled and the
// count of those in flight) belongs to the OS thread, not to a stack. Each fiber keeps its
// own, swapped in while it runs, so that a thread that gives way inside a catch block
// still rethrows its own exception.
//
// The runtime does not publish that state's layout: EhState copies libstdc++'s
// __cxa_eh_globals as it is on targets with the common (DWARF) unwinder. The ARM EABI
// unwinder adds a list of exceptions being cleaned up, and other runtimes (libc++abi,
// libcxxrt, MSVC) keep their own layouts; a copy that missed a field would swap half a
// state and corrupt exception handling without a word. So only that pairing builds.
#if !defined(__GLIBCXX__)
#error "framework/thread.cpp swaps libstdc++'s per-thread exception state (__cxa_eh_globals) between fibers and knows no other C++ runtime's layout: build with libstdc++ (GCC's standard library; with clang, -stdlib=libstdc++), or write EhState for this runtime first."
#elif defined(__ARM_EABI_UNWINDER__) || defined(__ARM_EABI__)
#error "framework/thread.cpp swaps libstdc++'s per-thread exception state (__cxa_eh_globals) between fibers; on ARM EABI that state holds a third field (propagatingExceptions) that EhState lacks: add it and test before building for this target."
#elif !(defined(__x86_64__) || defined(__i386__) || defined(__aarch64__))
#error "framework/thread.cpp swaps libstdc++'s per-thread exception state (__cxa_eh_globals) between fibers, a layout checked on x86-64, x86 and AArch64 only: check libstdc++'s __cxa_eh_globals for this target, then add it to this list."
#endif
struct EhState {
  void* caughtExceptions = nullptr;
  unsigned int uncaughtExceptions = 0;
};

EhState* EhGlobals() { return reinterpret_cast<EhState*>(abi::__cxa_get_globals()); }

}  // namespace

// One run of a thread: its fiber, made at the first resume, and the scheduler's view of it.
class Fiber {
 public:
  explicit Fiber(Thread* owner) : owner_(owner), stackBytes_(StackBytes(owner->StackSize())) {}
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // From the scheduler (or a destructor): runs the fiber until it gives way or ends.
  void Resume();
  // From the fiber itself: hands control back to whoever resumed it.
  void Suspend();

  bool Started() const { return started_; }
  bool Finished() const { return finished_; }

  static Fiber* current;

  Thread* owner_;
  std::size_t stackBytes_;
  bool started_ = false, finished_ = false;
  bool unwinding_ = false;  // the thread is being destroyed: take the stack down
  bool sleeping_ = false;
  Clock::time_point wakeAt_{};
  bool passIdle_ = false;  // this pass only polled and found nothing
  std::exception_ptr escaped_;

 private:
  boost::context::fiber Body(boost::context::fiber&& back);

  boost::context::fiber fiber_;  // held by the resumer while the fiber is suspended
  boost::context::fiber back_;   // held by the fiber while it runs
  boost::context::stack_context sctx_{};
  EhState eh_;
  // Where the resumer's stack lies (sanitizer), learnt at every arrival on the fiber.
  const void* backBottom_ = nullptr;
  std::size_t backSize_ = 0;
  void* deadFakeStack_ = nullptr;
};

Fiber* Fiber::current = nullptr;

namespace {

// The timers live in a QObject owned by the QApplication, so that they go with it; the
// list of threads does not depend on Qt and lives for the whole process (a thread may be
// destroyed after the QApplication is gone).
class Pump : public QObject {
 public:
  explicit Pump(QObject* parent);
  void Shot();
  void Rearm(bool idle);
  void Kick() {
    fallback_.stop();
    if (!zero_.isActive()) zero_.start();
  }

 private:
  QTimer zero_, fallback_, wake_;
};

struct Scheduler {
  std::vector<Fiber*> live;  // started and not finished, in start order
  QPointer<Pump> pump;
  bool inShot = false;
  bool started = false;  // a thread was started during the current round
  std::vector<std::exception_ptr> escaped;  // to report from the main stack after the shot

  bool IsLive(const Fiber* f) const { return std::find(live.begin(), live.end(), f) != live.end(); }
  void Forget(const Fiber* f) { live.erase(std::remove(live.begin(), live.end(), f), live.end()); }
};

Scheduler& S() {
  static Scheduler* s = new Scheduler;  // outlives every static Thread
  return *s;
}

Pump* GetPump(bool create) {
  Scheduler& s = S();
  if (!s.pump && create) {
    detail::EnsureQtApplication();
    s.pump = new Pump(QCoreApplication::instance());
  } else if (!s.pump && QCoreApplication::instance() && !s.live.empty()) {
    // The QApplication was made anew while threads still wait.
    s.pump = new Pump(QCoreApplication::instance());
  }
  return s.pump.data();
}

Pump::Pump(QObject* parent) : QObject(parent), zero_(this), fallback_(this), wake_(this) {
  zero_.setInterval(0);
  connect(&zero_, &QTimer::timeout, this, [this] { Shot(); });
  fallback_.setSingleShot(true);
  fallback_.setTimerType(Qt::CoarseTimer);
  connect(&fallback_, &QTimer::timeout, this, [this] { Kick(); });
  wake_.setSingleShot(true);
  wake_.setTimerType(Qt::PreciseTimer);
  connect(&wake_, &QTimer::timeout, this, [this] { Kick(); });
}

struct RoundResult {
  int passes = 0;
  bool allIdle = true;
};

RoundResult RunRound() {
  Scheduler& s = S();
  RoundResult r;
  s.started = false;
  // Threads started during the round first run in the next one; threads destroyed during
  // it are skipped.
  const std::vector<Fiber*> order = s.live;
  for (Fiber* f : order) {
    if (!s.IsLive(f)) continue;
    if (f->sleeping_) {
      if (Clock::now() < f->wakeAt_) continue;
      f->sleeping_ = false;
    }
    f->passIdle_ = false;
    f->Resume();
    ++r.passes;
    if (!f->passIdle_) r.allIdle = false;
    if (f->Finished()) {
      r.allIdle = false;
      s.Forget(f);
      if (f->escaped_) s.escaped.push_back(std::exchange(f->escaped_, nullptr));
    }
  }
  if (s.started) r.allIdle = false;
  return r;
}

void Pump::Shot() {
  Scheduler& s = S();
  // A nested event loop run from inside a pass must not resume fibers from a fiber.
  if (s.inShot || Fiber::current) return;
  s.inShot = true;
  const auto start = Clock::now();
  bool idle = false;
  for (;;) {
    RoundResult r = RunRound();
    if (r.passes == 0 || r.allIdle) {
      idle = true;
      break;
    }
    if (Clock::now() - start >= kSlice) break;
  }
  s.inShot = false;
  Rearm(idle);
  // Back on the main stack with the scheduler's state in order: the unhandled-exception
  // routine may show a modal box, in whose loop the threads go on.
  std::vector<std::exception_ptr> escaped;
  escaped.swap(s.escaped);
  for (auto& e : escaped) RuntimeUnhandledException(e);
}

void Pump::Rearm(bool idle) {
  Scheduler& s = S();
  if (s.live.empty()) {
    zero_.stop();
    fallback_.stop();
    wake_.stop();
    return;
  }
  if (!idle) {
    // More to do: the zero timer goes on and checks the sleepers at every round.
    fallback_.stop();
    wake_.stop();
    if (!zero_.isActive()) zero_.start();
    return;
  }
  zero_.stop();
  bool anyAwake = false;
  bool anySleeping = false;
  Clock::time_point earliest = Clock::time_point::max();
  for (Fiber* f : s.live) {
    if (f->sleeping_) {
      anySleeping = true;
      earliest = std::min(earliest, f->wakeAt_);
    } else {
      anyAwake = true;
    }
  }
  if (anyAwake) {
    if (!fallback_.isActive()) fallback_.start(kFallbackMs);
  } else {
    fallback_.stop();
  }
  if (anySleeping) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest - Clock::now()).count();
    wake_.start(static_cast<int>(std::clamp<long long>(left, 0, 1 << 30)));
  } else {
    wake_.stop();
  }
}

// Something changed that a thread may be waiting for. On a fiber it makes the current
// pass count as progress (the round is not idle); on the main stack it starts the timer.
void Stir() {
  if (Fiber* f = Fiber::current) {
    f->passIdle_ = false;
    return;
  }
  if (S().live.empty()) return;
  if (Pump* p = GetPump(false)) p->Kick();
}

// Gives way from a fiber; while the thread is being destroyed it instead throws the
// unwinding through the caller's frames (unless one is already in flight: a destructor
// that gives way during unwinding just returns).
void SuspendCurrent(Fiber* f) {
  if (!f->unwinding_) f->Suspend();
  if (f->unwinding_ && std::uncaught_exceptions() == 0) throw Unwind{};
}

}  // namespace

void Fiber::Resume() {
  if (!started_) {
    started_ = true;
    // The stack is made first so that the sanitizer hears of it before boost's start-up
    // runs its entry on it for a moment (else that frame lands among the main stack's).
    // That visit is a switch there and back, told as two.
    FiberStack salloc(stackBytes_);
    sctx_ = salloc.allocate();
    void* fake = nullptr;
    const void* here = nullptr;
    std::size_t hereSize = 0;
    StartSwitch(&fake, static_cast<const char*>(sctx_.sp) - sctx_.size, sctx_.size);
    fiber_ = boost::context::fiber(
        std::allocator_arg, boost::context::preallocated(sctx_.sp, sctx_.size, sctx_), salloc,
        [this](boost::context::fiber&& back) { return Body(std::move(back)); });
    FinishSwitch(fake, &here, &hereSize);
    StartSwitch(&fake, here, hereSize);
    FinishSwitch(fake, nullptr, nullptr);
  }
  Fiber* previous = current;
  current = this;
  EhState* eh = EhGlobals();
  const EhState mine = *eh;
  *eh = eh_;
  void* fake = nullptr;
  StartSwitch(&fake, static_cast<const char*>(sctx_.sp) - sctx_.size, sctx_.size);
  fiber_ = std::move(fiber_).resume();
  FinishSwitch(fake, nullptr, nullptr);
  eh_ = *eh;
  *eh = mine;
  current = previous;
}

void Fiber::Suspend() {
  void* fake = nullptr;
  StartSwitch(&fake, backBottom_, backSize_);
  back_ = std::move(back_).resume();
  FinishSwitch(fake, &backBottom_, &backSize_);
}

boost::context::fiber Fiber::Body(boost::context::fiber&& back) {
  back_ = std::move(back);
  FinishSwitch(nullptr, &backBottom_, &backSize_);
  try {
    if (!unwinding_) owner_->Event_Run();
  } catch (const boost::context::detail::forced_unwind&) {
    // Boost's own unwinding of a fiber must reach its entry function.
    throw;
  } catch (const Unwind&) {
    // The thread is being destroyed; its frames are gone now.
  } catch (...) {
    // Must not cross into the resumer's stack: the scheduler reports it from there.
    escaped_ = std::current_exception();
  }
  finished_ = true;
  sleeping_ = false;
  // The last switch away. The sanitizer's usual way to say so (no place to keep this
  // stack's fake frames, which drops them) would drop them too early: the return value
  // below is still built in boost's frame, which may live there. So they are kept, and
  // are simply never used again (this costs memory only with detect_stack_use_after_return).
  StartSwitch(&deadFakeStack_, backBottom_, backSize_);
  return std::move(back_);
}

Thread::Thread() = default;

Thread::~Thread() {
  if (!fiber_) return;
  Fiber* f = fiber_.get();
  S().Forget(f);
  if (f->Started() && !f->Finished()) {
    if (Fiber::current == f) {
      std::fputs("framework: a thread destroyed itself on its own stack\n", stderr);
      std::terminate();
    }
    // Resumed once more, the fiber finds itself being unwound where it gave way and
    // runs its frames' destructors on its own stack; then it ends for good.
    f->unwinding_ = true;
    while (!f->Finished()) f->Resume();
    f->escaped_ = nullptr;  // a thread torn down has nobody left to report to
  }
  fiber_.reset();
}

void Thread::Run() {
  if (fiber_ && S().IsLive(fiber_.get())) return;
  fiber_ = std::make_unique<Fiber>(this);
  Scheduler& s = S();
  s.live.push_back(fiber_.get());
  // Started from a thread's pass: the running round is not idle, whatever its passes do
  // after this, so that the next round starts it.
  if (s.inShot) s.started = true;
  GetPump(true)->Kick();
}

Thread::ThreadState Thread::State() const {
  if (!fiber_ || !S().IsLive(fiber_.get())) return ThreadState::NotRunning;
  return fiber_->sleeping_ ? ThreadState::Sleeping : ThreadState::Running;
}

void GiveWay() {
  if (Fiber* f = Fiber::current) SuspendCurrent(f);
}

bool OnThreadStack() { return Fiber::current != nullptr; }

namespace {

struct SleepSeam {
  double scale = 1.0;
  std::vector<int> requests;
};

SleepSeam& Sleeps() {
  static SleepSeam* s = new SleepSeam;
  return *s;
}

}  // namespace

void Application::SleepCurrentThread(int milliseconds) {
  Fiber* f = Fiber::current;
  if (!f) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  Sleeps().requests.push_back(milliseconds);
  if (milliseconds > 0) {
    const auto span = std::chrono::duration<double, std::milli>(milliseconds * Sleeps().scale);
    f->wakeAt_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(span);
    f->sleeping_ = true;
  }
  SuspendCurrent(f);
}

namespace testing {

void SetSleepScale(double scale) { Sleeps().scale = scale; }

std::vector<int> SleepRequests() { return Sleeps().requests; }

}  // namespace testing

namespace detail {

void WakeScheduler() { Stir(); }

void NoteIdlePoll() {
  if (Fiber* f = Fiber::current) f->passIdle_ = true;
}

void NoteProgress() {
  if (Fiber* f = Fiber::current) f->passIdle_ = false;
}

int RunningThreadCount() { return static_cast<int>(S().live.size()); }

}  // namespace detail

}  // namespace framework
