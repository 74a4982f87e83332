// The port lock against lock folders the test makes itself, the lock on the device, and
// the program ending by a signal, all on the simulator's pseudo-terminal.
#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "framework/detail.h"
#include "framework/serial.h"
#include "framework/testing.h"
#include "tests/support/held_to_permissions.h"
#include "tests/support/instrument_sim.h"
#include "tests/support/srec_fixtures.h"

// Between judging a lock and removing it as stale, the port lock asks whether the lock's
// process is alive (kill with signal 0). This test program's own kill stands in for the C
// library's, so that a test can act at that moment, as another program may.
namespace {
std::function<void(pid_t)>& OnAliveCheck() {
  static std::function<void(pid_t)> hook;
  return hook;
}
}  // namespace

extern "C" int kill(pid_t pid, int signal) noexcept {
  if (signal == 0 && OnAliveCheck()) std::exchange(OnAliveCheck(), nullptr)(pid);
  return static_cast<int>(::syscall(SYS_kill, pid, signal));
}

namespace {

using namespace std::chrono_literals;
using framework::Serial;
using testsupport::InstrumentSim;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ClassicLock(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

// The files in a folder, by name.
std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    names.push_back(entry.path().filename().string());
  return names;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Ends the process, failing, when the object is not gone by the deadline: a call that
// blocks for ever can't be stopped from outside, and a test that waited on it would hang.
class Deadline {
 public:
  Deadline(std::chrono::seconds limit, std::string what)
      : watch_([this, limit, what = std::move(what)] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!met_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "Failure: %s (still waiting after %lld s)\n", what.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(1);
          }
        }) {}
  ~Deadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    met_.notify_one();
    watch_.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable met_;
  bool done_ = false;
  std::thread watch_;
};

using testsupport::WithoutCapabilities;

// The user a process of another user's runs as (nobody).
constexpr uid_t kAnotherUser = 65534;

// A process of the test's own: alive until the object goes, or gone from the start; alive
// as another user (made so by root).
class Child {
 public:
  enum Kind { Alive, Gone, AliveAsAnotherUser };
  explicit Child(Kind kind) {
    int ready[2];
    if (::pipe(ready) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls from here: the parent has other threads.
      if (kind == Gone) ::_exit(0);
      if (kind == AliveAsAnotherUser &&
          (::syscall(SYS_setresgid, kAnotherUser, kAnotherUser, kAnotherUser) != 0 ||
           ::syscall(SYS_setresuid, kAnotherUser, kAnotherUser, kAnotherUser) != 0))
        ::_exit(1);
      (void)!::write(ready[1], "x", 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    if (kind == Gone) {
      ::waitpid(pid_, nullptr, 0);
    } else {
      char byte;
      ready_ = ::read(ready[0], &byte, 1) == 1;
    }
    ::close(ready[0]);
    kind_ = kind;
  }
  // Whether a live child got as far as being what was asked.
  bool Ready() const { return ready_; }
  // A child that holds an flock on the device before it says it is ready.
  static pid_t HoldingDevice(const std::string& path, int* readyFd) {
    int ready[2];
    if (::pipe(ready) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
      (void)!::write(ready[1], "x", 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    *readyFd = ready[0];
    return pid;
  }
  // A child that sets the device's exclusive-use flag and keeps it until *releaseFd is
  // closed; it then takes the flag off and ends.
  static pid_t HoldingDeviceExclusively(const std::string& path, int* readyFd, int* releaseFd) {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(release[1]);
      const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd < 0 || ::ioctl(fd, TIOCEXCL) != 0) ::_exit(1);
      (void)!::write(ready[1], "x", 1);
      char byte;
      while (::read(release[0], &byte, 1) != 0) {
      }
      ::ioctl(fd, TIOCNXCL);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    *readyFd = ready[0];
    *releaseFd = release[1];
    return pid;
  }
  ~Child() {
    if (kind_ != Gone) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  Kind kind_ = Gone;
  bool ready_ = false;
};

class PortLockTest : public ::testing::Test {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    framework::detail::EnsureQtApplication();
    folder = dir.Path() + "/lock";
    ASSERT_EQ(::mkdir(folder.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);  // as the system's, whatever the umask
    framework::testing::SetLockFolders({folder});
    port.SetBaud(Serial::Baud115200);
    port.SetSerialPort({"sim", sim.SlavePath()});
    // The device's path, '/' made '_', as minicom names it.
    std::string name = sim.SlavePath();
    for (char& c : name)
      if (c == '/') c = '_';
    lock = folder + "/LCK.." + name;
  }
  void TearDown() override { ::chmod(folder.c_str(), 01777); }

  // The lock's file name, and its path in another lock folder.
  std::string LockName() const { return lock.substr(folder.size() + 1); }

  testsupport::TempDir dir;
  std::string folder, lock;
  pid_t named = 0;  // the process a planted lock names, where the case needs it
  InstrumentSim sim;
  Serial port;
};

// --- what lies at the lock's path before the open ---

struct LockCase {
  const char* name;
  // Puts something at the lock's path (or makes the folder so); may keep a process alive.
  std::function<void(PortLockTest&, std::unique_ptr<Child>&)> plant;
  bool opens;
  std::vector<std::string> says;  // parts of the refusal; "<lock>" stands for its path
  enum After { Ours, AsPlanted, Nothing } after;
  bool plantedByRoot = false;  // only root makes files another user's
  // The open runs without the right to signal other users' processes (root has it): kill
  // then says EPERM for the process the lock names, as it does for an ordinary user.
  bool withoutKillRight = false;
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class PortLockFolderTest : public PortLockTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(PortLockFolderTest, OpensOrRefusesAtOnceAndLeavesOtherProgramsLocksAlone) {
  const LockCase& c = GetParam();
  if (c.plantedByRoot && ::geteuid() != 0) GTEST_SKIP() << "only root makes a lock another user's";
  std::unique_ptr<Child> child;
  c.plant(*this, child);
  // From here on, what an ordinary user meets: root too is held to the permission bits and
  // the sticky folder's rule.
  testsupport::HeldToPermissions held(testsupport::HeldToPermissions::BitsAndStickyFolders);
  ASSERT_TRUE(held.Ok()) << "root could not give up getting past the permissions";
  std::optional<WithoutCapabilities> noKill;
  if (c.withoutKillRight) {
    noKill.emplace(CAP_TO_MASK(CAP_KILL));
    ASSERT_TRUE(noKill->Ok()) << "root could not give up signalling other users' processes";
    errno = 0;
    ASSERT_EQ(::kill(named, 0), -1);
    ASSERT_EQ(errno, EPERM) << "the lock's process is not another user's to this test";
  }
  struct stat planted {};
  const bool hadSomething = ::lstat(lock.c_str(), &planted) == 0;
  const std::string before = hadSomething && S_ISREG(planted.st_mode) ? ReadFile(lock) : "";

  bool opened;
  {
    Deadline limit(10s, "the open waited on what lies at the lock's path");
    opened = port.Open();
  }
  const std::string text = port.LastErrorText();
  ASSERT_EQ(opened, c.opens) << text;
  EXPECT_EQ(port.IsOpen(), c.opens);
  for (std::string part : c.says) {
    if (part == "<lock>") part = lock;
    if (part == "<pid>") part = "PID " + std::to_string(named);
    EXPECT_NE(text.find(part), std::string::npos) << "\"" << part << "\" missing from: " << text;
  }
  if (!c.opens) {
    EXPECT_NE(text.find(sim.SlavePath()), std::string::npos) << text;
  }

  auto checkLeft = [&](const char* when) {
    struct stat now {};
    const bool there = ::lstat(lock.c_str(), &now) == 0;
    switch (c.after) {
      case LockCase::AsPlanted:
        ASSERT_TRUE(there) << when;
        EXPECT_EQ(now.st_ino, planted.st_ino) << when;
        EXPECT_EQ(now.st_mode & S_IFMT, planted.st_mode & S_IFMT) << when;
        if (S_ISREG(now.st_mode)) {
          EXPECT_EQ(ReadFile(lock), before) << when;
        }
        break;
      case LockCase::Nothing:
        EXPECT_FALSE(there) << when;
        break;
      case LockCase::Ours:
        break;
    }
  };
  checkLeft("after the open");
  if (c.after == LockCase::Ours) {
    // The classic form, readable by every other program, and nothing else in the folder.
    EXPECT_EQ(ReadFile(lock), ClassicLock(::getpid()));
    struct stat st {};
    ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(Listing(folder), std::vector<std::string>{lock.substr(folder.size() + 1)});
  }
  port.Close();
  if (c.after == LockCase::Ours) {
    EXPECT_NE(::access(lock.c_str(), F_OK), 0) << "the lock outlived the port";
    EXPECT_TRUE(Listing(folder).empty());
  } else {
    checkLeft("after the close");
  }
  // Nothing of ours went to the temporary folder instead.
  EXPECT_NE(::access(("/tmp/" + lock.substr(folder.size() + 1)).c_str(), F_OK), 0);
}

void PutFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

INSTANTIATE_TEST_SUITE_P(
    Locks, PortLockFolderTest,
    ::testing::Values(
        LockCase{"NoneThere", [](PortLockTest&, auto&) {}, true, {}, LockCase::Ours},
        LockCase{"LiveClassicLockIsHonoured",
                 [](PortLockTest& t, auto& child) {
                   child = std::make_unique<Child>(Child::Alive);
                   PutFile(t.lock, ClassicLock(child->Pid()));
                 },
                 false, {"in use by another program", "<lock>", "port_lock_test"}, LockCase::AsPlanted},
        LockCase{"DeadClassicLockIsTakenOver",
                 [](PortLockTest& t, auto& child) {
                   child = std::make_unique<Child>(Child::Gone);
                   PutFile(t.lock, ClassicLock(child->Pid()));
                 },
                 true, {}, LockCase::Ours},
        LockCase{"LiveLockOfAnotherFormIsHonoured",
                 [](PortLockTest& t, auto& child) {
                   child = std::make_unique<Child>(Child::Alive);
                   PutFile(t.lock, std::to_string(child->Pid()) + "\nvantrel9-programmer\nbench\n\n");
                 },
                 false, {"in use by another program", "<lock>"}, LockCase::AsPlanted},
        LockCase{"DeadLockOfAnotherFormIsTakenOver",
                 [](PortLockTest& t, auto& child) {
                   child = std::make_unique<Child>(Child::Gone);
                   PutFile(t.lock, std::to_string(child->Pid()) + "\nvantrel9-programmer\nbench\n\n");
                 },
                 true, {}, LockCase::Ours},
        // Alive, but not this user's to signal: kill says EPERM, and the lock stands.
        LockCase{"LiveLockOfAnotherUsersProcessIsHonoured",
                 [](PortLockTest& t, auto& child) {
                   if (::geteuid() == 0) {
                     // Root shares its user with PID 1: a process of another user's.
                     child = std::make_unique<Child>(Child::AliveAsAnotherUser);
                     ASSERT_TRUE(child->Ready()) << "the child could not become another user";
                     t.named = child->Pid();
                   } else {
                     t.named = 1;  // always alive, and root's
                   }
                   PutFile(t.lock, ClassicLock(t.named));
                 },
                 false, {"in use by another program", "<lock>", "<pid>"}, LockCase::AsPlanted, false, true},
        LockCase{"LockNamingNoProcessIsRefused",
                 [](PortLockTest& t, auto&) { PutFile(t.lock, ""); },
                 false, {"<lock>", "names no process"}, LockCase::AsPlanted},
        LockCase{"Fifo",
                 [](PortLockTest& t, auto&) { ASSERT_EQ(::mkfifo(t.lock.c_str(), 0666), 0); },
                 false, {"<lock>", "FIFO"}, LockCase::AsPlanted},
        LockCase{"LinkToDevZero",
                 [](PortLockTest& t, auto&) { ASSERT_EQ(::symlink("/dev/zero", t.lock.c_str()), 0); },
                 false, {"<lock>", "symbolic link"}, LockCase::AsPlanted},
        LockCase{"DanglingLink",
                 [](PortLockTest& t, auto&) {
                   ASSERT_EQ(::symlink((t.folder + "/nothing-here").c_str(), t.lock.c_str()), 0);
                 },
                 false, {"<lock>", "symbolic link"}, LockCase::AsPlanted},
        LockCase{"Folder",
                 [](PortLockTest& t, auto&) { ASSERT_EQ(::mkdir(t.lock.c_str(), 0755), 0); },
                 false, {"<lock>", "folder"}, LockCase::AsPlanted},
        LockCase{"UnreadableFile",
                 [](PortLockTest& t, auto&) {
                   PutFile(t.lock, ClassicLock(1));
                   ASSERT_EQ(::chmod(t.lock.c_str(), 0), 0);
                 },
                 false, {"<lock>", "cannot be read"}, LockCase::AsPlanted},
        // Any lock that can't be removed: here the folder is made read-only.
        LockCase{"DeadLockThatCannotBeRemoved",
                 [](PortLockTest& t, auto& child) {
                   child = std::make_unique<Child>(Child::Gone);
                   PutFile(t.lock, ClassicLock(child->Pid()));
                   ASSERT_EQ(::chmod(t.folder.c_str(), 0555), 0);
                 },
                 true, {}, LockCase::AsPlanted},
        // As in the system's lock folder: neither the folder nor the lock is this user's.
        LockCase{"AnotherUsersDeadLockInTheStickyFolder",
                 [](PortLockTest& t, auto& child) {
                   child = std::make_unique<Child>(Child::Gone);
                   PutFile(t.lock, ClassicLock(child->Pid()));
                   ASSERT_EQ(::chown(t.folder.c_str(), 65533, 65533), 0);
                   ASSERT_EQ(::chown(t.lock.c_str(), 65534, 65534), 0);
                 },
                 true, {}, LockCase::AsPlanted, true},
        LockCase{"NoWritableLockFolder",
                 [](PortLockTest& t, auto&) { ASSERT_EQ(::chmod(t.folder.c_str(), 0555), 0); },
                 true, {}, LockCase::Nothing},
        LockCase{"NoLockFolder",
                 [](PortLockTest& t, auto&) {
                   framework::testing::SetLockFolders({t.folder + "/missing"});
                 },
                 true, {}, LockCase::Nothing}),
    [](const auto& info) { return std::string(info.param.name); });

// A live lock in a folder this user can't write still keeps the port.
TEST_F(PortLockTest, ALiveLockInAFolderThatCannotBeWrittenIsHonoured) {
  Child holder(Child::Alive);
  PutFile(lock, ClassicLock(holder.Pid()));
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  EXPECT_FALSE(port.Open());
  EXPECT_NE(port.LastErrorText().find("PID " + std::to_string(holder.Pid())), std::string::npos)
      << port.LastErrorText();
  EXPECT_EQ(ReadFile(lock), ClassicLock(holder.Pid()));
}

// The name other tools look for: for a device below /dev, its path there ('/' made '_').
TEST_F(PortLockTest, ADeviceBelowDevIsLockedUnderItsNameThere) {
  const std::string device = sim.DevicePath();  // /dev/pts/N, while the simulator lives
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
  port.SetSerialPort({"sim", device});
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  const std::string expected = "LCK..pts_" + device.substr(9);
  EXPECT_EQ(Listing(folder), std::vector<std::string>{expected});
  EXPECT_EQ(ReadFile(folder + "/" + expected), ClassicLock(::getpid()));
  port.Close();
  EXPECT_TRUE(Listing(folder).empty());
}

// The lock comes into its folder whole: it is never written under its own name, so another
// program never reads it empty or half-written (and takes it for one that names nobody).
TEST_F(PortLockTest, TheLockAppearsWholeUnderItsName) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE), 0);
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  std::vector<std::uint32_t> underItsName;
  alignas(inotify_event) char events[8192];
  for (;;) {
    const ssize_t n = ::read(watch, events, sizeof events);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(events + at);
      if (e->len > 0 && LockName() == e->name) underItsName.push_back(e->mask);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  ::close(watch);
  ASSERT_FALSE(underItsName.empty()) << "no lock came";
  for (std::uint32_t mask : underItsName)
    EXPECT_EQ(mask & (IN_MODIFY | IN_CLOSE_WRITE), 0u) << "the lock was written under its own name";
  EXPECT_TRUE(underItsName[0] & (IN_CREATE | IN_MOVED_TO));
  EXPECT_EQ(ReadFile(lock), ClassicLock(::getpid()));
  EXPECT_EQ(Listing(folder), std::vector<std::string>{LockName()}) << "a file of the making was left";
}

// Another program takes the port over between the judging of a stale lock and its removal:
// its lock, put in place of the stale one, is judged in turn, and stays.
TEST_F(PortLockTest, AStaleLockReplacedWhileBeingJudgedIsNotRemoved) {
  Child gone(Child::Gone);
  Child taker(Child::Alive);
  PutFile(lock, ClassicLock(gone.Pid()));
  bool replaced = false;
  OnAliveCheck() = [&](pid_t pid) {
    if (pid != gone.Pid()) return;
    const std::string own = folder + "/LTMP.taker";
    PutFile(own, ClassicLock(taker.Pid()));
    replaced = ::rename(own.c_str(), lock.c_str()) == 0;
  };
  EXPECT_FALSE(port.Open());
  OnAliveCheck() = nullptr;
  ASSERT_TRUE(replaced) << "the stale lock was not judged";
  const std::string text = port.LastErrorText();
  EXPECT_NE(text.find("PID " + std::to_string(taker.Pid())), std::string::npos) << text;
  EXPECT_EQ(ReadFile(lock), ClassicLock(taker.Pid())) << "the other program's lock was removed";
}

// Where /var/lock and /run/lock are two folders, tools differ in the one they look in: a
// live lock in either keeps the port, and this program's own goes to one only.
class PortLockTwoFoldersTest : public PortLockTest {
 public:
  void SetUp() override {
    PortLockTest::SetUp();
    other = dir.Path() + "/other-lock";
    ASSERT_EQ(::mkdir(other.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(other.c_str(), 01777), 0);
    otherLock = other + "/" + LockName();
    framework::testing::SetLockFolders({folder, other});
  }
  void TearDown() override {
    ::chmod(other.c_str(), 01777);
    PortLockTest::TearDown();
  }
  std::string other, otherLock;
};

TEST_F(PortLockTwoFoldersTest, ALiveLockInTheSecondFolderIsHonoured) {
  Child holder(Child::Alive);
  PutFile(otherLock, ClassicLock(holder.Pid()));
  EXPECT_FALSE(port.Open());
  const std::string text = port.LastErrorText();
  EXPECT_NE(text.find(otherLock), std::string::npos) << text;
  EXPECT_NE(text.find("PID " + std::to_string(holder.Pid())), std::string::npos) << text;
  EXPECT_TRUE(Listing(folder).empty()) << "a lock was made beside the live one";
  EXPECT_EQ(ReadFile(otherLock), ClassicLock(holder.Pid()));
}

TEST_F(PortLockTwoFoldersTest, TheLockGoesToTheFirstWritableFolderOnly) {
  // Both writable: the first.
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  EXPECT_EQ(Listing(folder), std::vector<std::string>{LockName()});
  EXPECT_TRUE(Listing(other).empty());
  port.Close();
  EXPECT_TRUE(Listing(folder).empty());
  // The first not writable: the second.
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  testsupport::HeldToPermissions held;
  ASSERT_TRUE(held.Ok()) << "root could not give up getting past the permissions";
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  EXPECT_TRUE(Listing(folder).empty());
  EXPECT_EQ(Listing(other), std::vector<std::string>{LockName()});
  EXPECT_EQ(ReadFile(otherLock), ClassicLock(::getpid()));
  port.Close();
  EXPECT_TRUE(Listing(other).empty());
}

// --- the lock on the device ---

TEST_F(PortLockTest, ADeviceAnotherProgramHoldsWithFlockIsRefusedAndNoLockIsLeft) {
  int ready = -1;
  const pid_t holder = Child::HoldingDevice(sim.SlavePath(), &ready);
  char byte = 0;
  ASSERT_EQ(::read(ready, &byte, 1), 1) << "the holder could not lock the device";
  ::close(ready);
  EXPECT_FALSE(port.Open());
  const std::string text = port.LastErrorText();
  EXPECT_NE(text.find("in use by another program"), std::string::npos) << text;
  EXPECT_NE(text.find("PID " + std::to_string(holder)), std::string::npos) << text;
  EXPECT_NE(text.find(sim.SlavePath()), std::string::npos) << text;
  EXPECT_TRUE(Listing(folder).empty()) << "a refused port kept its lock file";

  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
}

TEST_F(PortLockTest, AnOpenPortHoldsTheDeviceWithFlockForOtherPrograms) {
  // Another program's descriptor, opened before the port: the exclusive-use flag turns
  // away only opens that come after it, so this one meets the flock alone (as root's
  // open would, whenever it came).
  const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(port.Open()) << port.LastErrorText();
  // What picocom does.
  errno = 0;
  EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the device is not locked";
  EXPECT_EQ(errno, EWOULDBLOCK);
  port.Close();
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the close kept the device locked";
  ::close(fd);
}

// A device another program keeps to itself with the exclusive-use flag: the open is refused
// (or, for root, gets past the flag and finds it set), naming the program.
class PortLockExclusiveTest : public PortLockTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PortLockExclusiveTest, ADeviceKeptByAnotherProgramIsRefusedNamingIt) {
  const bool rootGetsPast = GetParam();
  if (rootGetsPast && ::geteuid() != 0) GTEST_SKIP() << "only root's open gets past the flag";
  int ready = -1, release = -1;
  const pid_t holder = Child::HoldingDeviceExclusively(sim.SlavePath(), &ready, &release);
  char byte = 0;
  ASSERT_EQ(::read(ready, &byte, 1), 1) << "the holder could not set the flag";
  ::close(ready);
  {
    // Without the right that lets root's open past the flag, it meets what anyone else does.
    std::optional<WithoutCapabilities> asOthers;
    if (!rootGetsPast) {
      asOthers.emplace(CAP_TO_MASK(CAP_SYS_ADMIN));
      ASSERT_TRUE(asOthers->Ok()) << "root could not give up getting past the flag";
    }
    EXPECT_FALSE(port.Open());
  }
  const std::string text = port.LastErrorText();
  EXPECT_NE(text.find("in use by another program"), std::string::npos) << text;
  EXPECT_NE(text.find("port_lock_test, PID " + std::to_string(holder)), std::string::npos) << text;
  EXPECT_NE(text.find(sim.SlavePath()), std::string::npos) << text;
  EXPECT_TRUE(Listing(folder).empty()) << "a refused port kept its lock file";

  ::close(release);
  int status = -1;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(port.Open()) << port.LastErrorText();
}

INSTANTIATE_TEST_SUITE_P(Flag, PortLockExclusiveTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "OpenGetsPastTheFlag" : "OpenRefused"; });

// --- the program ending by a signal ---

// A signal set of a process as /proc/<pid>/status shows it (SigIgn, SigCgt, ...).
std::uint64_t SignalMask(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  ADD_FAILURE() << "no " << field << " for process " << pid;
  return 0;
}

std::uint64_t Bit(int signal) { return std::uint64_t{1} << (signal - 1); }

// The program itself (main's steps) on the simulator's line, in a process of its own.
class QuitSignalTest : public PortLockTest, public ::testing::WithParamInterface<int> {
 public:
  void TearDown() override {
    if (program > 0) {
      ::kill(program, SIGKILL);
      ::waitpid(program, nullptr, 0);
    }
    PortLockTest::TearDown();
  }

 protected:
  // Starts it, as a shell started with `nohup` would when ignoreHangUp, and waits until it
  // has the port.
  void Start(bool ignoreHangUp = false) {
    const std::string device = sim.SlavePath();
    program = ::fork();
    if (program == 0) {
      if (ignoreHangUp) ::signal(SIGHUP, SIG_IGN);
      ::execl(PROGRAM_ON_PORT, PROGRAM_ON_PORT, device.c_str(), folder.c_str(), (char*)nullptr);
      ::_exit(127);
    }
    ASSERT_GT(program, 0);
    auto running = [&] {
      const termios now = sim.LineSettings();
      return ::access(lock.c_str(), F_OK) == 0 && cfgetospeed(&now) == B115200;
    };
    ASSERT_TRUE(WaitFor(running, 20s)) << "the program did not open the port";
    EXPECT_EQ(ReadFile(lock), ClassicLock(program));
    EXPECT_TRUE(sim.LineSettings().c_cflag & CRTSCTS);
  }

  // Sends the signal; the program's exit status, once it has ended.
  int EndBy(int signal) {
    EXPECT_EQ(::kill(program, signal), 0);
    int status = -1;
    EXPECT_TRUE(WaitFor([&] { return ::waitpid(program, &status, WNOHANG) == program; }, 20s))
        << "the program did not end";
    program = -1;
    return status;
  }

  // A line as another program would have left it: 9600 bit/s, no flow control.
  termios SetLineAsOthersLeaveIt() {
    const int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    termios t{};
    EXPECT_EQ(::tcgetattr(fd, &t), 0);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    t.c_cflag &= ~CRTSCTS;
    EXPECT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
    return sim.LineSettings();
  }

  pid_t program = -1;
};

TEST_P(QuitSignalTest, PutsTheLineBackAndRemovesTheLockAsQuitDoes) {
  const termios before = SetLineAsOthersLeaveIt();
  ASSERT_NO_FATAL_FAILURE(Start());
  const int status = EndBy(GetParam());
  EXPECT_TRUE(WIFEXITED(status)) << "ended by the signal itself, not by Quit";
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  EXPECT_NE(::access(lock.c_str(), F_OK), 0) << "the lock outlived the program";
  const termios after = sim.LineSettings();
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
  EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  // And the device is free for the next program.
  EXPECT_TRUE(port.Open()) << port.LastErrorText();
}

INSTANTIATE_TEST_SUITE_P(Signals, QuitSignalTest, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(QuitSignalTest, AHangUpIgnoredWhenTheProgramStartedStaysIgnored) {
  ASSERT_NO_FATAL_FAILURE(Start(/*ignoreHangUp=*/true));
  // The program has its handlers in before it opens the port: SIGTERM is caught by now,
  // and SIGHUP still ignored, so the kernel drops a hang-up as it is sent.
  EXPECT_TRUE(SignalMask(program, "SigCgt") & Bit(SIGTERM)) << "the program caught no signal at all";
  EXPECT_TRUE(SignalMask(program, "SigIgn") & Bit(SIGHUP));
  EXPECT_FALSE(SignalMask(program, "SigCgt") & Bit(SIGHUP)) << "the program took over the ignored hang-up";
  ASSERT_EQ(::kill(program, SIGHUP), 0);
  EXPECT_EQ(::waitpid(program, nullptr, WNOHANG), 0) << "the ignored hang-up ended the program";
  EXPECT_TRUE(SignalMask(program, "SigIgn") & Bit(SIGHUP));
  EXPECT_EQ(ReadFile(lock), ClassicLock(program));
  const int status = EndBy(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(::access(lock.c_str(), F_OK), 0);
}

}  // namespace
