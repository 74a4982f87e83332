// The port lock: the lock file in the lock folder and the lock on the device.
#include "framework/port_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "framework/testing.h"

namespace framework {

namespace {

std::vector<std::string>& Folders() {
  // /var/lock is where the UUCP tools and minicom look; some systems have only /run/lock.
  static std::vector<std::string> folders{"/var/lock", "/run/lock"};
  return folders;
}

// Lock files this process holds, so that one of its own is told from a dead one that bore
// the same process number (before a reboot, say).
std::set<std::string>& HeldHere() {
  static std::set<std::string> held;
  return held;
}

std::string ErrnoText(int code) { return std::strerror(code); }

// The lock folders that exist, each once (/var/lock is often a link to /run/lock), in
// their order; the first writable one is where this program's lock goes.
struct LockFolder {
  std::string path;
  bool writable;
};
std::vector<LockFolder> ExistingFolders() {
  std::vector<LockFolder> found;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const std::string& folder : Folders()) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
    if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
    seen.push_back(id);
    found.push_back({folder, ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0});
  }
  return found;
}

// The device's path below /dev, '/' made '_' (minicom's form; for a device directly in
// /dev, such as ttyUSB0, every tool agrees on it).
std::string LockName(const std::string& device) {
  std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
  for (char& c : name)
    if (c == '/') c = '_';
  return "LCK.." + name;
}

// The name a process runs under, "" when unknown.
std::string ProgramName(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::string Holder(pid_t pid) {
  const std::string name = ProgramName(pid);
  return (name.empty() ? "" : name + ", ") + "PID " + std::to_string(pid);
}

// The process number at the start of a lock: the classic ten characters, or the first
// line of another form (QLockFile writes the number, then its name and more, one a line).
std::optional<pid_t> LockOwner(const char* bytes, std::size_t size) {
  std::size_t i = 0;
  while (i < size && (bytes[i] == ' ' || bytes[i] == '\t')) ++i;
  long long value = 0;
  std::size_t digits = 0;
  for (; i < size && bytes[i] >= '0' && bytes[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (bytes[i] - '0');
    if (value > INT_MAX) return std::nullopt;
  }
  if (digits == 0 || value <= 0) return std::nullopt;  // 0 or less would name a group
  if (i < size && bytes[i] != '\n' && bytes[i] != '\r' && bytes[i] != ' ' && bytes[i] != '\t' &&
      bytes[i] != '\0')
    return std::nullopt;
  return static_cast<pid_t>(value);
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device node";
  return "not a regular file";
}

enum class Verdict { Live, Stale, Vanished, Refused };

// The file a verdict was reached on, so that only that one is removed as stale.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

// Reads what lies at the lock's path without following a link or waiting on it.
Verdict Judge(const std::string& path, const std::string& device, std::string& why, FileId& judged) {
  const std::string refusal = "Cannot open " + device + ": ";
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT) return Verdict::Vanished;
    if (e == ELOOP) {
      why = refusal + path + " is a symbolic link, not a lock file; remove it to free the port";
    } else {
      why = refusal + "the lock file " + path + " cannot be read (" + ErrnoText(e) + ")";
    }
    return Verdict::Refused;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    why = refusal + "the lock file " + path + " cannot be read (" + ErrnoText(errno) + ")";
    ::close(fd);
    return Verdict::Refused;
  }
  if (!S_ISREG(st.st_mode)) {
    why = refusal + path + " is " + KindOf(st.st_mode) + ", not a lock file; remove it to free the port";
    ::close(fd);
    return Verdict::Refused;
  }
  judged = {st.st_dev, st.st_ino};
  char bytes[32];
  ssize_t n;
  do {
    n = ::read(fd, bytes, sizeof bytes);
  } while (n < 0 && errno == EINTR);
  const int readError = errno;
  ::close(fd);
  if (n < 0) {
    why = refusal + "the lock file " + path + " cannot be read (" + ErrnoText(readError) + ")";
    return Verdict::Refused;
  }
  const std::optional<pid_t> owner = LockOwner(bytes, static_cast<std::size_t>(n));
  if (!owner) {
    // Maybe being written this moment; maybe left half-written. Either way not ours to take.
    why = refusal + "the lock file " + path +
          " names no process; remove it if no other program is using the port";
    return Verdict::Refused;
  }
  if (*owner == ::getpid()) {
    if (!HeldHere().count(path)) return Verdict::Stale;
    why = refusal + "it is open in this program already (" + path + ")";
    return Verdict::Live;
  }
  if (::kill(*owner, 0) == 0 || errno != ESRCH) {
    why = refusal + "in use by another program (" + Holder(*owner) + "; lock file " + path + ")";
    return Verdict::Live;
  }
  return Verdict::Stale;
}

bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The process that holds an flock on the file (dev, ino), from the kernel's lock table.
std::optional<pid_t> FlockHolder(dev_t dev, ino_t ino) {
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(dev), minor(dev),
                static_cast<unsigned long long>(ino));
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind;
    if (kind == "->") continue;  // a waiter, not a holder
    fields >> mode >> access >> pid >> file;
    if (kind != "FLOCK" || file != id) continue;
    try {
      return static_cast<pid_t>(std::stol(pid));
    } catch (...) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// A process other than this one with the character device rdev open, from the descriptor
// links under /proc. Bounded (a busy machine has many thousands of descriptors), and only
// links into /dev are looked at, so that no look waits on a network file system; other
// users' processes can't be looked into without privilege and are passed over.
std::optional<pid_t> DeviceHolder(dev_t rdev) {
  constexpr int kMostLinks = 1 << 16;
  int links = 0;
  DIR* proc = ::opendir("/proc");
  if (!proc) return std::nullopt;
  std::optional<pid_t> holder;
  const pid_t self = ::getpid();
  while (!holder && links < kMostLinks) {
    const dirent* process = ::readdir(proc);
    if (!process) break;
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    const int fds = ::openat(::dirfd(proc), (std::string(process->d_name) + "/fd").c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0) continue;
    DIR* list = ::fdopendir(fds);
    if (!list) {
      ::close(fds);
      continue;
    }
    while (const dirent* entry = ::readdir(list)) {
      if (entry->d_name[0] == '.') continue;
      if (++links > kMostLinks) break;
      char target[16];
      const ssize_t n = ::readlinkat(::dirfd(list), entry->d_name, target, sizeof target);
      if (n < 5 || std::memcmp(target, "/dev/", 5) != 0) continue;
      struct stat st;
      if (::fstatat(::dirfd(list), entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
        holder = static_cast<pid_t>(pid);
        break;
      }
    }
    ::closedir(list);
  }
  ::closedir(proc);
  return holder;
}

// " (name, PID n)" for the other program that has the device open, "" when none is seen.
std::string HolderOfDevice(dev_t rdev) {
  const std::optional<pid_t> holder = DeviceHolder(rdev);
  return holder ? " (" + Holder(*holder) + ")" : std::string();
}

enum class Cleared { Free, Held, StaleStays };

// Clears the way at path: nothing there, or a stale lock removed. Held (with why) when a
// live lock or something that can't be judged lies there; StaleStays for a stale lock that
// can't be removed.
Cleared Clear(const std::string& path, const std::string& device, std::string& why) {
  // A lock that vanishes or is replaced between the looks was another program's being taken
  // or given back; a few rounds settle it.
  for (int round = 0; round < 5; ++round) {
    FileId judged;
    switch (Judge(path, device, why, judged)) {
      case Verdict::Live:
      case Verdict::Refused:
        return Cleared::Held;
      case Verdict::Vanished:
        return Cleared::Free;
      case Verdict::Stale: {
        // Only the file judged: another program may have put its own lock there since.
        struct stat now;
        if (::lstat(path.c_str(), &now) != 0) {
          if (errno == ENOENT) return Cleared::Free;
          continue;
        }
        if (now.st_dev != judged.dev || now.st_ino != judged.ino) continue;
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) continue;  // judge what is there now
        return Cleared::StaleStays;
      }
    }
  }
  why = "Cannot open " + device + ": another program keeps taking and giving back " + path;
  return Cleared::Held;
}

enum class Made { Ours, None, Held };

// Puts this program's lock at path whole: the number is written to a file of its own in the
// same folder, which is then linked to the lock's name, so that no other program ever reads
// the lock empty or half-written. The link fails where a lock is there already; that one is
// judged as any other. None when no lock can be made here.
Made Make(const std::string& path, const std::string& device, std::string& why, FileId& ours) {
  const std::string folder = path.substr(0, path.rfind('/'));
  char text[16];
  const int size = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  for (int round = 0; round < 5; ++round) {
    std::string temporary = folder + "/LTMP.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return Made::None;  // not writable, full
    struct stat st;
    // Readable by every other program, whatever the umask.
    const bool written = ::fchmod(fd, 0644) == 0 &&
                         WriteAll(fd, text, static_cast<std::size_t>(size)) && ::fstat(fd, &st) == 0;
    ::close(fd);
    int linked = -1, linkError = 0;
    if (written) {
      linked = ::link(temporary.c_str(), path.c_str());
      linkError = errno;
    }
    (void)::unlink(temporary.c_str());
    if (!written) return Made::None;
    if (linked == 0) {
      ours = {st.st_dev, st.st_ino};
      return Made::Ours;
    }
    if (linkError != EEXIST) return Made::None;  // a folder that takes no links, say
    switch (Clear(path, device, why)) {
      case Cleared::Free:
        continue;
      case Cleared::Held:
        return Made::Held;
      case Cleared::StaleStays:
        return Made::None;
    }
  }
  why = "Cannot open " + device + ": another program keeps taking and giving back " + path;
  return Made::Held;
}

}  // namespace

namespace detail {

bool PortLock::Take(const std::string& device, std::string& why) {
  Release();
  why.clear();
  const std::string name = LockName(device);
  // A live lock in any of the folders keeps the port: tools differ in where they look.
  std::string home;
  bool homeTaken = false;
  for (const LockFolder& folder : ExistingFolders()) {
    const std::string path = folder.path + "/" + name;
    const Cleared cleared = Clear(path, device, why);
    if (cleared == Cleared::Held) return false;
    if (home.empty() && folder.writable) {
      home = path;
      // A stale lock there that can't be removed (another user's, in the sticky folder):
      // its owner is gone all the same, and the device lock and the exclusive-use flag then
      // hold alone.
      homeTaken = cleared == Cleared::StaleStays;
    }
  }
  why.clear();
  if (home.empty() || homeTaken) return true;  // no lock of ours can be made
  FileId ours;
  switch (Make(home, device, why, ours)) {
    case Made::Ours:
      path_ = home;
      dev_ = ours.dev;
      ino_ = ours.ino;
      HeldHere().insert(path_);
      return true;
    case Made::None:
      why.clear();
      return true;
    case Made::Held:
      return false;
  }
  return false;
}

void PortLock::Release() {
  if (path_.empty()) return;
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
    (void)::unlink(path_.c_str());
  HeldHere().erase(path_);
  path_.clear();
}

bool HoldDevice(int fd, const std::string& device, std::string& why) {
  const std::string refusal = "Cannot open " + device + ": in use by another program";
  // The flag keeps others out only when they are not root; root's open gets past it, so
  // the flag is looked at too.
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
    struct stat st;
    why = refusal + (::fstat(fd, &st) == 0 ? HolderOfDevice(st.st_rdev) : std::string()) +
          ", which keeps the device to itself";
    return false;
  }
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return true;  // a device without flock: the other locks hold
    struct stat st;
    std::optional<pid_t> holder;
    if (::fstat(fd, &st) == 0) holder = FlockHolder(st.st_dev, st.st_ino);
    why = refusal + (holder ? " (" + Holder(*holder) + ")" : std::string()) +
          ", which holds a lock on the device";
    return false;
  }
}

std::string OpenFailureText(const std::string& device, int error) {
  const std::string head = "Cannot open " + device + ": ";
  switch (error) {
    case EACCES:
    case EPERM: {
      struct stat st;
      const group* g = ::stat(device.c_str(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
      if (g && g->gr_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        const std::string name = g->gr_name;
        return head + "no permission; join the " + name + " group (sudo usermod -aG " + name +
               " $USER) and log in again";
      }
      return head + "no permission (" + ErrnoText(error) + ")";
    }
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return head + "no such device (unplugged?)";
    case EBUSY: {
      struct stat st;
      const bool isDevice = ::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
      return head + "in use by another program" + (isDevice ? HolderOfDevice(st.st_rdev) : std::string()) +
             ", which keeps the device to itself";
    }
    case ENOTTY:
      return head + "not a serial device";
    default:
      return head + ErrnoText(error);
  }
}

}  // namespace detail

namespace testing {

void SetLockFolders(std::vector<std::string> folders) { Folders() = std::move(folders); }

}  // namespace testing

}  // namespace framework
