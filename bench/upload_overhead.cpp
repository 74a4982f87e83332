// Upload overhead: the 2600-record .gen file and the 2665-page .bin image sent through the
// real program to the simulator, which answers every stage at once. Whatever time the
// upload takes is then the program's (and the pseudo-terminal's) own, and is set against
// the time the same bytes need on the line at 115200 baud. One more upload of each kind, and
// one more bare exchange, run under strace attached to this thread alone (the simulator's
// thread is not counted) give the system calls per record or page; strace slows those runs,
// so they are not timed.
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "bench/bench_support.h"
#include "tests/support/upload_framings.h"

namespace {

using namespace bench;
using testsupport::InstrumentSim;

struct Run {
  double wall = 0;
  bool verified = false;
};

// From the click on the launcher to the arrival of the closing command.
template <class Framing>
Run Upload(InstrumentSim& sim, Program& program, Framing& framing, const std::string& path,
           framework::PushButton* launcher) {
  sim.ClearReceived();
  const auto start = Clock::now();
  program.Choose(path, launcher);
  const bool ended = RunLoopUntil([&] { return program.Idle() && framing.Done(); }, 600s);
  Run r;
  const auto log = sim.ReceivedLog();
  if (!ended || log.empty()) return r;
  r.wall = Seconds(log.back().at - start);
  r.verified = framing.Errors().empty();
  return r;
}

// The bare exchange, from its first write to the arrival of its closing command.
template <class Framing, class Exchange>
Run Bare(InstrumentSim& sim, Framing& framing, Exchange exchange) {
  sim.ClearReceived();
  BareLine line(sim.SlavePath());
  const auto start = Clock::now();
  exchange(line);
  Run r;
  // No event loop here: the program is not running yet.
  const auto limit = Clock::now() + 10s;
  while (!framing.Done() && Clock::now() < limit) std::this_thread::sleep_for(1ms);
  if (!framing.Done()) return r;
  r.wall = Seconds(sim.ReceivedLog().back().at - start);
  r.verified = framing.Errors().empty();
  return r;
}

// System calls made by this thread while it lives, counted by strace -c.
class SyscallCount {
 public:
  SyscallCount() {
    const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    out_ = TempPath();
    const std::string target = std::to_string(tid);  // no allocation after the fork
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execlp("strace", "strace", "-c", "-q", "-o", out_.c_str(), "-p", target.c_str(), nullptr);
      ::_exit(127);
    }
    // Counting starts once strace is attached: this thread then has a tracer.
    const auto limit = Clock::now() + 5s;
    while (Clock::now() < limit && !Traced(tid)) std::this_thread::sleep_for(1ms);
  }
  // Stops counting; the calls by name, empty when strace could not count.
  std::map<std::string, long> Stop() {
    std::map<std::string, long> calls;
    if (pid_ <= 0) return calls;
    ::kill(pid_, SIGINT);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    std::ifstream in(out_);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::vector<std::string> f;
      for (std::string w; fields >> w;) f.push_back(w);
      // % time, seconds, usecs/call, calls, [errors,] name
      if (f.size() < 5 || f[0].find_first_not_of("0123456789.") != std::string::npos) continue;
      if (f.back() == "total") continue;
      calls[f.back()] = std::atol(f[3].c_str());
    }
    std::remove(out_.c_str());
    return calls;
  }

 private:
  static bool Traced(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("TracerPid:", 0) == 0) return std::atoi(line.c_str() + 10) != 0;
    return false;
  }
  static std::string TempPath() {
    char name[] = "/tmp/upload_overhead_strace_XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    return name;
  }
  pid_t pid_ = -1;
  std::string out_;
};

// "8.5 write, 5.8 ppoll, ..." per unit, the total first.
std::string PerUnitText(const std::map<std::string, long>& calls, std::size_t count, double& total) {
  total = 0;
  std::vector<std::pair<long, std::string>> byCount;
  for (const auto& [name, n] : calls) {
    total += static_cast<double>(n);
    byCount.emplace_back(n, name);
  }
  total /= static_cast<double>(count);
  std::sort(byCount.rbegin(), byCount.rend());
  std::string text;
  char buf[64];
  for (const auto& [n, name] : byCount) {
    const double each = static_cast<double>(n) / static_cast<double>(count);
    if (each < 0.05) continue;
    std::snprintf(buf, sizeof buf, "%s%.1f %s", text.empty() ? "" : ", ", each, name.c_str());
    text += buf;
  }
  return text;
}

double Median(const std::vector<Run>& runs, bool& verified) {
  std::vector<double> walls;
  for (const Run& r : runs) {
    walls.push_back(r.wall);
    verified = verified && r.verified && r.wall > 0;
  }
  return Percentile(walls, 50);
}

struct Calls {
  std::map<std::string, long> program, bare;
};

void Report(const char* kind, const char* unit, std::size_t count, std::uint64_t lineBytes,
            const std::vector<Run>& runs, const std::vector<Run>& bareRuns, const Calls& calls) {
  bool verified = true;
  const double wall = Median(runs, verified);
  const double bare = Median(bareRuns, verified);
  const double line = LineSeconds(lineBytes);
  const double n = static_cast<double>(count);
  Note(std::string(kind) + ": " + std::to_string(count) + " " + unit + "s, " +
       std::to_string(lineBytes) + " bytes on the line, median of " + std::to_string(runs.size()) +
       " runs" + (verified ? ", every byte checked by the simulator" : ", NOT VERIFIED"));
  Figure(std::string(kind) + " line time at 115200 8N1", line, "s");
  Figure(std::string(kind) + " program: wall time", wall, "s");
  Figure(std::string(kind) + " program: time per " + unit, wall / n * 1e6, "us");
  Goal(std::string(kind) + " program: wall time over line time", wall / line * 100, "%", 2, true);
  Figure(std::string(kind) + " bare exchange (pty + simulator): time per " + unit, bare / n * 1e6, "us");
  Figure(std::string(kind) + " bare exchange over line time", bare / line * 100, "%");
  Figure(std::string(kind) + " program's own: time per " + unit, (wall - bare) / n * 1e6, "us");
  Goal(std::string(kind) + " program's own time over line time", (wall - bare) / line * 100, "%", 2, true);
  Goal(std::string(kind) + " program over the bare exchange, time per " + unit, wall / bare, "x", 1.3, true);
  if (calls.program.empty() || calls.bare.empty()) {
    Note("system calls not counted (strace missing or not allowed to attach)");
    return;
  }
  double programTotal = 0, bareTotal = 0;
  const std::string programText = PerUnitText(calls.program, count, programTotal);
  const std::string bareText = PerUnitText(calls.bare, count, bareTotal);
  Figure(std::string(kind) + " program: system calls per " + unit + " (" + programText + ")", programTotal, "");
  Figure(std::string(kind) + " bare exchange: system calls per " + unit + " (" + bareText + ")", bareTotal, "");
}

// The calls of one more run of f, on this thread only.
template <class F>
std::map<std::string, long> CountCalls(F f) {
  SyscallCount count;
  f();
  return count.Stop();
}

}  // namespace

int main() {
  Header("Upload overhead: the simulator answers at once");
  const int runs = 3;
  InstrumentSim sim;
  testsupport::TempDir dir;
  const std::string gen = GenFile();
  const std::string genPath = dir.Write("code.gen", gen);
  const std::string image = BinImage();
  const std::string binPath = dir.Write("image.bin", image);
  const auto records = testsupport::RecordsOfAlignedFile(gen);

  // One framing of each kind for the whole run: a framing's rules stay on the simulator.
  testsupport::RecordFraming genFraming(sim, testsupport::Processor::Gen);
  genFraming.ExpectRecords(records);
  testsupport::BinFraming binFraming(sim, image);

  // The bare exchanges first, while nothing else has the port open.
  std::vector<Run> genBare, binBare;
  for (int i = 0; i < runs; ++i)
    genBare.push_back(Bare(sim, genFraming, [&](BareLine& l) { BareGenUpload(l, records); }));
  for (int i = 0; i < runs; ++i)
    binBare.push_back(Bare(sim, binFraming, [&](BareLine& l) { BareBinUpload(l, image); }));

  Calls genCalls, binCalls;
  genCalls.bare = CountCalls([&] { Bare(sim, genFraming, [&](BareLine& l) { BareGenUpload(l, records); }); });
  binCalls.bare = CountCalls([&] { Bare(sim, binFraming, [&](BareLine& l) { BareBinUpload(l, image); }); });

  Program program(sim.SlavePath());
  std::vector<Run> genRuns, binRuns;
  for (int i = 0; i < runs; ++i) {
    genRuns.push_back(Upload(sim, program, genFraming, genPath, program.w->LoadGenCodePB()));
    if (genFraming.Accepted() != kGenRecords) genRuns.back().verified = false;
  }
  for (int i = 0; i < runs; ++i) {
    binRuns.push_back(Upload(sim, program, binFraming, binPath, program.w->ConfigPB()));
    if (binFraming.Image() != image) binRuns.back().verified = false;
  }
  genCalls.program = CountCalls([&] {
    Upload(sim, program, genFraming, genPath, program.w->LoadGenCodePB());
  });
  binCalls.program = CountCalls([&] { Upload(sim, program, binFraming, binPath, program.w->ConfigPB()); });
  Report(".gen", "record", kGenRecords, GenLineBytes(kGenRecords), genRuns, genBare, genCalls);
  Report(".bin", "page", kBinPages, BinLineBytes(kBinPages), binRuns, binBare, binCalls);
  return 0;
}
