#pragma once
// Keeping a serial device to this program, by the conventions other serial programs keep:
// - a lock file LCK..<name> in the system's lock folder, holding the owner's process number
//   as ten characters right-aligned and a newline (cu and the UUCP tools, minicom). A live
//   lock in any of the lock folders (/var/lock, /run/lock, where they differ) is honoured;
//   this program's goes to the first writable one, whole from the start;
// - an flock(2) on the device itself (picocom);
// - the terminal's exclusive-use flag (the caller sets it once the device is held).
//
// The lock folder can be written by every local user, so whatever lies there is read with
// care: no link is followed, nothing is waited for, and only the first bytes of a regular
// file are read. A lock is stale only when its process is gone; anything that can't be
// judged refuses the port, naming the path. A lock that can't be made (no writable lock
// folder, another user's dead lock in the sticky folder) does not keep the port from
// opening: the device lock and the exclusive-use flag then hold alone.
#include <sys/types.h>

#include <string>

namespace framework::detail {

class PortLock {
 public:
  PortLock() = default;
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;
  ~PortLock() { Release(); }

  // Marks device as this program's in the lock folder. False, with why, when another
  // program holds it or what lies at a lock's path in any lock folder can't be judged.
  bool Take(const std::string& device, std::string& why);
  // Removes the lock file that Take made, if it is still the one it made.
  void Release();
  // The lock file held, "" when none.
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// Locks the opened device itself; false, with why, when another program holds it.
bool HoldDevice(int fd, const std::string& device, std::string& why);

// Why the device could not be opened (errno of open), in the technician's words.
std::string OpenFailureText(const std::string& device, int error);

}  // namespace framework::detail
