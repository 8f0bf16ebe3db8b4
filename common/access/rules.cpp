#include "common/access/rules.h"

#include <unistd.h>

#include <algorithm>

namespace common::access {

namespace {

template <typename T>
void insert(std::vector<T>& set, T value) {
  const auto at = std::lower_bound(set.begin(), set.end(), value);
  if (at == set.end() || *at != value) set.insert(at, value);
}

}  // namespace

bool is_trusted(uid_t uid) { return uid == 0 || uid == ::geteuid(); }

void Changers::add_owner(uid_t uid) { insert(owners, uid); }

void Changers::add(const Writers& writers) {
  add_owner(writers.owner);
  for (const uid_t user : writers.users) insert(users, user);
  if (writers.group) insert(groups, *writers.group);
  for (const gid_t group : writers.groups) insert(groups, group);
  everyone = everyone || writers.everyone;
}

void Changers::add(const Changers& other) {
  for (const uid_t owner : other.owners) insert(owners, owner);
  for (const uid_t user : other.users) insert(users, user);
  for (const gid_t group : other.groups) insert(groups, group);
  everyone = everyone || other.everyone;
}

bool moved_in_by_its_writers(const struct stat& dir, const struct stat& entry) {
  return (dir.st_mode & S_ISVTX) != 0 && S_ISDIR(entry.st_mode);
}

bool everyones_hard_link(const struct stat& entry, const Writers& dir_writers) {
  return !S_ISDIR(entry.st_mode) && entry.st_nlink > 1 && dir_writers.anyone_but(entry.st_uid);
}

Changers placed_by(const struct stat& dir, const Writers& dir_writers, const struct stat& entry,
                   const Writers& entry_writers) {
  Changers changers;
  if (moved_in_by_its_writers(dir, entry)) {
    changers.add_owner(dir.st_uid);
    changers.add(entry_writers);
  } else {
    changers.add(dir_writers);
  }
  if (S_ISLNK(entry.st_mode)) changers.add_owner(entry.st_uid);
  if (everyones_hard_link(entry, dir_writers)) changers.everyone = true;
  return changers;
}

Parties choosers(const Changers& changers) {
  Parties parties;
  for (const uid_t owner : changers.owners) {
    if (!is_trusted(owner)) parties.add(Party::account(owner));
  }
  if (changers.everyone) parties.add(Party::everyone());
  return parties;
}

std::optional<Changer> untrusted(const Changers& changers) {
  for (const auto& accounts : {changers.owners, changers.users}) {
    for (const uid_t uid : accounts) {
      if (!is_trusted(uid)) return Changer{Changer::Kind::kAccount, uid};
    }
  }
  if (!changers.groups.empty()) return Changer{Changer::Kind::kGroup, changers.groups.front()};
  if (changers.everyone) return Changer{Changer::Kind::kEveryone, 0};
  return std::nullopt;
}

}  // namespace common::access
