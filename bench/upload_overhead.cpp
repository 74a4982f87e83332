// Upload overhead: the 2600-record .gen file and the 2665-page .bin image sent through the
// real program to the simulator, which answers every stage at once. Whatever time the
// upload takes is then the program's (and the pseudo-terminal's) own, and is set against
// the time the same bytes need on the line at 115200 baud.
#include <cstdio>
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

double Median(const std::vector<Run>& runs, bool& verified) {
  std::vector<double> walls;
  for (const Run& r : runs) {
    walls.push_back(r.wall);
    verified = verified && r.verified && r.wall > 0;
  }
  return Percentile(walls, 50);
}

void Report(const char* kind, const char* unit, std::size_t count, std::uint64_t lineBytes,
            const std::vector<Run>& runs, const std::vector<Run>& bareRuns) {
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
  Report(".gen", "record", kGenRecords, GenLineBytes(kGenRecords), genRuns, genBare);
  Report(".bin", "page", kBinPages, BinLineBytes(kBinPages), binRuns, binBare);
  return 0;
}
