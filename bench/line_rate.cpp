// At line rate: the same uploads with the simulator pacing every byte it sends and receives
// as a UART at 115200 baud 8N1 would. The upload can then take no less than the line time;
// what it takes beyond that is the program's reaction to each reply plus the
// pseudo-terminal's crossings, which the bare exchange over the same paced line shows alone.
#include <cstdio>
#include <thread>

#include "bench/bench_support.h"

namespace {

using namespace bench;
using testsupport::InstrumentSim;

struct Run {
  double wall = 0, mainCpu = 0;
  bool verified = false;
  Latencies reactions;  // each reply's last byte out to the next byte in
};

template <class Framing>
Run Upload(InstrumentSim& sim, Program& program, Framing& framing, const std::string& path,
           framework::PushButton* launcher) {
  sim.ClearReceived();
  sim.ClearSent();
  const double cpu0 = ThreadCpuSeconds();
  const auto start = Clock::now();
  program.Choose(path, launcher);
  const bool ended = RunLoopUntil([&] { return program.Idle() && framing.Done(); }, 900s, 50ms);
  Run r;
  const auto log = sim.ReceivedLog();
  if (!ended || log.empty()) return r;
  r.wall = Seconds(log.back().at - start);
  r.mainCpu = ThreadCpuSeconds() - cpu0;
  r.verified = framing.Errors().empty();
  Collect(sim, r.reactions);
  return r;
}

template <class Framing, class Exchange>
Run Bare(InstrumentSim& sim, Framing& framing, Exchange exchange) {
  sim.ClearReceived();
  sim.ClearSent();
  BareLine line(sim.SlavePath());
  const auto start = Clock::now();
  exchange(line);
  Run r;
  const auto limit = Clock::now() + 10s;
  while (!framing.Done() && Clock::now() < limit) std::this_thread::sleep_for(1ms);
  if (!framing.Done()) return r;
  r.wall = Seconds(sim.ReceivedLog().back().at - start);
  r.verified = framing.Errors().empty();
  Collect(sim, r.reactions);
  return r;
}

void Report(const char* kind, const char* unit, std::size_t count, std::uint64_t lineBytes, const Run& run,
            const Run& bare) {
  const double line = LineSeconds(lineBytes);
  const bool verified = run.verified && bare.verified && run.wall > 0 && bare.wall > 0;
  Note(std::string(kind) + ": " + std::to_string(count) + " " + unit + "s, " + std::to_string(lineBytes) +
       " bytes on the line" + (verified ? ", every byte checked by the simulator" : ", NOT VERIFIED"));
  Figure(std::string(kind) + " line time at 115200 8N1", line, "s");
  Figure(std::string(kind) + " program: total time", run.wall, "s");
  Goal(std::string(kind) + " program: total time over line time", run.wall / line, "", 1.02, true);
  Figure(std::string(kind) + " bare exchange on the paced line: total time", bare.wall, "s");
  Figure(std::string(kind) + " bare exchange over line time", bare.wall / line, "");
  Figure(std::string(kind) + " program beyond the bare exchange, per " + unit,
         (run.wall - bare.wall) / static_cast<double>(count) * 1e6, "us");
  Goal(std::string(kind) + " (line time + program's own) over line time", (line + run.wall - bare.wall) / line, "",
       1.02, true);
  Figure(std::string(kind) + " program's CPU (main thread) over wall time", run.mainCpu / run.wall * 100, "%");
  // Where the time beyond the line goes: the reaction to each reply, program against bare.
  for (int k = kAfterHeader; k < kKinds; ++k)
    Figure(std::string(kind) + " reaction " + kKindNames[k] + ", median: program",
           Percentile(run.reactions.byKind[k], 50), "us");
  for (int k = kAfterHeader; k < kKinds; ++k)
    Figure(std::string(kind) + " reaction " + kKindNames[k] + ", median: bare", Percentile(bare.reactions.byKind[k], 50),
           "us");
}

}  // namespace

int main() {
  Header("At line rate: the simulator paces both directions at 115200 baud 8N1");
  InstrumentSim sim;
  sim.SetLineRate(kLineBitsPerSecond, kBitsPerByte);
  testsupport::TempDir dir;
  const std::string gen = GenFile();
  const std::string genPath = dir.Write("code.gen", gen);
  const std::string image = BinImage();
  const std::string binPath = dir.Write("image.bin", image);
  const auto records = testsupport::RecordsOfAlignedFile(gen);

  testsupport::RecordFraming genFraming(sim, testsupport::Processor::Gen);
  genFraming.ExpectRecords(records);
  testsupport::BinFraming binFraming(sim, image);

  // The bare exchanges first, while nothing else has the port open.
  const Run genBare = Bare(sim, genFraming, [&](BareLine& l) { BareGenUpload(l, records); });
  const Run binBare = Bare(sim, binFraming, [&](BareLine& l) { BareBinUpload(l, image); });

  Program program(sim.SlavePath());
  Run genRun = Upload(sim, program, genFraming, genPath, program.w->LoadGenCodePB());
  if (genFraming.Accepted() != kGenRecords) genRun.verified = false;
  Run binRun = Upload(sim, program, binFraming, binPath, program.w->ConfigPB());
  if (binFraming.Image() != image) binRun.verified = false;

  Report(".gen", "record", kGenRecords, GenLineBytes(kGenRecords), genRun, genBare);
  Report(".bin", "page", kBinPages, BinLineBytes(kBinPages), binRun, binBare);
  return 0;
}
