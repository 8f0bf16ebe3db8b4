#include "common/parties.h"

#include <unistd.h>

#include <algorithm>

namespace common {

Credentials Party::credentials(const Accounts& accounts) const {
  switch (kind) {
    case Kind::kAccount:
      return accounts.credentials_of(id);
    case Kind::kGroup:
      return {kNobody, id, {}};
    case Kind::kEveryone:
      break;
  }
  return {kNobody, kNoGroup, {}};
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

bool is_trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

Parties owner_of(const struct stat& st) {
  Parties parties;
  if (!is_trusted(st.st_uid)) parties.add(Party::account(st.st_uid));
  return parties;
}

namespace {

// Whether the writers through group `gid` of something `owner` owns are anyone but the owner
// and the run. A group nobody is known to belong to may have members all the same.
bool group_adds_writers(gid_t gid, uid_t owner, const Accounts& accounts) {
  const auto members = accounts.members_of(gid);
  if (!members) return true;
  return std::any_of(members->begin(), members->end(),
                     [owner](uid_t member) { return member != owner && !is_trusted(member); });
}

}  // namespace

Parties writers_of(const struct stat& st, bool sticky_protects, const Accounts& accounts) {
  Parties writers = owner_of(st);
  if (sticky_protects && (st.st_mode & S_ISVTX) != 0) return writers;
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0 &&
      group_adds_writers(st.st_gid, st.st_uid, accounts)) {
    writers.add(Party::group(st.st_gid));
  }
  if ((st.st_mode & S_IWOTH) != 0) writers.add(Party::everyone());
  return writers;
}

Parties choosers_of(const struct stat& entry, const struct stat& dir, const Accounts& accounts) {
  if (S_ISLNK(entry.st_mode)) {
    return is_trusted(entry.st_uid) ? writers_of(dir, true, accounts) : owner_of(entry);
  }
  if (entry.st_nlink > 1 && !S_ISDIR(entry.st_mode)) return writers_of(dir, false, accounts);
  return {};
}

bool owed_to_stand_in(Party party, const struct stat& st, int access_bits) {
  if (!party.stand_in() || st.st_uid != kNobody) return false;
  const bool by_group = party.kind == Party::Kind::kGroup && st.st_gid == party.id &&
                        (st.st_mode & (access_bits << 3)) == static_cast<mode_t>(access_bits << 3);
  const bool by_others = (st.st_mode & access_bits) == static_cast<mode_t>(access_bits);
  return !by_group && !by_others;
}

}  // namespace common
