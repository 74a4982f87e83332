// Start and size.
// - Start: the built program (vantrel9-programmer) started as a process of its own on an X
//   server of its own (Xvfb), timed from just before the process is spawned to the moment the
//   X server reports its main window mapped, found by its title (no window manager runs, so
//   the map is the program's own show). Five starts, one after the other.
// - Size: the program's peak resident memory (VmHWM) during a whole 2600-record .gen upload,
//   and whether memory stays flat in the file's size: a 200 MB .bin image streamed for a
//   while against a 2665-page one sent whole. The program runs in a child process (this
//   benchmark started again, started up as main starts it, on Qt's offscreen platform), so
//   that the simulator in this process, which keeps every byte it receives, is not counted.
#include "bench/bench_support.h"

// Xlib after Qt, and its macros that clash with Qt's names gone.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Bool
#undef Status
#undef None
#undef Always
#undef Unsorted
#undef CursorShape
#undef KeyPress
#undef KeyRelease
#undef FocusIn
#undef FocusOut
#undef FontChange
#undef Expose

#include <signal.h>
#include <spawn.h>
#include <sys/select.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

using namespace bench;
using testsupport::Frame;
using testsupport::InstrumentSim;
using testsupport::Session;

constexpr const char* kTitle = "Vantrel-9 Programmer";

long StatusKb(const char* field, pid_t pid = 0) {
  std::ifstream in(pid ? "/proc/" + std::to_string(pid) + "/status" : std::string("/proc/self/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int stdoutFd = -1) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    bool replaced = false;
    for (const std::string& x : extraEnv)
      if (v.substr(0, v.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
    if (!replaced) env.push_back(v);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Reap(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// --- start ---

bool TitledWindow(Display* d, Window w) {
  char* name = nullptr;
  bool match = false;
  if (XFetchName(d, w, &name) && name) {
    match = std::strcmp(name, kTitle) == 0;
    XFree(name);
  }
  return match;
}

// Seconds from the spawn to the main window's MapNotify; negative when it never came.
double TimeToWindow(Display* d, const std::string& displayName, long* rssKb) {
  const Window root = DefaultRootWindow(d);
  XSync(d, 1);  // drop what earlier runs left
  const auto start = Clock::now();
  const pid_t pid = Spawn({VANTREL_PROGRAM}, {"DISPLAY=" + displayName, "QT_QPA_PLATFORM=xcb"});
  if (pid < 0) return -1;
  double seconds = -1;
  const auto limit = start + 20s;
  const int fd = ConnectionNumber(d);
  while (seconds < 0 && Clock::now() < limit) {
    while (XPending(d) && seconds < 0) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == MapNotify && e.xmap.event == root && TitledWindow(d, e.xmap.window))
        seconds = Seconds(Clock::now() - start);
    }
    if (seconds >= 0) break;
    fd_set in;
    FD_ZERO(&in);
    FD_SET(fd, &in);
    timeval tv{0, 20000};
    ::select(fd + 1, &in, nullptr, nullptr, &tv);
  }
  // Let it paint and settle, then take its size as the real program.
  std::this_thread::sleep_for(500ms);
  *rssKb = StatusKb("VmRSS:", pid);
  Reap(pid);
  return seconds;
}

void StartBenchmark() {
  Note("start: vantrel9-programmer on Xvfb, spawn to main window mapped");
  int fds[2];
  if (::pipe(fds) != 0) return;
  const pid_t xvfb = Spawn({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24",
                            "-nolisten", "tcp"},
                           {});
  ::close(fds[1]);
  if (xvfb < 0) {
    Note("Xvfb is not installed: the start is not measured");
    return;
  }
  std::string number;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
  ::close(fds[0]);
  const std::string displayName = ":" + number;
  Display* d = number.empty() ? nullptr : XOpenDisplay(displayName.c_str());
  if (!d) {
    Note("Xvfb did not start: the start is not measured");
    if (xvfb > 0) Reap(xvfb);
    return;
  }
  XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
  XSync(d, 0);
  std::vector<double> times;
  long rss = 0;
  for (int i = 0; i < 5; ++i) {
    const double t = TimeToWindow(d, displayName, &rss);
    if (t < 0) {
      Note("the main window never appeared");
      break;
    }
    times.push_back(t * 1000);
  }
  XCloseDisplay(d);
  Reap(xvfb);
  if (times.empty()) return;
  Figure("start to main window mapped, first of the starts", times.front(), "ms");
  Goal("start to main window mapped, median of " + std::to_string(times.size()), Percentile(times, 50), "ms", 300);
  Figure("resident memory of the shown program, idle", static_cast<double>(rss) / 1024, "MB");
}

// --- size ---

// Answers a .bin upload at once without keeping or checking it: for an image too large to hold.
void AcceptEveryPage(InstrumentSim& sim, std::atomic<std::size_t>& pages) {
  sim.AddRule([&pages](const Frame& f, Session& s) {
    if (f.kind == Frame::Kind::Line) {
      if (f.bytes != "FPGAFile" && f.bytes != "FPGAPage") return false;
      s.Reply({"OK"});
      if (f.bytes == "FPGAPage") s.ExpectRaw(2, "big-info");
      return true;
    }
    if (f.tag == "big-info") {
      s.Reply({"OK"});
      s.ExpectRaw(static_cast<std::uint8_t>(f.bytes[1]) + 2u, "big-data");
      return true;
    }
    if (f.tag == "big-data") {
      ++pages;
      s.Reply({"OK"});
      return true;
    }
    return false;
  });
}

struct ChildFigures {
  long hwmKb = -1, startKb = -1;
  bool ok = false;
};

// Runs this program again as the program under test; reads the figures it prints.
ChildFigures RunChild(const char* self, const std::string& kind, const std::string& port, const std::string& file,
                      int seconds) {
  int fds[2];
  ChildFigures f;
  if (::pipe(fds) != 0) return f;
  const pid_t pid = Spawn({self, "--program", kind, port, file, std::to_string(seconds)},
                          {"QT_QPA_PLATFORM=offscreen"}, fds[1]);
  ::close(fds[1]);
  std::string out;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  f.ok = std::sscanf(out.c_str(), "start_kb=%ld hwm_kb=%ld", &f.startKb, &f.hwmKb) == 2;
  return f;
}

// The program under test: starts as main does, uploads the file, reports its memory.
int ProgramChild(const std::string& kind, const std::string& port, const std::string& file, int seconds) {
  Program program(port);
  RunLoopUntil([] { return false; }, 300ms);
  const long startKb = StatusKb("VmRSS:");
  program.Choose(file, kind == "gen" ? program.w->LoadGenCodePB() : program.w->ConfigPB());
  RunLoopUntil([&] { return program.Idle(); }, std::chrono::seconds(seconds), 100ms);
  std::printf("start_kb=%ld hwm_kb=%ld\n", startKb, StatusKb("VmHWM:"));
  std::fflush(stdout);
  std::_Exit(0);  // a streaming upload may still run: nothing of it needs to be taken down
}

void SizeBenchmark(const char* self) {
  testsupport::TempDir dir;
  Note("size: the program in a process of its own (offscreen), the simulator in this one");
  ChildFigures gen;
  {
    InstrumentSim sim;
    const std::string text = GenFile();
    testsupport::RecordFraming framing(sim, testsupport::Processor::Gen);
    framing.ExpectRecords(testsupport::RecordsOfAlignedFile(text));
    gen = RunChild(self, "gen", sim.SlavePath(), dir.Write("code.gen", text), 120);
    if (framing.Accepted() != kGenRecords || !framing.Errors().empty()) gen.ok = false;
  }
  ChildFigures small;
  {
    InstrumentSim sim;
    std::atomic<std::size_t> pages{0};
    AcceptEveryPage(sim, pages);
    small = RunChild(self, "bin", sim.SlavePath(), dir.Write("image.bin", BinImage()), 120);
    if (pages != kBinPages) small.ok = false;
  }
  ChildFigures big;
  std::size_t bigPages = 0;
  const int streamSeconds = 10;
  {
    const std::string path = dir.Path() + "/big.bin";
    {
      std::ofstream out(path, std::ios::binary);
      const std::string chunk = testsupport::PatternBytes(1 << 20, 31);
      for (int i = 0; i < 200; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    InstrumentSim sim;
    std::atomic<std::size_t> pages{0};
    AcceptEveryPage(sim, pages);
    big = RunChild(self, "bin", sim.SlavePath(), path, streamSeconds);
    bigPages = pages;
  }
  if (!gen.ok || !small.ok || !big.ok) Note("a child run did not complete as expected");
  Figure("resident memory once started", static_cast<double>(gen.startKb) / 1024, "MB");
  Goal("peak resident memory, whole 2600-record .gen upload", static_cast<double>(gen.hwmKb) / 1024, "MB", 80);
  Figure("peak resident memory, whole 2665-page .bin upload (0.7 MB)", static_cast<double>(small.hwmKb) / 1024, "MB");
  Figure("peak resident memory, 200 MB .bin streamed " + std::to_string(streamSeconds) + " s (" +
             std::to_string(bigPages) + " pages)",
         static_cast<double>(big.hwmKb) / 1024, "MB");
  Goal("peak growth with the 200 MB file over the 0.7 MB one", static_cast<double>(big.hwmKb - small.hwmKb) / 1024,
       "MB", 5);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--program") return ProgramChild(argv[2], argv[3], argv[4], std::atoi(argv[5]));
  Header("Start and size");
  StartBenchmark();
  SizeBenchmark(argv[0]);
  return 0;
}
