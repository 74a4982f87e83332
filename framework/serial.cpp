// The serial port object and its line.
//
// A port is one terminal device, opened non-blocking, kept to this program alone (the port
// lock, port_lock.cpp, then the exclusive-use flag on the descriptor) and set to a raw line
// in the chosen format. The service reads and writes the descriptor itself:
// - output goes to the driver from the port's own queue, as far as the driver takes it at
//   once and the rest when the descriptor turns writable, so XmitWait returns as soon as the
//   driver holds every byte (no wait for the adapter to empty its FIFO);
// - input is read when the descriptor turns readable, and by Poll, which reads once what the
//   driver holds; the line is set so that a read with nothing to read says so (EAGAIN);
// - the end of a connection is what the descriptor tells: a read of 0 or EIO, or a hang-up
//   or error seen by poll(). The port then closes at once and Error is raised once.
// Handlers run from posted events, never inside a notifier's callback, and a DataAvailable
// handler is never entered twice.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <vector>

#include "framework/application.h"
#include "framework/detail.h"
#include "framework/port_lock.h"
#include "framework/serial.h"

namespace framework {

namespace detail {
bool SetLineSpeedAnyRate(int fd, int bitsPerSecond);  // serial_speed.cpp
}

namespace {

// How long XmitWait waits for a driver that takes nothing (flow control holding the line)
// before it gives up and reports the port.
constexpr std::chrono::milliseconds kStallLimit{5000};
constexpr std::chrono::milliseconds kWaitSlice{50};

std::string ErrnoText(int code) { return std::strerror(code); }

// Each reply otherwise waits for a USB adapter's latency timer (16 ms on FTDI parts).
// Devices without the setting (pseudo-terminals, most built-in ports) simply refuse.
void RequestLowLatency(int fd) {
  serial_struct ss;
  std::memset(&ss, 0, sizeof ss);
  if (::ioctl(fd, TIOCGSERIAL, &ss) != 0) return;
  if (ss.flags & ASYNC_LOW_LATENCY) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  (void)::ioctl(fd, TIOCSSERIAL, &ss);
}

speed_t SpeedConstant(int bitsPerSecond) {
  switch (bitsPerSecond) {
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;  // no constant: set through termios2
  }
}

tcflag_t SizeFlag(int code) {
  switch (code) {
    case 0: return CS5;
    case 1: return CS6;
    case 2: return CS7;
    default: return CS8;
  }
}

// Sets the speed in t, or, for a rate with no constant, on the descriptor after t is applied.
bool ApplyLine(int fd, termios t, int bitsPerSecond) {
  const speed_t constant = SpeedConstant(bitsPerSecond);
  if (constant != B0) {
    cfsetispeed(&t, constant);
    cfsetospeed(&t, constant);
  }
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
  return constant != B0 || detail::SetLineSpeedAnyRate(fd, bitsPerSecond);
}

}  // namespace

// --- the platform side of one Serial ---

class SerialLine : public QObject {
 public:
  explicit SerialLine(Serial* owner) : owner_(owner), alive_(std::make_shared<bool>(true)) {}

  ~SerialLine() override {
    *alive_ = false;
    CloseNow();
  }

  bool IsOpen() const { return fd_ >= 0; }

  bool Open() {
    CloseNow();
    in_.clear();
    ForgetSearch();
    fresh_ = false;
    const std::string path = owner_->port_.Path;
    if (path.empty()) {
      lastError_ = "No serial device belongs to this entry of the port list";
      return false;
    }
    const int bps = Serial::BitsPerSecond(owner_->baud_);
    if (bps == 0) {
      lastError_ = "Unknown speed code " + std::to_string(owner_->baud_);
      return false;
    }
    if (!lock_.Take(path, lastError_)) return false;
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      lastError_ = detail::OpenFailureText(path, errno);
      lock_.Release();
      return false;
    }
    // The device lock goes with the descriptor; the exclusive-use flag stays on the device
    // until taken off, so it is set only once the device is this program's.
    bool exclusive = false;
    auto fail = [&](std::string why) {
      lastError_ = std::move(why);
      if (exclusive) (void)::ioctl(fd, TIOCNXCL);
      ::close(fd);
      lock_.Release();
      return false;
    };
    std::string held;
    if (!detail::HoldDevice(fd, path, held)) return fail(held);
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(detail::OpenFailureText(path, errno));
    exclusive = true;
    if (::tcgetattr(fd, &saved_) != 0) return fail(detail::OpenFailureText(path, errno));
    termios t = saved_;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD | SizeFlag(owner_->bits_);
    if (owner_->parity_ == 1) t.c_cflag |= PARENB | PARODD;
    if (owner_->parity_ == 2) t.c_cflag |= PARENB;
    if (owner_->stop_ != 0) t.c_cflag |= CSTOPB;  // 1.5 stop bits is CSTOPB with 5 data bits
    if (owner_->cts_) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (owner_->xon_) t.c_iflag |= IXON | IXOFF;
    // The system knows no DTR/DSR flow control; that setting stays off.
    t.c_cc[VMIN] = 1;  // with O_NONBLOCK an empty read says EAGAIN, and 0 means hung up
    t.c_cc[VTIME] = 0;
    if (!ApplyLine(fd, t, bps)) return fail("Cannot set up " + path + ": " + ErrnoText(errno));
    // Whatever the device sent before this open belongs to no command of ours.
    (void)::tcflush(fd, TCIFLUSH);
    RequestLowLatency(fd);
    fd_ = fd;
    reader_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    QObject::connect(reader_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
    writer_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writer_->setEnabled(false);
    QObject::connect(writer_, &QSocketNotifier::activated, this, [this] { OnWritable(); });
    lastError_.clear();
    return true;
  }

  void Close() {
    if (IsOpen()) Drain();  // what the driver takes at once still goes out
    CloseNow();
  }

  void Flush() {
    in_.clear();
    ForgetSearch();
    fresh_ = false;
    out_.clear();
    outHead_ = 0;
    if (IsOpen()) {
      (void)::tcflush(fd_, TCIOFLUSH);
      UpdateWriter();
    }
  }

  void Reset() {
    if (!IsOpen()) return;
    const int bps = Serial::BitsPerSecond(owner_->baud_);
    termios t;
    if (bps != 0 && ::tcgetattr(fd_, &t) == 0) (void)ApplyLine(fd_, t, bps);
  }

  void Write(const std::string& data) {
    detail::NoteProgress();
    if (!IsOpen()) {
      // A pending report (a hang-up, say) already tells why nothing can be sent.
      if (!errorPosted_) lastError_ = "The serial port is not open";
      QueueError();
      return;
    }
    out_.append(data);
    Drain();
  }

  void XmitWait() {
    if (!IsOpen()) return;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
      if (Drain()) lastProgress = std::chrono::steady_clock::now();
      if (!IsOpen() || Pending() == 0) break;
      const auto idle = std::chrono::steady_clock::now() - lastProgress;
      if (idle >= kStallLimit) {
        lastError_ = "The device took nothing for " +
                     std::to_string(kStallLimit.count() / 1000) +
                     " s (flow control is holding the line)";
        QueueError();
        break;
      }
      // Short slices: a pseudo-terminal (and maybe a driver) frees room without waking
      // poll(), so the write is retried now and then in any case.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kStallLimit - idle);
      pollfd p{fd_, POLLOUT, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left.count(), 1, kWaitSlice.count())));
      if (r < 0 && errno != EINTR) {
        EndConnection("Waiting to send failed: " + ErrnoText(errno));
        break;
      }
      if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        EndConnection(HangUpText());
        break;
      }
    }
  }

  void Poll() {
    if (!IsOpen()) {
      detail::NoteIdlePoll();
      return;
    }
    Drain();
    ReadAvailable();
    if (!fresh_) {
      detail::NoteIdlePoll();
      return;
    }
    Deliver(false);
  }

  std::string ReadAll() {
    std::string all;
    all.swap(in_);
    ForgetSearch();
    return all;
  }

  // The 0-based place of text in the pending input, npos when absent. What an earlier
  // search for the same text looked through is not looked through again; its last
  // size - 1 bytes are, for a match that the new input completes.
  std::size_t FindPending(const std::string& text) {
    if (text.empty()) return in_.empty() ? std::string::npos : 0;
    if (text != searchText_) {
      searchText_ = text;
      searchFound_ = std::string::npos;
      searchScanned_ = 0;
    }
    if (searchFound_ != std::string::npos) return searchFound_;
    const std::size_t overlap = text.size() - 1;
    const std::size_t from = searchScanned_ > overlap ? searchScanned_ - overlap : 0;
    searchFound_ = in_.find(text, from);
    searchScanned_ = in_.size();
    return searchFound_;
  }
  const std::string& Buffered() const { return in_; }
  std::string LastErrorText() const { return lastError_; }

 private:
  void ForgetSearch() {
    searchFound_ = std::string::npos;
    searchScanned_ = 0;
  }

  std::size_t Pending() const { return out_.size() - outHead_; }

  std::string HangUpText() const {
    return "The connection to " + owner_->port_.Path + " ended (the device hung up or went away)";
  }

  // Writes what the driver takes without waiting; true when it took something.
  bool Drain() {
    bool progressed = false;
    while (IsOpen() && Pending() > 0) {
      const ssize_t n = ::write(fd_, out_.data() + outHead_, Pending());
      if (n > 0) {
        outHead_ += static_cast<std::size_t>(n);
        progressed = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      EndConnection(n < 0 && errno != EIO
                        ? "Writing to " + owner_->port_.Path + " failed: " + ErrnoText(errno)
                        : HangUpText());
      break;
    }
    if (outHead_ == out_.size()) {
      out_.clear();
      outHead_ = 0;
    } else if (outHead_ >= (1u << 16) && outHead_ * 2 >= out_.size()) {
      out_.erase(0, outHead_);
      outHead_ = 0;
    }
    UpdateWriter();
    return progressed;
  }

  void UpdateWriter() {
    const bool want = IsOpen() && Pending() > 0;
    if (writer_ && writer_->isEnabled() != want) writer_->setEnabled(want);
  }

  void OnWritable() {
    if (!IsOpen()) return;
    Drain();
  }

  // Reads what the driver holds. A read that fills the buffer is followed by another; a
  // shorter one took everything there was.
  void ReadAvailable() {
    char chunk[16384];
    while (IsOpen()) {
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n > 0) {
        in_.append(chunk, static_cast<std::size_t>(n));
        fresh_ = true;
        if (static_cast<std::size_t>(n) < sizeof chunk) return;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      EndConnection(n == 0 || errno == EIO
                        ? HangUpText()
                        : "Reading from " + owner_->port_.Path + " failed: " + ErrnoText(errno));
      return;
    }
  }

  void OnReadable() {
    if (!IsOpen()) return;
    ReadAvailable();
    if (fresh_) PostDelivery();
  }

  // The end of this connection: no notifier fires for it again, the port is closed now and
  // Error follows from the event loop. Input that came before the end stays readable.
  void EndConnection(const std::string& why) {
    if (!IsOpen()) return;
    lastError_ = why;
    CloseNow();
    QueueError();
  }

  void CloseNow() {
    // Notifiers may be ending inside their own callback: switched off now, deleted later.
    for (QSocketNotifier** n : {&reader_, &writer_}) {
      if (!*n) continue;
      (*n)->setEnabled(false);
      (*n)->deleteLater();
      *n = nullptr;
    }
    if (fd_ >= 0) {
      (void)::tcsetattr(fd_, TCSANOW, &saved_);
      (void)::ioctl(fd_, TIOCNXCL);
      ::close(fd_);
      fd_ = -1;
    }
    lock_.Release();
    out_.clear();
    outHead_ = 0;
  }

  void QueueError() {
    if (errorPosted_) return;
    errorPosted_ = true;
    detail::EnsureQtApplication();
    QMetaObject::invokeMethod(
        this,
        [this] {
          errorPosted_ = false;
          if (!owner_->Error) return;
          Serial* s = owner_;
          Dispatch([s] { s->Error(s); });
        },
        Qt::QueuedConnection);
  }

  void PostDelivery() {
    if (deliveryPosted_) return;
    deliveryPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
          deliveryPosted_ = false;
          Deliver(true);
        },
        Qt::QueuedConnection);
  }

  // Raises DataAvailable for input that arrived since the last time. The handler is never
  // entered twice; input that arrives while it runs (its own Poll, say) raises it again
  // once it has returned.
  void Deliver(bool fromEventLoop) {
    if (inHandler_) return;
    const std::shared_ptr<bool> alive = alive_;
    bool raised = false;
    while (fresh_) {
      fresh_ = false;
      if (!owner_->DataAvailable) break;
      raised = true;
      Serial* s = owner_;
      inHandler_ = true;
      if (fromEventLoop) {
        Dispatch([s] { s->DataAvailable(s); });
      } else {
        struct Leave {
          const std::shared_ptr<bool>& alive;
          bool& flag;
          ~Leave() {
            if (*alive) flag = false;
          }
        } leave{alive, inHandler_};
        s->DataAvailable(s);
      }
      if (!*alive) return;
      inHandler_ = false;
    }
    if (raised && fromEventLoop) detail::WakeScheduler();
  }

  Serial* owner_;
  std::shared_ptr<bool> alive_;
  int fd_ = -1;
  termios saved_{};  // the line as it was before this program set it; restored at close
  detail::PortLock lock_;
  QSocketNotifier* reader_ = nullptr;
  QSocketNotifier* writer_ = nullptr;
  std::string out_;         // written by the program, not yet taken by the driver
  std::size_t outHead_ = 0;
  std::string in_;          // arrived, not yet read by the program
  bool fresh_ = false;      // in_ got bytes that DataAvailable has not announced yet
  bool inHandler_ = false;
  bool deliveryPosted_ = false;
  bool errorPosted_ = false;
  std::string lastError_;
  // How far the pending input was searched for searchText_, and where it was found.
  std::string searchText_;
  std::size_t searchScanned_ = 0;
  std::size_t searchFound_ = std::string::npos;
};

// --- Serial ---

Serial::Serial() = default;
Serial::~Serial() = default;

int Serial::BitsPerSecond(int code) {
  static const int rates[] = {300,   600,   1200,  1800,  2400,  3600,   4800,   7200,
                              9600,  14400, 19200, 28800, 38400, 57600, 115200, 230400};
  if (code < 0 || code >= static_cast<int>(std::size(rates))) return 0;
  return rates[code];
}

bool Serial::Open() {
  detail::EnsureQtApplication();
  if (!line_) line_ = std::make_unique<SerialLine>(this);
  return line_->Open();
}

bool Serial::IsOpen() const { return line_ && line_->IsOpen(); }

void Serial::Close() {
  if (line_) line_->Close();
}

void Serial::Flush() {
  if (line_) line_->Flush();
}

void Serial::Reset() {
  if (line_) line_->Reset();
}

void Serial::Write(const std::string& data) {
  detail::EnsureQtApplication();
  if (!line_) line_ = std::make_unique<SerialLine>(this);
  line_->Write(data);
}

void Serial::XmitWait() {
  if (line_) line_->XmitWait();
}

void Serial::Poll() {
  if (line_) {
    line_->Poll();
  } else {
    detail::NoteIdlePoll();
  }
}

// Bytes are kept as received; ASCII names those same bytes.
std::string Serial::ReadAll(const TextEncoding*) { return line_ ? line_->ReadAll() : std::string(); }

PendingInput Serial::LookAhead(const TextEncoding*) const { return PendingInput(this); }

std::string_view PendingInput::View() const {
  if (!port_->line_) return {};
  return port_->line_->Buffered();
}

int InStr(const PendingInput& text, const std::string& find) {
  if (!text.port_->line_) return find.empty() ? 1 : 0;
  const std::size_t at = text.port_->line_->FindPending(find);
  return at == std::string::npos ? (find.empty() ? 1 : 0) : static_cast<int>(at) + 1;
}

std::size_t Serial::BytesAvailable() const { return line_ ? line_->Buffered().size() : 0; }

std::string Serial::LastErrorText() const { return line_ ? line_->LastErrorText() : std::string(); }

}  // namespace framework
