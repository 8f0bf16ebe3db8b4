// Who could have chosen a host file the run reads: its parties. The run is usually root, but
// the files it collects are often chosen by another account: the service owns its log
// directory and may plant links, hard links or other files there, or may own the
// configuration that names that directory. Whatever such a party chose is read with no more
// rights than the party has, so that root's archive never carries what the party could not
// read itself.
//
// A party is an account (read with its credentials from accounts.h), the writers through a
// group (a directory writable by a group other than root's: read as the stand-in uid 65534
// with that group alone), or everyone (a world-writable directory: 65534 with no group). Root
// and the running user are never parties: they are the run itself. A file owned by 65534 is
// never read through being the stand-in.
//
// The rules, for entry E of directory D on a way being resolved:
// - everything beyond a directory another account owns is that account's choice;
// - another account's link is its choice;
// - a link of root or the running user is the choice of whoever may replace it: D's writers,
//   except that a sticky D protects it from all but D's owner;
// - a file with more than one hard link is the choice of D's writers (any of them could have
//   made the link), sticky or not;
// - any other entry of a directory root owns is the run's own.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "common/accounts.h"

namespace common {

struct Party {
  enum class Kind : std::uint8_t { kAccount, kGroup, kEveryone };
  Kind kind;
  std::uint32_t id;  // the uid of an account, the gid of a group; 0 for everyone

  static Party account(uid_t uid) { return {Kind::kAccount, uid}; }
  static Party group(gid_t gid) { return {Kind::kGroup, gid}; }
  static Party everyone() { return {Kind::kEveryone, 0}; }

  // What a read as this party uses.
  Credentials credentials(const Accounts& accounts) const;
  // The stand-in: reads for the writers through a group or for everyone.
  bool stand_in() const { return kind != Kind::kAccount; }
  auto operator<=>(const Party&) const = default;
};

// A set of parties, in a fixed order.
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

// Root and the running user: the run itself.
bool is_trusted(uid_t owner);

// The owner of a directory or file as a party: none when trusted.
Parties owner_of(const struct stat& st);

// Who besides the run may change a directory's entries or a file's content: its owner, the
// writers through its group (unless the group's only members are the owner and the run) and
// everyone, as its permission bits say. With `sticky_protects`, the writers of a sticky
// directory other than its owner do not count: they cannot replace an entry the run owns.
Parties writers_of(const struct stat& st, bool sticky_protects, const Accounts& accounts);

// Who chose `entry` (not followed) of directory `dir`, beyond what chose `dir` itself, by the
// rules above. The first rule is the caller's, on entering a directory (owner_of).
Parties choosers_of(const struct stat& entry, const struct stat& dir, const Accounts& accounts);

// Whether `party` reading `st` would owe it to the stand-in's uid: a file owned by 65534 that
// neither its group bits (for the stand-in's group) nor its other bits open to the stand-in.
bool owed_to_stand_in(Party party, const struct stat& st, int access_bits);

}  // namespace common
