#pragma once
// The instrument simulator: the Vantrel-9's side of a pseudo-terminal pair, run on its own
// OS thread beside the program under test, which opens SlavePath() like any serial device.
//
// What it does
// - Records every byte it receives, with its arrival time (steady_clock).
// - Cuts the byte stream into frames and answers them by rules, plus a script of one-shot
//   answers a test sets up in advance. Out of the box it speaks the console: a command is
//   text ending in CR, and "ver?", "ID?", "@ver?" and "#Boot" get configurable reply lines.
// - Sends unasked text at any time, hangs up, and comes back under the same path.
//
// The engine (extension points)
// - Frame: what the framer cut out of the stream. By default a Line: the bytes before a CR
//   (the CR itself is not part of it; LF is an ordinary byte). A rule may announce that the
//   next frame is N raw bytes (Session::ExpectRaw(N, tag)); those N bytes then become one
//   Raw frame carrying that tag, whatever they hold, and the framer goes back to lines
//   afterwards (announcements queue up: ExpectRaw(2, "info") then ExpectRaw(5, "data")).
//   The announcement takes effect for the very next byte, also within the same read.
// - Rule: bool(const Frame&, Session&), run on the simulator thread for every frame, in the
//   order added (AddRule), before the console replies; the first that returns true ends
//   the search. A rule answers with Session::Respond(plan) and sets up the next framing with
//   ExpectRaw; it keeps whatever state it needs in its own captures (only the simulator
//   thread ever runs it, one frame at a time). Inside a rule use the Session only: the
//   InstrumentSim's own methods take its lock and would deadlock there.
//   An upload framing is then one small rule, for example the FPGA page:
//     line "FPGAPage"         -> Respond(OK); ExpectRaw(2, "fpga-info")
//     raw  "fpga-info" (2 B)  -> n from the bytes; Respond(OK); ExpectRaw(n + 1 + 1, "fpga-data")
//     raw  "fpga-data"        -> check the Sum8 (last byte) and Respond(OK / RP OK / ER OK)
// - Plan: an answer as a list of steps: send bytes, wait, hang up, come back. Plan::Lines
//   sends several lines in one write (they reach the program together); Plan::Pieces sends
//   parts with gaps between them; an empty plan is silence.
// - Script(key, plan): a one-shot answer for the next frame whose key (a Line's text, a Raw
//   frame's tag; "" for any frame) matches; it replaces whatever the rules answered, while
//   the rules still run (so a framing's state still advances). Script entries are used in
//   the order given.
//
// Hang-up, and coming back: what a pseudo-terminal does (measured on Linux 6.x, Qt 6.4.2)
// - Closing the master hangs up the slave side: every open slave descriptor then reads
//   end-of-file (0 bytes), fails writes with EIO, and poll() reports
//   POLLIN|POLLOUT|POLLERR|POLLHUP for good. The kernel also removes /dev/pts/N at once, so
//   that path can never be opened again, and a new openpty() pair is another /dev/pts/M:
//   there is no way to reopen a master for an old slave.
// - QSerialPort keeps such a port open and reports a ReadError on every pass of the event
//   loop (its read notifier stays armed; about 800 000 errors per second, one core).
// - Modem-line ioctls (TIOCMGET/TIOCMBIS) fail on a pty with ENOTTY, and ASYNC_LOW_LATENCY
//   (TIOCGSERIAL) is refused; termios settings, speed included, work and are readable from
//   the simulator's side (LineSettings).
// So SlavePath() is not the /dev/pts node but a symbolic link in a private temporary
// directory. HangUp() closes the master (the program sees the hang-up) and removes the
// link, so that an open now fails as for an unplugged adapter (and never reaches a
// recycled /dev/pts number of another process). ComeBack() makes a new pair and points the
// link at its slave: a Reconnect of the same path then works. While connected the
// simulator keeps a slave descriptor of its own open, so the program may close and reopen
// the port without ending the pair, and bytes sent while the program has the port closed
// wait in the driver, as an instrument's chatter before an open does.
//
// Both sides are raw (cfmakeraw): no echo, no CR/LF translation, all 256 byte values pass.
//
// Line rate: a pseudo-terminal moves bytes as fast as both ends take them. SetLineRate
// makes the simulator behave as a UART at that speed instead: each byte it sends goes into
// the pair only when its last bit would have arrived (one byte time after the byte before
// it, or after it was handed over when the line was idle), and each byte the program sends
// counts as arrived (logged, framed, answered) only one byte time after the byte before it.
// Both directions are paced apart, as on a full-duplex line. Bytes are paced to within a
// few microseconds: the simulator thread sleeps until shortly before a byte is due and
// spins the rest of the way.
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using SimClock = std::chrono::steady_clock;

struct ReceivedByte {
  std::uint8_t value;
  SimClock::time_point at;
};

// A byte the simulator sent, and when it went into the pair (the write returned).
struct SentByte {
  std::uint8_t value;
  SimClock::time_point at;
};

struct Frame {
  enum class Kind { Line, Raw };
  Kind kind = Kind::Line;
  std::string tag;    // Raw: the tag given to ExpectRaw; Line: empty
  std::string bytes;  // Line: the text before the CR; Raw: exactly the announced bytes
  SimClock::time_point first, last;  // arrival of the frame's first and last byte
  // What script entries and the console replies match: a Line's text, a Raw frame's tag.
  const std::string& Key() const { return kind == Kind::Line ? bytes : tag; }
};

// An answer: steps run one after the other, starting when the frame has arrived.
class Plan {
 public:
  struct Step {
    enum class Kind { Send, Wait, HangUp, ComeBack };
    Kind kind;
    std::string bytes;               // Send
    std::chrono::milliseconds wait;  // Wait
  };

  Plan& Send(std::string bytes);
  Plan& Line(const std::string& text);  // the text and CR LF
  Plan& Wait(std::chrono::milliseconds delay);
  Plan& HangUp();
  Plan& ComeBack();

  // Each line with CR LF, all in one write.
  static Plan Lines(const std::vector<std::string>& lines);
  // The pieces one after the other, with the gap between them.
  static Plan Pieces(const std::vector<std::string>& pieces, std::chrono::milliseconds gap);
  static Plan After(std::chrono::milliseconds delay, std::string bytes);
  static Plan Silence() { return Plan(); }

  const std::vector<Step>& Steps() const { return steps_; }
  bool Empty() const { return steps_.empty(); }

 private:
  std::vector<Step> steps_;
};

// What a rule sees of the simulator while it handles one frame.
class Session {
 public:
  const Frame& Current() const { return frame_; }
  // Every frame so far, the current one last.
  const std::vector<Frame>& History() const { return history_; }
  // The answer to this frame; replaces an answer given before for it. No call: silence.
  void Respond(Plan plan) {
    answer_ = std::move(plan);
    answered_ = true;
  }
  void Reply(const std::vector<std::string>& lines) { Respond(Plan::Lines(lines)); }
  bool Answered() const { return answered_; }
  // The next frame (after any announced before) is count raw bytes, tagged tag.
  void ExpectRaw(std::size_t count, std::string tag);

 private:
  friend class InstrumentSim;
  Session(const Frame& frame, const std::vector<Frame>& history,
          std::deque<std::pair<std::size_t, std::string>>& expect)
      : frame_(frame), history_(history), expect_(expect) {}
  const Frame& frame_;
  const std::vector<Frame>& history_;
  std::deque<std::pair<std::size_t, std::string>>& expect_;
  Plan answer_;
  bool answered_ = false;
};

using Rule = std::function<bool(const Frame&, Session&)>;

// Raised whenever a simulator of this process records a byte or a frame, sends, hangs up
// or comes back: the eventfd turns readable until ClearChangeSignal. The simulators' threads
// raise no event of their own, so a test's event loop watches this to look at a condition
// on the simulator's side as soon as it may hold.
int ChangeSignalFd();
void ClearChangeSignal();

class InstrumentSim {
 public:
  // Console replies the simulator starts with (each sent with CR LF).
  static constexpr const char* kGenVersion = "GEN V1.00";
  static constexpr const char* kGenId = "GEN ID 000042";
  static constexpr const char* kAnzVersion = "ANZ V1.00";
  static constexpr const char* kBootAnswer = "OK";

  InstrumentSim();  // makes the pair and starts the thread; throws std::runtime_error
  ~InstrumentSim();
  InstrumentSim(const InstrumentSim&) = delete;
  InstrumentSim& operator=(const InstrumentSim&) = delete;

  // The path the program opens; stays the same across HangUp and ComeBack.
  const std::string& SlavePath() const { return link_; }
  // The /dev/pts node behind it now ("" while hung up).
  std::string DevicePath() const;
  bool Connected() const;

  // --- configuration (any thread, any time) ---
  // The answer to a console command (a Line frame with that text).
  void SetReply(const std::string& command, const std::vector<std::string>& lines);
  void SetReply(const std::string& command, Plan plan);
  void RemoveReply(const std::string& command);
  void AddRule(Rule rule);
  // One-shot answer for the next frame with that key ("" for any frame).
  void Script(const std::string& key, Plan plan);
  void ClearScript();
  // While paused the simulator reads nothing: the program's writes back up in the driver,
  // as with a device that holds CTS low. In force once the call returns.
  void PauseReading(bool paused);
  // Paces both directions as a UART at bitsPerSecond with bitsPerByte bits a byte (10 for
  // 8N1); 0 bits per second: no pacing, the pseudo-terminal's own speed (the default).
  void SetLineRate(int bitsPerSecond, int bitsPerByte = 10);

  // --- actions ---
  // Sends at once and returns when the bytes are in the pair (or when it hangs up).
  void Send(const std::string& bytes);
  // Starts a plan now and returns at once.
  void Run(Plan plan);
  // Both return once done.
  void HangUp();
  void ComeBack();

  // --- what arrived ---
  std::string Received() const;
  std::vector<ReceivedByte> ReceivedLog() const;
  std::size_t ReceivedCount() const;
  void ClearReceived();  // the byte record only; frames stay
  // Every byte sent so far, in order, with the time it went into the pair.
  std::vector<SentByte> SentLog() const;
  void ClearSent();
  std::vector<Frame> Frames() const;
  // What rules threw (the frame then goes unanswered), and failed scripted come-backs.
  std::vector<std::string> RuleErrors() const;
  // Waits until the predicate holds for all bytes received so far; false on time-out.
  bool WaitForReceived(const std::function<bool(const std::string&)>& done,
                       std::chrono::milliseconds timeout) const;
  bool WaitForBytes(std::size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
  // Waits until every answer started so far has been sent in full.
  bool WaitUntilQuiet(std::chrono::milliseconds timeout) const;
  // Bytes sent that wait in the driver at the program's end, unread: what an open with an
  // input flush, a close or a console send would take.
  std::size_t QueuedForReading() const;
  // Waits until exactly count bytes wait there (false on time-out, or once more do).
  bool WaitUntilQueuedForReading(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // The line settings as the program left them (speed, CRTSCTS, ...); throws when hung up.
  termios LineSettings() const;

 private:
  // A plan being carried out: its next step and when that is due. Each wait counts from
  // the moment the step before it was carried out, so a gap is never shorter than asked.
  struct Due {
    SimClock::time_point at;
    std::uint64_t order;
    Plan plan;
    std::size_t next;
  };
  struct Chunk {
    std::string bytes;
    std::size_t done = 0;
    std::uint64_t id = 0;
    SimClock::time_point ready{};  // handed to the line
  };
  struct PacedByte {
    char value;
    SimClock::time_point due;  // when its last bit is in
  };

  void Loop();
  void Wake() const;
  // Something a waiter may look for changed: wakes WaitFor* and raises the change signal.
  void ChangedLocked();
  void OpenPairLocked();  // throws std::runtime_error
  void ClosePairLocked();
  void ScheduleLocked(const Plan& plan, SimClock::time_point start);
  void RunDueLocked(SimClock::time_point now);
  void ReadLocked();
  void WriteLocked();
  void FeedLocked(const char* data, std::size_t n, SimClock::time_point at);
  bool PacedLocked() const { return byteTime_.count() > 0; }
  SimClock::time_point NextSendDueLocked() const;
  void FeedDueLocked(SimClock::time_point now);
  void LogSentLocked(const char* data, std::size_t n);
  void EmitLocked(Frame frame);
  std::uint64_t EnqueueLocked(std::string bytes);
  bool BusyLocked() const;
  void RunOpLocked(std::unique_lock<std::mutex>& lock, std::function<void()> op);

  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::thread thread_;
  int wake_[2] = {-1, -1};
  int master_ = -1, slave_ = -1;
  std::string dir_, link_, device_;
  bool stop_ = false, paused_ = false;

  std::string received_;
  std::vector<SimClock::time_point> receivedAt_;
  std::string sent_;
  std::vector<SimClock::time_point> sentAt_;

  // Line-rate pacing (zero byte time: none).
  std::chrono::nanoseconds byteTime_{0};
  SimClock::time_point sendLineFree_{};     // the last paced byte sent is fully out
  SimClock::time_point receiveLineFree_{};  // the last paced byte received is fully in
  std::deque<PacedByte> arriving_;          // read from the pair, not yet fully in
  std::vector<Frame> frames_;
  std::string line_;
  SimClock::time_point lineFirst_{};
  Frame raw_;
  std::deque<std::pair<std::size_t, std::string>> expect_;

  std::vector<Rule> rules_;
  std::vector<std::string> ruleErrors_;
  std::map<std::string, Plan> replies_;
  std::deque<std::pair<std::string, Plan>> script_;

  std::vector<Due> due_;
  std::uint64_t order_ = 0;
  std::deque<Chunk> tx_;
  std::uint64_t nextChunk_ = 0, sentChunk_ = 0;

  std::deque<std::pair<std::uint64_t, std::function<void()>>> ops_;
  std::uint64_t nextOp_ = 0, doneOp_ = 0;
};

}  // namespace testsupport
