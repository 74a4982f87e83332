// The serial port object and its line, on Qt SerialPort.
//
// QSerialPort opens the device, locks it and sets the line up; the rest is done here,
// because Qt's own handling falls short for this program in three places:
// - writing: QSerialPort::write only buffers, and its waits either drain the adapter's FIFO
//   (flush -> tcdrain, which the kernel polls in 4 ms steps on USB adapters) or read input
//   and emit signals meanwhile (waitForBytesWritten). Output is therefore written to the
//   descriptor from our own queue, so XmitWait can return as soon as the driver holds it all.
// - hang-up: on a hung-up or unplugged device Qt 6.4 keeps the port open and reports a
//   ReadError for every pass of the event loop, spinning a core. The first read error of a
//   port that poll() shows hung up ends that connection here.
// - stale readiness: with VMIN = VTIME = 0 a read of an empty tty returns 0, so when a
//   Poll has already taken the bytes that woke the read notifier in the same loop pass,
//   Qt reports exactly the ReadError of a hang-up. Those are told apart by poll() too.
// Handlers are raised from posted events rather than from Qt's signals, so that whatever
// a handler does (Close, for one) never runs inside QSerialPort's notifier callbacks.
#include <QCoreApplication>
#include <QSerialPort>
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
#include "framework/serial.h"

namespace framework {

namespace {

// How long XmitWait waits for a driver that takes nothing (flow control holding the line)
// before it gives up and reports the port.
constexpr std::chrono::milliseconds kStallLimit{5000};
constexpr std::chrono::milliseconds kWaitSlice{50};
// Read errors in a row, with no input between them, after which a port that poll() does
// not show hung up is taken for dead all the same.
constexpr int kErrorStreakLimit = 8;

std::string ErrnoText(int code) { return std::strerror(code); }

// True when the descriptor is hung up (pseudo-terminal master gone, USB adapter unplugged)
// or no longer valid.
bool LooksHungUp(int fd) {
  if (fd < 0) return true;
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return true;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

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

QSerialPort::DataBits QtDataBits(int code) {
  switch (code) {
    case 0: return QSerialPort::Data5;
    case 1: return QSerialPort::Data6;
    case 2: return QSerialPort::Data7;
    default: return QSerialPort::Data8;
  }
}

QSerialPort::Parity QtParity(int code) {
  switch (code) {
    case 1: return QSerialPort::OddParity;
    case 2: return QSerialPort::EvenParity;
    default: return QSerialPort::NoParity;
  }
}

QSerialPort::StopBits QtStopBits(int code) {
  switch (code) {
    case 1: return QSerialPort::OneAndHalfStop;
    case 2: return QSerialPort::TwoStop;
    default: return QSerialPort::OneStop;
  }
}

}  // namespace

// --- the platform side of one Serial ---

class SerialLine : public QObject {
 public:
  explicit SerialLine(Serial* owner) : owner_(owner), alive_(std::make_shared<bool>(true)) {
    QObject::connect(&port_, &QSerialPort::readyRead, this, [this] { OnReadyRead(); });
    QObject::connect(&port_, &QSerialPort::errorOccurred, this,
                     [this](QSerialPort::SerialPortError e) { OnQtError(e); });
  }

  ~SerialLine() override {
    *alive_ = false;
    CloseNow();
  }

  bool IsOpen() const { return connected_ && !ended_; }

  bool Open() {
    CloseNow();
    in_.clear();
    ForgetSearch();
    fresh_ = false;
    ended_ = false;
    errorStreak_ = 0;
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
    port_.setPortName(QString::fromLocal8Bit(path.data(), static_cast<qsizetype>(path.size())));
    port_.setBaudRate(bps);
    port_.setDataBits(QtDataBits(owner_->bits_));
    port_.setParity(QtParity(owner_->parity_));
    port_.setStopBits(QtStopBits(owner_->stop_));
    // Qt knows no DTR/DSR flow control; that setting stays off.
    port_.setFlowControl(owner_->cts_   ? QSerialPort::HardwareControl
                         : owner_->xon_ ? QSerialPort::SoftwareControl
                                        : QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
      lastError_ = "Cannot open " + path + ": " + port_.errorString().toStdString();
      port_.clearError();
      return false;
    }
    fd_ = static_cast<int>(port_.handle());
    if (owner_->cts_ && owner_->xon_) {
      // Qt takes one kind of flow control; both were asked for.
      termios t;
      if (::tcgetattr(fd_, &t) == 0) {
        t.c_iflag |= IXON | IXOFF;
        (void)::tcsetattr(fd_, TCSANOW, &t);
      }
    }
    // Whatever the device sent before this open belongs to no command of ours.
    (void)::tcflush(fd_, TCIFLUSH);
    RequestLowLatency(fd_);
    writer_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writer_->setEnabled(false);
    QObject::connect(writer_, &QSocketNotifier::activated, this, [this] { OnWritable(); });
    connected_ = true;
    lastError_.clear();
    return true;
  }

  void Close() {
    if (connected_ && !ended_) Drain();  // what the driver takes at once still goes out
    CloseNow();
  }

  void Flush() {
    in_.clear();
    ForgetSearch();
    fresh_ = false;
    out_.clear();
    outHead_ = 0;
    if (IsOpen()) {
      port_.clear(QSerialPort::AllDirections);
      UpdateWriter();
    }
  }

  void Reset() {
    if (!IsOpen()) return;
    const int bps = Serial::BitsPerSecond(owner_->baud_);
    if (bps != 0) port_.setBaudRate(bps);
    port_.clearError();
  }

  void Write(const std::string& data) {
    detail::NoteProgress();
    if (!IsOpen()) {
      FinishEndIfDue();
      // A pending report (a hang-up, say) already tells why nothing can be sent.
      if (!errorPosted_) lastError_ = "The serial port is not open";
      QueueError();
      return;
    }
    out_.append(data);
    Drain();
    FinishEndIfDue();
  }

  void XmitWait() {
    if (!IsOpen()) return;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
      if (Drain()) lastProgress = std::chrono::steady_clock::now();
      if (ended_ || Pending() == 0) break;
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
    FinishEndIfDue();
  }

  void Poll() {
    if (!IsOpen()) {
      detail::NoteIdlePoll();
      return;
    }
    Drain();
    // Take what the driver holds now, not only what Qt read before.
    for (int i = 0; i < 64 && IsOpen(); ++i)
      if (!port_.waitForReadyRead(0)) break;
    if (port_.error() == QSerialPort::TimeoutError) port_.clearError();
    if (IsOpen()) Absorb();
    FinishEndIfDue();
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
    while (!ended_ && Pending() > 0) {
      const ssize_t n = ::write(fd_, out_.data() + outHead_, Pending());
      if (n > 0) {
        outHead_ += static_cast<std::size_t>(n);
        progressed = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      EndConnection(n < 0 ? "Writing to " + owner_->port_.Path + " failed: " + ErrnoText(errno)
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
    if (writer_) writer_->setEnabled(connected_ && !ended_ && Pending() > 0);
  }

  void OnWritable() {
    if (!IsOpen()) {
      UpdateWriter();
      return;
    }
    Drain();
  }

  void Absorb() {
    const QByteArray bytes = port_.readAll();
    if (bytes.isEmpty()) return;
    in_.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    fresh_ = true;
    errorStreak_ = 0;
  }

  void OnReadyRead() {
    if (!IsOpen()) return;
    Absorb();
    if (fresh_) PostDelivery();
  }

  void OnQtError(QSerialPort::SerialPortError e) {
    if (!IsOpen()) return;
    switch (e) {
      case QSerialPort::ReadError:
      case QSerialPort::ResourceError:
        if (LooksHungUp(fd_) || ++errorStreak_ >= kErrorStreakLimit) {
          EndConnection(HangUpText());
        } else {
          // A stale wake-up: the bytes were taken already. Keep reading.
          port_.clearError();
          SetQtReading(true);
        }
        break;
      case QSerialPort::TimeoutError:
      case QSerialPort::NotOpenError:
        port_.clearError();
        break;
      default:
        break;
    }
  }

  // Qt's read notifier is a child of the port; on a dead port it would fire for ever.
  void SetQtReading(bool on) {
    for (QSocketNotifier* n : port_.findChildren<QSocketNotifier*>())
      if (n->type() == QSocketNotifier::Read && n->isEnabled() != on) n->setEnabled(on);
  }

  // The end of this connection. We may be inside one of QSerialPort's callbacks, which must
  // not delete its notifiers under it, so the port is closed later, from a posted event or
  // when our own call returns to its caller.
  void EndConnection(const std::string& why) {
    if (ended_) return;
    ended_ = true;
    lastError_ = why;
    SetQtReading(false);
    if (writer_) writer_->setEnabled(false);
    out_.clear();
    outHead_ = 0;
    QMetaObject::invokeMethod(this, [this] { FinishEndIfDue(); }, Qt::QueuedConnection);
    QueueError();
  }

  void FinishEndIfDue() {
    if (ended_ && connected_) CloseNow();
  }

  void CloseNow() {
    if (writer_) {
      writer_->setEnabled(false);
      writer_->deleteLater();
      writer_ = nullptr;
    }
    if (port_.isOpen()) port_.close();
    port_.clearError();
    connected_ = false;
    ended_ = false;
    fd_ = -1;
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
  QSerialPort port_;
  QSocketNotifier* writer_ = nullptr;
  int fd_ = -1;
  bool connected_ = false;  // the Qt port is open for this connection
  bool ended_ = false;      // the connection is over; the Qt port closes soon
  int errorStreak_ = 0;
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
