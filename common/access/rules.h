// The rule book: who may change what a way passes. Every walk (walk.h) asks it at every step,
// whether the run reads, writes or runs what lies at the end; each rule is stated once, as the
// kernel states its own (may_follow_link, may_create_in_sticky): everything it needs, all of it.
//
// Who may have changed an entry E of a directory D:
// 1. D's writers (writers.h): they may have put any entry there.
// 2. In a sticky D, a directory E was put there by D's owner or by E's own writers: the sticky
//    bit keeps everyone else from renaming or removing it, and a directory moves to another
//    parent only by whoever may write it. So a directory that nobody but its owner may write
//    stays its owner's choice, and a world-writable one is everyone's wherever it stands.
//    Anything else in a sticky D (a file, a link) is the choice of all D's writers: it may have
//    been moved in under a free name.
// 3. A link is also its owner's choice; a directory entered makes its owner a changer of
//    everything beyond it.
// 4. A file or link with more than one hard link, in a D that anyone but its owner may write,
//    is everyone's: any of them could have made the link.
// 5. A configuration's writers choose everything it names, besides whoever chose the way to it.
//
// Two policies read the changers. Reading takes the rights of its choosers: the accounts among
// the changers that are not the run, and everyone; write access an owner gives a group or an
// ACL entry is the owner's grant and adds no chooser. Writing and running need every changer
// trusted: the run itself (root, and the running user), never a group or everyone.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "common/access/parties.h"
#include "common/access/writers.h"

namespace common::access {

// The run itself: root and the running user. When the run is root, that is root alone.
bool is_trusted(uid_t uid);

// Who may change something, as the rules find them.
struct Changers {
  std::vector<uid_t> owners;  // accounts in their own right
  std::vector<uid_t> users;   // named users of an owner's ACL: the owner's grant
  std::vector<gid_t> groups;  // writing groups, owning or named: the owner's grant
  bool everyone = false;

  void add_owner(uid_t uid);
  void add(const Writers& writers);
  void add(const Changers& other);
};

// Rule 2: all of: `dir` is sticky, and `entry` is a directory.
bool moved_in_by_its_writers(const struct stat& dir, const struct stat& entry);
// Rule 4: all of: `entry` is no directory, has several links, and `dir` (its writers) may be
// written by anyone but its owner.
bool everyones_hard_link(const struct stat& entry, const Writers& dir_writers);

// Who may have put `entry` (not followed, its writers `entry_writers`) where it is in `dir`:
// rules 1 to 4.
Changers placed_by(const struct stat& dir, const Writers& dir_writers, const struct stat& entry,
                   const Writers& entry_writers);

// Someone besides the run who may change something: an account, the writers through a group
// (group 0 too), or everyone.
struct Changer {
  enum class Kind : std::uint8_t { kAccount, kGroup, kEveryone };
  Kind kind;
  std::uint32_t id;  // the uid, the gid, 0 for everyone
  bool operator==(const Changer&) const = default;
};

// Reading: the parties whose rights a read takes.
Parties choosers(const Changers& changers);
// Writing and running: the first changer that is not the run.
std::optional<Changer> untrusted(const Changers& changers);

}  // namespace common::access
