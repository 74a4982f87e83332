// The runtime: the Qt application, the event loop, the guarded call and the unhandled-
// exception routine, and the program-wide lists the framework keeps.
#include <QApplication>
#include <QFont>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "framework/application.h"
#include "framework/detail.h"
#include "framework/msgbox.h"
#include "framework/window.h"

namespace framework {
namespace {

struct Runtime {
  std::unique_ptr<QApplication> qt;
  ExceptionHelper helper = nullptr;
  std::unique_ptr<Application> app;
  bool quit = false;
  int exitStatus = 0;
  bool reporting = false;
  bool loopDrivenByTest = false;
};

Runtime& R() {
  static Runtime r;
  return r;
}

// QApplication keeps references to argc and argv for its whole life.
int g_argc = 1;
char g_arg0[] = "vantrel9-programmer";
char* g_argv[] = {g_arg0, nullptr};

// Windows the framework keeps while they are open, with their class names.
std::vector<Window*>& OpenWindows() {
  static std::vector<Window*> w;
  return w;
}

// The program's first window, until it goes: the main window.
Window*& Main() {
  static Window* w = nullptr;
  return w;
}

std::string Describe(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const RuntimeException& ex) {
    return ex.what();
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "an unknown error";
  }
}

}  // namespace

namespace detail {

void SetEventLoopDrivenByTest(bool driven) { R().loopDrivenByTest = driven; }

void EnsureQtApplication() {
  if (QCoreApplication::instance()) return;
  R().qt = std::make_unique<QApplication>(g_argc, g_argv);
  // The layouts were drawn for a compact system font; Liberation Sans (Arial's metrics)
  // fits their frames where the wider default would clip.
  QFont font(QStringLiteral("Liberation Sans"));
  font.setPixelSize(12);
  QApplication::setFont(font);
  // Only Quit ends the program; closing the About window must not.
  QApplication::setQuitOnLastWindowClosed(false);
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline) {
  EnsureQtApplication();
  // One armed timer makes sure the wait for the next event ends by the deadline; waiting
  // costs nothing, unlike a loop of non-blocking passes.
  QTimer limit;
  limit.setSingleShot(true);
  limit.setTimerType(Qt::PreciseTimer);
  for (;;) {
    if (done()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    limit.start(static_cast<int>(std::max<long long>(1, std::min<long long>(left, 1 << 30))));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

void RegisterOpenWindow(Window* w) {
  OpenWindows().push_back(w);
  if (!Main()) Main() = w;
}

Window* MainWindow() { return Main(); }

std::vector<Window*> OpenWindowList() { return OpenWindows(); }

Window* WindowOfWidget(QWidget* top) {
  for (Window* w : OpenWindows())
    if (w->Widget() == top) return w;
  return nullptr;
}

void ForgetWindow(Window* w) {
  if (Main() == w) Main() = nullptr;
  auto& v = OpenWindows();
  v.erase(std::remove(v.begin(), v.end(), w), v.end());
}

std::vector<Window*>& ClosedWindows() {
  static std::vector<Window*> w;
  return w;
}

void SweepClosedWindows() {
  std::vector<Window*> closed;
  closed.swap(ClosedWindows());
  for (Window* w : closed) delete w;
}

void WindowClosed(Window* w) {
  ClosedWindows().push_back(w);
  QTimer::singleShot(0, [] { SweepClosedWindows(); });
}

}  // namespace detail

int RuntimeMain(const ProgramSteps& steps) {
  steps.begin();
  steps.main();
  return steps.end();
}

namespace detail {
// quit_signals.cpp
void QuitOnTerminationSignals();
void StopQuittingOnTerminationSignals();
}  // namespace detail

void RuntimeInit() {
  R().quit = false;
  R().exitStatus = 0;
  R().reporting = false;  // a report shown in an earlier run does not silence this one
  detail::EnsureQtApplication();
  detail::QuitOnTerminationSignals();
}

void RuntimeSetExceptionHelper(ExceptionHelper helper) { R().helper = helper; }

void RunFrameworkInitialization(void (*startup)()) { startup(); }

void RuntimeRun() {
  if (R().quit || R().loopDrivenByTest) return;
  detail::EnsureQtApplication();
  QApplication::exec();
}

void RuntimeQuit() {
  R().quit = true;
  // exit(), not quit(): quit() asks every window to close first, and the main window has
  // no close box to say yes with.
  if (QCoreApplication::instance()) QCoreApplication::exit(R().exitStatus);
}

bool RuntimeQuitRequested() { return R().quit; }

void RuntimeUnhandledException(std::exception_ptr exception) {
  // One report: a second failure while the first is being shown adds nothing the user can act on.
  if (R().reporting) return;
  R().reporting = true;
  detail::ShowMessage("Vantrel-9 Programmer met an error it cannot recover from (" +
                      Describe(exception) +
                      "). It will now close; start it again and repeat the last step.");
  R().exitStatus = 1;
  RuntimeQuit();
}

void RuntimeInitExternalClasses() {}
void RuntimeAllocatePluginEntrypointsTable(int) {}

void RuntimeRegisterAppObject(Application* app) { R().app.reset(app); }

Application* getAppObject() { return R().app.get(); }

Window* RuntimeGetImplicitWindow(const std::string& className) {
  for (Window* w : OpenWindows())
    if (w->ClassName() == className && !w->IsClosed()) return w;
  return nullptr;
}

void RuntimeReleaseModuleObjects() {
  // Close what is still open (the main window's Close event closes the port), then let go.
  std::vector<Window*> windows = OpenWindows();
  for (Window* w : windows)
    if (!w->IsClosed()) w->Close();
  OpenWindows().clear();
  Main() = nullptr;
  detail::SweepClosedWindows();
}

int RuntimeExit() {
  R().app.reset();
  int status = R().exitStatus;
  // Nothing is left to read the signals' pipe once the application goes.
  detail::StopQuittingOnTerminationSignals();
  R().qt.reset();
  return status;
}

void Dispatch(void (*fn)(void*), void* argument) {
  std::exception_ptr escaped;
  try {
    if (R().helper) {
      escaped = R().helper(fn, argument);
    } else {
      fn(argument);
    }
  } catch (...) {
    // Not a runtime exception: nothing of the program can catch it above Qt either.
    escaped = std::current_exception();
  }
  if (escaped) RuntimeUnhandledException(escaped);
  // Whatever a handler did may be what a waiting thread is waiting for.
  detail::WakeScheduler();
}

Application::~Application() = default;

}  // namespace framework
