#pragma once
// What the benchmark programs share: the machine they ran on, the upload files, the line
// time of a byte count, the event loop run as the program runs it, and the way a figure
// is printed beside its goal.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/instrument_sim.h"
#include "tests/support/program_harness.h"
#include "tests/support/pty_client.h"
#include "tests/support/srec_fixtures.h"
#include "tests/support/upload_framings.h"
#include "window/window1.h"

namespace bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kLineBitsPerSecond = 115200;
constexpr int kBitsPerByte = 10;  // 8N1: start bit, 8 data bits, stop bit

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The time the bytes take on the line at 115200 8N1.
inline double LineSeconds(std::uint64_t bytes) {
  return static_cast<double>(bytes) * kBitsPerByte / kLineBitsPerSecond;
}

inline std::string MachineText() {
  std::string model = "unknown CPU";
  std::ifstream cpu("/proc/cpuinfo");
  for (std::string line; std::getline(cpu, line);) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  utsname u{};
  ::uname(&u);
  std::ostringstream s;
  s << ::sysconf(_SC_NPROCESSORS_ONLN) << " CPUs (nproc), " << model << ", " << u.sysname << " "
    << u.release;
  return s.str();
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

inline void Header(const char* title) {
  std::printf("== %s\n   machine: %s; load average at the start %s\n", title, MachineText().c_str(),
              LoadAverage().c_str());
  std::fflush(stdout);
}

// A figure and, when it has one, its goal: "met" when measured < limit (or <= with orEqual).
inline void Figure(const std::string& what, double measured, const char* unit) {
  std::printf("   %-58s %12.3f %s\n", what.c_str(), measured, unit);
  std::fflush(stdout);
}
inline bool Goal(const std::string& what, double measured, const char* unit, double limit,
                 bool orEqual = false) {
  const bool met = orEqual ? measured <= limit : measured < limit;
  std::printf("   %-58s %12.3f %s   goal %s %g %s: %s\n", what.c_str(), measured, unit,
              orEqual ? "<=" : "<", limit, unit, met ? "met" : "missed");
  std::fflush(stdout);
  return met;
}
inline void Note(const std::string& text) {
  std::printf("   %s\n", text.c_str());
  std::fflush(stdout);
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const double rank = p / 100.0 * static_cast<double>(v.size() - 1);
  const auto lo = static_cast<std::size_t>(std::floor(rank));
  const auto hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (rank - static_cast<double>(lo));
}

// Runs the event loop as the program's own exec() does, checking done() now and then,
// until it holds or the limit has passed.
inline bool RunLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                         std::chrono::milliseconds check = 10ms) {
  if (done()) return true;
  const auto deadline = Clock::now() + limit;
  bool held = false;
  QEventLoop loop;
  QTimer tick;
  tick.setInterval(static_cast<int>(check.count()));
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (done()) {
      held = true;
      loop.quit();
    } else if (Clock::now() >= deadline) {
      loop.quit();
    }
  });
  tick.start();
  loop.exec();
  return held;
}

// CPU time of the calling OS thread, and of the whole process.
inline double ThreadCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
inline double ProcessCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// --- the upload files ---

constexpr std::size_t kGenRecords = 2600;
constexpr std::size_t kBinPages = 2665;

// 2600 S1 records of 32 data bytes, each 74 characters long as the record framing needs,
// between an S0 and an S9 record, CR LF line ends. A 16-bit address reaches 2048 such
// records; srec_cat writes the rest, for a second bank, from address 0 again (the program
// and the instrument's framing look at the record's size, not at its address).
inline std::string GenFile() {
  using testsupport::SrecOptions;
  SrecOptions first;
  first.startAddress.reset();
  SrecOptions second;
  second.header = "";
  std::vector<std::string> records = testsupport::SrecRecords(testsupport::PatternBytes(2048 * 32, 11), first);
  std::vector<std::string> more =
      testsupport::SrecRecords(testsupport::PatternBytes((kGenRecords - 2048) * 32, 12), second);
  records.insert(records.end(), more.begin(), more.end());
  std::size_t data = 0;
  for (const std::string& r : records) {
    if (r.rfind("S1", 0) == 0) {
      if (r.size() != 74) throw std::runtime_error("srec_cat wrote a data record of " + std::to_string(r.size()) + " characters");
      ++data;
    }
  }
  if (data != kGenRecords || records.front().rfind("S0", 0) != 0 || records.back().rfind("S9", 0) != 0)
    throw std::runtime_error("the .gen file is not 2600 S1 records between S0 and S9");
  return testsupport::JoinRecords(records, testsupport::LineEnd::CRLF);
}

inline std::string BinImage(std::size_t pages = kBinPages) {
  return testsupport::PatternBytes(pages * 256, 21);
}

// Bytes on the line for a whole upload, both directions.
inline std::uint64_t GenLineBytes(std::size_t records) {
  // "MPUFileE" CR and "OK" CR LF; per record "MPURec" CR, 3 information bytes, 70 block
  // bytes, the Sum8 and three "OK" CR LF; "MPUDone" CR.
  return 9 + 4 + records * (7 + 3 + 70 + 1 + 3 * 4) + 8;
}
inline std::uint64_t BinLineBytes(std::size_t pages) {
  // "FPGAFile" CR and "OK" CR LF; per page "FPGAPage" CR, 2 information bytes, 256 data
  // bytes, the Sum8 and three "OK" CR LF; "FPGADone" CR.
  return 9 + 4 + pages * (9 + 2 + 256 + 1 + 3 * 4) + 9;
}

// --- the floor: what the pseudo-terminal and the simulator cost by themselves ---

// The same exchange as an upload, byte for byte and write for write, made by a bare loop of
// write() and a blocking wait for each reply on the simulator's port: no window, no event
// loop, no file. Its time is what any program would need against this simulator, so the
// program's own share is its time less this one.
class BareLine : public testsupport::PtyClient {
 public:
  explicit BareLine(const std::string& path) : PtyClient(path, Mode::Raw) {
    if (!ok()) throw std::runtime_error("cannot open " + path);
  }
  void Send(const std::string& bytes) { Write(bytes); }
  // Waits for one reply line (up to its LF); gives it.
  std::string Await() { return AwaitLine(); }
  void Byte(int value) { Write(std::string(1, static_cast<char>(value))); }
};

inline std::uint8_t Sum8Of(const std::string& bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  return static_cast<std::uint8_t>(sum);
}

// The .gen exchange for these records; from the erase command to "MPUDone" CR.
inline void BareGenUpload(BareLine& line, const std::vector<testsupport::ExpectedRecord>& records) {
  line.Send("MPUFileE\r");
  line.Await();
  for (const auto& r : records) {
    line.Send("MPURec\r");
    line.Await();
    line.Byte(r.info0);
    line.Byte(69);
    line.Byte(r.lead);
    line.Await();
    line.Send(r.block);
    line.Byte(Sum8Of(r.block));
    line.Await();
  }
  line.Send("MPUDone\r");
}

inline void BareBinUpload(BareLine& line, const std::string& image) {
  line.Send("FPGAFile\r");
  line.Await();
  for (std::size_t offset = 0, page = 0; offset < image.size(); offset += 256, ++page) {
    const std::string data = image.substr(offset, 256);
    line.Send("FPGAPage\r");
    line.Await();
    line.Byte(static_cast<int>(page & 0xFF));
    line.Byte(static_cast<int>(data.size() - 1));
    line.Await();
    line.Send(data);
    line.Byte(Sum8Of(data));
    line.Await();
  }
  line.Send("FPGADone\r");
}

// --- reply latency: the simulator's last byte of a reply to the next byte it receives ---

// After which kind of reply the program sends next; the stage follows from what it sends.
enum Kind { kAfterErase, kAfterHeader, kAfterInformation, kAfterData, kKinds };
inline const char* const kKindNames[kKinds] = {"after the erase", "after a header", "after the information",
                                        "after a data block (next page read, shown)"};

struct Latencies {
  std::vector<double> all;
  std::vector<double> byKind[kKinds];
};

// Pairs every reply's last byte with the first byte received after it.
inline void Collect(const testsupport::InstrumentSim& sim, Latencies& out) {
  const auto sent = sim.SentLog();
  const auto received = sim.ReceivedLog();
  std::size_t r = 0;
  int stage = -1;  // replies so far: erase first, then header, information, data in turn
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (sent[i].value != '\n') continue;
    while (r < received.size() && received[r].at <= sent[i].at) ++r;
    if (r == received.size()) break;
    const double us = Micros(received[r].at - sent[i].at);
    const Kind kind = stage < 0 ? kAfterErase : static_cast<Kind>(kAfterHeader + stage % 3);
    ++stage;
    out.all.push_back(us);
    out.byKind[kind].push_back(us);
  }
}

// --- the program, started in this process as main starts it ---

struct Program {
  harness::Seen* seen = nullptr;
  Window1_* w = nullptr;

  explicit Program(const std::string& portPath) {
    seen = &harness::InstallSeams();
    w = harness::Start({{"sim", portPath}});
    if (!w->Serial1()->IsOpen()) throw std::runtime_error("the program did not open the simulator's port");
    // Status updates paint only once the window is on screen.
    if (!QTest::qWaitForWindowExposed(w->Widget())) throw std::runtime_error("the main window was never exposed");
  }
  ~Program() { framework::testing::StopProgram(); }

  void Choose(const std::string& path, framework::PushButton* launcher) {
    seen->nextFile = path;
    harness::Click(launcher->Widget());
  }
  bool Idle() const {
    using State = framework::Thread::ThreadState;
    return w->SendConfigFile1()->State() == State::NotRunning &&
           w->SendGenMPUCode1()->State() == State::NotRunning &&
           w->SendAnzMPUCode1()->State() == State::NotRunning;
  }
};

}  // namespace bench
