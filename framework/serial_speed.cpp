// Line speeds that have no B constant (3600, 7200, 14400, 28800 bit/s) are set through
// termios2; its header cannot share a file with <termios.h>, hence this file of its own.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace framework::detail {

bool SetLineSpeedAnyRate(int fd, int bitsPerSecond) {
  struct termios2 t;
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_cflag &= ~(CBAUD << IBSHIFT);
  t.c_cflag |= BOTHER << IBSHIFT;
  t.c_ispeed = static_cast<speed_t>(bitsPerSecond);
  t.c_ospeed = static_cast<speed_t>(bitsPerSecond);
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace framework::detail
