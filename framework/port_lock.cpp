// The port lock: the lock file in the lock folder and the lock on the device.
#include "framework/port_lock.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

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

// The first writable folder; else the first that exists, where other programs' locks are
// still honoured though none of ours can be made; "" when there is none.
std::string ChooseFolder() {
  std::string existing;
  for (const std::string& folder : Folders()) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return folder;
    if (existing.empty()) existing = folder;
  }
  return existing;
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

// Reads what lies at the lock's path without following a link or waiting on it.
Verdict Judge(const std::string& path, const std::string& device, std::string& why) {
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

}  // namespace

namespace detail {

bool PortLock::Take(const std::string& device, std::string& why) {
  Release();
  const std::string folder = ChooseFolder();
  if (folder.empty()) return true;  // nowhere to look: the device lock holds alone
  const std::string path = folder + "/" + LockName(device);
  // A lock that vanishes between the looks was another program's being taken or given
  // back; a few rounds settle it.
  for (int round = 0; round < 5; ++round) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      const int size = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
      (void)::fchmod(fd, 0644);  // readable by every other program, whatever the umask
      struct stat st;
      const bool written = WriteAll(fd, text, static_cast<std::size_t>(size)) && ::fstat(fd, &st) == 0;
      ::close(fd);
      if (!written) {
        // A lock without its number would keep every program out: none rather than that.
        (void)::unlink(path.c_str());
        return true;
      }
      path_ = path;
      dev_ = st.st_dev;
      ino_ = st.st_ino;
      HeldHere().insert(path_);
      return true;
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (e != EEXIST) return true;  // no lock of ours can be made here (not writable, full)
    switch (Judge(path, device, why)) {
      case Verdict::Live:
      case Verdict::Refused:
        return false;
      case Verdict::Vanished:
        continue;
      case Verdict::Stale:
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) continue;
        // Another user's, in the sticky folder: its owner is gone all the same.
        why.clear();
        return true;
    }
  }
  why = "Cannot open " + device + ": another program keeps taking and giving back " + path;
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
    why = refusal + ", which keeps the device to itself";
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
    case EBUSY:
      return head + "in use by another program, which keeps the device to itself";
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
