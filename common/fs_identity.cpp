#include "common/fs_identity.h"

#include <grp.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace common {

namespace {

// setfsuid/setfsgid with an invalid id change nothing and yield the current one.
uid_t current_fsuid() { return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))); }
gid_t current_fsgid() { return static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))); }

Steering owner_of(const struct stat& st) {
  if (is_trusted(st.st_uid)) return std::nullopt;
  return FsIdentity{st.st_uid, st.st_gid, std::nullopt};
}

}  // namespace

Steering combine(const Steering& a, const Steering& b) {
  if (!a) return b;
  if (!b || *a == *b) return a;
  return FsIdentity{kNobody, kNobody, std::nullopt};
}

bool is_trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

Steering writers_of(const struct stat& st, bool sticky_protects) {
  Steering who = owner_of(st);
  if (sticky_protects && (st.st_mode & S_ISVTX) != 0) return who;
  // Another account as owner reads with the file's group already.
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0 && !who) {
    who = FsIdentity{kNobody, kNobody, st.st_gid};
  }
  if ((st.st_mode & S_IWOTH) != 0) who = combine(who, FsIdentity{kNobody, kNobody, std::nullopt});
  return who;
}

Steering choose_identity(const struct stat& entry, const struct stat& dir,
                         const Steering& steering) {
  Steering own;
  if (S_ISLNK(entry.st_mode)) {
    own = is_trusted(entry.st_uid) ? writers_of(dir, true) : owner_of(entry);
  } else if (entry.st_nlink > 1 && !S_ISDIR(entry.st_mode)) {
    own = writers_of(dir, false);
  }
  return combine(own, steering);
}

ScopedFsIdentity::ScopedFsIdentity(const Steering& identity) {
  if (!identity) return;
  uid_ = current_fsuid();
  gid_ = current_fsgid();
  // The run's own groups never change: read once.
  static const std::optional<std::vector<gid_t>> own_groups = []() {
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(count, 0)));
    if (count < 0 || ::getgroups(count, groups.data()) != count) {
      return std::optional<std::vector<gid_t>>();
    }
    return std::optional(groups);
  }();
  if (!own_groups) return;
  groups_ = *own_groups;
  const gid_t group = identity->group.value_or(0);
  // Without the right to (not root), nothing changes and the caller checks ownership instead.
  if (::setgroups(identity->group ? 1 : 0, &group) != 0) return;
  groups_changed_ = true;
  ::setfsgid(identity->gid);
  ::setfsuid(identity->uid);
  if (current_fsgid() != identity->gid || current_fsuid() != identity->uid) {
    restore();
    return;
  }
  switched_ = true;
}

void ScopedFsIdentity::restore() {
  if (!groups_changed_) return;
  // The user first: going back to root raises the file capabilities again.
  ::setfsuid(uid_);
  ::setfsgid(gid_);
  if (::setgroups(groups_.size(), groups_.data()) != 0 || current_fsuid() != uid_ ||
      current_fsgid() != gid_) {
    std::abort();
  }
  groups_changed_ = false;
  switched_ = false;
}

}  // namespace common
