// The host's accounts, as /etc/passwd and /etc/group list them: what reading "as an account"
// means. The tool reads both files itself (it is a static binary and must not load NSS
// modules), bounded like any host file, skipping malformed lines; where a name or an id appears
// twice, the first line wins, as the C library's look-ups do.
//
// An account's credentials are its uid, its primary group and its supplementary groups (every
// group that lists its name, and the primary one). An account /etc/passwd does not list gets
// its uid, group 65534 and no supplementary group: nothing it might have beyond what everyone
// has is assumed.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace common {

// The uid and gid that stand in for "any account" (nobody, nogroup).
inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kNoGroup = 65534;

struct Credentials {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;  // supplementary, sorted
  bool operator==(const Credentials&) const = default;
};

class Accounts {
 public:
  // From the text of /etc/passwd and /etc/group.
  Accounts(std::string_view passwd, std::string_view group);

  // The host's, read once, on first use. A file that cannot be read lists no one.
  static const Accounts& host();

  Credentials credentials_of(uid_t uid) const;

  // The accounts that may act through group `gid`: those whose primary group it is and those
  // it lists by name (names /etc/passwd does not know are left out). Nullopt for a group that
  // /etc/group does not list and that is no listed account's primary group: its members are
  // unknown.
  std::optional<std::vector<uid_t>> members_of(gid_t gid) const;

 private:
  struct User {
    std::string name;
    uid_t uid;
    gid_t gid;
  };
  struct Group {
    gid_t gid;
    std::vector<std::string> members;
  };

  const User* user_by_uid(uid_t uid) const;
  const User* user_by_name(std::string_view name) const;
  Credentials find_credentials(uid_t uid) const;
  std::optional<std::vector<uid_t>> find_members(gid_t gid) const;

  std::vector<User> users_;
  std::vector<Group> groups_;
  // What was looked up already: a run asks about the same few accounts once per entry, and a
  // large host's files would be scanned each time.
  mutable std::vector<std::pair<uid_t, Credentials>> credentials_;
  mutable std::vector<std::pair<gid_t, std::optional<std::vector<uid_t>>>> members_;
};

}  // namespace common
