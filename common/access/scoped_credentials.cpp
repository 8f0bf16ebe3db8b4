#include "common/access/scoped_credentials.h"

#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace common::access {

namespace {

// The capabilities that would let a look-up or an open pass the kernel's permission checks.
constexpr std::uint32_t kFileCapabilities =
    (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);

// The raw calls: no libcap. Version 3 holds two 32-bit words per set.
bool get_capabilities(__user_cap_data_struct (&data)[2]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, data) == 0;
}

bool set_capabilities(const __user_cap_data_struct (&data)[2]) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &header, data) == 0;
}

uid_t current_fsuid() { return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))); }
gid_t current_fsgid() { return static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))); }

std::optional<std::vector<gid_t>> current_groups() {
  const int count = ::getgroups(0, nullptr);
  if (count < 0) return std::nullopt;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (::getgroups(count, groups.data()) != count) return std::nullopt;
  return groups;
}

// The raw call: the C library's setgroups changes the groups of every thread of the process,
// while the file-system ids and the capabilities are the calling thread's alone.
bool set_thread_groups(const std::vector<gid_t>& groups) {
  return ::syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}

}  // namespace

ScopedCredentials::ScopedCredentials(const Credentials& credentials) {
  __user_cap_data_struct caps[2];
  if (!get_capabilities(caps)) return;
  effective_[0] = caps[0].effective;
  effective_[1] = caps[1].effective;
  caps[0].effective &= ~kFileCapabilities;
  if (caps[0].effective != effective_[0]) {
    if (!set_capabilities(caps)) return;
    dropped_ = true;
  }
  const auto groups = current_groups();
  if (!groups) return;
  groups_ = *groups;
  uid_ = current_fsuid();
  gid_ = current_fsgid();
  // Without the right to (CAP_SETGID), nothing has changed yet.
  if (!set_thread_groups({})) return;
  changed_ = true;
  ::setfsgid(credentials.gid);
  ::setfsuid(credentials.uid);
  // A change of the file-system uid away from 0 may drop the capabilities again: whatever it
  // did, none of the three may be left.
  switched_ = current_fsuid() == credentials.uid && current_fsgid() == credentials.gid && dropped();
}

ScopedCredentials::~ScopedCredentials() { restore(); }

bool ScopedCredentials::dropped() const {
  __user_cap_data_struct caps[2];
  return get_capabilities(caps) && (caps[0].effective & kFileCapabilities) == 0;
}

void ScopedCredentials::restore() {
  if (changed_) {
    // The ids first: going back to 0 raises the capabilities again, which the set below makes
    // exactly what they were.
    ::setfsuid(uid_);
    ::setfsgid(gid_);
    if (!set_thread_groups(groups_) || current_fsuid() != uid_ || current_fsgid() != gid_ ||
        current_groups() != groups_) {
      std::abort();
    }
  }
  if (changed_ || dropped_) {
    __user_cap_data_struct caps[2];
    if (!get_capabilities(caps)) std::abort();
    caps[0].effective = effective_[0];
    caps[1].effective = effective_[1];
    __user_cap_data_struct now[2];
    if (!set_capabilities(caps) || !get_capabilities(now) || now[0].effective != effective_[0] ||
        now[1].effective != effective_[1]) {
      std::abort();
    }
  }
  changed_ = dropped_ = switched_ = false;
}

}  // namespace common::access
