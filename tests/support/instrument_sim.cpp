#include "tests/support/instrument_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace testsupport {

namespace {

// A paced byte due within this is waited for by spinning, since a sleep may overshoot by
// some tens of microseconds.
constexpr std::chrono::microseconds kSpinWindow{150};

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeRaw(int fd) {
  termios t;
  if (::tcgetattr(fd, &t) != 0) throw SystemError("tcgetattr");
  ::cfmakeraw(&t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) throw SystemError("tcsetattr");
}

void SetFlag(int fd, int flag) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, fl | flag) != 0) throw SystemError("fcntl");
}

// The process-wide change signal: an eventfd, written once until the watcher clears it, so
// that a busy simulator costs the watcher one wake-up per look rather than one per byte.
struct ChangeSignal {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::atomic<bool> raised{false};
};

ChangeSignal& Changes() {
  static ChangeSignal* s = new ChangeSignal;  // outlives every simulator, static ones too
  return *s;
}

void RaiseChangeSignal() {
  ChangeSignal& c = Changes();
  if (c.raised.exchange(true)) return;
  const std::uint64_t one = 1;
  (void)!::write(c.fd, &one, sizeof one);
}

}  // namespace

int ChangeSignalFd() { return Changes().fd; }

void ClearChangeSignal() {
  ChangeSignal& c = Changes();
  std::uint64_t count;
  (void)!::read(c.fd, &count, sizeof count);
  // Cleared after the read: a change made from here on writes again, and one made before
  // is seen by the watcher's next look at its condition.
  c.raised.store(false);
}

// --- Plan ---

Plan& Plan::Send(std::string bytes) {
  steps_.push_back({Step::Kind::Send, std::move(bytes), std::chrono::milliseconds(0)});
  return *this;
}

Plan& Plan::Line(const std::string& text) { return Send(text + "\r\n"); }

Plan& Plan::Wait(std::chrono::milliseconds delay) {
  steps_.push_back({Step::Kind::Wait, {}, delay});
  return *this;
}

Plan& Plan::HangUp() {
  steps_.push_back({Step::Kind::HangUp, {}, std::chrono::milliseconds(0)});
  return *this;
}

Plan& Plan::ComeBack() {
  steps_.push_back({Step::Kind::ComeBack, {}, std::chrono::milliseconds(0)});
  return *this;
}

Plan Plan::Lines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\r\n";
  Plan p;
  if (!all.empty()) p.Send(std::move(all));
  return p;
}

Plan Plan::Pieces(const std::vector<std::string>& pieces, std::chrono::milliseconds gap) {
  Plan p;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) p.Wait(gap);
    p.Send(pieces[i]);
  }
  return p;
}

Plan Plan::After(std::chrono::milliseconds delay, std::string bytes) {
  Plan p;
  p.Wait(delay).Send(std::move(bytes));
  return p;
}

// --- Session ---

void Session::ExpectRaw(std::size_t count, std::string tag) {
  if (count == 0) return;
  expect_.emplace_back(count, std::move(tag));
}

// --- InstrumentSim ---

InstrumentSim::InstrumentSim() {
  if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) throw SystemError("pipe2");
  char dir[] = "/tmp/vantrel-sim-XXXXXX";
  if (!::mkdtemp(dir)) throw SystemError("mkdtemp");
  dir_ = dir;
  link_ = dir_ + "/ttyV9";
  replies_["ver?"] = Plan::Lines({kGenVersion});
  replies_["ID?"] = Plan::Lines({kGenId});
  replies_["@ver?"] = Plan::Lines({kAnzVersion});
  replies_["#Boot"] = Plan::Lines({kBootAnswer});
  {
    std::lock_guard<std::mutex> lock(m_);
    OpenPairLocked();
  }
  thread_ = std::thread([this] { Loop(); });
}

InstrumentSim::~InstrumentSim() {
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  Wake();
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(m_);
  ClosePairLocked();
  ::close(wake_[0]);
  ::close(wake_[1]);
  ::rmdir(dir_.c_str());
}

void InstrumentSim::ChangedLocked() {
  cv_.notify_all();
  RaiseChangeSignal();
}

void InstrumentSim::Wake() const {
  const char c = 1;
  (void)!::write(wake_[1], &c, 1);
}

void InstrumentSim::OpenPairLocked() {
  int m = -1, s = -1;
  char name[256] = {};
  if (::openpty(&m, &s, name, nullptr, nullptr) != 0) throw SystemError("openpty");
  try {
    MakeRaw(s);
    MakeRaw(m);
    SetFlag(m, O_NONBLOCK);
    ::fcntl(m, F_SETFD, FD_CLOEXEC);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);
    // Point the stable path at the new slave in one step.
    const std::string tmp = dir_ + "/.next";
    ::unlink(tmp.c_str());
    if (::symlink(name, tmp.c_str()) != 0) throw SystemError("symlink");
    if (::rename(tmp.c_str(), link_.c_str()) != 0) throw SystemError("rename");
  } catch (...) {
    ::close(m);
    ::close(s);
    throw;
  }
  master_ = m;
  slave_ = s;
  device_ = name;
}

void InstrumentSim::ClosePairLocked() {
  ::unlink(link_.c_str());
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
  device_.clear();
  // What was still to be sent is lost with the line; so is a half-received frame, and a
  // power-cycled instrument starts its protocol afresh.
  tx_.clear();
  sentChunk_ = nextChunk_;
  line_.clear();
  raw_ = Frame{};
  expect_.clear();
  arriving_.clear();  // bytes still on their way are lost with the line
  ChangedLocked();
}

std::string InstrumentSim::DevicePath() const {
  std::lock_guard<std::mutex> lock(m_);
  return device_;
}

bool InstrumentSim::Connected() const {
  std::lock_guard<std::mutex> lock(m_);
  return master_ >= 0;
}

void InstrumentSim::SetReply(const std::string& command, const std::vector<std::string>& lines) {
  SetReply(command, Plan::Lines(lines));
}

void InstrumentSim::SetReply(const std::string& command, Plan plan) {
  std::lock_guard<std::mutex> lock(m_);
  replies_[command] = std::move(plan);
}

void InstrumentSim::RemoveReply(const std::string& command) {
  std::lock_guard<std::mutex> lock(m_);
  replies_.erase(command);
}

void InstrumentSim::AddRule(Rule rule) {
  std::lock_guard<std::mutex> lock(m_);
  rules_.push_back(std::move(rule));
}

void InstrumentSim::Script(const std::string& key, Plan plan) {
  std::lock_guard<std::mutex> lock(m_);
  script_.emplace_back(key, std::move(plan));
}

void InstrumentSim::ClearScript() {
  std::lock_guard<std::mutex> lock(m_);
  script_.clear();
}

void InstrumentSim::SetLineRate(int bitsPerSecond, int bitsPerByte) {
  {
    std::lock_guard<std::mutex> lock(m_);
    if (bitsPerSecond <= 0 || bitsPerByte <= 0) {
      byteTime_ = std::chrono::nanoseconds(0);
      // What was on its way is in now.
      while (!arriving_.empty()) {
        const char c = arriving_.front().value;
        arriving_.pop_front();
        FeedLocked(&c, 1, SimClock::now());
      }
    } else {
      byteTime_ = std::chrono::nanoseconds(1'000'000'000LL * bitsPerByte / bitsPerSecond);
    }
  }
  Wake();
}

void InstrumentSim::PauseReading(bool paused) {
  {
    std::lock_guard<std::mutex> lock(m_);
    paused_ = paused;
  }
  Wake();
}

std::uint64_t InstrumentSim::EnqueueLocked(std::string bytes) {
  const std::uint64_t id = ++nextChunk_;
  if (master_ < 0 || bytes.empty()) {
    sentChunk_ = std::max(sentChunk_, id);
    return id;
  }
  tx_.push_back({std::move(bytes), 0, id, SimClock::now()});
  return id;
}

void InstrumentSim::Send(const std::string& bytes) {
  std::unique_lock<std::mutex> lock(m_);
  const std::uint64_t id = EnqueueLocked(bytes);
  Wake();
  cv_.wait_for(lock, std::chrono::seconds(10), [&] { return sentChunk_ >= id || stop_; });
}

void InstrumentSim::Run(Plan plan) {
  {
    std::lock_guard<std::mutex> lock(m_);
    ScheduleLocked(plan, SimClock::now());
  }
  Wake();
}

void InstrumentSim::RunOpLocked(std::unique_lock<std::mutex>& lock, std::function<void()> op) {
  std::exception_ptr failure;
  const std::uint64_t id = ++nextOp_;
  ops_.emplace_back(id, [op = std::move(op), &failure] {
    try {
      op();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  Wake();
  cv_.wait(lock, [&] { return doneOp_ >= id || stop_; });
  if (failure) std::rethrow_exception(failure);
}

void InstrumentSim::HangUp() {
  std::unique_lock<std::mutex> lock(m_);
  RunOpLocked(lock, [this] {
    // What the instrument had sent before the hang-up is on the wire already.
    WriteLocked();
    ClosePairLocked();
  });
}

void InstrumentSim::ComeBack() {
  std::unique_lock<std::mutex> lock(m_);
  RunOpLocked(lock, [this] {
    if (master_ < 0) OpenPairLocked();
  });
}

std::string InstrumentSim::Received() const {
  std::lock_guard<std::mutex> lock(m_);
  return received_;
}

std::vector<ReceivedByte> InstrumentSim::ReceivedLog() const {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<ReceivedByte> log;
  log.reserve(received_.size());
  for (std::size_t i = 0; i < received_.size(); ++i)
    log.push_back({static_cast<std::uint8_t>(received_[i]), receivedAt_[i]});
  return log;
}

std::size_t InstrumentSim::ReceivedCount() const {
  std::lock_guard<std::mutex> lock(m_);
  return received_.size();
}

void InstrumentSim::ClearReceived() {
  std::lock_guard<std::mutex> lock(m_);
  received_.clear();
  receivedAt_.clear();
}

std::vector<SentByte> InstrumentSim::SentLog() const {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<SentByte> log;
  log.reserve(sent_.size());
  for (std::size_t i = 0; i < sent_.size(); ++i)
    log.push_back({static_cast<std::uint8_t>(sent_[i]), sentAt_[i]});
  return log;
}

void InstrumentSim::ClearSent() {
  std::lock_guard<std::mutex> lock(m_);
  sent_.clear();
  sentAt_.clear();
}

std::vector<std::string> InstrumentSim::RuleErrors() const {
  std::lock_guard<std::mutex> lock(m_);
  return ruleErrors_;
}

std::vector<Frame> InstrumentSim::Frames() const {
  std::lock_guard<std::mutex> lock(m_);
  return frames_;
}

bool InstrumentSim::WaitForReceived(const std::function<bool(const std::string&)>& done,
                                    std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_for(lock, timeout, [&] { return done(received_); });
}

bool InstrumentSim::WaitForBytes(std::size_t count, std::chrono::milliseconds timeout) const {
  return WaitForReceived([count](const std::string& r) { return r.size() >= count; }, timeout);
}

bool InstrumentSim::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

std::size_t InstrumentSim::QueuedForReading() const {
  std::lock_guard<std::mutex> lock(m_);
  int queued = 0;
  // The input queue belongs to the terminal, not to a descriptor: the simulator's own slave
  // descriptor sees what the program's would read. (A second open of the path would not
  // do: the program holds it for exclusive use, and only root may open it then.)
  if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &queued) != 0) return 0;
  return static_cast<std::size_t>(queued);
}

bool InstrumentSim::WaitUntilQueuedForReading(std::size_t count, std::chrono::milliseconds timeout) const {
  // The driver moves bytes from the master to the slave's queue later, on a work queue of
  // its own, and tells nobody: it is looked at every millisecond.
  const auto end = SimClock::now() + timeout;
  for (;;) {
    const std::size_t queued = QueuedForReading();
    if (queued == count) return true;
    if (queued > count || SimClock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool InstrumentSim::BusyLocked() const { return !due_.empty() || !tx_.empty(); }

bool InstrumentSim::WaitUntilQuiet(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_for(lock, timeout, [&] { return !BusyLocked(); });
}

termios InstrumentSim::LineSettings() const {
  std::lock_guard<std::mutex> lock(m_);
  if (slave_ < 0) throw std::runtime_error("the simulator is hung up");
  termios t;
  if (::tcgetattr(slave_, &t) != 0) throw SystemError("tcgetattr");
  return t;
}

// --- the simulator thread ---

void InstrumentSim::ScheduleLocked(const Plan& plan, SimClock::time_point start) {
  Due d{start, ++order_, plan, 0};
  const auto& steps = d.plan.Steps();
  while (d.next < steps.size() && steps[d.next].kind == Plan::Step::Kind::Wait)
    d.at += steps[d.next++].wait;
  if (d.next < steps.size()) due_.push_back(std::move(d));
  ChangedLocked();
}

void InstrumentSim::RunDueLocked(SimClock::time_point now) {
  for (;;) {
    auto next = std::min_element(due_.begin(), due_.end(), [](const Due& a, const Due& b) {
      return a.at != b.at ? a.at < b.at : a.order < b.order;
    });
    if (next == due_.end() || next->at > now) return;
    const std::uint64_t order = next->order;
    const Plan::Step step = next->plan.Steps()[next->next++];
    switch (step.kind) {
      case Plan::Step::Kind::Send:
        EnqueueLocked(step.bytes);
        WriteLocked();
        break;
      case Plan::Step::Kind::HangUp:
        WriteLocked();
        ClosePairLocked();
        break;
      case Plan::Step::Kind::ComeBack:
        try {
          if (master_ < 0) OpenPairLocked();
        } catch (const std::exception& e) {
          ruleErrors_.push_back(std::string("coming back failed: ") + e.what());
        }
        break;
      case Plan::Step::Kind::Wait:
        break;
    }
    // The rest of this plan waits from now on, the step carried out (its bytes written and
    // recorded): a step that is late delays what follows, and no gap in the record of what
    // was sent comes out shorter than asked.
    next = std::find_if(due_.begin(), due_.end(), [order](const Due& d) { return d.order == order; });
    if (next == due_.end()) continue;
    const auto& steps = next->plan.Steps();
    SimClock::time_point at = SimClock::now();
    while (next->next < steps.size() && steps[next->next].kind == Plan::Step::Kind::Wait)
      at += steps[next->next++].wait;
    next->at = at;
    if (next->next >= steps.size()) due_.erase(next);
  }
}

void InstrumentSim::LogSentLocked(const char* data, std::size_t n) {
  const SimClock::time_point at = SimClock::now();
  sent_.append(data, n);
  sentAt_.insert(sentAt_.end(), n, at);
}

// When the next paced byte to send has fully left the simulated UART.
SimClock::time_point InstrumentSim::NextSendDueLocked() const {
  const Chunk& c = tx_.front();
  return std::max(sendLineFree_, c.ready) + byteTime_;
}

void InstrumentSim::WriteLocked() {
  while (!tx_.empty()) {
    if (master_ < 0) {
      tx_.clear();
      sentChunk_ = nextChunk_;
      break;
    }
    Chunk& c = tx_.front();
    std::size_t want = c.bytes.size() - c.done;
    SimClock::time_point lastDue{};
    if (PacedLocked()) {
      // Only the bytes whose time has come; a late wake-up sends the overdue ones together.
      const SimClock::time_point now = SimClock::now();
      const SimClock::time_point due = NextSendDueLocked();
      if (due > now) break;
      const auto overdue = static_cast<std::size_t>((now - due) / byteTime_) + 1;
      want = std::min(want, overdue);
      lastDue = due + byteTime_ * static_cast<long>(want - 1);
    }
    const ssize_t n = ::write(master_, c.bytes.data() + c.done, want);
    if (n > 0) {
      LogSentLocked(c.bytes.data() + c.done, static_cast<std::size_t>(n));
      if (PacedLocked())
        sendLineFree_ = lastDue - byteTime_ * static_cast<long>(want - static_cast<std::size_t>(n));
      c.done += static_cast<std::size_t>(n);
      if (c.done == c.bytes.size()) {
        sentChunk_ = c.id;
        tx_.pop_front();
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // the program is not reading (EAGAIN): later
  }
  ChangedLocked();
}

void InstrumentSim::ReadLocked() {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0 && PacedLocked()) {
      // On the line, each byte starts once the one before it is fully in.
      const SimClock::time_point now = SimClock::now();
      for (ssize_t i = 0; i < n; ++i) {
        receiveLineFree_ = std::max(receiveLineFree_, now) + byteTime_;
        arriving_.push_back({buf[i], receiveLineFree_});
      }
      if (paused_) break;
      continue;
    }
    if (n > 0) {
      FeedLocked(buf, static_cast<std::size_t>(n), SimClock::now());
      if (master_ < 0 || paused_) break;  // a rule's answer may have hung up
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

// Paced input whose last bit is in by now.
void InstrumentSim::FeedDueLocked(SimClock::time_point now) {
  std::string due;
  while (!arriving_.empty() && arriving_.front().due <= now) {
    due.push_back(arriving_.front().value);
    arriving_.pop_front();
  }
  // One byte at a time: a rule's answer may hang up, and what follows is then lost.
  for (std::size_t i = 0; i < due.size() && master_ >= 0; ++i) FeedLocked(&due[i], 1, now);
}

void InstrumentSim::FeedLocked(const char* data, std::size_t n, SimClock::time_point at) {
  for (std::size_t i = 0; i < n; ++i) {
    const char c = data[i];
    received_.push_back(c);
    receivedAt_.push_back(at);
    if (!expect_.empty()) {
      if (raw_.bytes.empty()) {
        raw_.kind = Frame::Kind::Raw;
        raw_.tag = expect_.front().second;
        raw_.first = at;
      }
      raw_.bytes.push_back(c);
      raw_.last = at;
      if (raw_.bytes.size() >= expect_.front().first) {
        expect_.pop_front();
        Frame f = std::move(raw_);
        raw_ = Frame{};
        EmitLocked(std::move(f));
      }
      continue;
    }
    if (c == '\r') {
      Frame f;
      f.kind = Frame::Kind::Line;
      f.bytes = std::move(line_);
      f.first = f.bytes.empty() ? at : lineFirst_;
      f.last = at;
      line_.clear();
      EmitLocked(std::move(f));
    } else {
      if (line_.empty()) lineFirst_ = at;
      line_.push_back(c);
    }
  }
  ChangedLocked();
}

void InstrumentSim::EmitLocked(Frame frame) {
  frames_.push_back(std::move(frame));
  const Frame& f = frames_.back();
  Session s(f, frames_, expect_);
  bool handled = false;
  for (Rule& rule : rules_) {
    try {
      if (rule(f, s)) {
        handled = true;
        break;
      }
    } catch (const std::exception& e) {
      ruleErrors_.push_back(e.what());
      handled = true;
      break;
    } catch (...) {
      ruleErrors_.push_back("a rule threw");
      handled = true;
      break;
    }
  }
  if (!handled && f.kind == Frame::Kind::Line) {
    auto it = replies_.find(f.bytes);
    if (it != replies_.end()) s.Respond(it->second);
  }
  for (auto it = script_.begin(); it != script_.end(); ++it) {
    if (it->first.empty() || it->first == f.Key()) {
      s.Respond(std::move(it->second));
      script_.erase(it);
      break;
    }
  }
  if (!s.answer_.Empty()) ScheduleLocked(s.answer_, SimClock::now());
}

void InstrumentSim::Loop() {
  // Sleeps end when asked, not up to the default 50 us later: pacing needs the precision.
  (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::unique_lock<std::mutex> lock(m_);
  while (!stop_) {
    while (!ops_.empty()) {
      auto op = std::move(ops_.front());
      ops_.pop_front();
      op.second();
      doneOp_ = op.first;
      ChangedLocked();
    }
    FeedDueLocked(SimClock::now());
    RunDueLocked(SimClock::now());
    WriteLocked();

    // The next moment something is due: a plan's step, a paced byte in or out.
    SimClock::time_point next = SimClock::time_point::max();
    if (!due_.empty())
      next = std::min_element(due_.begin(), due_.end(),
                              [](const Due& a, const Due& b) { return a.at < b.at; })->at;
    bool sendDue = false;  // a write may go ahead now (else POLLOUT would only spin)
    if (!tx_.empty()) {
      if (PacedLocked()) {
        const SimClock::time_point due = NextSendDueLocked();
        sendDue = due <= SimClock::now();
        if (!sendDue) next = std::min(next, due);
      } else {
        sendDue = true;
      }
    }
    if (!arriving_.empty()) next = std::min(next, arriving_.front().due);

    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    const int master = master_;
    if (master >= 0) {
      short events = 0;
      if (!paused_) events |= POLLIN;
      if (sendDue) events |= POLLOUT;
      fds[1] = {master, events, 0};
      count = 2;
    }
    timespec timeout{};
    timespec* wait = nullptr;  // none: until something happens
    if (next != SimClock::time_point::max()) {
      auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(next - SimClock::now());
      // Paced bytes are met by spinning the last stretch; plans keep to milliseconds.
      if (PacedLocked()) left -= kSpinWindow;
      left = std::clamp(left, std::chrono::nanoseconds(0), std::chrono::nanoseconds(60'000'000'000LL));
      timeout.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
      wait = &timeout;
    }
    lock.unlock();
    const int r = ::ppoll(fds, count, wait, nullptr);
    lock.lock();
    if (r <= 0) continue;
    if (fds[0].revents & POLLIN) {
      char sink[64];
      while (::read(wake_[0], sink, sizeof sink) > 0) {
      }
    }
    // Only this thread opens or closes the pair, so master_ is still the polled one.
    if (count == 2 && master_ == master) {
      if ((fds[1].revents & POLLIN) && !paused_) {
        ReadLocked();
      } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Every slave descriptor went away (ours included): the line is dead.
        ClosePairLocked();
      }
    }
  }
}

}  // namespace testsupport
