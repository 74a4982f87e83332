// SIGTERM, SIGHUP (the terminal closed) and SIGINT end the program as File > Quit does: the
// event loop ends and the release steps run, so the window's Close event puts the serial
// line back as it was and gives up the port lock. A handler may do next to nothing, so it
// only writes the signal's number into a pipe; the event loop reads it there.
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

void OnSignal(int number) {
  const int saved = errno;
  const char byte = static_cast<char>(number);
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);  // full: one is waiting
  errno = saved;
}

}  // namespace

// Called once the application exists; again after a new one was made.
void QuitOnTerminationSignals() {
  if (g_pipe[0] < 0) {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGTERM, SIGHUP, SIGINT}) {
      struct sigaction before {};
      // A signal ignored by whoever started the program (nohup, a background job) stays so.
      if (::sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
      ::sigaction(number, &action, nullptr);
    }
  }
  static QPointer<QSocketNotifier> notifier;
  if (notifier || !QCoreApplication::instance()) return;
  notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier.data(), &QSocketNotifier::activated, notifier.data(), [] {
    char bytes[64];
    while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    RuntimeQuit();
  });
}

}  // namespace framework::detail
