#pragma once
// The program's end of the simulator's line without Qt: a plain non-blocking descriptor on
// the simulator's path, for the simulator's own tests and for the benches' bare exchange.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class PtyClient {
 public:
  using Clock = std::chrono::steady_clock;
  // AsItIs leaves the line as the simulator set it up (so its own settings are what is
  // tested); Raw sets it raw as the program does.
  enum class Mode { AsItIs, Raw };

  explicit PtyClient(const std::string& path, Mode mode = Mode::AsItIs)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    termios t{};
    if (fd_ >= 0 && mode == Mode::Raw && ::tcgetattr(fd_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~PtyClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Writes every byte; throws when the other side takes nothing for 2 s.
  void Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 2000) <= 0) throw std::runtime_error("the simulator stopped taking bytes");
    }
  }

  // Reads until the text holds count bytes, the time is up or the line hangs up; each
  // read's arrival time goes to arrivals (one entry per byte).
  std::string ReadUntil(std::size_t count, std::chrono::milliseconds limit,
                        std::vector<Clock::time_point>* arrivals = nullptr) {
    std::string got;
    const auto end = Clock::now() + limit;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      if (p.revents & POLLHUP) break;
      char buf[4096];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) continue;
      got.append(buf, static_cast<std::size_t>(n));
      if (arrivals) arrivals->insert(arrivals->end(), static_cast<std::size_t>(n), Clock::now());
    }
    return got;
  }

  // Whatever arrives within the time.
  std::string ReadFor(std::chrono::milliseconds time) { return ReadUntil(1u << 20, time); }

  // One reply line, up to its LF; throws when none has come within the limit.
  std::string AwaitLine(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::string line;
    for (;;) {
      char c;
      const ssize_t n = ::read(fd_, &c, 1);
      if (n == 1) {
        line.push_back(c);
        if (c == '\n') return line;
        continue;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
        throw std::runtime_error("the simulator did not answer on the bare line");
    }
  }

 private:
  int fd_ = -1;
};

}  // namespace testsupport
