#pragma once
// Root gets past a file's permission bits, and past a sticky folder's, by its capabilities,
// not by its user number; a test of what an ordinary user meets takes those capabilities
// out of the way for root, so that CI (as root) runs it too.
#include <linux/capability.h>

namespace testsupport {

// Takes the given capabilities (of the first 32) out of the calling thread's effective set
// for the object's lifetime and puts them back at the end. Capabilities belong to a
// thread: the process's other threads keep theirs, and a process forked meanwhile starts
// without them.
class WithoutCapabilities {
 public:
  explicit WithoutCapabilities(__u32 rights);
  ~WithoutCapabilities();
  WithoutCapabilities(const WithoutCapabilities&) = delete;
  WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;

  // Whether the thread lacks those capabilities now: true for an ordinary user, who never
  // had them; false for root where they could not be given up.
  bool Ok() const { return ok_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[_LINUX_CAPABILITY_U32S_3] = {};
  bool changed_ = false;
  bool ok_ = false;
};

// Holds the calling thread to the permission bits: without CAP_DAC_OVERRIDE and
// CAP_DAC_READ_SEARCH (reading and writing past the bits) and, when asked, CAP_FOWNER
// (removing another user's file from a sticky folder).
class HeldToPermissions : public WithoutCapabilities {
 public:
  enum Scope { Bits, BitsAndStickyFolders };
  explicit HeldToPermissions(Scope scope = Bits)
      : WithoutCapabilities(CAP_TO_MASK(CAP_DAC_OVERRIDE) | CAP_TO_MASK(CAP_DAC_READ_SEARCH) |
                            (scope == BitsAndStickyFolders ? CAP_TO_MASK(CAP_FOWNER) : 0)) {}
};

}  // namespace testsupport
