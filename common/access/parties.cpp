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

bool owed_to_unheld_id(Party party, const struct stat& st, int access_bits) {
  if ((st.st_mode & access_bits) == static_cast<mode_t>(access_bits)) return false;
  // The kernel gives an owner its owner bits, whatever the group: only everyone's are unheld.
  if (st.st_uid == party.credentials().uid) return party.kind == Party::Kind::kEveryone;
  return st.st_gid == kUnheldGid;
}

}  // namespace common::access
