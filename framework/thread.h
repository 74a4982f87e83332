#pragma once
// Cooperative threads: each runs its Event_Run on a fiber of the main thread, between Qt
// events. A thread gives way only where it calls GiveWay or sleeps.
#include <memory>

#include "framework/control.h"

namespace framework {

class Fiber;  // the platform side

class Thread : public Control {
 public:
  enum class ThreadState { NotRunning, Running, Sleeping };

  Thread();
  ~Thread() override;

  // The thread's body; returns when its job is done.
  virtual void Event_Run() {}

  // Starts the thread; it first runs at the scheduler's next round. Ignored while running.
  void Run();
  ThreadState State() const;

  int Priority() const { return priority_; }
  void SetPriority(int priority) { priority_ = priority; }
  int StackSize() const { return stackSize_; }
  void SetStackSize(int bytes) { stackSize_ = bytes; }

 private:
  int priority_ = 5, stackSize_ = 0;
  std::unique_ptr<Fiber> fiber_;
  friend class Fiber;
};

// Ends the current thread's pass: lets the event loop and the other threads run, then
// returns. On the main stack it does nothing.
void GiveWay();

// True while the code runs on a thread's fiber rather than on the main stack.
bool OnThreadStack();

}  // namespace framework
