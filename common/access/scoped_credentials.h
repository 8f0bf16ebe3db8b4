// Reading with a chooser's rights: for the lifetime of a ScopedCredentials, the calling
// thread's file-system uid and gid are the ones given, it holds no supplementary group, and its
// effective capability set holds none of CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH and CAP_FOWNER,
// whatever the securebits, file capabilities or ambient capabilities would otherwise keep. So the
// kernel checks every look-up and open as that chooser.
//
// The switch needs CAP_SETUID and CAP_SETGID (root has them). Where it cannot be made, the
// capabilities are still dropped where they can be, and `switched()` is false: the caller then
// holds the target to a rule of its own. Every part of the switch is the calling thread's
// alone, the groups included (the raw system call: the C library's would change every
// thread's), so another thread, the emulator's under qemu-user say, keeps its own rights.
// Everything is restored on destruction, exactly; where that fails the process
// aborts, since nothing may go on with the wrong rights.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "common/access/parties.h"

namespace common::access {

class ScopedCredentials {
 public:
  explicit ScopedCredentials(const Credentials& credentials);
  ~ScopedCredentials();
  ScopedCredentials(const ScopedCredentials&) = delete;
  ScopedCredentials& operator=(const ScopedCredentials&) = delete;

  bool switched() const { return switched_; }
  // Whether the effective capabilities still hold none of the three, as they must for every
  // step taken as the account.
  bool dropped() const;

 private:
  void restore();

  bool dropped_ = false;  // capabilities lowered: restore them
  bool changed_ = false;  // groups and ids changed: restore them
  bool switched_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::vector<gid_t> groups_;
  std::uint32_t effective_[2] = {};
};

}  // namespace common::access
