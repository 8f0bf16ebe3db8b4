// Who may change a directory's entries or a file's content: its writers. One judgement serves
// reads and writes alike:
// - its owner (who may always change the mode);
// - the owning group, when its permission lets it write (group 0 too);
// - everyone, when the others bits let anyone write;
// - every named user and named group of its POSIX access ACL whose entry grants write under the
//   ACL's mask.
//
// The ACL is read from the held descriptor (system.posix_acl_access) and parsed here, as the
// kernel lays it out: a 4-byte version header, then 8-byte entries (tag, permissions, id), all
// little-endian. Where the ACL has a mask, the mode's group bits are that mask, so no entry but
// the owner's and the others' can grant write while they lack it: the ACL is read only then.
// An ACL that cannot be read or parsed counts as everyone.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace common::access {

struct Writers {
  uid_t owner = 0;
  std::optional<gid_t> group;  // the owning group, where it may write
  std::vector<uid_t> users;    // named ACL users that may write
  std::vector<gid_t> groups;   // named ACL groups that may write
  bool everyone = false;

  // Whether anyone but `uid` may write: any group, any other named user, everyone.
  bool anyone_but(uid_t uid) const;
  bool operator==(const Writers&) const = default;
};

// The writers of what `st` describes, with `acl` the raw value of its access ACL: nullopt where
// it has none. A value that does not parse counts as everyone.
Writers writers_from(const struct stat& st, std::optional<std::span<const std::byte>> acl);

// The writers of what `fd` holds (any descriptor, O_PATH included), `st` its fstat.
Writers writers_of(int fd, const struct stat& st);

}  // namespace common::access
