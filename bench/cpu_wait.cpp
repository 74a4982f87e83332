// CPU while waiting: a worker in a reply wait that gets no answer for 5 s (the wait polls
// the port and gives way in every pass, with no time-out), measured with getrusage as the
// CPU time of the program's thread (the event loop and every worker run on it) over the
// wall time. The simulator's thread is idle meanwhile; the process figure includes it.
// Then the same figure during whole uploads, at once and at line rate.
#include <QEvent>
#include <QObject>

#include <cstdio>

#include "bench/bench_support.h"
#include "tests/support/paint_counter.h"

namespace {

using namespace bench;
using testsupport::InstrumentSim;
using testsupport::Plan;
using testsupport::Stage;

using PaintCount = testsupport::PaintCounter;

struct Share {
  double thread = 0, process = 0, wall = 0;
};

// Runs the event loop for the time given (its own check costs one wake-up a second).
Share Measure(std::chrono::milliseconds time) {
  const double t0 = ThreadCpuSeconds(), p0 = ProcessCpuSeconds();
  const auto start = Clock::now();
  RunLoopUntil([] { return false; }, time, 1000ms);
  Share s;
  s.wall = Seconds(Clock::now() - start);
  s.thread = (ThreadCpuSeconds() - t0) / s.wall * 100;
  s.process = (ProcessCpuSeconds() - p0) / s.wall * 100;
  return s;
}

void Print(const std::string& what, const Share& s, bool goal) {
  if (goal)
    Goal(what + ": program thread", s.thread, "% of a core", 2);
  else
    Figure(what + ": program thread", s.thread, "% of a core");
  Figure(what + ": whole process", s.process, "% of a core");
}

template <class Framing>
Share Upload(Program& program, Framing& framing, const std::string& path, framework::PushButton* launcher) {
  const double t0 = ThreadCpuSeconds(), p0 = ProcessCpuSeconds();
  const auto start = Clock::now();
  program.Choose(path, launcher);
  RunLoopUntil([&] { return program.Idle() && framing.Done(); }, 600s, 100ms);
  Share s;
  s.wall = Seconds(Clock::now() - start);
  s.thread = (ThreadCpuSeconds() - t0) / s.wall * 100;
  s.process = (ProcessCpuSeconds() - p0) / s.wall * 100;
  if (!framing.Errors().empty()) Note("the upload did not go as the simulator expected");
  return s;
}

}  // namespace

int main() {
  Header("CPU while waiting: a reply wait with no answer, and whole uploads");
  InstrumentSim sim;
  testsupport::TempDir dir;
  const std::string image = BinImage(8);
  const std::string binPath = dir.Write("image.bin", image);
  testsupport::BinFraming bin(sim, image);
  const std::string gen = GenFile();
  const std::string genPath = dir.Write("code.gen", gen);
  testsupport::RecordFraming records(sim, testsupport::Processor::Gen);
  records.ExpectRecords(testsupport::RecordsOfAlignedFile(gen));

  Program program(sim.SlavePath());
  RunLoopUntil([] { return false; }, 500ms);  // the window's first painting is over

  Print("no upload, 5 s", Measure(5s), false);

  // The erase wait: each pass also redraws the busy bar, which moves meanwhile.
  bin.SetEraseAnswer(Plan::Silence());
  program.Choose(binPath, program.w->ConfigPB());
  RunLoopUntil([&] { return bin.Saw(Stage::Erase, 0); }, 10s);
  PaintCount barPaints;
  program.w->ProgressBar1()->Widget()->installEventFilter(&barPaints);
  const Share erase = Measure(5s);
  program.w->ProgressBar1()->Widget()->removeEventFilter(&barPaints);
  Print("erase wait, no answer for 5 s", erase, true);
  Figure("erase wait: the busy bar's paints", barPaints.count / erase.wall, "a second");
  sim.Send("OK\r\n");
  RunLoopUntil([&] { return program.Idle() && bin.Done(); }, 10s);

  // A header wait: polling and giving way, nothing else.
  bin.SetEraseAnswer(Plan::Lines({"OK"}));
  bin.Script(Stage::Header, 0, Plan::Silence());
  program.Choose(binPath, program.w->ConfigPB());
  RunLoopUntil([&] { return bin.Saw(Stage::Header, 0); }, 10s);
  Print("header wait, no answer for 5 s", Measure(5s), true);
  sim.Send("OK\r\n");
  RunLoopUntil([&] { return program.Idle() && bin.Done(); }, 10s);

  Print("whole .gen upload, simulator answering at once",
        Upload(program, records, genPath, program.w->LoadGenCodePB()), false);
  sim.SetLineRate(kLineBitsPerSecond, kBitsPerByte);
  Print("whole .gen upload at line rate (115200 baud)",
        Upload(program, records, genPath, program.w->LoadGenCodePB()), false);
  return 0;
}
