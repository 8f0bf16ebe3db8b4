// The way to a path and who besides the run may change it: what root writes through or runs
// must lie where no one else can swap it.
//
// The way is walked from "/" one component at a time, each entry held by an O_PATH descriptor
// before it is judged (its fstat, its writers from writers.h) and used, so what is judged is what
// is walked. A link is followed where it is met, its target's way walked and judged the same;
// ".." goes back to the directory held before, as the kernel's would. Who may replace entry E of
// directory D: D's writers; in a sticky D whose owner is trusted, only E's owner where E is a
// directory (a file or link may have been moved in under a free name by anyone who may write
// D). A link is also the choice of its owner.
//
// Two trusts: what the run runs (the package tool) must be root's alone to change; what it
// writes through may also be the running user's.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/access/writers.h"
#include "common/error.h"
#include "common/file_io.h"

namespace common::access {

enum class Trust : std::uint8_t {
  kRootAlone,  // uid 0
  kTheRun,     // uid 0 and the running user
};

bool trusts(Trust trust, uid_t uid);

// Someone besides the trusted who may change something: an account, the writers through a
// group (group 0 too), or everyone.
struct Changer {
  enum class Kind : std::uint8_t { kAccount, kGroup, kEveryone };
  Kind kind;
  std::uint32_t id;  // the uid, the gid, 0 for everyone
  bool operator==(const Changer&) const = default;
};

// The first of `writers` that `trust` leaves out.
std::optional<Changer> untrusted_writer(const Writers& writers, Trust trust);

// Who besides the trusted may replace `entry` (not followed), an entry of `dir` whose writers
// are `dir_writers`: see above.
std::optional<Changer> may_replace(const struct stat& dir, const Writers& dir_writers,
                                   const struct stat& entry, Trust trust);

// The end of a way: the directory its last component is in, and that component.
struct Way {
  UniqueFd dir;  // O_PATH
  struct stat dir_st;
  std::string dir_path;  // absolute, no link or "." or ".." left in it
  std::string name;      // the last component; a link's target's last one where it was followed
  // The first who may change the way to `dir` (its links and directories passed through);
  // `dir`'s own writers and `name`'s entry are the caller's to judge.
  std::optional<Changer> changer;
  // Where the last component was followed: the entry found at the end (O_PATH), not judged.
  UniqueFd entry;
  struct stat entry_st {};
};

// Walks the absolute `path` to its last component's directory; with `follow_last`, a last
// component that is a link is followed too, its target's directory walked in turn. At most 40
// links, then ELOOP.
Result<Way> walk_way(std::string_view path, Trust trust, bool follow_last);

}  // namespace common::access
