// Reply latency: from the moment the simulator has written the last byte of a reply
// ("OK" CR LF) to the arrival of the first byte the program sends next, over whole .gen and
// .bin uploads with the simulator answering at once. Both ends are the simulator's own
// clock readings, so the figure holds the pseudo-terminal's two crossings as well as the
// program's reaction.
#include <cstdio>
#include <thread>

#include "bench/bench_support.h"
#include "tests/support/upload_framings.h"

namespace {

using namespace bench;
using testsupport::InstrumentSim;

template <class Framing>
void Upload(InstrumentSim& sim, Program& program, Framing& framing, const std::string& path,
            framework::PushButton* launcher, Latencies& out) {
  sim.ClearReceived();
  sim.ClearSent();
  program.Choose(path, launcher);
  if (!RunLoopUntil([&] { return program.Idle() && framing.Done(); }, 600s) || !framing.Errors().empty()) {
    Note("the upload did not complete as the simulator expected");
    return;
  }
  Collect(sim, out);
}

void Report(const char* what, const Latencies& l) {
  Note(std::string(what) + ": " + std::to_string(l.all.size()) + " replies");
  Goal(std::string(what) + " median", Percentile(l.all, 50), "us", 100);
  Goal(std::string(what) + " 99th percentile", Percentile(l.all, 99), "us", 1000);
  for (int k = 0; k < kKinds; ++k) {
    if (l.byKind[k].empty()) continue;
    Figure(std::string("  ") + kKindNames[k] + ", median", Percentile(l.byKind[k], 50), "us");
    Figure(std::string("  ") + kKindNames[k] + ", 99th pct.", Percentile(l.byKind[k], 99), "us");
  }
  Figure(std::string("  ") + "slowest", Percentile(l.all, 100), "us");
}

}  // namespace

int main() {
  Header("Reply latency: the simulator's last reply byte to the program's next byte");
  InstrumentSim sim;
  testsupport::TempDir dir;
  const std::string gen = GenFile();
  const std::string image = BinImage();
  const auto records = testsupport::RecordsOfAlignedFile(gen);
  testsupport::RecordFraming genFraming(sim, testsupport::Processor::Gen);
  genFraming.ExpectRecords(records);
  testsupport::BinFraming binFraming(sim, image);

  // The floor: the bare exchange (write, then a blocking wait) over the same pseudo-terminal.
  Latencies bareLat;
  {
    sim.ClearReceived();
    sim.ClearSent();
    BareLine line(sim.SlavePath());
    BareGenUpload(line, records);
    while (!genFraming.Done()) std::this_thread::sleep_for(1ms);
    Collect(sim, bareLat);
  }

  Program program(sim.SlavePath());
  Latencies genLat, binLat;
  Upload(sim, program, genFraming, dir.Write("code.gen", gen), program.w->LoadGenCodePB(), genLat);
  Upload(sim, program, binFraming, dir.Write("image.bin", image), program.w->ConfigPB(), binLat);
  Note("the floor: a bare loop of write() and a blocking read() on the same port, .gen exchange");
  Figure("bare exchange median", Percentile(bareLat.all, 50), "us");
  Figure("bare exchange 99th percentile", Percentile(bareLat.all, 99), "us");
  Report(".gen upload", genLat);
  Report(".bin upload", binLat);
  Latencies both = genLat;
  both.all.insert(both.all.end(), binLat.all.begin(), binLat.all.end());
  Note("both uploads together:");
  Goal("all replies median", Percentile(both.all, 50), "us", 100);
  Goal("all replies 99th percentile", Percentile(both.all, 99), "us", 1000);
  return 0;
}
