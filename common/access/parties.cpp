#include "common/access/parties.h"

#include <algorithm>

namespace common::access {

Credentials Party::credentials() const {
  return {kind == Kind::kAccount ? static_cast<uid_t>(id) : kUnheldUid, kUnheldGid};
}

void Parties::add(Party party) {
  const auto at = std::lower_bound(parties_.begin(), parties_.end(), party);
  if (at == parties_.end() || *at != party) parties_.insert(at, party);
}

void Parties::add(const Parties& others) {
  for (const Party& party : others) add(party);
}

bool Parties::contains(Party party) const {
  return std::binary_search(parties_.begin(), parties_.end(), party);
}

Parties owner_of(const struct stat& st) {
  Parties parties;
  if (!is_trusted(st.st_uid)) parties.add(Party::account(st.st_uid));
  return parties;
}

Parties everyone_if_others_write(const struct stat& st) {
  Parties parties;
  if ((st.st_mode & S_IWOTH) != 0) parties.add(Party::everyone());
  return parties;
}

Parties choosers_of(const struct stat& entry, const struct stat& dir,
                    bool dir_writers_beyond_owner) {
  Parties choosers;
  if (S_ISLNK(entry.st_mode)) choosers.add(owner_of(entry));
  if (S_ISDIR(entry.st_mode)) {
    // A directory moves to another parent only by whoever may write it, but anyone who may
    // write its parent may swap it for a sibling, unless a sticky parent keeps that to owners.
    if ((dir.st_mode & S_ISVTX) == 0) choosers.add(everyone_if_others_write(dir));
    return choosers;
  }
  choosers.add(everyone_if_others_write(dir));
  if (entry.st_nlink > 1 && dir_writers_beyond_owner) {
    choosers.add(Party::everyone());
  }
  return choosers;
}

bool owed_to_unheld_id(Party party, const struct stat& st, int access_bits) {
  if ((st.st_mode & access_bits) == static_cast<mode_t>(access_bits)) return false;
  // The kernel gives an owner its owner bits, whatever the group: only everyone's are unheld.
  if (st.st_uid == party.credentials().uid) return party.kind == Party::Kind::kEveryone;
  return st.st_gid == kUnheldGid;
}

}  // namespace common::access
