#pragma once
// The application object and the runtime entry points that start-up calls.
#include <exception>
#include <memory>
#include <string>

#include "framework/exceptions.h"
#include "framework/menu.h"

namespace framework {

class Window;

class Application {
 public:
  Application() = default;
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;
  virtual ~Application();

  std::shared_ptr<framework::MenuBar> MenuBar() const { return menuBar_; }
  void SetMenuBar(std::shared_ptr<framework::MenuBar> bar) { menuBar_ = std::move(bar); }

  // Suspends the calling cooperative thread; the event loop and the other threads run.
  void SleepCurrentThread(int milliseconds);

 private:
  std::shared_ptr<framework::MenuBar> menuBar_;
};

// The guarded call: runs routine(argument); returns the RuntimeException that escaped, or
// null. Anything else thrown passes on to the caller.
using ExceptionHelper = std::exception_ptr (*)(void (*routine)(void*), void* argument);

// The program's life in the three steps its main runs: before the start-up, the start-up
// through the event loop, and the release steps ending in RuntimeExit (the exit status).
// The program hands them over; the framework keeps no knowledge of its own of them.
struct ProgramSteps {
  void (*begin)();
  void (*main)();
  int (*end)();
};
// The runtime's entry: runs the steps in their order and returns what end returned, the
// process's exit status. The testing entry (framework/testing.h) takes the same steps.
int RuntimeMain(const ProgramSteps& steps);

void RuntimeInit();
void RuntimeSetExceptionHelper(ExceptionHelper helper);
void RunFrameworkInitialization(void (*startup)());
// Runs the event loop until the application quits (at once, if it has quit already).
void RuntimeRun();
// The framework's reaction to an exception nobody caught: it tells the user and quits.
void RuntimeUnhandledException(std::exception_ptr exception);
void RuntimeInitExternalClasses();
void RuntimeAllocatePluginEntrypointsTable(int entries);
// The framework keeps the object for the rest of the process.
void RuntimeRegisterAppObject(Application* app);
Application* getAppObject();
Window* RuntimeGetImplicitWindow(const std::string& className);
// Releases the framework's own module objects: closes and drops its windows.
void RuntimeReleaseModuleObjects();
int RuntimeExit();

// Ends the event loop (Quit).
void RuntimeQuit();
bool RuntimeQuitRequested();

// Runs fn through the guarded call; an escaped exception goes to the unhandled routine.
// Every handler of the program that Qt calls goes through here.
void Dispatch(void (*fn)(void*), void* argument);
template <class F>
void Dispatch(F&& f) {
  Dispatch([](void* p) { (*static_cast<F*>(p))(); }, static_cast<void*>(&f));
}

}  // namespace framework
