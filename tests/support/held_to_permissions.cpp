#include "tests/support/held_to_permissions.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace testsupport {

namespace {

bool Get(__user_cap_header_struct& header, __user_cap_data_struct* data) {
  return ::syscall(SYS_capget, &header, data) == 0;
}

bool Set(__user_cap_header_struct& header, const __user_cap_data_struct* data) {
  return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

WithoutCapabilities::WithoutCapabilities(__u32 rights) {
  if (!Get(header_, saved_)) return;
  if (saved_[0].effective & rights) {
    __user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3];
    std::memcpy(held, saved_, sizeof held);
    held[0].effective &= ~rights;
    changed_ = Set(header_, held);
  }
  // Read back rather than trusted: what counts is what the thread holds now.
  __user_cap_data_struct now[_LINUX_CAPABILITY_U32S_3] = {};
  ok_ = Get(header_, now) && (now[0].effective & rights) == 0;
}

WithoutCapabilities::~WithoutCapabilities() {
  if (changed_) (void)Set(header_, saved_);
}

}  // namespace testsupport
