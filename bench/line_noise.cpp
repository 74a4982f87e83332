// Line noise: an instrument at the wrong speed sends 1 MB/s of bytes that never hold CR LF,
// while no upload runs (upload routing: every byte stays pending). What the program's
// thread spends on it, and how late the event loop handles a 10 ms timer meanwhile.
// VANTREL_NOISE_SECONDS shortens the run (default 60 s).
#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "bench/bench_support.h"

namespace {

using namespace bench;

std::string NoiseChunk(std::size_t n, std::size_t seed) {
  std::string s(n, 'x');
  for (std::size_t i = 0; i < n; ++i) {
    char c = static_cast<char>((i * 131 + seed * 7) & 0xff);
    if (c == '\r') c = 'r';  // no CR at all, so no chunk boundary can make CR LF
    s[i] = c;
  }
  return s;
}

}  // namespace

int main() {
  Header("Line noise: 1 MB/s with no CR LF, no upload running");
  int seconds = 60;
  if (const char* e = std::getenv("VANTREL_NOISE_SECONDS")) seconds = std::max(1, std::atoi(e));
  testsupport::InstrumentSim sim;
  Program program(sim.SlavePath());

  // The simulator's side: 10 kB every 10 ms from a thread of its own.
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> sent{0};
  std::thread sender([&] {
    auto next = Clock::now();
    for (std::size_t k = 0; !stop; ++k) {
      const std::string chunk = NoiseChunk(10000, k);
      sim.Send(chunk);
      sent += chunk.size();
      next += 10ms;
      std::this_thread::sleep_until(next);
    }
  });

  std::vector<double> late;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  auto due = Clock::now() + 10ms;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    late.push_back(std::max(0.0, Micros(Clock::now() - due)) / 1000.0);
    due = Clock::now() + 10ms;
  });
  probe.start(10);
  const double cpu0 = ThreadCpuSeconds();
  const auto start = Clock::now();
  RunLoopUntil([] { return false; }, std::chrono::seconds(seconds));
  const double wall = Seconds(Clock::now() - start);
  const double cpu = ThreadCpuSeconds() - cpu0;
  probe.stop();
  stop = true;
  sender.join();

  Note("sent " + std::to_string(sent.load()) + " bytes in " + std::to_string(wall) + " s; pending now " +
       std::to_string(program.w->Serial1()->BytesAvailable()) + " bytes");
  Goal("program's thread CPU over wall time", cpu / wall * 100, "%", 5);
  Goal("10 ms timer handled late, 99th percentile", Percentile(late, 99), "ms", 16);
  Figure("10 ms timer handled late, slowest", late.empty() ? 0 : *std::max_element(late.begin(), late.end()), "ms");
  return 0;
}
