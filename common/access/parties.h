// Whose rights a read takes: its choosers (rules.h says who they are). Whatever a chooser chose
// is read with no more rights than the kernel is sure to give it, so that root's archive never
// carries what the chooser could not read itself.
//
// A chooser is an account (read as its uid alone) or everyone (read as an id no account holds).
// Neither gets a group: the account database is not the truth about an account's groups (a
// service unit, a directory service or a duplicate uid can add or hide some), so no read is
// ever granted through one. Root and the running user are never choosers: they are the run.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

namespace common::access {

// The ids that no account or group holds: ids of 2^31 and above are left unallocated by every
// account manager (they break programs that keep ids in signed integers). Not the last 4,096 of
// them: (uid_t)-1 is the "no change" argument, -2 some NFS servers' nobody, and setfsuid(2) and
// setfsgid(2) return the previous id, which an emulator such as qemu-user takes for an error
// number there. A read as everyone uses both, a read as an account the gid, so that no group's
// permission bits ever apply.
inline constexpr uid_t kUnheldUid = 4294901757u;  // 0xfffefffd
inline constexpr gid_t kUnheldGid = 4294901757u;

// What a read as a chooser runs with: a file-system uid and gid, no supplementary group.
struct Credentials {
  uid_t uid;
  gid_t gid;
  bool operator==(const Credentials&) const = default;
};

struct Party {
  enum class Kind : std::uint8_t { kAccount, kEveryone };
  Kind kind;
  std::uint32_t id;  // the uid of an account; 0 for everyone

  static Party account(uid_t uid) { return {Kind::kAccount, uid}; }
  static Party everyone() { return {Kind::kEveryone, 0}; }

  Credentials credentials() const;
  auto operator<=>(const Party&) const = default;
};

// A set of parties, in a fixed order: accounts first, by uid, then everyone.
class Parties {
 public:
  Parties() = default;

  void add(Party party);
  void add(const Parties& others);
  bool contains(Party party) const;
  bool empty() const { return parties_.empty(); }
  std::size_t size() const { return parties_.size(); }
  const Party& front() const { return parties_.front(); }
  auto begin() const { return parties_.begin(); }
  auto end() const { return parties_.end(); }
  bool operator==(const Parties&) const = default;

 private:
  std::vector<Party> parties_;
};

// Whether `party` reading `st` would owe `access_bits` (S_IROTH, S_IXOTH...) to holding an unheld
// id: a file of the unheld uid read as everyone, or of the unheld gid, that its other bits do
// not open.
bool owed_to_unheld_id(Party party, const struct stat& st, int access_bits);

}  // namespace common::access
