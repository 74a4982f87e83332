// A serial device that answers nothing: a pseudo-terminal whose other end reads and drops
// whatever is sent to it until this process is ended. Prints the device's path on the
// first line of its output. Holds the device open itself too, so that the line stays up
// while the program under test closes and reopens it, and the path (a /dev/pts number)
// is not handed to another process while anything may still open it.
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main() {
  // Ends with whoever started it, however that one ends.
  (void)::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() == 1) return 1;
  int master = -1, slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios t{};
  if (::tcgetattr(slave, &t) == 0) {
    ::cfmakeraw(&t);
    (void)::tcsetattr(slave, TCSANOW, &t);
  }
  std::printf("%s\n", name);
  std::fflush(stdout);
  char bytes[4096];
  for (;;) {
    const ssize_t n = ::read(master, bytes, sizeof bytes);
    if (n < 0 && errno != EINTR) {
      std::perror("read");
      return 1;
    }
  }
}
