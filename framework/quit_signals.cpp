// SIGTERM, SIGHUP (the terminal closed) and SIGINT end the program as File > Quit does: the
// event loop ends and the release steps run, so the window's Close event puts the serial
// line back as it was and gives up the port lock. A handler may do next to nothing, so it
// only writes the signal's number into a pipe; the event loop reads it there.
//
// The handlers belong to the runtime's life: what was there before is put back when the
// runtime ends. After the first signal each of them is back at the default action, so that
// a second one ends the process even when the event loop never gets to the first.
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "framework/application.h"

namespace framework::detail {

namespace {

int g_pipe[2] = {-1, -1};

struct Caught {
  int number;
  struct sigaction before;  // what the runtime found, put back at its end
  volatile sig_atomic_t ours;  // the handler below is installed for it
};
Caught g_caught[] = {{SIGTERM, {}, 0}, {SIGHUP, {}, 0}, {SIGINT, {}, 0}};

QPointer<QSocketNotifier>& Notifier() {
  static QPointer<QSocketNotifier> notifier;
  return notifier;
}

void DrainPipe() {
  char bytes[64];
  while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
  }
}

// Only async-signal-safe calls here.
void OnSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);  // full: one is waiting
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  for (Caught& c : g_caught)
    if (c.ours) ::sigaction(c.number, &fallback, nullptr);
  errno = saved;
}

}  // namespace

// Called by every start of the runtime, once the application exists.
void QuitOnTerminationSignals() {
  if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  if (!Notifier() && QCoreApplication::instance()) {
    // A byte left from an earlier run (a signal that came after its notifier had gone) is
    // not for this one.
    DrainPipe();
    Notifier() = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(Notifier().data(), &QSocketNotifier::activated, Notifier().data(), [] {
      DrainPipe();
      RuntimeQuit();
    });
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (Caught& c : g_caught) {
    if (c.ours) continue;
    // A signal ignored by whoever started the program (nohup, a background job) stays so.
    if (::sigaction(c.number, nullptr, &c.before) != 0 || c.before.sa_handler == SIG_IGN) continue;
    c.ours = 1;
    if (::sigaction(c.number, &action, nullptr) != 0) c.ours = 0;
  }
}

// Called when the runtime ends: the signals act as they did before it began.
void StopQuittingOnTerminationSignals() {
  for (Caught& c : g_caught) {
    if (!c.ours) continue;
    c.ours = 0;
    ::sigaction(c.number, &c.before, nullptr);
  }
  delete Notifier().data();
  if (g_pipe[0] >= 0) DrainPipe();
}

}  // namespace framework::detail
