// Whose rights a host file is read with. The run is usually root, but the files it collects are
// often chosen by another account: the service owns its log directory and may plant links or
// hard links there, or may own the configuration that names that directory. Such a file is
// opened with no more rights than the account that chose it: its uid as the file-system uid,
// a group as the file-system gid and at most one supplementary group, switched around the
// look-ups and the open alone (setfsuid/setfsgid/setgroups; the run is single-threaded).
//
// "Trusted" accounts are root and the running user; every other owner is another account.
// Where two different accounts steer one open, the file is read as nobody (65534) with no
// group.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace common {

inline constexpr uid_t kNobody = 65534;

struct FsIdentity {
  uid_t uid;
  gid_t gid;
  std::optional<gid_t> group;  // the one supplementary group, if any
  bool operator==(const FsIdentity&) const = default;
};

// Who a file is read on behalf of; nullopt: the run's own rights.
using Steering = std::optional<FsIdentity>;

// One account steering, or nobody where two different ones do.
Steering combine(const Steering& a, const Steering& b);

// Root and the running user.
bool is_trusted(uid_t owner);

// Who besides root and the running user may change a directory's entries (or a file's
// content): its owner, a group other than root's with write permission (as nobody plus that
// group) or everyone (as nobody). With `sticky_protects`, a sticky directory's write
// permission does not count: it cannot replace an entry that a trusted account owns.
Steering writers_of(const struct stat& st, bool sticky_protects);

// Whose rights open the entry `entry` (not followed) of directory `dir`: another account's
// link is followed as that account; a trusted link in a directory others may change as those
// others (they could swap it); a file with other hard links in such a directory as the
// directory's writers (they could have made the link). `steering` (the configuration's
// controller) joins in for every entry.
Steering choose_identity(const struct stat& entry, const struct stat& dir,
                         const Steering& steering);

// Reads as another account for its lifetime, when the process may switch (root); else it does
// nothing and switched() is false. Restores the run's own identity on destruction or
// restore(); aborts if that is impossible, since nothing may run as the wrong account.
class ScopedFsIdentity {
 public:
  explicit ScopedFsIdentity(const Steering& identity);
  ~ScopedFsIdentity() { restore(); }
  ScopedFsIdentity(const ScopedFsIdentity&) = delete;
  ScopedFsIdentity& operator=(const ScopedFsIdentity&) = delete;

  bool switched() const { return switched_; }
  void restore();

 private:
  bool switched_ = false;
  bool groups_changed_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::vector<gid_t> groups_;
};

}  // namespace common
