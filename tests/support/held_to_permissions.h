#pragma once
// Root gets past a file's permission bits, and past a sticky folder's, by its capabilities,
// not by its user number; a test of what an ordinary user meets takes those capabilities
// out of the way for root, so that CI (as root) runs it too.
#include <linux/capability.h>

namespace testsupport {

// Holds the calling thread to the permission bits for the object's lifetime: takes
// CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH (reading and writing past the bits) and, when
// asked, CAP_FOWNER (removing another user's file from a sticky folder) out of its
// effective set, and puts them back at the end. Capabilities belong to a thread: the
// process's other threads keep theirs, and a process forked meanwhile starts without them.
class HeldToPermissions {
 public:
  enum Scope { Bits, BitsAndStickyFolders };
  explicit HeldToPermissions(Scope scope = Bits);
  ~HeldToPermissions();
  HeldToPermissions(const HeldToPermissions&) = delete;
  HeldToPermissions& operator=(const HeldToPermissions&) = delete;

  // Whether the thread lacks those capabilities now: true for an ordinary user, who never
  // had them; false for root where they could not be given up.
  bool Ok() const { return ok_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[_LINUX_CAPABILITY_U32S_3] = {};
  bool changed_ = false;
  bool ok_ = false;
};

}  // namespace testsupport
